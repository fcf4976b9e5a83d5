// A regular file's samples read through its stream, as the library reads
// them, with the file watched: one cut short while it is measured fails the
// read rather than pass for a file that ended. How a regular file is taken
// where the two inputs cannot be measured by several threads (see
// parallel_measurement.h).
#pragma once

#include <vorik/measurement.h>

#include <cstdint>

namespace vorik {

struct FileSource {
    StreamInput* stream;           // the input's stream
    std::uint64_t next_offset;     // where the next sample starts in the file
    std::uint64_t bytes_at_start;  // the file's size when the measurement started: it must not end before
};

// Sets `source` up to read the samples of `stream`'s file from where its
// stream stands on, if it is a regular file. Returns whether it is; a
// measurement then takes its samples through file_sample_source.
bool take_from_file(FileSource& source, StreamInput& stream);

// Where a measurement takes the samples of a FileSource set up by take_from_file.
SampleSource file_sample_source(FileSource& source);

}  // namespace vorik
