// The PSNR meter: running peak signal-to-noise ratio of two interleaved
// 16-bit sample streams.
//
// Within every block the samples are taken in pairs: the first of a pair
// counts toward the left total, the second toward the right, whatever the
// channel count. The totals are cumulative from the first block on, so the
// result after the last block is the result over all of them.
//
// The results are defined by adding every squared difference to a double
// total, one after another, in order; accumulate_block gives those totals to
// the last bit, much faster.
#pragma once

#include <cstdint>

namespace vorik {

// The full span of a 16-bit sample, the peak of the ratio.
inline constexpr double PSNR_PEAK = 65535.0;
// Given for a side whose samples never differ.
inline constexpr double PSNR_IDENTICAL = 333.0;

// The running totals of one comparison; zero-initialise it to start.
struct PsnrAccumulator {
    std::uint64_t frames;  // sample pairs added so far
    double sum_sq_left;    // squared differences of the first samples of the pairs
    double sum_sq_right;   // squared differences of the second samples
};

// Decibels of each side.
struct PsnrResult {
    double left_db;
    double right_db;
};

// Adds the squared differences of the first `count` samples of two blocks,
// pair by pair, left before right, to `accumulator`; a lone last sample of an
// odd count belongs to no pair and is left out. Pairs count from the start of
// `first_block`, so a block taken in several pieces must be cut at even
// counts.
void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count);

// --- Pairs summed in pieces, apart ------------------------------------------
//
// The pairs of a run can be cut into pieces that are summed apart, in threads
// of their own say, and then added in their order, to the very totals
// accumulate_block gives: plan from the totals before the run, sum every
// piece with that plan, add the pieces one after another. Where a total
// passes 2^53, or a power of two past it, within a piece, the plan no longer
// holds and adding refuses the piece: add its pairs, and the rest of the
// run's, with accumulate_block. A piece holds whole pairs of a block, so cut
// blocks only at even counts; a lone last sample of a block is left out.

// How a side's total takes squares, bit for bit as additions one by one would.
enum class PsnrSideWay : unsigned char {
    in_order,        // only one by one: a total that no additions of squares make
    exact_integers,  // below 2^53, where every partial sum is a whole number, exact
    rounding,        // from 2^53, where every addition rounds to the spacing of the total's binade
    unchanged,       // the spacing is so wide that every square rounds away
};

struct PsnrPiecePlan {
    PsnrSideWay left_way;
    PsnrSideWay right_way;
    unsigned left_spacing_exponent;  // of the rounding way: the spacing is 2^this
    unsigned right_spacing_exponent;
};

// What one piece adds, as its plan sums it: the library's own reckoning.
struct PsnrPieceSums {
    std::uint64_t pairs;
    std::uint64_t left_sum;  // the exact sum, or the rounded one as if the total were an even multiple
    std::uint64_t right_sum;
    int left_odd_start;  // what the rounded sum gains where the total is an odd multiple
    int right_odd_start;
};

// Returns the plan for pieces that follow the totals in `accumulator`.
PsnrPiecePlan plan_psnr_pieces(const PsnrAccumulator& accumulator);

// Whether pairs can be summed in pieces from these totals at all: false for
// totals no additions of squares make. Add such pairs with accumulate_block.
bool psnr_pieces_apply(const PsnrPiecePlan& plan);

// Returns what the first `count` samples of two blocks add, pair by pair,
// summed as `plan` says; it reads nothing but the samples and the plan.
PsnrPieceSums sum_psnr_piece(const PsnrPiecePlan& plan, const std::int16_t* first_block,
                             const std::int16_t* second_block, std::uint32_t count);

// Adds a piece to `accumulator`, which holds the totals the plan was made
// from with the pieces before this one added. Returns false, and changes
// nothing, where a total would pass 2^53 or a power of two past it within the
// piece.
bool add_psnr_piece(PsnrAccumulator& accumulator, const PsnrPiecePlan& plan, const PsnrPieceSums& piece);

// Returns the PSNR of each side over everything added so far:
// 20 log10(PSNR_PEAK / sqrt(sum / frames)), or PSNR_IDENTICAL for a side
// whose sum is 0 (including when nothing was added).
PsnrResult compute_psnr(const PsnrAccumulator& accumulator);

}  // namespace vorik
