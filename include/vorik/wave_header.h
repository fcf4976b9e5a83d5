// The canonical 44-byte RIFF/WAVE header, and the check that recognises it.
//
// vorik takes a WAV file to be canonical: the four tags "RIFF", "WAVE", "fmt "
// and "data" at their fixed offsets 0, 8, 12 and 36, and the sample data from
// byte 44 to the end of the file. Nothing else in the header is checked: not
// the format tag, not the sizes. A file whose format chunk is longer than 16
// bytes, or that holds another chunk before "data" (as most encoders write a
// LIST chunk), is not recognised.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vorik {

inline constexpr std::size_t WAVE_HEADER_BYTES = 44;

// A chunk tag: four bytes, compared exactly (case matters).
using FourCc = std::array<char, 4>;

// The header exactly as it lies at the start of the file, integers decoded
// from little-endian. The comparison uses the tags, `channels` (of the first
// file), `sample_rate` and `bits_per_sample`; the other fields are kept so
// that the record reads like the file.
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

// Decodes up to 44 header bytes into `header`; bytes past `length` read as
// zero. Returns true when the four tags stand at their offsets. A header
// shorter than 40 bytes is never recognised: the check does not rest on a
// byte that was not given.
bool decode_wave_header(const unsigned char* bytes, std::size_t length, WaveHeader& header);

// Reads the first 44 bytes of `file`, in one read (fewer at the end of a
// short file), and decodes them as decode_wave_header does. Returns true when
// the file is recognised as WAV. False with std::ferror(file) set means the
// read failed, not that the file is something else. The stream is left just
// after the bytes it read, where the samples begin.
bool read_wave_header(std::FILE* file, WaveHeader& header);

}  // namespace vorik
