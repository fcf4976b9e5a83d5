// Taking a slab: the same SLAB_BYTES of both files, mapped in place or read,
// and summed in pieces, one for each part of a block in it. A worker thread
// takes one slab at a time (see parallel_blocks.h).
//
// A slab is mapped where the files may be mapped and reading is not cheaper:
// regular files with no holes, not on a memory file system, on a system
// that maps files. Where a mapping fails, that slab and every later one is
// read. A slab whose files turn out shorter than it (cut short while they
// were summed) fails; it never gives sums of bytes that were not in the files.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/mapping.h"
#include "psnr_pieces.h"

namespace vorik {

// Bytes of each file a slab spans: large folios of the page cache are 2 MiB
// at most, and a window of this size on a like boundary takes them whole.
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

// The two files, as every worker takes them.
struct SlabFiles {
    std::FILE* files[2];
    std::uint32_t block_samples;
    std::uint64_t end_sample;  // the samples the workers may take; counted from the files' first
    bool map_files;            // the files may be mapped
    std::atomic<bool> mapping_failed;
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

// The slab that holds a sample, and the sample a slab starts with. Slabs lie
// on SLAB_BYTES boundaries of the files: the first one holds the header.
std::uint64_t slab_of(std::uint64_t sample);
std::uint64_t slab_start(std::uint64_t slab);

// A worker's arena: a window and a read buffer for each file. False where
// there is not the memory.
bool reserve_slab_reader(SlabArena& arena);

// Takes `slab` of the files up to their end_sample, summing its pieces with
// `sums.plan`; `sums.failed` tells whether the files were shorter than it.
void take_slab(SlabArena& arena, SlabFiles& files, std::uint64_t slab, SlabSums& sums);

}  // namespace vorik
