#include "difference_blocks.h"

#include <limits>

namespace vorik::check {
namespace {

bool add_next_second(void* state, ChannelDifferences* second, std::uint64_t first_frame) {
    DifferenceBlocks& parallel = *static_cast<DifferenceBlocks*>(state);
    const std::uint16_t channels = parallel.plan.channels;
    std::uint64_t first_sample = 0;
    // The frames the pieces count must be the loop's.
    if (!next_summable_block(parallel, first_sample) || first_sample != first_frame * channels) {
        return false;
    }
    const DifferencePieceSumming::Plan plan{channels};
    const auto plan_now = [plan] { return plan; };
    const auto add = [second, channels](const DifferencePieceSumming::Plan&,
                                        const DifferencePieceSumming::Piece& piece) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            merge_channel_differences(second[c], piece.channels[c]);
        }
        return true;
    };
    return add_block_pieces(parallel, first_sample, plan_now, add);
}

}  // namespace

DifferencePieceSumming::Piece DifferencePieceSumming::sum_piece(const Plan& plan, std::uint64_t first_sample,
                                                                const std::int16_t* original,
                                                                const std::int16_t* copy,
                                                                std::uint32_t count) {
    Piece piece{};
    add_channel_differences(piece.channels, plan.channels, original, copy, count / plan.channels,
                            first_sample / plan.channels);
    return piece;
}

bool start_difference_blocks(DifferenceBlocks& parallel, FileSource& original, FileSource& copy,
                             std::uint16_t channels, std::uint32_t sample_rate, std::uint64_t end_frame) {
    const std::uint64_t second_samples = std::uint64_t{sample_rate} * channels;
    if (channels > MAX_SUMMED_CHANNELS || second_samples > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    const std::uint64_t end_sample = end_frame > std::numeric_limits<std::uint64_t>::max() / channels
                                         ? std::numeric_limits<std::uint64_t>::max()
                                         : end_frame * channels;
    return start_parallel_blocks(parallel, original, copy, channels,
                                 static_cast<std::uint32_t>(second_samples), end_sample,
                                 DifferencePieceSumming::Plan{channels});
}

detail::SecondSummer difference_second_summer(DifferenceBlocks& parallel) {
    return {add_next_second, &parallel};
}

}  // namespace vorik::check
