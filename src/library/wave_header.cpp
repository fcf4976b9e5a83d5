#include <vorik/wave_header.h>

#include <algorithm>

namespace vorik {
namespace {

// Offsets of the fields in the canonical header.
constexpr std::size_t RIFF_ID_AT = 0;
constexpr std::size_t RIFF_SIZE_AT = 4;
constexpr std::size_t WAVE_ID_AT = 8;
constexpr std::size_t FORMAT_CHUNK_ID_AT = 12;
constexpr std::size_t FORMAT_CHUNK_SIZE_AT = 16;
constexpr std::size_t FORMAT_TAG_AT = 20;
constexpr std::size_t CHANNELS_AT = 22;
constexpr std::size_t SAMPLE_RATE_AT = 24;
constexpr std::size_t BYTE_RATE_AT = 28;
constexpr std::size_t BLOCK_ALIGN_AT = 32;
constexpr std::size_t BITS_PER_SAMPLE_AT = 34;
constexpr std::size_t DATA_ID_AT = 36;
constexpr std::size_t DATA_SIZE_AT = 40;

// Everything the check looks at lies before `data_size`.
constexpr std::size_t CHECKED_HEADER_BYTES = DATA_SIZE_AT;

constexpr FourCc RIFF_TAG = {'R', 'I', 'F', 'F'};
constexpr FourCc WAVE_TAG = {'W', 'A', 'V', 'E'};
constexpr FourCc FORMAT_CHUNK_TAG = {'f', 'm', 't', ' '};
constexpr FourCc DATA_TAG = {'d', 'a', 't', 'a'};

FourCc tag_at(const unsigned char* bytes, std::size_t offset) {
    FourCc tag{};
    std::copy_n(bytes + offset, tag.size(), tag.begin());
    return tag;
}

std::uint16_t u16_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::uint32_t u32_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

bool decode_wave_header(const unsigned char* bytes, std::size_t length, WaveHeader& header) {
    unsigned char padded[WAVE_HEADER_BYTES] = {};
    std::copy_n(bytes, std::min(length, WAVE_HEADER_BYTES), padded);

    header.riff_id = tag_at(padded, RIFF_ID_AT);
    header.riff_size = u32_at(padded, RIFF_SIZE_AT);
    header.wave_id = tag_at(padded, WAVE_ID_AT);
    header.format_chunk_id = tag_at(padded, FORMAT_CHUNK_ID_AT);
    header.format_chunk_size = u32_at(padded, FORMAT_CHUNK_SIZE_AT);
    header.format_tag = u16_at(padded, FORMAT_TAG_AT);
    header.channels = u16_at(padded, CHANNELS_AT);
    header.sample_rate = u32_at(padded, SAMPLE_RATE_AT);
    header.byte_rate = u32_at(padded, BYTE_RATE_AT);
    header.block_align = u16_at(padded, BLOCK_ALIGN_AT);
    header.bits_per_sample = u16_at(padded, BITS_PER_SAMPLE_AT);
    header.data_id = tag_at(padded, DATA_ID_AT);
    header.data_size = u32_at(padded, DATA_SIZE_AT);

    if (length < CHECKED_HEADER_BYTES) {
        return false;
    }
    return header.riff_id == RIFF_TAG && header.wave_id == WAVE_TAG &&
           header.format_chunk_id == FORMAT_CHUNK_TAG && header.data_id == DATA_TAG;
}

bool read_wave_header(std::FILE* file, WaveHeader& header) {
    unsigned char bytes[WAVE_HEADER_BYTES];
    const std::size_t length = std::fread(bytes, 1, sizeof bytes, file);
    return decode_wave_header(bytes, length, header);
}

}  // namespace vorik
