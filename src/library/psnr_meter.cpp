#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "decimal_log.h"
#include "psnr_decibels.h"
#include "psnr_pieces.h"
#include "square_sums/square_sums.h"

namespace vorik {
namespace {

using detail::LARGEST_ROUNDED_SQUARE;
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
constexpr std::uint64_t LARGEST_SQUARE = std::uint64_t{65535} * 65535;
// Pairs taken at once between two looks at the totals: small enough that
// the fast ways hold until a total is close to 2^53 or to a power of two.
constexpr std::uint32_t PAIRS_PER_STEP = 1U << 16;
// Pairs added in order where a total may cross 2^53 or a power of two past
// it: enough that the totals are not looked at after every pair there.
constexpr std::uint32_t PAIRS_IN_ORDER_AT_A_CROSSING = 64;
// A double stores 52 bits of its significand: from 2^e on, the doubles are
// 2^(e-52) apart.
constexpr int STORED_SIGNIFICAND_BITS = std::numeric_limits<double>::digits - 1;

struct SidePlan {
    SideSumming summing;
    std::uint32_t pairs;    // how many of the next pairs it can take so; 0: none
    RoundingSide rounding;  // for the rounded sums
};

// What the rounding kernel is given for a side it need not compute.
constexpr RoundingSide SIDE_NOT_ROUNDED{1, false};

std::uint32_t pairs_within(std::uint64_t headroom_in_squares, std::uint32_t wanted) {
    return headroom_in_squares >= wanted ? wanted : static_cast<std::uint32_t>(headroom_in_squares);
}

// How a side's total takes squares; for the rounded sums, the spacing and
// whether the total is an odd multiple of it. A total that is negative, not
// a whole number or not finite (none the tool makes) is added to in order,
// and so is one where the rounded sums are slower than the in-order loop.
SideSumming side_summing(double total, RoundingSide& rounding) {
    rounding = SIDE_NOT_ROUNDED;
    if (total >= 0.0 && total < static_cast<double>(EXACT_INTEGER_LIMIT)) {
        return std::trunc(total) == total ? SideSumming::exact_integers : SideSumming::in_order;
    }
    if (!(total >= 0.0) || !std::isfinite(total)) {
        return SideSumming::in_order;
    }
    int binade_end = 0;  // the total is below 2^binade_end and at least half of it
    std::frexp(total, &binade_end);
    const auto spacing_exponent = static_cast<unsigned>(binade_end - 1 - STORED_SIGNIFICAND_BITS);
    if (spacing_exponent > LAST_ROUNDING_EXPONENT) {
        return SideSumming::unchanged;
    }
    if (!detail::rounded_sums_beat_in_order(spacing_exponent)) {
        return SideSumming::in_order;
    }
    // Exact: scaling by a power of two.
    const double multiple = std::ldexp(total, -static_cast<int>(spacing_exponent));
    rounding = {spacing_exponent, std::fmod(multiple, 2.0) != 0.0};
    return SideSumming::rounded;
}

SidePlan plan_side(double total, std::uint32_t wanted) {
    RoundingSide rounding{};
    const SideSumming summing = side_summing(total, rounding);
    switch (summing) {
        case SideSumming::in_order:
            break;
        case SideSumming::exact_integers: {
            const std::uint64_t headroom = EXACT_INTEGER_LIMIT - static_cast<std::uint64_t>(total);
            return {summing, pairs_within(headroom / LARGEST_SQUARE, wanted), rounding};
        }
        case SideSumming::rounded: {
            // Exact: the total and the power of two are multiples of the
            // spacing in one binade.
            const double headroom =
                std::ldexp(1.0, static_cast<int>(rounding.spacing_exponent) + STORED_SIGNIFICAND_BITS + 1) -
                total;
            // total + pairs * 2^32 must stay below the power of two.
            const auto fitting_pairs =
                static_cast<std::uint64_t>(std::ceil(headroom / LARGEST_ROUNDED_SQUARE) - 1.0);
            return {summing, pairs_within(fitting_pairs, wanted), rounding};
        }
        case SideSumming::unchanged:
            return {summing, wanted, rounding};
    }
    return {SideSumming::in_order, 0, rounding};
}

// The total after a step of `pairs` pairs taken as planned; `exact_sum` and
// `rounded_sum` are the integer and the rounded sums of the step's squares.
double advanced_total(double total, const SidePlan& plan, std::uint64_t exact_sum,
                      std::uint64_t rounded_sum) {
    switch (plan.summing) {
        case SideSumming::exact_integers:
            return static_cast<double>(static_cast<std::uint64_t>(total) + exact_sum);
        case SideSumming::rounded:
            // Both terms and the sum are multiples of the spacing below
            // 2^(e+1): the addition is exact.
            return total + std::ldexp(static_cast<double>(rounded_sum),
                                      static_cast<int>(plan.rounding.spacing_exponent));
        case SideSumming::in_order:
        case SideSumming::unchanged:
            break;
    }
    return total;
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
    const std::uint32_t pairs = count / 2;
    add_squares_in_order(accumulator, first_block, second_block, pairs);
    accumulator.frames += pairs;
}

void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    for (std::uint32_t done = 0; done < pairs;) {
        const std::uint32_t wanted = std::min(pairs - done, PAIRS_PER_STEP);
        const SidePlan left = plan_side(accumulator.sum_sq_left, wanted);
        const SidePlan right = plan_side(accumulator.sum_sq_right, wanted);
        const std::int16_t* first = first_block + 2 * std::size_t{done};
        const std::int16_t* second = second_block + 2 * std::size_t{done};
        const std::uint32_t step = std::min(left.pairs, right.pairs);
        const bool in_order = left.summing == SideSumming::in_order || right.summing == SideSumming::in_order;
        if (in_order || step == 0) {
            // The definition itself: for a side that must take its squares
            // one by one, or where a square may carry a total across 2^53
            // or a power of two past it.
            const std::uint32_t taken = in_order ? wanted : std::min(wanted, PAIRS_IN_ORDER_AT_A_CROSSING);
            add_squares_in_order(accumulator, first, second, taken);
            done += taken;
            continue;
        }
        const auto any_side = [&](SideSumming summing) {
            return left.summing == summing || right.summing == summing;
        };
        const SquareSums exact = any_side(SideSumming::exact_integers)
                                     ? sum_squared_differences(first, second, step)
                                     : SquareSums{0, 0};
        const RoundedSums rounded =
            any_side(SideSumming::rounded)
                ? sum_rounded_squares(first, second, step, left.rounding, right.rounding)
                : RoundedSums{0, 0};
        accumulator.sum_sq_left = advanced_total(accumulator.sum_sq_left, left, exact.left, rounded.left);
        accumulator.sum_sq_right =
            advanced_total(accumulator.sum_sq_right, right, exact.right, rounded.right);
        done += step;
    }
    accumulator.frames += pairs;
}

namespace {

RoundingSide planned_rounding(SideSumming summing, unsigned spacing_exponent) {
    // Pieces are summed as if each total were an even multiple.
    return summing == SideSumming::rounded ? RoundingSide{spacing_exponent, false} : SIDE_NOT_ROUNDED;
}

// A side's total after a piece, if the piece keeps to the plan.
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

}  // namespace

PiecePlan detail::plan_psnr_pieces(const PsnrAccumulator& accumulator) {
    RoundingSide left{};
    RoundingSide right{};
    const SideSumming left_summing = side_summing(accumulator.sum_sq_left, left);
    const SideSumming right_summing = side_summing(accumulator.sum_sq_right, right);
    return {left_summing, right_summing, left.spacing_exponent, right.spacing_exponent};
}

bool detail::psnr_pieces_apply(const PiecePlan& plan) {
    return plan.left != SideSumming::in_order && plan.right != SideSumming::in_order;
}

PieceSums detail::sum_psnr_piece(const PiecePlan& plan, const std::int16_t* first_block,
                                 const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    const auto any_side = [&plan](SideSumming summing) {
        return plan.left == summing || plan.right == summing;
    };
    PieceSums piece{pairs, 0, 0, 0, 0};
    if (any_side(SideSumming::exact_integers)) {
        const SquareSums exact = sum_squared_differences(first_block, second_block, pairs);
        piece.left_sum = exact.left;
        piece.right_sum = exact.right;
    }
    if (any_side(SideSumming::rounded)) {
        const RoundingSide left = planned_rounding(plan.left, plan.left_spacing_exponent);
        const RoundingSide right = planned_rounding(plan.right, plan.right_spacing_exponent);
        const RoundedSums rounded = sum_rounded_squares(first_block, second_block, pairs, left, right);
        const OddStartChanges odd_start = odd_start_changes(first_block, second_block, pairs,
                                                            left.spacing_exponent, right.spacing_exponent);
        if (plan.left == SideSumming::rounded) {
            piece.left_sum = rounded.left;
            piece.left_odd_start = odd_start.left;
        }
        if (plan.right == SideSumming::rounded) {
            piece.right_sum = rounded.right;
            piece.right_odd_start = odd_start.right;
        }
    }
    return piece;
}

bool detail::add_psnr_piece(PsnrAccumulator& accumulator, const PiecePlan& plan, const PieceSums& piece) {
    // A piece summed from another plan than these totals' would add up wrong.
    if (!(plan == plan_psnr_pieces(accumulator))) {
        return false;
    }
    double left = accumulator.sum_sq_left;
    double right = accumulator.sum_sq_right;
    if (!added_side(left, plan.left, plan.left_spacing_exponent, piece.left_sum, piece.left_odd_start) ||
        !added_side(right, plan.right, plan.right_spacing_exponent, piece.right_sum, piece.right_odd_start)) {
        return false;
    }
    accumulator.sum_sq_left = left;
    accumulator.sum_sq_right = right;
    accumulator.frames += piece.pairs;
    return true;
}

PsnrResult compute_psnr(const PsnrAccumulator& accumulator) {
    return {detail::psnr_decibels(accumulator.sum_sq_left, accumulator.frames),
            detail::psnr_decibels(accumulator.sum_sq_right, accumulator.frames)};
}

}  // namespace vorik
