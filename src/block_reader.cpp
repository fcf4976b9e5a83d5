#include "block_reader.h"

#include <algorithm>
#include <bit>

namespace {

// Samples are little-endian in the file; swap them where the host is not.
void samples_from_little_endian(std::int16_t* samples, std::uint32_t count) {
    if constexpr (std::endian::native == std::endian::big) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(samples[i]);
            samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8 | bits >> 8));
        }
    }
}

// One file's progress through the current block.
struct BlockSide {
    std::FILE* file;
    std::int16_t* buffer;
    std::uint32_t count;  // samples read so far in this block
    bool ended;           // a short read: the file has nothing more to give
};

bool still_reading(const BlockSide& side, std::uint32_t block_samples) {
    return !side.ended && side.count < block_samples;
}

// Reads the side's next chunk, or nothing once its block is complete.
std::uint32_t read_chunk(BlockSide& side, std::uint32_t block_samples, std::uint32_t capacity) {
    if (!still_reading(side, block_samples)) {
        return 0;
    }
    const std::uint32_t wanted = std::min(capacity, block_samples - side.count);
    const auto got =
        static_cast<std::uint32_t>(std::fread(side.buffer, sizeof *side.buffer, wanted, side.file));
    samples_from_little_endian(side.buffer, got);
    side.count += got;
    side.ended = got < wanted;
    return got;
}

}  // namespace

BlockCounts read_and_accumulate_block(std::FILE* first_file, std::FILE* second_file,
                                      std::uint32_t block_samples, const ChunkBuffers& buffers,
                                      PsnrAccumulator& accumulator) {
    // Measured into a copy, kept only once the whole block's counts agree:
    // the summation order stays that of one pass over the block.
    PsnrAccumulator block_totals = accumulator;
    BlockSide first{first_file, buffers.first, 0, false};
    BlockSide second{second_file, buffers.second, 0, false};
    bool counts_agree = true;

    // Both files are read to the end of the block even once they disagree,
    // so the counts and any read error are those of the whole block.
    while (still_reading(first, block_samples) || still_reading(second, block_samples)) {
        const std::uint32_t got_first = read_chunk(first, block_samples, buffers.capacity);
        const std::uint32_t got_second = read_chunk(second, block_samples, buffers.capacity);
        counts_agree = counts_agree && got_first == got_second;
        if (counts_agree) {
            accumulate_block(block_totals, first.buffer, second.buffer, got_first);
        }
    }

    const bool read_failed = std::ferror(first_file) != 0 || std::ferror(second_file) != 0;
    if (counts_agree && !read_failed) {
        accumulator = block_totals;
    }
    return {first.count, second.count, read_failed};
}
