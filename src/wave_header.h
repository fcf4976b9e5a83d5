// The canonical 44-byte RIFF/WAVE header and the check that recognises it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr std::size_t WAVE_HEADER_BYTES = 44;

using FourCc = std::array<char, 4>;

// The header exactly as it lies at the start of the file, integers decoded
// from little-endian. Only the tags, `channels`, `sample_rate` and
// `bits_per_sample` are ever looked at; the other fields are kept so the
// record reads like the file.
struct WaveHeader {
    FourCc riff_id;
    std::uint32_t riff_size;
    FourCc wave_id;
    FourCc format_chunk_id;
    std::uint32_t format_chunk_size;
    std::uint16_t format_tag;
    std::uint16_t channels;
    std::uint32_t sample_rate;
    std::uint32_t byte_rate;
    std::uint16_t block_align;
    std::uint16_t bits_per_sample;
    FourCc data_id;
    std::uint32_t data_size;
};

// Decodes up to 44 header bytes; bytes past `length` read as zero.
// Returns whether the four tags stand at their fixed offsets, and never
// rests on a byte that was not given.
bool decode_wave_header(const unsigned char* bytes, std::size_t length, WaveHeader& header);

// Reads the first 44 bytes of `file` in one read (fewer at the end of a short
// file) and decodes them. Leaves the stream just after the bytes it read, where
// the sample data begins. A false answer with ferror(file) set means the
// read failed rather than that the file is not a WAV file.
bool read_wave_header(std::FILE* file, WaveHeader& header);
