#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "decimal_log.h"
#include "square_sums.h"

namespace vorik {
namespace {

using detail::LARGEST_ROUNDED_SQUARE;
using detail::LAST_ROUNDING_EXPONENT;
using detail::RoundedSums;
using detail::RoundingSide;
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

// How a side's total can take the next pairs, bit for bit as the in-order
// loop would.
enum class SideWay {
    exact_integers,  // every partial sum stays an exact integer
    rounding,        // past 2^53, every partial sum stays in the total's binade
    unchanged,       // the spacing is so wide that every square rounds away
};

struct SidePlan {
    SideWay way;
    std::uint32_t pairs;    // how many of the next pairs it can take that way; 0: none
    RoundingSide rounding;  // for SideWay::rounding
};

// What the rounding kernel is given for a side it need not compute.
constexpr RoundingSide SIDE_NOT_ROUNDED{1, false};

std::uint32_t pairs_within(std::uint64_t room_in_squares, std::uint32_t wanted) {
    return room_in_squares >= wanted ? wanted : static_cast<std::uint32_t>(room_in_squares);
}

// A total that is negative, not a whole number or not finite (none the tool
// makes) is added to in order.
SidePlan plan_side(double total, std::uint32_t wanted) {
    constexpr SidePlan IN_ORDER{SideWay::exact_integers, 0, SIDE_NOT_ROUNDED};
    const auto exact_limit = static_cast<double>(EXACT_INTEGER_LIMIT);
    if (total >= 0.0 && total < exact_limit) {
        if (std::trunc(total) != total) {
            return IN_ORDER;
        }
        const std::uint64_t room = EXACT_INTEGER_LIMIT - static_cast<std::uint64_t>(total);
        return {SideWay::exact_integers, pairs_within(room / LARGEST_SQUARE, wanted), SIDE_NOT_ROUNDED};
    }
    if (!(total >= exact_limit) || !std::isfinite(total)) {
        return IN_ORDER;
    }
    int binade_end = 0;  // the total is below 2^binade_end and at least half of it
    std::frexp(total, &binade_end);
    const auto spacing_exponent = static_cast<unsigned>(binade_end - 1 - STORED_SIGNIFICAND_BITS);
    if (spacing_exponent > LAST_ROUNDING_EXPONENT) {
        return {SideWay::unchanged, wanted, SIDE_NOT_ROUNDED};
    }
    // These are exact: the total and the power of two are multiples of the
    // spacing in one binade, and the rest is scaling by powers of two.
    const double room = std::ldexp(1.0, binade_end) - total;
    const double multiple = std::ldexp(total, -static_cast<int>(spacing_exponent));
    // total + pairs * 2^32 must stay below the power of two.
    const auto fitting_pairs = static_cast<std::uint64_t>(std::ceil(room / LARGEST_ROUNDED_SQUARE) - 1.0);
    return {SideWay::rounding,
            pairs_within(fitting_pairs, wanted),
            {spacing_exponent, std::fmod(multiple, 2.0) != 0.0}};
}

// The total after a step of `pairs` pairs taken the planned way; `exact_sum`
// and `rounded_sum` are the integer and the rounded sums of the step's squares.
double advanced_total(double total, const SidePlan& plan, std::uint64_t exact_sum,
                      std::uint64_t rounded_sum) {
    switch (plan.way) {
        case SideWay::exact_integers:
            return static_cast<double>(static_cast<std::uint64_t>(total) + exact_sum);
        case SideWay::rounding:
            // Both terms and the sum are multiples of the spacing below
            // 2^(e+1): the addition is exact.
            return total + std::ldexp(static_cast<double>(rounded_sum),
                                      static_cast<int>(plan.rounding.spacing_exponent));
        case SideWay::unchanged:
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

double side_psnr(double sum_sq, std::uint64_t frames) {
    if (sum_sq == 0.0) {
        return PSNR_IDENTICAL;
    }
    const double mean_sq = sum_sq / static_cast<double>(frames);
    // The library's own log10, rounded to nearest: the platforms' differ in
    // the last bit, and so, near a rounding boundary, in the printed digit.
    return 20.0 * detail::decimal_log(PSNR_PEAK / std::sqrt(mean_sq));
}

}  // namespace

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
        if (step == 0) {
            // A square may carry a total across 2^53 or a power of two past
            // it: these pairs are added one by one, as the definition says.
            const std::uint32_t in_order = std::min(wanted, PAIRS_IN_ORDER_AT_A_CROSSING);
            add_squares_in_order(accumulator, first, second, in_order);
            done += in_order;
            continue;
        }
        const auto any_side = [&](SideWay way) { return left.way == way || right.way == way; };
        const SquareSums exact = any_side(SideWay::exact_integers)
                                     ? sum_squared_differences(first, second, step)
                                     : SquareSums{0, 0};
        const RoundedSums rounded =
            any_side(SideWay::rounding)
                ? sum_rounded_squares(first, second, step, left.rounding, right.rounding)
                : RoundedSums{0, 0};
        accumulator.sum_sq_left = advanced_total(accumulator.sum_sq_left, left, exact.left, rounded.left);
        accumulator.sum_sq_right =
            advanced_total(accumulator.sum_sq_right, right, exact.right, rounded.right);
        done += step;
    }
    accumulator.frames += pairs;
}

PsnrResult compute_psnr(const PsnrAccumulator& accumulator) {
    return {side_psnr(accumulator.sum_sq_left, accumulator.frames),
            side_psnr(accumulator.sum_sq_right, accumulator.frames)};
}

}  // namespace vorik
