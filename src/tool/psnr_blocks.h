// vorik's whole blocks summed by the worker threads of parallel_blocks.h:
// pieces of pairs summed with the meter's plan (psnr_pieces.h) and added in
// order; where a piece's plan no longer holds (a total passed 2^53 or a
// power of two past it), the loop reads that block itself.
#pragma once

#include <cstdint>

#include "measurement_detail.h"
#include "parallel_blocks.h"
#include "psnr_pieces.h"

namespace vorik {

struct PsnrPieceSumming {
    using Plan = detail::PiecePlan;
    using Piece = detail::PieceSums;
    static Piece sum_piece(const Plan& plan, std::uint64_t first_sample, const std::int16_t* first,
                           const std::int16_t* second, std::uint32_t count);
};

using PsnrBlocks = ParallelBlocks<PsnrPieceSumming>;

// Sets `parallel` up to sum whole blocks of pairs of two regular files, from
// the totals `start` on. Returns whether it can; then the loop takes
// psnr_block_summer.
bool start_psnr_blocks(PsnrBlocks& parallel, FileSource& first, FileSource& second,
                       std::uint32_t block_samples, const PsnrAccumulator& start);

detail::BlockSummer psnr_block_summer(PsnrBlocks& parallel);

}  // namespace vorik
