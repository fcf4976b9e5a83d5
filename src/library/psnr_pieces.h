// Pairs summed in pieces apart, by other threads, and added in order to the
// very totals accumulate_block gives. Not part of the library's interface:
// the tool's worker threads use it, and accumulate_block is made of the same
// steps.
//
// Plan from the totals before the run of pieces, sum every piece with that
// plan, add the pieces one after another. Where a total passes 2^53, or a
// power of two past it, within a piece, the plan no longer holds and adding
// refuses the piece: its pairs, and those after it, are then added with
// accumulate_block. A piece holds whole pairs of a block, so blocks are cut
// only at even counts; a lone last sample of a block is left out.
#pragma once

#include <vorik/psnr_meter.h>

#include <cstdint>

namespace vorik::detail {

// How a side's total takes squares, bit for bit as additions one by one would.
enum class SideSumming : unsigned char {
    in_order,        // one by one: a total that no additions of squares make, or
                     // a spacing where the rounded sums are slower than the in-order loop
    exact_integers,  // below 2^53, where every partial sum is a whole number, exact
    rounded,         // from 2^53, where every addition rounds to the spacing of the total's binade
    unchanged,       // the spacing is so wide that every square rounds away
};

struct PiecePlan {
    SideSumming left;
    SideSumming right;
    unsigned left_spacing_exponent;  // of a rounded side: the spacing is 2^this
    unsigned right_spacing_exponent;

    friend bool operator==(const PiecePlan&, const PiecePlan&) = default;
};

// What one piece adds, as its plan sums it. A piece summed before its totals
// are known takes each rounded side as if its total were an even multiple,
// with what an odd one changes beside it; accumulate_block sums its steps
// from the totals' own starts, with no change beside them.
struct PieceSums {
    std::uint64_t pairs;
    std::uint64_t left_sum;  // the exact sum, or the rounded one
    std::uint64_t right_sum;
    int left_odd_start;  // what the rounded sum gains where the total is an odd multiple
    int right_odd_start;
};

// Returns the plan for pieces that follow the totals in `accumulator`.
PiecePlan plan_psnr_pieces(const PsnrAccumulator& accumulator);

// Whether pairs can be summed in pieces from these totals at all: false where
// a side must be added in order.
bool psnr_pieces_apply(const PiecePlan& plan);

// Returns what the first `count` samples of two blocks add, pair by pair,
// summed as `plan` says, as if from even multiples; it reads nothing but the
// samples and the plan.
PieceSums sum_psnr_piece(const PiecePlan& plan, const std::int16_t* first_block,
                         const std::int16_t* second_block, std::uint32_t count);

// Adds a piece to `accumulator`. Returns false, and changes nothing, where
// the plan is not the one for the totals in `accumulator`, or a total would
// pass 2^53 or a power of two past it within the piece.
bool add_psnr_piece(PsnrAccumulator& accumulator, const PiecePlan& plan, const PieceSums& piece);

}  // namespace vorik::detail
