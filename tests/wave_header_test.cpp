#include <gtest/gtest.h>
#include <vorik/wave_header.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "scratch_stream.h"

namespace {

using namespace vorik;

using HeaderBytes = std::array<unsigned char, WAVE_HEADER_BYTES>;

// 44.1 kHz stereo 16-bit PCM with 8 bytes of data.
HeaderBytes canonical_header() {
    HeaderBytes bytes{};
    const unsigned char image[WAVE_HEADER_BYTES] = {
        'R',  'I', 'F', 'F', 0x2C, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
        ' ',  16,  0,   0,   0,    1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
        0x02, 0,   4,   0,   16,   0, 'd', 'a', 't', 'a',  8,    0,   0,   0};
    std::memcpy(bytes.data(), image, sizeof image);
    return bytes;
}

TEST(WaveHeader, DecodesEveryFieldLittleEndian) {
    HeaderBytes bytes = canonical_header();
    bytes[22] = 0x01;  // channels 0x0201: both bytes must land
    bytes[23] = 0x02;
    bytes[24] = 0x78;  // sample rate 0x12345678
    bytes[25] = 0x56;
    bytes[26] = 0x34;
    bytes[27] = 0x12;
    WaveHeader header{};
    ASSERT_TRUE(decode_wave_header(bytes.data(), bytes.size(), header));
    EXPECT_EQ(header.riff_size, 0x2Cu);
    EXPECT_EQ(header.format_chunk_size, 16u);
    EXPECT_EQ(header.format_tag, 1u);
    EXPECT_EQ(header.channels, 0x0201u);
    EXPECT_EQ(header.sample_rate, 0x12345678u);
    EXPECT_EQ(header.byte_rate, 176400u);
    EXPECT_EQ(header.block_align, 4u);
    EXPECT_EQ(header.bits_per_sample, 16u);
    EXPECT_EQ(header.data_size, 8u);
}

TEST(WaveHeader, EachTagMustMatchExactly) {
    struct Case {
        std::size_t offset;
        unsigned char replacement;
    };
    const Case cases[] = {
        {0, 'r'},    // "rIFF": case matters
        {3, 'X'},    // "RIFX": big-endian RIFF
        {8, 'w'},    // "wAVE"
        {15, '\0'},  // "fmt" without its space
        {12, 'F'},   // "Fmt "
        {36, 'L'},   // another chunk where the data chunk should be
        {39, 'A'},   // "datA"
    };
    for (const Case& c : cases) {
        HeaderBytes bytes = canonical_header();
        bytes[c.offset] = c.replacement;
        WaveHeader header{};
        EXPECT_FALSE(decode_wave_header(bytes.data(), bytes.size(), header)) << "offset " << c.offset;
    }
}

TEST(WaveHeader, OnlyTheTagsDecideRecognition) {
    HeaderBytes bytes = canonical_header();
    bytes[20] = 3;   // IEEE float format tag
    bytes[34] = 24;  // 24-bit width
    bytes[16] = 40;  // a format chunk size that does not match the layout
    WaveHeader header{};
    EXPECT_TRUE(decode_wave_header(bytes.data(), bytes.size(), header));
    EXPECT_EQ(header.bits_per_sample, 24u);
}

TEST(WaveHeader, ShortFilesAreRecognisedOnlyWithAllFourTags) {
    const HeaderBytes bytes = canonical_header();
    WaveHeader header{};
    for (std::size_t length = 0; length < 40; ++length) {
        EXPECT_FALSE(decode_wave_header(bytes.data(), length, header)) << length << " bytes";
    }
    for (std::size_t length = 40; length <= WAVE_HEADER_BYTES; ++length) {
        EXPECT_TRUE(decode_wave_header(bytes.data(), length, header)) << length << " bytes";
    }
    // The missing data size reads as zero, never as stale memory.
    header.data_size = 0xFFFFFFFF;
    ASSERT_TRUE(decode_wave_header(bytes.data(), 42, header));
    EXPECT_EQ(header.data_size, 8u);
    ASSERT_TRUE(decode_wave_header(bytes.data(), 40, header));
    EXPECT_EQ(header.data_size, 0u);
}

TEST(WaveHeader, ReadLeavesTheStreamAtTheFirstSample) {
    std::FILE* file = vorik_test::scratch_stream();
    const HeaderBytes bytes = canonical_header();
    const unsigned char first_sample[] = {0x34, 0x12};
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fwrite(first_sample, 1, sizeof first_sample, file);
    std::rewind(file);

    WaveHeader header{};
    EXPECT_TRUE(read_wave_header(file, header));
    EXPECT_EQ(std::ftell(file), static_cast<long>(WAVE_HEADER_BYTES));
    EXPECT_EQ(std::fgetc(file), 0x34);
    std::fclose(file);
}

}  // namespace
