// Reads one block of the two files in lockstep and measures it.
//
// A block is one second of audio, and a header can claim up to 2^32 - 1
// samples for it. So a block is read in chunks into two buffers of a fixed
// size, with the results of reading it whole: pairs counted from the start
// of the block, the counts the whole block's, and a block whose counts
// differ left unmeasured.
#pragma once

#include <cstdint>
#include <cstdio>

#include "psnr_meter.h"

// Samples per chunk and file: 256 KiB a buffer. Smaller reads cost
// measurably more system time on files in the page cache; larger ones
// gained nothing. Even, so that pairs never straddle two chunks.
constexpr std::uint32_t CHUNK_SAMPLES = 128 * 1024;

struct ChunkBuffers {
    std::int16_t* first;     // chunk of the first file
    std::int16_t* second;    // chunk of the second file
    std::uint32_t capacity;  // samples each buffer holds: non-zero, and even
                             // unless it covers the whole block
};

struct BlockCounts {
    std::uint32_t first;   // whole samples the first file gave for the block
    std::uint32_t second;  // likewise for the second file
    bool read_failed;      // a read stopped short on an error, not at the end
};

// Reads up to `block_samples` samples of each file. When both counts agree
// and nothing failed, the block's squared differences are added to
// `accumulator`; otherwise it is left as it was.
BlockCounts read_and_accumulate_block(std::FILE* first_file, std::FILE* second_file,
                                      std::uint32_t block_samples, const ChunkBuffers& buffers,
                                      PsnrAccumulator& accumulator);
