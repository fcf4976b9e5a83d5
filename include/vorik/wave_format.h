// Any RIFF/WAVE file of 16-bit integer PCM as writers produce it, found by
// walking its chunks: what vorik-check reads.
//
// The chunks are walked in the order they lie, each as its size says (a
// chunk of odd size is followed by one pad byte), and every chunk other than
// the format chunk, `ds64` and the data chunk (LIST, fact, bext, JUNK,
// "id3 " and any other) is skipped. The format chunk may be the plain one
// of 16 or 18 bytes or WAVE_FORMAT_EXTENSIBLE with the PCM sub-format. A
// second format chunk is refused: which of the two the writer meant cannot
// be told. An RF64 or BW64 file must give its sizes in a `ds64` chunk, its
// first one; a data size of 0xFFFFFFFF there means the size in `ds64`. A
// data size of 0 or 0xFFFFFFFF (of `ds64`, also 2^64 - 1), as a writer to a
// pipe leaves it, means the samples run to the end of the file. The size of
// the RIFF chunk is never read: such writers leave it wrong as well.
//
// The walk reads the stream in order and never seeks, so a pipe can be
// read too; it reads nothing after the data chunk's header, so it stops at
// the first sample. Only samples that lie in a data chunk after a format
// chunk are ever measured.
#pragma once

#include <vorik/wave_header.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vorik {

// Format tags of the format chunk, and of the sub-format of
// WAVE_FORMAT_EXTENSIBLE.
inline constexpr std::uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr std::uint16_t WAVE_FORMAT_ALAW = 0x0006;
inline constexpr std::uint16_t WAVE_FORMAT_MULAW = 0x0007;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// What the walk found: a file of 16-bit PCM, or why the file is not one.
enum class WaveFormatStatus : unsigned char {
    pcm_16,       // 16-bit integer PCM; the stream stands at its first sample
    read_failed,  // reading the stream failed (std::ferror is set)
    not_wave,     // the file does not start with a RIFF, RF64 or BW64 chunk of form WAVE
    truncated,    // the file ends before the first sample of its data chunk
    // A chunk that cannot be right: a format chunk or ds64 too short for its
    // fields, a second format chunk, or another chunk where RF64 and BW64
    // need ds64. `chunk_id` and `chunk_size` name it.
    bad_chunk,
    data_before_format,  // a data chunk comes before any format chunk
    not_pcm,             // the samples are not integer PCM: `format_tag` says what they are
    not_16_bit,          // integer PCM of another width: `bits_per_sample` and `valid_bits`
    bad_layout,          // no channels, no sample rate, or a block align other than 2 bytes a channel
};

// What the walk read of a file. Fields it did not reach are 0.
struct WaveFormat {
    FourCc riff_id;  // "RIFF", "RF64" or "BW64"; for not_wave, the first bytes of the file
    // The format chunk's tag; of WAVE_FORMAT_EXTENSIBLE, its sub-format's, or
    // WAVE_FORMAT_EXTENSIBLE itself when the sub-format holds no tag.
    std::uint16_t format_tag;
    bool extensible;  // the format chunk is WAVE_FORMAT_EXTENSIBLE
    std::uint16_t channels;
    std::uint32_t sample_rate;
    std::uint16_t block_align;      // bytes of one frame: one sample of every channel
    std::uint16_t bits_per_sample;  // bits a sample takes in the file
    std::uint16_t
        valid_bits;  // bits of it that hold the sample: WAVE_FORMAT_EXTENSIBLE's, else bits_per_sample
    std::uint64_t data_offset;  // bytes from the start of the file to the first sample
    std::uint64_t data_bytes;   // the data chunk's size, or the one in ds64 that it names; 0 if data_to_end
    bool data_to_end;  // the size is not given (0 or 0xFFFFFFFF): the samples run to the end of the file
    FourCc chunk_id;   // for bad_chunk, the chunk at fault
    std::uint64_t chunk_size;  // for bad_chunk, its size as its header gives it
};

// Walks the chunks of `file` from where its stream stands (the start of the
// file) to the first sample of its data chunk, and fills `format` with what
// it read. Returns pcm_16 when the file holds 16-bit integer PCM of a sound
// layout: the stream then stands at the first sample, `data_offset` bytes
// from where it started. Anything else says why the file cannot be measured.
WaveFormatStatus read_wave_format(std::FILE* file, WaveFormat& format);

}  // namespace vorik
