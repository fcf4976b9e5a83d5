#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "decimal_log.h"
#include "psnr_decibels.h"
#include "psnr_pieces.h"
#include "square_sums/square_sums.h"

namespace vorik {
namespace {

using detail::LAST_ROUNDING_EXPONENT;
using detail::PiecePlan;
using detail::PieceSums;
using detail::RoundedSums;
using detail::RoundingSide;
using detail::SideSumming;
using detail::SquareSums;
using detail::sum_rounded_squares;
using detail::sum_squared_differences;

// Every integer up to 2^53 is exact in double, so below it an in-order sum
// of integer squares never rounds and equals the integer sum.
constexpr std::uint64_t EXACT_INTEGER_LIMIT = std::uint64_t{1} << 53;
// Pairs taken at once between two looks at the totals: where a total
// crosses 2^53 or a power of two past it, the step is summed in vain and
// added again in order, which bounds what a crossing costs.
constexpr std::uint32_t PAIRS_PER_STEP = 1U << 16;
// A double stores 52 bits of its significand: from 2^e on, the doubles are
// 2^(e-52) apart.
constexpr int STORED_SIGNIFICAND_BITS = std::numeric_limits<double>::digits - 1;

// What the rounding kernel is given for a side it need not compute.
constexpr RoundingSide SIDE_NOT_ROUNDED{1, false};

// How a side's total takes squares, with its spacing and whether the total
// is an odd multiple of it where it takes rounded sums.
struct SideStart {
    SideSumming summing;
    RoundingSide rounding;
};

// A total that is negative, not a whole number or not finite (none the tool
// makes) is added to in order, and so is one where the rounded sums are
// slower than the in-order loop.
SideStart side_start(double total) {
    if (total >= 0.0 && total < static_cast<double>(EXACT_INTEGER_LIMIT)) {
        return {std::trunc(total) == total ? SideSumming::exact_integers : SideSumming::in_order,
                SIDE_NOT_ROUNDED};
    }
    if (!(total >= 0.0) || !std::isfinite(total)) {
        return {SideSumming::in_order, SIDE_NOT_ROUNDED};
    }
    int binade_end = 0;  // the total is below 2^binade_end and at least half of it
    std::frexp(total, &binade_end);
    const auto spacing_exponent = static_cast<unsigned>(binade_end - 1 - STORED_SIGNIFICAND_BITS);
    if (spacing_exponent > LAST_ROUNDING_EXPONENT) {
        return {SideSumming::unchanged, SIDE_NOT_ROUNDED};
    }
    if (!detail::rounded_sums_beat_in_order(spacing_exponent)) {
        return {SideSumming::in_order, SIDE_NOT_ROUNDED};
    }
    // Exact: scaling by a power of two.
    const double multiple = std::ldexp(total, -static_cast<int>(spacing_exponent));
    // A whole number below 2^53: its last bit tells odd from even.
    return {SideSumming::rounded, {spacing_exponent, (static_cast<std::uint64_t>(multiple) & 1U) != 0}};
}

PiecePlan plan_of(const SideStart& left, const SideStart& right) {
    return {left.summing, right.summing, left.rounding.spacing_exponent, right.rounding.spacing_exponent};
}

// The sums of a piece of `pairs` pairs as `plan` says, the rounded ones from
// the starts `left` and `right`: the one of their sides where that is known,
// an even one where not.
PieceSums sum_piece(const PiecePlan& plan, RoundingSide left, RoundingSide right, const std::int16_t* first,
                    const std::int16_t* second, std::uint32_t pairs) {
    const auto any_side = [&plan](SideSumming summing) {
        return plan.left == summing || plan.right == summing;
    };
    PieceSums piece{pairs, 0, 0, 0, 0};
    if (any_side(SideSumming::exact_integers)) {
        const SquareSums exact = sum_squared_differences(first, second, pairs);
        piece.left_sum = exact.left;
        piece.right_sum = exact.right;
    }
    if (any_side(SideSumming::rounded)) {
        const RoundedSums rounded = sum_rounded_squares(first, second, pairs, left, right);
        if (plan.left == SideSumming::rounded) {
            piece.left_sum = rounded.left;
        }
        if (plan.right == SideSumming::rounded) {
            piece.right_sum = rounded.right;
        }
    }
    return piece;
}

// A side's total after a piece, if the piece keeps to the plan: the one
// place that tells whether a total crossed 2^53 or a power of two past it.
bool added_side(double& total, SideSumming summing, unsigned spacing_exponent, std::uint64_t sum,
                int odd_start) {
    switch (summing) {
        case SideSumming::exact_integers: {
            // Every partial sum up to 2^53 is exact: the last one tells.
            const std::uint64_t after = static_cast<std::uint64_t>(total) + sum;
            if (after > EXACT_INTEGER_LIMIT) {
                return false;
            }
            total = static_cast<double>(after);
            return true;
        }
        case SideSumming::rounded: {
            // The total is N spacings, 2^52 <= N < 2^53; the piece moves it
            // to N + sum spacings, set right for an odd N. Reckoned so, the
            // partial totals only grow: if the last stays below 2^53
            // spacings, every addition stayed in the binade and is one the
            // rounded sums reckon right; if not, one left it.
            const auto multiple =
                static_cast<std::uint64_t>(std::ldexp(total, -static_cast<int>(spacing_exponent)));
            // Modulo 2^64, so -1 takes one off: it comes only with a tie
            // that rounded up, so the sum is at least 1.
            const auto change = static_cast<std::uint64_t>(std::int64_t{(multiple & 1) != 0 ? odd_start : 0});
            const std::uint64_t after = multiple + sum + change;
            if (after >= EXACT_INTEGER_LIMIT) {
                return false;
            }
            total = std::ldexp(static_cast<double>(after), static_cast<int>(spacing_exponent));
            return true;
        }
        case SideSumming::unchanged:
            return true;
        case SideSumming::in_order:
            break;
    }
    return false;
}

// Adds a piece summed from the plan of these very totals, or refuses it and
// changes nothing.
bool add_planned_piece(PsnrAccumulator& accumulator, const PiecePlan& plan, const PieceSums& piece) {
    double left = accumulator.sum_sq_left;
    double right = accumulator.sum_sq_right;
    if (!added_side(left, plan.left, plan.left_spacing_exponent, piece.left_sum, piece.left_odd_start) ||
        !added_side(right, plan.right, plan.right_spacing_exponent, piece.right_sum, piece.right_odd_start)) {
        return false;
    }
    accumulator.sum_sq_left = left;
    accumulator.sum_sq_right = right;
    accumulator.pairs += piece.pairs;
    return true;
}

void add_squares_in_order(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                          const std::int16_t* second_block, std::uint32_t pairs) {
    for (std::size_t k = 0; k < pairs; ++k) {
        // A difference spans -65535..65535; its square needs more than 31 bits.
        const std::int64_t left = first_block[2 * k] - second_block[2 * k];
        const std::int64_t right = first_block[2 * k + 1] - second_block[2 * k + 1];
        accumulator.sum_sq_left += static_cast<double>(left * left);
        accumulator.sum_sq_right += static_cast<double>(right * right);
    }
    accumulator.pairs += pairs;
}

}  // namespace

double detail::psnr_decibels(double sum_sq, std::uint64_t count) {
    if (sum_sq == 0.0) {
        return PSNR_IDENTICAL;
    }
    const double mean_sq = sum_sq / static_cast<double>(count);
    // The library's own log10, rounded to nearest: the platforms' differ in
    // the last bit, and so, near a rounding boundary, in the printed digit.
    return 20.0 * detail::decimal_log(PSNR_PEAK / std::sqrt(mean_sq));
}

void detail::accumulate_block_in_order(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                                       const std::int16_t* second_block, std::uint32_t count) {
    add_squares_in_order(accumulator, first_block, second_block, count / 2);
}

// Step by step: the plan from the totals, the step summed from their very
// starts, and added; where a side must take its squares one by one, or where
// the add refuses the step as a total crossed 2^53 or a power of two past it,
// the step is added by the definition itself, in order.
void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    for (std::uint32_t done = 0; done < pairs;) {
        const std::uint32_t step = std::min(pairs - done, PAIRS_PER_STEP);
        const std::int16_t* first = first_block + 2 * std::size_t{done};
        const std::int16_t* second = second_block + 2 * std::size_t{done};
        const SideStart left = side_start(accumulator.sum_sq_left);
        const SideStart right = side_start(accumulator.sum_sq_right);
        const PiecePlan plan = plan_of(left, right);
        if (!detail::psnr_pieces_apply(plan) ||
            !add_planned_piece(accumulator, plan,
                               sum_piece(plan, left.rounding, right.rounding, first, second, step))) {
            add_squares_in_order(accumulator, first, second, step);
        }
        done += step;
    }
}

PiecePlan detail::plan_psnr_pieces(const PsnrAccumulator& accumulator) {
    return plan_of(side_start(accumulator.sum_sq_left), side_start(accumulator.sum_sq_right));
}

bool detail::psnr_pieces_apply(const PiecePlan& plan) {
    return plan.left != SideSumming::in_order && plan.right != SideSumming::in_order;
}

// Summed before the totals they follow are known: as if each total were an
// even multiple, with what an odd one changes beside it.
PieceSums detail::sum_psnr_piece(const PiecePlan& plan, const std::int16_t* first_block,
                                 const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    const RoundingSide left{plan.left_spacing_exponent, false};
    const RoundingSide right{plan.right_spacing_exponent, false};
    PieceSums piece = sum_piece(plan, left, right, first_block, second_block, pairs);
    if (plan.left == SideSumming::rounded || plan.right == SideSumming::rounded) {
        const OddStartChanges odd_start = odd_start_changes(first_block, second_block, pairs,
                                                            left.spacing_exponent, right.spacing_exponent);
        piece.left_odd_start = plan.left == SideSumming::rounded ? odd_start.left : 0;
        piece.right_odd_start = plan.right == SideSumming::rounded ? odd_start.right : 0;
    }
    return piece;
}

bool detail::add_psnr_piece(PsnrAccumulator& accumulator, const PiecePlan& plan, const PieceSums& piece) {
    // A piece summed from another plan than these totals' would add up wrong.
    return plan == plan_psnr_pieces(accumulator) && add_planned_piece(accumulator, plan, piece);
}

PsnrResult compute_psnr(const PsnrAccumulator& accumulator) {
    return {detail::psnr_decibels(accumulator.sum_sq_left, accumulator.pairs),
            detail::psnr_decibels(accumulator.sum_sq_right, accumulator.pairs)};
}

}  // namespace vorik
