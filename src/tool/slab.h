// Taking a slab: the same SLAB_BYTES of both files, read READ_BYTES at a
// time and summed while in the processor's cache, in pieces, one for each
// part of a block in a read. A worker thread takes one slab at a time (see
// parallel_blocks.h). A slab whose files turn out shorter than it (cut short
// while they were read) fails; it never gives sums of bytes that were not in
// the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "psnr_pieces.h"

namespace vorik {

// Bytes of each file a slab spans: enough that claiming one is rare, few
// enough that the slabs ahead stay small.
constexpr std::size_t SLAB_BYTES = std::size_t{2} << 20;
// Bytes taken by one read, on page boundaries, and summed while they are in
// the processor's cache.
constexpr std::size_t READ_BYTES = std::size_t{256} << 10;
// Blocks smaller than this are not summed in slabs: a slab would hold too many.
constexpr std::uint32_t MIN_BLOCK_SAMPLES = 4096;

constexpr std::size_t SLAB_SAMPLES = SLAB_BYTES / sizeof(std::int16_t);
// Pieces of a slab at most: one for each block it holds a part of, and one
// more for each read, which a piece does not straddle.
constexpr std::size_t MAX_PIECES = SLAB_SAMPLES / MIN_BLOCK_SAMPLES + 1 + SLAB_BYTES / READ_BYTES;
// A worker's buffers: one read of each file.
constexpr std::size_t SLAB_BUFFER_BYTES = 2 * READ_BYTES;

// The two files, as every worker takes them.
struct SlabFiles {
    std::FILE* files[2];
    std::uint32_t block_samples;
    std::uint64_t end_sample;  // the samples the workers may take; counted from the files' first
};

struct SlabPiece {
    std::uint64_t end;  // the sample after its last
    detail::PieceSums sums;
};

// One slab's sums: its pieces in order, from its first sample to its last.
struct SlabSums {
    detail::PiecePlan plan;  // the plan its pieces are summed with
    std::uint64_t first_sample;
    std::uint64_t end_sample;
    bool failed;
    std::size_t piece_count;
    SlabPiece pieces[MAX_PIECES];
};

// The slab that holds a sample. Slabs lie on SLAB_BYTES boundaries of the
// files: the first one holds the header.
std::uint64_t slab_of(std::uint64_t sample);

// Takes `slab` of the files up to their end_sample into `buffers` (of
// SLAB_BUFFER_BYTES), summing its pieces with `sums.plan`; `sums.failed`
// tells whether a read came short or failed.
void take_slab(const SlabFiles& files, std::uint64_t slab, unsigned char* buffers, SlabSums& sums);

}  // namespace vorik
