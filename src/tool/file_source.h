// A regular file's samples, read at offsets, with the file watched: one cut
// short while it is measured fails the read rather than pass for a file that
// ended. How the block loop takes a regular file; where both inputs are
// regular files, worker threads may sum whole blocks ahead of it and move
// both sources past them (see parallel_blocks.h).
#pragma once

#include <vorik/measurement.h>

#include <cstdint>

namespace vorik {

struct FileSource {
    StreamInput* input;            // the input's file, and the buffer to read it into
    std::uint64_t next_offset;     // where the next sample to measure starts in the file
    std::uint64_t bytes_at_start;  // the file's size when the measurement started
};

// Sets `source` up to read the samples of `input`'s file from where its
// stream stands on, if it is a regular file. Returns whether it is; a
// measurement then takes its samples through file_sample_source.
bool take_from_file(FileSource& source, StreamInput& input);

// Where a measurement takes the samples of a FileSource set up by take_from_file.
SampleSource file_sample_source(FileSource& source);

// Moves the source past `samples` that were measured without it.
void skip_file_samples(FileSource& source, std::uint64_t samples);

}  // namespace vorik
