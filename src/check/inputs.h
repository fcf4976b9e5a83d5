// vorik-check's two inputs: opened by path or taken from standard input,
// their formats read, and the start of their samples kept for the delay
// search.
//
// A regular file is read at offsets (file_source.h), so that worker threads
// can sum it; the start it gives the delay search is read again when it is
// measured. A pipe cannot be read twice: the start read for the search is
// kept and measured first, then the stream goes on.
#pragma once

#include <vorik/channel_measurement.h>
#include <vorik/wave_format.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "file_source.h"

namespace vorik::check {

// The first samples of an input's data, read for the delay search.
struct SampleStart {
    std::int16_t* samples;  // host byte order; allocated
    std::uint64_t count;    // samples read
    bool at_end;            // the input ended within them
};

// A pipe's samples: first the start kept for the search, then its stream.
struct KeptStartSource {
    SampleStart* start;
    std::uint64_t given;          // samples of the start given so far
    detail::StreamInput* stream;  // the library's reading of the rest
};

struct CheckInput {
    const char* path;  // as given; "-" stands for standard input
    std::FILE* file;
    bool owned;  // opened here, closed when the run is released
    WaveFormat format;
    bool regular;  // read at offsets through `file_source`
    FileSource file_source;
    SampleStart start;
    KeptStartSource kept_start;
};

// Opens `input.path` (or takes standard input) and reads its format.
// Returns an empty string, or the line that says why it cannot be measured.
std::string open_check_input(CheckInput& input);

// Reads at most `frames` frames from the start of the input's data for the
// delay search. Returns false where the memory or the read fails (`error`
// says which).
bool read_sample_start(CheckInput& input, std::uint64_t frames, std::string& error);

// Sets the source the measurement reads `input` through: offsets for a
// regular file, the kept start and then the stream for a pipe.
void read_input_through(CheckInput& input, detail::ChannelReading& measured);

// Closes what open_check_input opened and frees the kept start; harmless twice.
void release_check_input(CheckInput& input);

// The line for a format that cannot be measured, naming the file.
std::string format_refusal(const char* path, WaveFormatStatus status, const WaveFormat& format);

}  // namespace vorik::check
