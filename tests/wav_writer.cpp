#include "wav_writer.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vorik_test {
namespace {

constexpr unsigned BITS_PER_BYTE = 8;
constexpr std::size_t U16 = 2;
constexpr std::size_t U32 = 4;
constexpr std::uint64_t FMT_CHUNK_SIZE = 16;
constexpr std::uint64_t RIFF_SIZE_BEFORE_DATA =
    WAV_HEADER_SIZE - 8;  // header minus "RIFF" and the size field
constexpr std::size_t BYTES_PER_SAMPLE = 2;

}  // namespace

std::string wav_bytes(const WavFormat& format, const std::vector<std::int16_t>& samples) {
    const std::size_t data_size = samples.size() * BYTES_PER_SAMPLE;
    const std::uint64_t block_align = std::uint64_t{format.channels} * format.bits_per_sample / BITS_PER_BYTE;
    std::string bytes = "RIFF" + little_endian(RIFF_SIZE_BEFORE_DATA + data_size, U32) + "WAVE" + "fmt " +
                        little_endian(FMT_CHUNK_SIZE, U32) + little_endian(format.format_tag, U16) +
                        little_endian(format.channels, U16) + little_endian(format.sample_rate, U32) +
                        little_endian(block_align * format.sample_rate, U32) +
                        little_endian(block_align, U16) + little_endian(format.bits_per_sample, U16) +
                        "data" + little_endian(data_size, U32);
    bytes.reserve(bytes.size() + data_size);
    for (const std::int16_t sample : samples) {
        bytes += little_endian(static_cast<std::uint16_t>(sample), BYTES_PER_SAMPLE);
    }
    return bytes;
}

ScratchDir::ScratchDir() : ScratchDir(std::filesystem::temp_directory_path().string()) {}

ScratchDir::ScratchDir(const std::string& base) {
    std::string pattern = (std::filesystem::path(base) / "vorik_e2e_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string& name, const std::string& bytes) const {
    const std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + file);
    return file;
}

}  // namespace vorik_test
