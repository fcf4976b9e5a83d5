// What the AVX2 and the AVX-512 kernels share: the records of their lane
// sums, and the loops of the integer and the rounded sums, as templates over
// a `Words` type of one vector width that avx2.cpp and avx512.cpp each define
// and instantiate under their own target flags. The loops hand the rest of a
// block, and spacings too wide for 16-bit lanes, to the portable sums.
//
// Each file's copy must stay its own: the templates are instantiated with a
// type of that file's anonymous namespace, and everything else here has
// internal linkage too, so the linker never takes the AVX-512 copy for the
// AVX2 kernels or the portable ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "rounding.h"
#include "square_sums.h"

namespace vorik::detail {
namespace {

// A 32-bit lane gains at most 65535 per vector; this many vectors fill it to
// just below 2^32, so the lanes are emptied into 64-bit totals after them.
constexpr std::size_t VECTORS_BETWEEN_FLUSHES = 65536;

// The squared differences of a vector of samples, split into the 16-bit
// halves that the 16-bit multiplies give.
template <typename Words>
struct SquareHalves {
    typename Words::Vector low;
    typename Words::Vector high;
};

// Sums of 16-bit halves of the 32-bit lanes, each side apart: in each lane
// the left sample of a pair lies in the low half and the right one in the
// high half.
template <typename Words>
struct SideHalfSums {
    typename Words::Vector left;
    typename Words::Vector right;
};

// The lane sums of a batch of words of the rounded sums.
template <typename Words>
struct QuotientSums {
    SideHalfSums<Words> low_quotients;  // kl
    SideHalfSums<Words> high_halves;    // high
};

// The flips and ties of one word.
struct WordBits {
    std::uint64_t flips;
    std::uint64_t ties;
};

// The integer sums in vectors of either width: the 32-bit lanes of the
// halves are emptied into the 64-bit totals before they can overflow.
template <typename Words>
SquareSums sum_square_vectors(const std::int16_t* first_block, const std::int16_t* second_block,
                              std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    SquareSums sums{0, 0};
    std::size_t i = 0;
    while (samples - i >= Words::SAMPLES) {
        SideHalfSums<Words> low{};
        SideHalfSums<Words> high{};
        const std::size_t vectors = std::min((samples - i) / Words::SAMPLES, VECTORS_BETWEEN_FLUSHES);
        for (std::size_t v = 0; v < vectors; ++v, i += Words::SAMPLES) {
            const SquareHalves<Words> squares = Words::squares(first_block + i, second_block + i);
            Words::add_halves(low, squares.low);
            Words::add_halves(high, squares.high);
        }
        sums.left += (Words::lane_total(high.left) << HALF_LANE_BITS) + Words::lane_total(low.left);
        sums.right += (Words::lane_total(high.right) << HALF_LANE_BITS) + Words::lane_total(low.right);
    }
    // The rest starts on a pair, since a vector holds an even number of samples.
    const SquareSums rest = sum_squared_differences_portably(first_block + i, second_block + i,
                                                             static_cast<std::uint32_t>((samples - i) / 2));
    return {sums.left + rest.left, sums.right + rest.right};
}

// What the lane sums of a batch come to on each side: the k of its squares,
// high * 2^(16 - log2(u)) + kl each.
template <typename Words>
RoundedSums lane_quotients(const QuotientSums<Words>& sums, const SideRounding& left,
                           const SideRounding& right) {
    return {(Words::lane_total(sums.high_halves.left) << (HALF_LANE_BITS - left.shift)) +
                Words::lane_total(sums.low_quotients.left),
            (Words::lane_total(sums.high_halves.right) << (HALF_LANE_BITS - right.shift)) +
                Words::lane_total(sums.low_quotients.right)};
}

// The word loop of the vector kernels, with `Words` rounding the squares and
// counting the ties that round up in its own `RoundUps`; it is flattened into
// one function per instruction set.
template <typename Words>
RoundedSums sum_rounded_words(const std::int16_t* first_block, const std::int16_t* second_block,
                              std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    if (left.spacing_exponent > LAST_LANE_EXPONENT || right.spacing_exponent > LAST_LANE_EXPONENT) {
        return sum_rounded_squares_portably(first_block, second_block, pairs, left, right);
    }
    const SideRounding left_rounding = side_rounding(left);
    const SideRounding right_rounding = side_rounding(right);
    const typename Words::Rounding rounding = Words::rounding(left_rounding, right_rounding);
    std::uint64_t parities = parities_of(left, right);
    RoundedSums sums{0, 0};
    const std::size_t words = pairs / PAIRS_PER_WORD;
    std::size_t word = 0;
    while (word < words) {
        QuotientSums<Words> lane_sums{};
        typename Words::RoundUps rounded_up{};
        const std::size_t batch_end = word + std::min(words - word, Words::WORDS_BETWEEN_FLUSHES);
        while (word < batch_end) {
            // Words past the batch stay without flips and ties, which leave
            // the parities as they are.
            std::uint64_t flips[Words::WORDS_PER_SCAN] = {};
            std::uint64_t ties[Words::WORDS_PER_SCAN] = {};
            const std::size_t scanned = std::min(batch_end - word, Words::WORDS_PER_SCAN);
            for (std::size_t w = 0; w < scanned; ++w, ++word) {
                const std::size_t i = word * SAMPLES_PER_WORD;
                const WordBits bits =
                    Words::round_word(first_block + i, second_block + i, rounding, lane_sums);
                flips[w] = bits.flips;
                ties[w] = bits.ties;
            }
            Words::scan_words(flips, ties, parities, rounded_up);
        }
        const RoundedSums quotients = lane_quotients(lane_sums, left_rounding, right_rounding);
        const RoundedSums round_ups = Words::round_up_totals(rounded_up);
        sums.left += quotients.left + round_ups.left;
        sums.right += quotients.right + round_ups.right;
    }
    const std::size_t done = words * SAMPLES_PER_WORD;
    const RoundedSums rest = sum_rounded_squares_portably(
        first_block + done, second_block + done, static_cast<std::uint32_t>(pairs - words * PAIRS_PER_WORD),
        side_after(left, parities & 1), side_after(right, parities >> 1));
    return {sums.left + rest.left, sums.right + rest.right};
}

}  // namespace
}  // namespace vorik::detail
