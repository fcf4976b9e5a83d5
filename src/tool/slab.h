// Reading a slab: about SLAB_BYTES of both files, the same samples of each,
// read READ_BYTES at a time and handed on in pieces while they are in the
// processor's cache, one piece for each part of a block in a read. A worker
// thread reads one slab at a time (see parallel_blocks.h). A slab whose
// files turn out shorter than it (cut short while they were read) fails; it
// never hands on bytes that were not in the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vorik {

// Bytes of the first file a slab spans: enough that claiming one is rare,
// few enough that the slabs ahead stay small.
constexpr std::size_t SLAB_BYTES = std::size_t{2} << 20;
// Bytes of the first file taken by one read, on page boundaries.
constexpr std::size_t READ_BYTES = std::size_t{256} << 10;
// Blocks smaller than this are not summed in slabs: a slab would hold too many.
constexpr std::uint32_t MIN_BLOCK_SAMPLES = 4096;
// Pieces start on whole units (a pair of samples, or a frame) of at most
// this many samples.
constexpr std::uint32_t MAX_UNIT_SAMPLES = 16;

constexpr std::size_t SLAB_SAMPLES = SLAB_BYTES / sizeof(std::int16_t);
// Pieces of a slab at most: one for each block it holds a part of, and one
// more for each read, which a piece does not straddle.
constexpr std::size_t MAX_PIECES = SLAB_SAMPLES / MIN_BLOCK_SAMPLES + 1 + SLAB_BYTES / READ_BYTES + 1;
// Buffers start on a page, and the samples of a read lie in them where they
// lie in a page of the first file: on page boundaries, reads copy fastest.
constexpr std::size_t BUFFER_ALIGNMENT = 4096;
// One read of one file, where it lies in its buffer.
constexpr std::size_t READ_BUFFER_BYTES =
    READ_BYTES + BUFFER_ALIGNMENT + MAX_UNIT_SAMPLES * sizeof(std::int16_t);
// A worker's buffers: one read of each file.
constexpr std::size_t SLAB_BUFFER_BYTES = 2 * READ_BUFFER_BYTES;

// The two files, as every worker takes them.
struct SlabFiles {
    std::FILE* files[2];
    std::uint64_t first_offsets[2];  // where sample 0 of each file lies
    std::uint32_t unit_samples;      // pieces start on whole units: 2 for pairs, the channels for frames
    std::uint32_t block_samples;     // a whole number of units
    std::uint64_t end_sample;        // the samples the workers may take, a whole number of blocks
};

// The samples a slab spans: from its first sample to the one after its last.
struct SlabSpan {
    std::uint64_t first_sample;
    std::uint64_t end_sample;
};

// One piece of a slab, as it was read: `count` samples of each file from
// `first_sample` on, all in one block and on whole units.
using PieceVisitor = void (*)(void* context, std::uint64_t first_sample, const std::int16_t* first,
                              const std::int16_t* second, std::uint32_t count);

// The slab that holds a sample. Slabs lie on SLAB_BYTES boundaries of the
// first file.
std::uint64_t slab_of(const SlabFiles& files, std::uint64_t sample);

SlabSpan slab_span(const SlabFiles& files, std::uint64_t slab);

// Reads `slab` of the files up to their end_sample into `buffers` (of
// SLAB_BUFFER_BYTES, on a page) and hands each piece to `visit` in order.
// Returns false where a read came short or failed.
bool read_slab(const SlabFiles& files, std::uint64_t slab, unsigned char* buffers, PieceVisitor visit,
               void* context);

}  // namespace vorik
