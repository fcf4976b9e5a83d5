// The records of the channel differences: their 128-bit sums, how a later
// record is added to an earlier one, and a channel's PSNR.
#include <vorik/channel_differences.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "../psnr_decibels.h"
#include "kernels.h"

namespace vorik {
namespace detail {
namespace {

constexpr unsigned WORD_BITS = 64;
// A double holds 53 significant bits; the top 64 bits of a sum, shifted up
// to bit 63, keep 11 more below them.
constexpr unsigned BITS_BELOW_SIGNIFICAND = WORD_BITS - std::numeric_limits<double>::digits;
constexpr std::uint64_t ROUNDING_BIT = std::uint64_t{1} << (BITS_BELOW_SIGNIFICAND - 1);
constexpr std::uint64_t STICKY_BITS = ROUNDING_BIT - 1;

}  // namespace

void add_to_sum(Sum128& sum, std::uint64_t value) {
    sum.low += value;
    sum.high += sum.low < value ? 1 : 0;
}

double rounded_to_double(const Sum128& sum) {
    if (sum.high == 0 && sum.low == 0) {
        return 0.0;
    }
    // The sum shifted up until its top bit is bit 127: `top` holds its first
    // 64 bits, `rest` the rest.
    const auto leading_zeros = sum.high != 0 ? static_cast<unsigned>(std::countl_zero(sum.high))
                                             : WORD_BITS + static_cast<unsigned>(std::countl_zero(sum.low));
    std::uint64_t top = 0;
    std::uint64_t rest = 0;
    if (leading_zeros >= WORD_BITS) {
        top = sum.low << (leading_zeros - WORD_BITS);
    } else if (leading_zeros == 0) {
        top = sum.high;
        rest = sum.low;
    } else {
        top = sum.high << leading_zeros | sum.low >> (WORD_BITS - leading_zeros);
        rest = sum.low << leading_zeros;
    }
    std::uint64_t significand = top >> BITS_BELOW_SIGNIFICAND;
    const bool above_half = (top & STICKY_BITS) != 0 || rest != 0;
    // Past half an ulp, or on half of one with an odd significand: up.
    if ((top & ROUNDING_BIT) != 0 && (above_half || (significand & 1) != 0)) {
        ++significand;  // at most 2^53, still exact
    }
    // The significand counts units of 2^(64 + 11 - leading_zeros).
    const int exponent =
        static_cast<int>(WORD_BITS + BITS_BELOW_SIGNIFICAND) - static_cast<int>(leading_zeros);
    return std::ldexp(static_cast<double>(significand), exponent);
}

}  // namespace detail

void merge_channel_differences(ChannelDifferences& earlier, const ChannelDifferences& later) {
    detail::add_to_sum(earlier.squares, later.squares.low);
    earlier.squares.high += later.squares.high;
    earlier.differing += later.differing;
    // On a tie the earlier frame stays.
    if (later.largest > earlier.largest) {
        earlier.largest = later.largest;
        earlier.largest_at = later.largest_at;
    }
}

double channel_psnr_db(const Sum128& squares, std::uint64_t samples) {
    return detail::psnr_decibels(detail::rounded_to_double(squares), samples);
}

}  // namespace vorik
