// The square sums with AVX-512 F and BW, BMI, BMI2 and POPCNT, which this
// file is built for: vectors of 32 samples.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"
#include "rounding.h"
#include "square_sums.h"
#include "vector_words.h"

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
// GCC 12 takes the undefined vectors inside its own AVX-512 intrinsics for
// uninitialised variables (its bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace vorik::detail {
namespace {

// Bits of the right side's words, one a word, start here in a 64-bit value.
constexpr unsigned RIGHT_WORDS = 32;

// Where the parities of the words of a batch start. Each of `exits` and
// `tied` holds one bit a word for the left side from bit 0 on and one for
// the right side from bit 32 on: the parity at the end of the word if it
// started even, and whether the side has a tie in the word. The result has,
// in the same places, the parity each word starts with and, after the last
// word, the one it ends with.
std::uint64_t word_start_parities(std::uint64_t exits, std::uint64_t tied, std::uint64_t parities) {
    constexpr unsigned MOST_WORDS = 8;
    // Like the scan within a word, one bit a word: a word with a tie hands on
    // its exit parity, any other one flips the parity it got by it.
    std::uint64_t parity = exits << 1 | (parities & 1) | (parities >> 1) << RIGHT_WORDS;
    std::uint64_t tie_behind = tied << 1;
    for (unsigned distance = 1; distance <= MOST_WORDS; distance *= 2) {
        parity ^= (parity << distance) & ~tie_behind;
        tie_behind |= tie_behind << distance;
    }
    return parity;
}

// A word's squares rounded with AVX-512: two vectors of 32 samples, whose
// compares give the bits at once. With 32 vector registers, the words are
// also scanned eight at once, one a lane, each as if both sides started it
// even; then the parities at the start of each word follow from the ones at
// the end of the word before, and a side that started a word odd has the
// opposite rounding at its first tie and, without a tie, the opposite parity
// at the end.
struct Avx512Words {
    using Vector = __m512i;
    using HalfSums = SideHalfSums<Avx512Words>;
    // The ties that round up, counted in vector lanes (see scan_words).
    using RoundUps = HalfSums;
    struct Rounding {
        __m512i remainder_mask;  // u - 1
        __m512i half;            // u/2
        // (x + y + 1) >> 1 of a low half x and this y, shifted right by
        // log2(u) - 1, is kl; when u = 2, y = -1 and kl + 2^15 (see round_word).
        __m512i halving_addend;  // u/2 - 2, modulo 2^16
        __m512i halved_shift;    // log2(u) - 1
    };
    // Each word adds two high halves to a 32-bit lane.
    static constexpr std::size_t WORDS_BETWEEN_FLUSHES = VECTORS_BETWEEN_FLUSHES / 2;
    static constexpr std::size_t WORDS_PER_SCAN = 8;
    static constexpr std::size_t SAMPLES = 32;  // 16-bit samples in one 512-bit vector

    static std::uint64_t lane_total(const __m512i& lanes) {
        const __m512i low = _mm512_cvtepu32_epi64(_mm512_castsi512_si256(lanes));
        const __m512i high = _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(lanes, 1));
        return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(low, high)));
    }

    // A 16-bit constant for the left samples and another for the right
    // ones, in every 32-bit lane.
    static __m512i side_constants(std::uint32_t left, std::uint32_t right) {
        return _mm512_set1_epi32(static_cast<int>(right << HALF_LANE_BITS | left));
    }

    static Rounding rounding(const SideRounding& left, const SideRounding& right) {
        const auto halving_addend = [](const SideRounding& side) { return (side.half - 2) & LOW_HALF_BITS; };
        return {side_constants(left.remainder_mask, right.remainder_mask),
                side_constants(left.half, right.half),
                side_constants(halving_addend(left), halving_addend(right)),
                side_constants(left.shift - 1, right.shift - 1)};
    }

    // |a - b| fits 16 unsigned bits even where a - b does not fit 16 signed ones.
    static SquareHalves<Avx512Words> squares(const std::int16_t* first, const std::int16_t* second) {
        const __m512i a = _mm512_loadu_si512(first);
        const __m512i b = _mm512_loadu_si512(second);
        const __m512i distance = _mm512_sub_epi16(_mm512_max_epi16(a, b), _mm512_min_epi16(a, b));
        return {_mm512_mullo_epi16(distance, distance), _mm512_mulhi_epu16(distance, distance)};
    }

    static void add_halves(HalfSums& sums, const __m512i& halves) {
        const __m512i low_halves = _mm512_set1_epi32(LOW_HALF_BITS);
        sums.left = _mm512_add_epi32(sums.left, _mm512_and_si512(halves, low_halves));
        sums.right = _mm512_add_epi32(sums.right, _mm512_srli_epi32(halves, HALF_LANE_BITS));
    }

    // kl of 32 samples, with its parity and the ties as masks.
    struct RoundedVector {
        __m512i low_quotients;
        __m512i high_halves;
        __mmask32 flips;
        __mmask32 ties;
    };

    static RoundedVector round_vector(const std::int16_t* first, const std::int16_t* second,
                                      const Rounding& rounding) {
        const SquareHalves<Avx512Words> squares = Avx512Words::squares(first, second);
        const __m512i low_quotients =
            _mm512_srlv_epi16(_mm512_avg_epu16(squares.low, rounding.halving_addend), rounding.halved_shift);
        return {
            low_quotients, squares.high, _mm512_test_epi16_mask(low_quotients, _mm512_set1_epi16(1)),
            _mm512_cmpeq_epi16_mask(_mm512_and_si512(squares.low, rounding.remainder_mask), rounding.half)};
    }

    static WordBits round_word(const std::int16_t* first, const std::int16_t* second,
                               const Rounding& rounding, QuotientSums<Avx512Words>& sums) {
        const RoundedVector one = round_vector(first, second, rounding);
        const RoundedVector two = round_vector(first + SAMPLES, second + SAMPLES, rounding);
        // As with AVX2, two kl fit 16 bits; when u = 2 both carry an extra
        // 2^15, which their 16-bit sum drops, and which leaves their parity.
        add_halves(sums.low_quotients, _mm512_add_epi16(one.low_quotients, two.low_quotients));
        add_halves(sums.high_halves, one.high_halves);
        add_halves(sums.high_halves, two.high_halves);
        return {_cvtmask64_u64(_mm512_kunpackd(two.flips, one.flips)),
                _cvtmask64_u64(_mm512_kunpackd(two.ties, one.ties))};
    }

    static __m512i lane_bit_counts(__m512i words) {
        const __m512i nibble_bits =
            _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4));
        const __m512i low_nibbles = _mm512_set1_epi8(0x0F);
        const __m512i low = _mm512_and_si512(words, low_nibbles);
        const __m512i high = _mm512_and_si512(_mm512_srli_epi16(words, 4), low_nibbles);
        const __m512i byte_counts =
            _mm512_add_epi8(_mm512_shuffle_epi8(nibble_bits, low), _mm512_shuffle_epi8(nibble_bits, high));
        return _mm512_sad_epu8(byte_counts, _mm512_setzero_si512());
    }

    // The sign bits of the eight 64-bit lanes, bit i for lane i, from the top
    // 16-bit element of each lane. Not from a 64-bit compare: in 32-bit
    // builds GCC 12 may store its 8-bit mask as one byte and load it back as
    // four, with whatever the stack held in the other three.
    static std::uint64_t lane_signs(__m512i words) {
        constexpr std::uint32_t TOP_ELEMENTS = 0x88888888;  // every fourth 16-bit element, from the fourth
        return _pext_u32(_cvtmask32_u32(_mm512_cmplt_epi16_mask(words, _mm512_setzero_si512())),
                         TOP_ELEMENTS);
    }

    static void scan_words(const std::uint64_t (&flips)[WORDS_PER_SCAN],
                           const std::uint64_t (&ties)[WORDS_PER_SCAN], std::uint64_t& parities,
                           RoundUps& rounded_up) {
        const __m512i flip_words = _mm512_loadu_si512(flips);
        const __m512i tie_words = _mm512_loadu_si512(ties);
        __m512i after = _mm512_andnot_si512(tie_words, flip_words);
        __m512i tie_behind = tie_words;
        scan_from_even(after, tie_behind);
        // Bit 62 ends the left side of a word and bit 63 the right side.
        const std::uint64_t starts = word_start_parities(
            lane_signs(after << 1) | lane_signs(after) << RIGHT_WORDS,
            lane_signs(tie_behind << 1) | lane_signs(tie_behind) << RIGHT_WORDS, parities);
        parities = (starts >> WORDS_PER_SCAN & 1) | (starts >> (RIGHT_WORDS + WORDS_PER_SCAN) & 1) << 1;
        const __m512i left = _mm512_set1_epi64(static_cast<long long>(LEFT_BITS));
        const __m512i odd_starts =
            _mm512_maskz_mov_epi64(static_cast<__mmask8>(starts), left) |
            _mm512_maskz_mov_epi64(static_cast<__mmask8>(starts >> RIGHT_WORDS), ~left);
        const __m512i first_ties = tie_behind & ~(tie_behind << BITS_PER_PAIR);
        const __m512i up = (((after << BITS_PER_PAIR) ^ flip_words) & tie_words) ^ (first_ties & odd_starts);
        rounded_up.left = _mm512_add_epi32(rounded_up.left, lane_bit_counts(up & left));
        rounded_up.right = _mm512_add_epi32(rounded_up.right, lane_bit_counts(up & ~left));
    }

    static RoundedSums round_up_totals(const RoundUps& rounded_up) {
        return {lane_total(rounded_up.left), lane_total(rounded_up.right)};
    }
};

}  // namespace

// Flattened, so that each kernel is one function of this file's instructions.
[[gnu::flatten]] SquareSums sum_squared_differences_avx512(const std::int16_t* first_block,
                                                           const std::int16_t* second_block,
                                                           std::uint32_t pairs) {
    return sum_square_vectors<Avx512Words>(first_block, second_block, pairs);
}

[[gnu::flatten]] RoundedSums sum_rounded_squares_avx512(const std::int16_t* first_block,
                                                        const std::int16_t* second_block, std::uint32_t pairs,
                                                        RoundingSide left, RoundingSide right) {
    return sum_rounded_words<Avx512Words>(first_block, second_block, pairs, left, right);
}

}  // namespace vorik::detail
