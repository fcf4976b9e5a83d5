// Reads one block of the two files in lockstep and measures it.
//
// A block is one second of audio, and a header can claim up to 2^32 - 1
// samples for it. A regular file is measured where it lies, through a
// read-only mapping of one window of it at a time, with no copy at all; any
// other input (a pipe, a device, a stream in memory) is read in chunks into
// a buffer of a fixed size. Either way the results are those of reading each
// block whole: pairs counted from the start of the block, the counts the
// whole block's, and a block whose counts differ left unmeasured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform.h"
#include "psnr_meter.h"

// Samples per chunk and file read through a stream: 256 KiB a buffer.
// Smaller reads cost measurably more system time on files in the page
// cache; larger ones gained nothing. Even, so that pairs never straddle two
// chunks.
constexpr std::uint32_t CHUNK_SAMPLES = 128 * 1024;

// Bytes of a file one mapping window spans. A window is faulted in a few
// large steps where the page cache holds the file in large folios; smaller
// windows cost more in mapping calls and faults than the copy of a read
// saves, and two windows of this size keep the resident memory small.
constexpr std::size_t WINDOW_BYTES = std::size_t{4} << 20;

// One input file, from just past its header on.
struct SampleInput {
    std::FILE* file;
    bool in_place;              // measured in place rather than read through the stream
    MappedInput mapped;         // measured in place: the current window
    std::uint64_t next_offset;  // measured in place: where the next sample starts in the file
    std::size_t window_bytes;   // measured in place: how much a window spans, 4 bytes or more
    unsigned costly_windows;    // measured in place: windows in small pages in a row, just now
    std::int16_t* buffer;       // read through the stream: room for `capacity` samples
    std::uint32_t capacity;     // non-zero, and even unless it covers the whole block
};

// Sets `input` up to be measured in place, in windows of `window_bytes`, if
// its file allows it: a regular file that the system maps, on a
// little-endian host. Returns whether it does. Every input needs its buffer
// all the same: one that is read through its stream uses it from the start,
// and one whose windows turn out to lie in small pages goes on reading
// through its stream from there.
bool measure_in_place(SampleInput& input, std::size_t window_bytes);

struct BlockCounts {
    std::uint32_t first;   // whole samples the first file gave for the block
    std::uint32_t second;  // likewise for the second file
    bool read_failed;      // a read failed, or a file shrank while it was measured
};

// Takes up to `block_samples` samples of each input. When both counts
// agree and nothing failed, the block's squared differences are added to
// `accumulator`; otherwise it is left as it was.
BlockCounts read_and_accumulate_block(SampleInput& first, SampleInput& second, std::uint32_t block_samples,
                                      PsnrAccumulator& accumulator);
