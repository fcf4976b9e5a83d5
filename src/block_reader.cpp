#include "block_reader.h"

#include <algorithm>
#include <bit>

namespace {

constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);
// A file read back from disk starts in the small pages of the first, short
// read-ahead steps, for a few windows; only this many windows in small pages
// in a row tell that its page cache holds it so, as on a memory file system
// or for a file just written.
constexpr unsigned COSTLY_WINDOWS_BEFORE_READING = 4;
// A window must hold at least one pair, whatever the block's size.
constexpr std::uint64_t SAMPLES_PER_PAIR = 2;

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
    SampleInput* input;
    std::uint32_t count;        // samples taken so far in this block
    const std::int16_t* ready;  // samples made ready and not taken yet
    std::uint32_t ready_count;
    bool ended;   // the file has nothing more to give in this block
    bool failed;  // a read failed, or the file shrank below what was measured
};

// Reads the side's next chunk through its stream.
void read_chunk(BlockSide& side, std::uint32_t wanted) {
    SampleInput& input = *side.input;
    const std::uint32_t asked = std::min(input.capacity, wanted);
    const auto got =
        static_cast<std::uint32_t>(std::fread(input.buffer, sizeof *input.buffer, asked, input.file));
    samples_from_little_endian(input.buffer, got);
    side.ready = input.buffer;
    side.ready_count = got;
    side.ended = got < asked;
    side.failed = std::ferror(input.file) != 0;
}

// Leaves the mapping for the stream, from the next sample on.
void read_on_through_stream(BlockSide& side, std::uint32_t wanted) {
    SampleInput& input = *side.input;
    release_mapped_input(input.mapped);
    input.in_place = false;
    if (!seek_stream(input.file, input.next_offset)) {
        side.failed = true;
        return;
    }
    read_chunk(side, wanted);
}

std::uint64_t samples_before_end(const SampleInput& input) {
    const MappedInput& mapped = input.mapped;
    return mapped.file_bytes > input.next_offset ? (mapped.file_bytes - input.next_offset) / BYTES_PER_SAMPLE
                                                 : 0;
}

bool window_holds(const SampleInput& input, std::uint64_t samples) {
    const MappedInput& mapped = input.mapped;
    return mapped.window != nullptr && input.next_offset >= mapped.window_offset &&
           input.next_offset + samples * BYTES_PER_SAMPLE <= mapped.window_offset + mapped.window_bytes;
}

// Makes the side's next samples ready where they lie in the window, moving
// the window on as needed.
void make_ready_in_place(BlockSide& side, std::uint32_t wanted) {
    SampleInput& input = *side.input;
    MappedInput& mapped = input.mapped;
    // At the end of the file as last seen, look again: a read would find
    // what was written since. A file that shrank below what was measured
    // has lost data under its window.
    if (samples_before_end(input) < wanted &&
        (!look_again_at_size(mapped) || mapped.file_bytes < input.next_offset)) {
        side.failed = true;
        return;
    }
    const std::uint64_t left = samples_before_end(input);
    if (left == 0) {
        side.ended = true;
        return;
    }
    std::uint64_t count = std::min<std::uint64_t>(wanted, left);
    if (!window_holds(input, std::min(count, SAMPLES_PER_PAIR))) {
        if (!move_window(mapped, input.next_offset, input.window_bytes)) {
            side.failed = true;
            return;
        }
        input.costly_windows = window_maps_cheaply(mapped) ? 0 : input.costly_windows + 1;
        if (input.costly_windows == COSTLY_WINDOWS_BEFORE_READING) {
            read_on_through_stream(side, wanted);
            return;
        }
    }
    const std::uint64_t in_window =
        (mapped.window_offset + mapped.window_bytes - input.next_offset) / BYTES_PER_SAMPLE;
    if (in_window < count) {
        // The window, not the block or the file, ends here: stop on a
        // whole pair, so that no pair straddles two chunks.
        count = in_window - in_window % SAMPLES_PER_PAIR;
    }
    // Alignment holds: windows start on a page, samples on an even offset.
    side.ready =
        reinterpret_cast<const std::int16_t*>(mapped.window + (input.next_offset - mapped.window_offset));
    side.ready_count = static_cast<std::uint32_t>(count);
    side.ended = count == left && left < wanted;
}

// Makes samples ready unless some are, or the side is done with the block.
void make_ready(BlockSide& side, std::uint32_t block_samples) {
    if (side.ready_count > 0 || side.ended || side.failed || side.count == block_samples) {
        return;
    }
    const std::uint32_t wanted = block_samples - side.count;
    if (side.input->in_place) {
        make_ready_in_place(side, wanted);
    } else {
        read_chunk(side, wanted);
    }
}

void take(BlockSide& side, std::uint32_t count) {
    side.ready += count;
    side.ready_count -= count;
    side.count += count;
    side.input->next_offset += count * BYTES_PER_SAMPLE;
}

// One pass over a block, measured into a copy of the totals.
struct BlockPass {
    BlockSide first;
    BlockSide second;
    std::uint32_t block_samples;
    PsnrAccumulator totals;
};

// Both files are taken to the end of the block even once they disagree,
// so the counts and any failure are those of the whole block. While both
// give samples they give the same number, so every chunk measured starts
// on a pair of the block; an odd one is the last either file gives.
void take_block(void* context) {
    BlockPass& pass = *static_cast<BlockPass*>(context);
    for (;;) {
        make_ready(pass.first, pass.block_samples);
        make_ready(pass.second, pass.block_samples);
        const std::uint32_t first_count = pass.first.ready_count;
        const std::uint32_t second_count = pass.second.ready_count;
        if (first_count == 0 && second_count == 0) {
            return;
        }
        if (first_count > 0 && second_count > 0) {
            const std::uint32_t count = std::min(first_count, second_count);
            accumulate_block(pass.totals, pass.first.ready, pass.second.ready, count);
            take(pass.first, count);
            take(pass.second, count);
        } else {
            // One file has ended: the counts differ, and only counting is left.
            take(pass.first, first_count);
            take(pass.second, second_count);
        }
    }
}

}  // namespace

bool measure_in_place(SampleInput& input, std::size_t window_bytes) {
    // In place, samples are taken as they lie in the file: little-endian.
    if constexpr (std::endian::native != std::endian::little) {
        return false;
    }
    const long header_end = std::ftell(input.file);
    if (header_end < 0) {
        return false;
    }
    input.next_offset = static_cast<std::uint64_t>(header_end);
    input.window_bytes = window_bytes;
    input.in_place = start_mapped_input(input.file, input.next_offset, window_bytes, input.mapped);
    return input.in_place;
}

BlockCounts read_and_accumulate_block(SampleInput& first, SampleInput& second, std::uint32_t block_samples,
                                      PsnrAccumulator& accumulator) {
    BlockPass pass{{&first, 0, nullptr, 0, false, false},
                   {&second, 0, nullptr, 0, false, false},
                   block_samples,
                   accumulator};
    const bool completed = run_guarded_against_vanished_pages(take_block, &pass);
    const bool read_failed = !completed || pass.first.failed || pass.second.failed;
    if (!read_failed && pass.first.count == pass.second.count) {
        accumulator = pass.totals;
    }
    return {pass.first.count, pass.second.count, read_failed};
}
