// A regular file's samples, read at offsets, with the file watched: one cut
// short while it is measured fails the read rather than pass for a file that
// ended. How a block loop reads a regular file; where both inputs are
// regular files, worker threads may sum whole blocks ahead of it and move
// both sources past them (see parallel_blocks.h).
#pragma once

#include <vorik/detail/reading.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vorik {

// Reads `bytes` of `file` from `offset` into `buffer`: the system's read
// (read_file_at), or one of a test's. Returns the bytes read, fewer only
// where the file ends as the read sees it, or -1 where the read fails.
using ReadAt = std::int64_t (*)(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes);

struct FileSource {
    detail::StreamInput* input;    // the input's file, and the buffer to read it into
    std::uint64_t first_offset;    // where the file's first sample lies
    std::uint64_t next_offset;     // where the next sample to measure starts in the file
    std::uint64_t bytes_at_start;  // the file's size when the measurement started
    bool grew;                     // the file was seen larger than at the start
    ReadAt read_at;
};

// Sets `source` up to read the samples of `input`'s file from
// `first_offset`, where its first sample lies, if it is a regular file.
// Returns whether it is; a measurement then reads its samples through
// file_sample_source.
bool read_from_file(FileSource& source, detail::StreamInput& input, std::uint64_t first_offset);

// Where a measurement reads the samples of a FileSource set up by read_from_file.
detail::SampleSource file_sample_source(FileSource& source);

// Moves the source past `samples` that were measured without it.
void skip_file_samples(FileSource& source, std::uint64_t samples);

// Where samples lie in a file whose first sample lies at `first_offset`.
constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);

// The whole samples a file of `bytes` holds from `first_offset` on.
constexpr std::uint64_t samples_in(std::uint64_t bytes, std::uint64_t first_offset) {
    return bytes > first_offset ? (bytes - first_offset) / BYTES_PER_SAMPLE : 0;
}

// Where sample `sample` starts.
constexpr std::uint64_t offset_of(std::uint64_t sample, std::uint64_t first_offset) {
    return first_offset + sample * BYTES_PER_SAMPLE;
}

}  // namespace vorik
