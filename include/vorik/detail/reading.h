// How the library reads the inputs of a measurement: the parts of its
// records that callers do not use. Not part of the library's interface; the
// vorik tools set their own sources here, to read regular files at offsets.
#pragma once

#include <cstdint>
#include <cstdio>

namespace vorik::detail {

// Samples the library's own reading takes of an input at a time: 256 KiB.
inline constexpr std::uint32_t CHUNK_SAMPLES = 128 * 1024;

// Samples an input has made ready, where they lie, in host byte order.
struct SampleRun {
    const std::int16_t* samples;
    std::uint32_t count;
    bool ended;   // the input has nothing more for this block, past these
    bool failed;  // reading the input failed
};

// Where a measurement takes an input's samples from. next(state, wanted)
// makes ready at most `wanted` of them, and they must stay where they lie
// until the next call. Unless the input ends with them (`ended`), it gives
// `wanted`, or a whole number of the measurement's units (pairs, frames),
// so that no unit straddles two runs.
struct SampleSource {
    SampleRun (*next)(void* state, std::uint32_t wanted);
    void* state;
};

// The library's own reading of an input: through its stream, little-endian
// in the file, into `buffer` in host byte order.
struct StreamInput {
    std::FILE* file;
    std::int16_t* buffer;
    std::uint32_t capacity;  // samples `buffer` holds: non-zero, a whole number of units
};

// A SampleSource's `next` for a StreamInput: reads up to `wanted` samples,
// at most `capacity`. A short read ends the input; a read error fails it.
SampleRun read_stream_samples(void* stream_input, std::uint32_t wanted);

// How a block measurement reads its two inputs: the library's own reading
// unless a tool sets other sources after start_measurement.
struct BlockReading {
    SampleSource first;
    SampleSource second;
    StreamInput first_stream;
    StreamInput second_stream;
    std::uint32_t block_samples;  // one second of the first file's layout
};

// How a channel measurement reads one input.
struct ChannelReading {
    SampleSource source;      // the library's own reading unless a tool sets another
    StreamInput stream;       // the library's own reading: the file and its buffer
    SampleRun ready;          // made ready by the source and not taken yet
    std::uint64_t data_left;  // samples the data chunk still holds; UINT64_MAX: to the end of the file
    bool ended;               // the input has nothing more
};

}  // namespace vorik::detail
