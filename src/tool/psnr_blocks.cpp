#include "psnr_blocks.h"

#include <limits>

namespace vorik {
namespace {

constexpr std::uint32_t SAMPLES_PER_PAIR = 2;

bool add_next_block(void* state, PsnrAccumulator& totals) {
    PsnrBlocks& parallel = *static_cast<PsnrBlocks*>(state);
    std::uint64_t first_sample = 0;
    if (!next_summable_block(parallel, first_sample) ||
        !detail::psnr_pieces_apply(detail::plan_psnr_pieces(totals))) {
        return false;
    }
    PsnrAccumulator added = totals;
    const auto plan_now = [&added] { return detail::plan_psnr_pieces(added); };
    const auto add = [&added](const detail::PiecePlan& plan, const detail::PieceSums& piece) {
        return detail::add_psnr_piece(added, plan, piece);
    };
    if (!add_block_pieces(parallel, first_sample, plan_now, add)) {
        return false;
    }
    totals = added;
    return true;
}

}  // namespace

PsnrPieceSumming::Piece PsnrPieceSumming::sum_piece(const Plan& plan, std::uint64_t,
                                                    const std::int16_t* first, const std::int16_t* second,
                                                    std::uint32_t count) {
    return detail::sum_psnr_piece(plan, first, second, count);
}

bool start_psnr_blocks(PsnrBlocks& parallel, FileSource& first, FileSource& second,
                       std::uint32_t block_samples, const PsnrAccumulator& start) {
    // The files are read to their end: only their sizes bound the blocks.
    return start_parallel_blocks(parallel, first, second, SAMPLES_PER_PAIR, block_samples,
                                 std::numeric_limits<std::uint64_t>::max(), detail::plan_psnr_pieces(start));
}

detail::BlockSummer psnr_block_summer(PsnrBlocks& parallel) { return {add_next_block, &parallel}; }

}  // namespace vorik
