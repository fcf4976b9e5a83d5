// The square sums with AVX2, BMI, BMI2 and POPCNT, which this file is built
// for: vectors of 16 samples.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"
#include "rounding.h"
#include "square_sums.h"
#include "vector_words.h"

namespace vorik::detail {
namespace {

// A word's squares rounded with AVX2: four vectors of 16 samples.
struct Avx2Words {
    using Vector = __m256i;
    using HalfSums = SideHalfSums<Avx2Words>;
    // The ties that round up, counted in integers (see scan_words).
    using RoundUps = RoundedSums;
    struct Rounding {
        __m256i remainder_mask;  // u - 1
        __m256i half;            // u/2
        __m256i shift_factor;    // 2^(16 - log2(u)): the high half of a product by it is a shift by log2(u)
    };
    // Each word adds four high halves to a 32-bit lane.
    static constexpr std::size_t WORDS_BETWEEN_FLUSHES = VECTORS_BETWEEN_FLUSHES / 4;
    static constexpr std::size_t WORDS_PER_SCAN = 1;
    static constexpr std::size_t SAMPLES = 16;  // 16-bit samples in one 256-bit vector

    static std::uint64_t lane_total(const __m256i& lanes) {
        std::uint32_t values[8];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(values), lanes);
        std::uint64_t total = 0;
        for (const std::uint32_t value : values) {
            total += value;
        }
        return total;
    }

    // |a - b| fits 16 unsigned bits even where a - b does not fit 16 signed ones.
    static SquareHalves<Avx2Words> squares(const std::int16_t* first, const std::int16_t* second) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
        const __m256i distance = _mm256_sub_epi16(_mm256_max_epi16(a, b), _mm256_min_epi16(a, b));
        return {_mm256_mullo_epi16(distance, distance), _mm256_mulhi_epu16(distance, distance)};
    }

    static void add_halves(HalfSums& sums, const __m256i& halves) {
        const __m256i low_halves = _mm256_set1_epi32(LOW_HALF_BITS);
        sums.left = _mm256_add_epi32(sums.left, _mm256_and_si256(halves, low_halves));
        sums.right = _mm256_add_epi32(sums.right, _mm256_srli_epi32(halves, HALF_LANE_BITS));
    }

    // A 16-bit constant for the left samples and another for the right
    // ones, in every 32-bit lane.
    static __m256i side_constants(std::uint32_t left, std::uint32_t right) {
        return _mm256_set1_epi32(static_cast<int>(right << HALF_LANE_BITS | left));
    }

    static Rounding rounding(const SideRounding& left, const SideRounding& right) {
        return {side_constants(left.remainder_mask, right.remainder_mask),
                side_constants(left.half, right.half),
                side_constants(1U << (HALF_LANE_BITS - left.shift), 1U << (HALF_LANE_BITS - right.shift))};
    }

    // The bits of 32 samples, from two vectors whose 16-bit lanes carry one
    // each in their sign bits, in sample order.
    static std::uint64_t sign_bits(__m256i first_half, __m256i second_half) {
        // Packing works within 128-bit lanes; the permutation puts the four
        // eight-sample runs back in order.
        constexpr int RUNS_IN_ORDER = 0xD8;
        const __m256i bytes =
            _mm256_permute4x64_epi64(_mm256_packs_epi16(first_half, second_half), RUNS_IN_ORDER);
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
    }

    // kl of 16 samples, with its parity in the sign bits and the ties.
    struct RoundedVector {
        __m256i low_quotients;
        __m256i high_halves;
        __m256i flips;
        __m256i ties;
    };

    // In 16-bit halves u/2 and r stay below 2^15, so signed 16-bit compares
    // order them.
    static RoundedVector round_vector(const std::int16_t* first, const std::int16_t* second,
                                      const Rounding& rounding) {
        const SquareHalves<Avx2Words> squares = Avx2Words::squares(first, second);
        const __m256i remainder = _mm256_and_si256(squares.low, rounding.remainder_mask);
        const __m256i above_half = _mm256_cmpgt_epi16(remainder, rounding.half);
        const __m256i low_quotients =
            _mm256_sub_epi16(_mm256_mulhi_epu16(squares.low, rounding.shift_factor), above_half);
        return {low_quotients, squares.high, _mm256_slli_epi16(low_quotients, HALF_LANE_BITS - 1),
                _mm256_cmpeq_epi16(remainder, rounding.half)};
    }

    static WordBits round_word(const std::int16_t* first, const std::int16_t* second,
                               const Rounding& rounding, QuotientSums<Avx2Words>& sums) {
        WordBits bits{0, 0};
        for (std::size_t i = 0; i < SAMPLES_PER_WORD; i += 2 * SAMPLES) {
            const RoundedVector one = round_vector(first + i, second + i, rounding);
            const RoundedVector two = round_vector(first + i + SAMPLES, second + i + SAMPLES, rounding);
            // kl < 2^15 when u = 2, where no remainder is above u/2, and
            // kl <= 2^14 otherwise: two of them fit 16 bits.
            add_halves(sums.low_quotients, _mm256_add_epi16(one.low_quotients, two.low_quotients));
            add_halves(sums.high_halves, one.high_halves);
            add_halves(sums.high_halves, two.high_halves);
            bits.flips |= sign_bits(one.flips, two.flips) << i;
            bits.ties |= sign_bits(one.ties, two.ties) << i;
        }
        return bits;
    }

    // With 16 vector registers, the scan is quicker in the integer unit,
    // a word at a time, beside the vector work.
    static void scan_words(const std::uint64_t (&flips)[WORDS_PER_SCAN],
                           const std::uint64_t (&ties)[WORDS_PER_SCAN], std::uint64_t& parities,
                           RoundUps& rounded_up) {
        scan_ties(flips[0], ties[0], parities, rounded_up);
    }

    static RoundedSums round_up_totals(const RoundUps& rounded_up) { return rounded_up; }
};

}  // namespace

// Flattened, so that each kernel is one function of this file's instructions.
[[gnu::flatten]] SquareSums sum_squared_differences_avx2(const std::int16_t* first_block,
                                                         const std::int16_t* second_block,
                                                         std::uint32_t pairs) {
    return sum_square_vectors<Avx2Words>(first_block, second_block, pairs);
}

[[gnu::flatten]] RoundedSums sum_rounded_squares_avx2(const std::int16_t* first_block,
                                                      const std::int16_t* second_block, std::uint32_t pairs,
                                                      RoundingSide left, RoundingSide right) {
    return sum_rounded_words<Avx2Words>(first_block, second_block, pairs, left, right);
}

}  // namespace vorik::detail
