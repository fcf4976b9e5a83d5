// vorik-check's whole seconds summed by the worker threads of
// parallel_blocks.h: how each channel of a piece differs, in exact integers,
// merged in order into the second's records.
#pragma once

#include <vorik/channel_differences.h>

#include <cstdint>

#include "channel_measurement_detail.h"
#include "parallel_blocks.h"

namespace vorik::check {

// Channels the threads sum at most; files with more are read by the loop alone.
constexpr std::uint16_t MAX_SUMMED_CHANNELS = 8;

struct DifferencePieceSumming {
    struct Plan {
        std::uint16_t channels;
        friend bool operator==(const Plan&, const Plan&) = default;
    };
    struct Piece {
        ChannelDifferences channels[MAX_SUMMED_CHANNELS];
    };
    static Piece sum_piece(const Plan& plan, std::uint64_t first_sample, const std::int16_t* original,
                           const std::int16_t* copy, std::uint32_t count);
};

using DifferenceBlocks = ParallelBlocks<DifferencePieceSumming>;

// Sets `parallel` up to sum whole seconds of two regular files of
// `channels` channels at `sample_rate`, at most `end_frame` frames of each
// from where the loop starts. Returns whether it can; then the loop takes
// difference_second_summer.
bool start_difference_blocks(DifferenceBlocks& parallel, FileSource& original, FileSource& copy,
                             std::uint16_t channels, std::uint32_t sample_rate, std::uint64_t end_frame);

detail::SecondSummer difference_second_summer(DifferenceBlocks& parallel);

}  // namespace vorik::check
