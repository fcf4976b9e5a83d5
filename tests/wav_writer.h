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

// The low `width` bytes of value, least significant first.
std::string little_endian(std::uint64_t value, std::size_t width);

// Canonical 44-byte header (RIFF, WAVE, 16-byte fmt chunk, data) followed by
// the samples as 16-bit little-endian values.
std::string wav_bytes(const WavFormat& format, const std::vector<std::int16_t>& samples);

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
