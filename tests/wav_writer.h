#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorik_test {

inline constexpr std::size_t WAV_HEADER_SIZE = 44;
inline constexpr std::uint16_t FORMAT_PCM = 1;

struct WavFormat {
    std::uint16_t channels = 2;
    std::uint32_t sample_rate = 8;
    std::uint16_t bits_per_sample = 16;
    std::uint16_t format_tag = FORMAT_PCM;
};

// The low `width` bytes of value, least significant first. Defined here, as
// chunk() is, so that the Windows builds' unit tests, which cannot link the
// scratch directory, use them too.
inline std::string little_endian(std::uint64_t value, std::size_t width) {
    constexpr unsigned BITS_PER_BYTE = 8;
    std::string bytes;
    for (std::size_t i = 0; i < width; ++i) {
        bytes.push_back(static_cast<char>(value >> (BITS_PER_BYTE * i)));
    }
    return bytes;
}

// A RIFF chunk: its four-character id, the size of `body`, `body` and, after
// a body of odd size, the pad byte.
inline std::string chunk(const std::string& id, const std::string& body) {
    constexpr std::size_t SIZE_BYTES = 4;
    std::string bytes = id + little_endian(body.size(), SIZE_BYTES) + body;
    if (body.size() % 2 != 0) bytes.push_back('\0');
    return bytes;
}

// Samples as 16-bit little-endian values.
inline std::string samples_bytes(const std::vector<std::int16_t>& samples) {
    constexpr std::size_t BYTES_PER_SAMPLE = 2;
    std::string bytes;
    bytes.reserve(samples.size() * BYTES_PER_SAMPLE);
    for (const std::int16_t sample : samples) {
        bytes += little_endian(static_cast<std::uint16_t>(sample), BYTES_PER_SAMPLE);
    }
    return bytes;
}

// The 16-byte body of a plain format chunk.
inline std::string format_chunk_body(const WavFormat& format) {
    constexpr unsigned BITS_PER_BYTE = 8;
    constexpr std::size_t U16 = 2;
    constexpr std::size_t U32 = 4;
    const std::uint64_t block_align = std::uint64_t{format.channels} * format.bits_per_sample / BITS_PER_BYTE;
    return little_endian(format.format_tag, U16) + little_endian(format.channels, U16) +
           little_endian(format.sample_rate, U32) + little_endian(block_align * format.sample_rate, U32) +
           little_endian(block_align, U16) + little_endian(format.bits_per_sample, U16);
}

// A RIFF file of form WAVE holding `chunks`.
inline std::string riff(const std::string& chunks) {
    constexpr std::size_t FORM_BYTES = 4;
    return "RIFF" + little_endian(FORM_BYTES + chunks.size(), FORM_BYTES) + "WAVE" + chunks;
}

// Canonical 44-byte header (RIFF, WAVE, 16-byte fmt chunk, data) followed by
// the samples as 16-bit little-endian values.
inline std::string wav_bytes(const WavFormat& format, const std::vector<std::int16_t>& samples) {
    return riff(chunk("fmt ", format_chunk_body(format)) + chunk("data", samples_bytes(samples)));
}

// A fresh temporary directory inside `base` (the system's temporary
// directory unless given), removed with its contents on destruction.
class ScratchDir {
   public:
    ScratchDir();
    explicit ScratchDir(const std::string& base);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes bytes to `name` inside the directory and returns the file's path.
    std::string write(const std::string& name, const std::string& bytes) const;

   private:
    std::string path_;
};

}  // namespace vorik_test
