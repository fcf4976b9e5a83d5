// The chunk walk on headers built by hand, each case's fields worked out by
// hand from the bytes it lists.
#include <gtest/gtest.h>
#include <vorik/wave_format.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "scratch_stream.h"
#include "wav_writer.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace vorik;
using vorik_test::chunk;
using Status = WaveFormatStatus;

std::string u16(std::uint64_t value) { return vorik_test::little_endian(value, 2); }
std::string u32(std::uint64_t value) { return vorik_test::little_endian(value, 4); }
std::string u64(std::uint64_t value) { return vorik_test::little_endian(value, 8); }

std::string riff(const std::string& chunks, const std::string& id = "RIFF") {
    return id + u32(4 + chunks.size()) + "WAVE" + chunks;
}

// A format chunk: the plain 16 bytes, stereo at 44.1 kHz unless told
// otherwise, then `extension`.
std::string fmt(std::uint16_t tag, std::uint16_t bits, std::uint16_t channels = 2, std::uint32_t rate = 44100,
                const std::string& extension = "") {
    const std::uint32_t block_align = channels * bits / 8U;
    return chunk("fmt ", u16(tag) + u16(channels) + u32(rate) + u32(rate * block_align) + u16(block_align) +
                             u16(bits) + extension);
}

const std::string GUID_BASE("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);

// WAVE_FORMAT_EXTENSIBLE, 40 bytes: cbSize 22, valid bits, front left and
// right, then the sub-format.
std::string extensible(std::uint16_t bits, std::uint16_t valid_bits, const std::string& sub_format) {
    return fmt(WAVE_FORMAT_EXTENSIBLE, bits, 2, 44100, u16(22) + u16(valid_bits) + u32(3) + sub_format);
}

std::string data_header(std::uint32_t size) { return "data" + u32(size); }

// A ds64 body of 28 bytes: RIFF size, data size, sample count, table length 0.
std::string ds64(std::uint64_t data_size) {
    return chunk("ds64", u64(0) + u64(data_size) + u64(data_size / 4) + u32(0));
}

const std::string PCM = fmt(WAVE_FORMAT_PCM, 16);                                       // 24 bytes
const std::string LIST = chunk("LIST", "INFOISFT" + u32(6) + std::string("vorik", 6));  // 26 bytes
const std::string TWO_SAMPLES = "\x34\x12\x78\x56";
const std::uint64_t PAST_4_GIB = 0x100000010;

// Fields a case leaves out are 0.
struct Expected {
    Status status;
    std::uint16_t format_tag = 0;
    bool extensible = false;
    std::uint16_t bits = 0;
    std::uint16_t valid_bits = 0;
    std::uint64_t data_offset = 0;
    std::uint64_t data_bytes = 0;
    bool data_to_end = false;
    std::string chunk_id = std::string(4, '\0');
    std::uint64_t chunk_size = 0;
};

struct Case {
    const char* label;
    std::string bytes;
    Expected expected;
};

std::FILE* stream_with(const std::string& bytes, bool buffered) {
    std::FILE* file = vorik_test::scratch_stream();
    if (!buffered) std::setvbuf(file, nullptr, _IONBF, 0);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

TEST(WaveFormat, WalksTheChunksOfEachHeader) {
    const Status pcm = Status::pcm_16;
    const Case cases[] = {
        {"canonical", riff(PCM + data_header(4)) + TWO_SAMPLES, {pcm, 1, false, 16, 16, 44, 4}},
        {"LIST first", riff(LIST + PCM + data_header(4)), {pcm, 1, false, 16, 16, 70, 4}},
        {"LIST after fmt", riff(PCM + LIST + data_header(4)), {pcm, 1, false, 16, 16, 70, 4}},
        {"odd JUNK, pad", riff(chunk("JUNK", "abc") + PCM + data_header(4)), {pcm, 1, false, 16, 16, 56, 4}},
        {"fmt of 18", riff(fmt(1, 16, 2, 44100, u16(0)) + data_header(4)), {pcm, 1, false, 16, 16, 46, 4}},
        {"extensible PCM",
         riff(extensible(16, 16, u16(1) + GUID_BASE) + data_header(4)),
         {pcm, 1, true, 16, 16, 68, 4}},
        {"data past the end", riff(PCM + data_header(1000)), {pcm, 1, false, 16, 16, 44, 1000}},
        {"data size 0", riff(PCM + data_header(0)), {pcm, 1, false, 16, 16, 44, 0, true}},
        {"data size unknown", riff(PCM + data_header(0xFFFFFFFF)), {pcm, 1, false, 16, 16, 44, 0, true}},
        {"RF64",
         riff(ds64(PAST_4_GIB) + PCM + data_header(0xFFFFFFFF), "RF64"),
         {pcm, 1, false, 16, 16, 80, PAST_4_GIB}},
        {"BW64, own size",
         riff(ds64(PAST_4_GIB) + PCM + data_header(8), "BW64"),
         {pcm, 1, false, 16, 16, 80, 8}},
        {"RF64 to the end",
         riff(ds64(0) + PCM + data_header(0xFFFFFFFF), "RF64"),
         {pcm, 1, false, 16, 16, 80, 0, true}},
        {"RF64, ds64 size all ones",
         riff(ds64(UINT64_MAX) + PCM + data_header(0xFFFFFFFF), "RF64"),
         {pcm, 1, false, 16, 16, 80, 0, true}},
        {"RF64 without ds64",
         riff(PCM + data_header(4), "RF64"),
         {Status::bad_chunk, 0, false, 0, 0, 0, 0, false, "fmt ", 16}},
        {"ds64 of 16",
         riff(chunk("ds64", u64(0) + u64(8)) + PCM + data_header(8), "RF64"),
         {Status::bad_chunk, 0, false, 0, 0, 0, 0, false, "ds64", 16}},
        {"fmt of 12",
         riff(chunk("fmt ", PCM.substr(8, 12)) + data_header(4)),
         {Status::bad_chunk, 0, false, 0, 0, 0, 0, false, "fmt ", 12}},
        {"extensible in 18",
         riff(fmt(WAVE_FORMAT_EXTENSIBLE, 16, 2, 44100, u16(0)) + data_header(4)),
         {Status::bad_chunk, WAVE_FORMAT_EXTENSIBLE, true, 16, 16, 0, 0, false, "fmt ", 18}},
        {"second fmt",
         riff(PCM + PCM + data_header(4)),
         {Status::bad_chunk, 1, false, 16, 16, 0, 0, false, "fmt ", 16}},
        {"data before fmt", riff(data_header(4) + PCM), {Status::data_before_format}},
        {"24-bit", riff(fmt(1, 24) + data_header(6)), {Status::not_16_bit, 1, false, 24, 24}},
        {"extensible 24 in 32",
         riff(extensible(32, 24, u16(1) + GUID_BASE)),
         {Status::not_16_bit, 1, true, 32, 24}},
        {"extensible float",
         riff(extensible(32, 32, u16(3) + GUID_BASE)),
         {Status::not_pcm, 3, true, 32, 32}},
        {"extensible, other GUID",
         riff(extensible(16, 16, u16(1) + std::string(14, 'x'))),
         {Status::not_pcm, WAVE_FORMAT_EXTENSIBLE, true, 16, 16}},
        {"float", riff(fmt(3, 32)), {Status::not_pcm, 3, false, 32, 32}},
        {"A-law", riff(fmt(6, 8)), {Status::not_pcm, 6, false, 8, 8}},
        {"mu-law", riff(fmt(7, 8)), {Status::not_pcm, 7, false, 8, 8}},
        {"MP3", riff(fmt(0x55, 0)), {Status::not_pcm, 0x55, false, 0, 0}},
        {"float, no channels", riff(fmt(3, 32, 0)), {Status::not_pcm, 3, false, 32, 32}},
        {"24-bit, no rate", riff(fmt(1, 24, 2, 0)), {Status::not_16_bit, 1, false, 24, 24}},
        {"no channels", riff(fmt(1, 16, 0)), {Status::bad_layout, 1, false, 16, 16}},
        {"no rate", riff(fmt(1, 16, 2, 0)), {Status::bad_layout, 1, false, 16, 16}},
        {"block align 2 for stereo",
         riff(std::string(PCM).replace(20, 2, u16(2))),
         {Status::bad_layout, 1, false, 16, 16}},
        {"RIFX", riff(PCM + data_header(4), "RIFX"), {Status::not_wave}},
        {"AVI", "RIFF" + u32(4) + "AVI " + PCM, {Status::not_wave}},
        {"3 bytes of text", "abc", {Status::not_wave}},
        {"empty", "", {Status::truncated}},
        {"LIST past the end", riff(PCM + "LIST" + u32(100) + "INFO"), {Status::truncated, 1, false, 16, 16}},
    };
    for (const Case& c : cases) {
        for (const bool buffered : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.label << (buffered ? ", buffered" : ", unbuffered"));
            std::FILE* file = stream_with(c.bytes, buffered);
            WaveFormat format{};
            format.data_offset = 1;  // stale fields are cleared
            const Expected& e = c.expected;
            ASSERT_EQ(read_wave_format(file, format), e.status);
            EXPECT_EQ(
                std::tie(format.format_tag, format.extensible, format.bits_per_sample, format.valid_bits),
                std::tie(e.format_tag, e.extensible, e.bits, e.valid_bits));
            EXPECT_EQ(std::tie(format.data_offset, format.data_bytes, format.data_to_end),
                      std::tie(e.data_offset, e.data_bytes, e.data_to_end));
            EXPECT_EQ(std::string(format.chunk_id.data(), 4), e.chunk_id);
            EXPECT_EQ(format.chunk_size, e.chunk_size);
            if (e.status == Status::pcm_16) {
                EXPECT_EQ(std::string(format.riff_id.data(), 4), c.bytes.substr(0, 4));
                EXPECT_EQ(format.channels, 2);
                EXPECT_EQ(format.sample_rate, 44100u);
                EXPECT_EQ(format.block_align, 4);
                EXPECT_EQ(std::ftell(file), static_cast<long>(e.data_offset));
            }
            std::fclose(file);
        }
    }
}

TEST(WaveFormat, CanonicalHeaderGivesWhatTheFixedCheckGives) {
    std::FILE* file = stream_with(riff(PCM + data_header(4)) + TWO_SAMPLES, true);
    WaveHeader header{};
    ASSERT_TRUE(read_wave_header(file, header));
    std::rewind(file);
    WaveFormat format{};
    ASSERT_EQ(read_wave_format(file, format), Status::pcm_16);
    EXPECT_EQ(std::tie(format.format_tag, format.channels, format.sample_rate, format.block_align,
                       format.bits_per_sample),
              std::tie(header.format_tag, header.channels, header.sample_rate, header.block_align,
                       header.bits_per_sample));
    EXPECT_EQ(format.data_bytes, header.data_size);
    EXPECT_EQ(format.data_offset, WAVE_HEADER_BYTES);
    std::fclose(file);
}

#ifdef __GLIBC__
// Gives the bytes of the string it points to, then fails every read.
ssize_t give_then_fail(void* cookie, char* buffer, std::size_t size) {
    std::string& left = *static_cast<std::string*>(cookie);
    if (left.empty()) return -1;
    const std::size_t given = left.copy(buffer, size);
    left.erase(0, given);
    return static_cast<ssize_t>(given);
}
#endif

TEST(WaveFormat, EveryCutOfTheHeaderIsTruncatedAndEveryFailureReported) {
    const std::string header = riff(LIST + PCM + data_header(4));
    for (std::size_t length = 0; length <= header.size(); ++length) {
        SCOPED_TRACE(testing::Message() << length << " bytes");
        const bool whole = length == header.size();
        std::FILE* file = stream_with(header.substr(0, length), true);
        WaveFormat format{};
        EXPECT_EQ(read_wave_format(file, format), whole ? Status::pcm_16 : Status::truncated);
        std::fclose(file);
#ifdef __GLIBC__
        if (!whole) {
            std::string left = header.substr(0, length);
            std::FILE* failing = fopencookie(&left, "rb", {give_then_fail, nullptr, nullptr, nullptr});
            EXPECT_EQ(read_wave_format(failing, format), Status::read_failed);
            EXPECT_TRUE(std::ferror(failing));
            std::fclose(failing);
        }
#endif
    }
}

#ifndef _WIN32
TEST(WaveFormat, ReadsAPipeAndStopsAtTheFirstSample) {
    const std::string bytes = riff(LIST + PCM + data_header(4)) + TWO_SAMPLES;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    std::FILE* file = fdopen(ends[0], "rb");
    WaveFormat format{};
    EXPECT_EQ(read_wave_format(file, format), Status::pcm_16);
    EXPECT_EQ(format.data_offset, 70u);
    EXPECT_EQ(std::fgetc(file), 0x34);
    std::fclose(file);
}
#endif

}  // namespace
