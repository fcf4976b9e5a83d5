#include "square_sums.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace {

// Samples summed side by side: a multiple of every vector width the compiler
// may use, so that lane j always holds a left sample when j is even and a
// right sample when j is odd.
constexpr std::size_t LANES = 16;

std::uint32_t squared_difference(std::int16_t first, std::int16_t second) {
    // Unsigned: a square of up to 65535^2 overflows int32 but not uint32.
    const auto difference = static_cast<std::uint32_t>(first - second);
    return difference * difference;
}

}  // namespace

// Written for the auto-vectoriser: independent lanes, unsigned arithmetic.
SquareSums sum_squared_differences_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                            std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    std::uint64_t lane_sums[LANES] = {};
    std::size_t i = 0;
    for (; i + LANES <= samples; i += LANES) {
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            lane_sums[lane] += squared_difference(first_block[i + lane], second_block[i + lane]);
        }
    }
    for (std::size_t lane = 0; i < samples; ++i, ++lane) {
        lane_sums[lane] += squared_difference(first_block[i], second_block[i]);
    }
    SquareSums sums{0, 0};
    for (std::size_t lane = 0; lane < LANES; lane += 2) {
        sums.left += lane_sums[lane];
        sums.right += lane_sums[lane + 1];
    }
    return sums;
}

// --- Rounded sums ---------------------------------------------------------------
//
// Why they are exact. Let a side's total T lie in [2^e, 2^(e+1)), e >= 53.
// The doubles there are the whole multiples of the spacing u = 2^(e-52) >= 2,
// so T = N*u with 2^52 <= N < 2^53. A square x is a whole number below 2^32;
// write x = q*u + r with 0 <= r < u. While T + x < 2^(e+1), the doubles on
// either side of it are (N+q)*u and (N+q+1)*u (the second may be 2^(e+1),
// whose significand is even like that of every even multiple), so adding x
// and rounding to nearest gives (N+q+c)*u, where c = 0 if r < u/2, c = 1 if
// r > u/2, and for a tie, r = u/2, c is the one of 0 and 1 that makes N+q+c
// even.
//
// A run of additions thus ends at (N + sum of (q+c))*u, and the one thing an
// addition hands on to the next is the parity of N: a tie always leaves it
// even, any other step flips it when q+c is odd. So for every square the
// kernels take k = q + [r > u/2], which is (x + u/2 - 1) >> log2(u), sum the
// k in vector lanes, and keep two bits of it per square: the parity of k (at
// a tie, of q) and whether it is a tie. Per 32 pairs, a prefix XOR of the
// parity bits within each side, restarted after every tie, gives the parity
// of N before each square; a tie rounds up, adding 1 to the sum, exactly
// when that parity differs from the parity of q.
//
// The run must not leave the binade. A step adds (q+c)*u, x rounded to a
// multiple of u, round-ups included: at most 2^32 when u <= 2^32, since 2^32
// is then a multiple of u above every square; nothing at all when u >= 2^33,
// where every square is below u/2. So if T + pairs*2^32 < 2^(e+1), every
// partial total and every exact sum T_k + x_k before its rounding lies below
// 2^(e+1), and none below 2^e, as squares are never negative: each addition
// is one the reasoning above covers, with the same u.

namespace {

// The squares of 32 pairs as bits of one word: the left square of pair i at
// bit 2i, the right one at bit 2i + 1.
constexpr std::uint32_t PAIRS_PER_WORD = 32;
constexpr unsigned WORD_BITS = 64;
constexpr unsigned BITS_PER_PAIR = 2;
constexpr std::uint64_t LEFT_BITS = 0x5555555555555555;
constexpr std::uint64_t RIGHT_BITS = ~LEFT_BITS;
constexpr unsigned LAST_PAIR_BIT = WORD_BITS - BITS_PER_PAIR;

// Where the parities of the two multiples N stand, and the ties that have
// rounded up so far.
struct TieScan {
    std::uint64_t parities;  // bit 0 the left N, bit 1 the right N
    RoundedSums ties_rounded_up;
};

TieScan start_scan(RoundingSide left, RoundingSide right) {
    return {std::uint64_t{left.odd_multiple} | std::uint64_t{right.odd_multiple} << 1, {0, 0}};
}

RoundingSide side_after(RoundingSide side, std::uint64_t parity) {
    return {side.spacing_exponent, parity != 0};
}

// Takes the next 32 pairs: `flips` holds the parity of every k (at a tie, of
// q), `ties` the ties. Inlined, so that the vector kernels count bits with
// the instructions of their own targets.
[[gnu::always_inline]] inline void scan_ties(std::uint64_t flips, std::uint64_t ties, TieScan& scan) {
    // The parity after each square for sides that started even: a prefix XOR
    // of the flips within each side, by doubling distances, that never
    // reaches back past a tie, after which the parity is even.
    std::uint64_t after = flips & ~ties;
    std::uint64_t tie_behind = ties;
    for (unsigned distance = BITS_PER_PAIR; distance < WORD_BITS; distance *= 2) {
        after ^= (after << distance) & ~tie_behind;
        tie_behind |= tie_behind << distance;
    }
    // A side that started odd is the other way round up to its first tie.
    const std::uint64_t odd_start =
        ((0 - (scan.parities & 1)) & LEFT_BITS) | ((0 - (scan.parities >> 1)) & RIGHT_BITS);
    after ^= odd_start & ~tie_behind;
    const std::uint64_t before = after << BITS_PER_PAIR | scan.parities;
    const std::uint64_t rounded_up = (before ^ flips) & ties;
    scan.ties_rounded_up.left += static_cast<unsigned>(std::popcount(rounded_up & LEFT_BITS));
    scan.ties_rounded_up.right += static_cast<unsigned>(std::popcount(rounded_up & RIGHT_BITS));
    scan.parities = after >> LAST_PAIR_BIT;
}

// One side's rounding in integers.
struct SideRounding {
    unsigned shift;                // log2(u)
    std::uint64_t half_down;       // u/2 - 1: added before the shift, so a tie rounds down
    std::uint32_t remainder_mask;  // u - 1
    std::uint32_t half;            // u/2
};

SideRounding side_rounding(RoundingSide side) {
    const std::uint64_t spacing = std::uint64_t{1} << side.spacing_exponent;
    return {side.spacing_exponent, spacing / 2 - 1, static_cast<std::uint32_t>(spacing - 1),
            static_cast<std::uint32_t>(spacing / 2)};
}

// Flags of 0 or 1, one a byte, gathered into the bits of one word.
std::uint64_t gather_bits(const unsigned char (&flags)[WORD_BITS]) {
    // Multiplied by this, the low bits of eight bytes meet in the top byte,
    // in order.
    constexpr std::uint64_t GATHER_LOW_BITS = 0x0102040810204080;
    constexpr unsigned BYTE_BITS = 8;
    constexpr unsigned TOP_BYTE = WORD_BITS - BYTE_BITS;
    std::uint64_t bits = 0;
    for (unsigned group = 0; group < WORD_BITS; group += BYTE_BITS) {
        std::uint64_t eight = 0;
        for (unsigned byte = 0; byte < BYTE_BITS; ++byte) {
            eight |= std::uint64_t{flags[group + byte]} << (byte * BYTE_BITS);
        }
        bits |= (eight * GATHER_LOW_BITS >> TOP_BYTE) << group;
    }
    return bits;
}

}  // namespace

// Per 32 pairs: the quotients and flags first, in a loop the compiler can
// vectorise, then the bits gathered and the ties resolved.
RoundedSums sum_rounded_squares_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                         std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    const SideRounding sides[BITS_PER_PAIR] = {side_rounding(left), side_rounding(right)};
    TieScan scan = start_scan(left, right);
    std::uint64_t quotients[BITS_PER_PAIR] = {0, 0};
    for (std::uint32_t done = 0; done < pairs;) {
        const std::uint32_t word_pairs = std::min(pairs - done, PAIRS_PER_WORD);
        const std::int16_t* first = first_block + std::size_t{done} * BITS_PER_PAIR;
        const std::int16_t* second = second_block + std::size_t{done} * BITS_PER_PAIR;
        unsigned char flips[WORD_BITS] = {};
        unsigned char ties[WORD_BITS] = {};
        for (std::size_t i = 0; i < std::size_t{word_pairs} * BITS_PER_PAIR; ++i) {
            const SideRounding& side = sides[i % BITS_PER_PAIR];
            const std::uint32_t square = squared_difference(first[i], second[i]);
            const std::uint64_t quotient = (square + side.half_down) >> side.shift;
            quotients[i % BITS_PER_PAIR] += quotient;
            flips[i] = static_cast<unsigned char>(quotient & 1);
            ties[i] = (square & side.remainder_mask) == side.half;
        }
        scan_ties(gather_bits(flips), gather_bits(ties), scan);
        done += word_pairs;
    }
    return {quotients[0] + scan.ties_rounded_up.left, quotients[1] + scan.ties_rounded_up.right};
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>

// On x86 the sums are made with AVX2 where the running CPU has it, chosen
// once at run time: the default build stays runnable on every x86 machine.
namespace {

constexpr std::size_t AVX2_SAMPLES = 16;  // 16-bit samples in one 256-bit vector
// A 32-bit lane gains at most 65535 per vector; this many vectors fill it to
// just below 2^32, so the lanes are emptied into 64-bit totals after them.
constexpr std::size_t VECTORS_BETWEEN_FLUSHES = 65536;
constexpr unsigned HALF_LANE_BITS = 16;

[[gnu::target("avx2")]] std::uint64_t lane_total(__m256i lanes) {
    std::uint32_t values[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(values), lanes);
    std::uint64_t total = 0;
    for (const std::uint32_t value : values) {
        total += value;
    }
    return total;
}

// The squared differences of 16 samples, split into the 16-bit halves that
// the 16-bit multiplies give. |a - b| fits 16 unsigned bits even where a - b
// does not fit 16 signed ones.
struct SquareHalves {
    __m256i low;
    __m256i high;
};

[[gnu::target("avx2")]] SquareHalves squares_avx2(const std::int16_t* first, const std::int16_t* second) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
    const __m256i distance = _mm256_sub_epi16(_mm256_max_epi16(a, b), _mm256_min_epi16(a, b));
    return {_mm256_mullo_epi16(distance, distance), _mm256_mulhi_epu16(distance, distance)};
}

// Sums of 16-bit halves of the 32-bit lanes, each side apart: in each lane
// the left sample of a pair lies in the low half and the right one in the
// high half.
struct SideHalfSums {
    __m256i left;
    __m256i right;
};

[[gnu::target("avx2")]] void add_halves(SideHalfSums& sums, __m256i halves) {
    const __m256i low_halves = _mm256_set1_epi32(0xFFFF);
    sums.left = _mm256_add_epi32(sums.left, _mm256_and_si256(halves, low_halves));
    sums.right = _mm256_add_epi32(sums.right, _mm256_srli_epi32(halves, HALF_LANE_BITS));
}

[[gnu::target("avx2")]] SquareSums sum_squares_avx2(const std::int16_t* first_block,
                                                    const std::int16_t* second_block, std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    SquareSums sums{0, 0};
    std::size_t i = 0;
    while (samples - i >= AVX2_SAMPLES) {
        SideHalfSums low{_mm256_setzero_si256(), _mm256_setzero_si256()};
        SideHalfSums high = low;
        const std::size_t vectors = std::min((samples - i) / AVX2_SAMPLES, VECTORS_BETWEEN_FLUSHES);
        for (std::size_t v = 0; v < vectors; ++v, i += AVX2_SAMPLES) {
            const SquareHalves squares = squares_avx2(first_block + i, second_block + i);
            add_halves(low, squares.low);
            add_halves(high, squares.high);
        }
        sums.left += (lane_total(high.left) << HALF_LANE_BITS) + lane_total(low.left);
        sums.right += (lane_total(high.right) << HALF_LANE_BITS) + lane_total(low.right);
    }
    // The rest starts on a pair, since AVX2_SAMPLES is even.
    const SquareSums rest = sum_squared_differences_portably(first_block + i, second_block + i,
                                                             static_cast<std::uint32_t>((samples - i) / 2));
    return {sums.left + rest.left, sums.right + rest.right};
}

// With the rounding kept in 16-bit lanes: while u <= 2^15, r is the low
// bits of a square's low half, and u/2 and r both stay below 2^15, so that
// signed 16-bit compares order them.
constexpr unsigned LAST_LANE_EXPONENT = 15;
constexpr std::size_t VECTORS_PER_WORD = PAIRS_PER_WORD * BITS_PER_PAIR / AVX2_SAMPLES;
constexpr std::size_t WORDS_BETWEEN_FLUSHES = VECTORS_BETWEEN_FLUSHES / VECTORS_PER_WORD;

// A 16-bit constant for the left samples and another for the right ones,
// in every 32-bit lane.
[[gnu::target("avx2")]] __m256i side_constants(std::uint32_t left, std::uint32_t right) {
    return _mm256_set1_epi32(static_cast<int>(right << HALF_LANE_BITS | left));
}

// The bits of 32 samples, from two vectors whose 16-bit lanes carry one each
// in their sign bits, in sample order.
[[gnu::target("avx2")]] std::uint64_t sign_bits(__m256i first_half, __m256i second_half) {
    // Packing works within 128-bit lanes; the permutation puts the four
    // eight-sample runs back in order.
    constexpr int RUNS_IN_ORDER = 0xD8;
    const __m256i bytes =
        _mm256_permute4x64_epi64(_mm256_packs_epi16(first_half, second_half), RUNS_IN_ORDER);
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
}

// k = q + [r > u/2] of a 16-sample vector, as k = high * 2^(16 - log2(u)) +
// kl with kl = (low >> log2(u)) + [r > u/2]; high * 2^(16 - log2(u)) is even,
// so kl has the parity of k.
struct RoundedVector {
    __m256i low_quotients;  // kl, at most 2^15
    __m256i high_halves;    // high
    __m256i flips;          // the parity of kl in the sign bits
    __m256i ties;           // all ones at a tie
};

struct LaneRounding {
    __m256i remainder_mask;  // u - 1
    __m256i half;            // u/2
    __m256i shift_factor;    // 2^(16 - log2(u)): the high half of a product by it is a shift by log2(u)
};

[[gnu::target("avx2")]] RoundedVector round_squares_avx2(const std::int16_t* first,
                                                         const std::int16_t* second,
                                                         const LaneRounding& rounding) {
    const SquareHalves squares = squares_avx2(first, second);
    const __m256i remainder = _mm256_and_si256(squares.low, rounding.remainder_mask);
    const __m256i above_half = _mm256_cmpgt_epi16(remainder, rounding.half);
    const __m256i low_quotients =
        _mm256_sub_epi16(_mm256_mulhi_epu16(squares.low, rounding.shift_factor), above_half);
    return {low_quotients, squares.high, _mm256_slli_epi16(low_quotients, HALF_LANE_BITS - 1),
            _mm256_cmpeq_epi16(remainder, rounding.half)};
}

[[gnu::target("avx2,bmi,popcnt")]] RoundedSums sum_rounded_squares_avx2(const std::int16_t* first_block,
                                                                        const std::int16_t* second_block,
                                                                        std::uint32_t pairs,
                                                                        RoundingSide left,
                                                                        RoundingSide right) {
    if (left.spacing_exponent > LAST_LANE_EXPONENT || right.spacing_exponent > LAST_LANE_EXPONENT) {
        return sum_rounded_squares_portably(first_block, second_block, pairs, left, right);
    }
    const SideRounding left_rounding = side_rounding(left);
    const SideRounding right_rounding = side_rounding(right);
    const LaneRounding rounding{side_constants(left_rounding.remainder_mask, right_rounding.remainder_mask),
                                side_constants(left_rounding.half, right_rounding.half),
                                side_constants(1U << (HALF_LANE_BITS - left.spacing_exponent),
                                               1U << (HALF_LANE_BITS - right.spacing_exponent))};
    TieScan scan = start_scan(left, right);
    RoundedSums quotients{0, 0};
    const std::size_t words = pairs / PAIRS_PER_WORD;
    std::size_t word = 0;
    while (word < words) {
        SideHalfSums low{_mm256_setzero_si256(), _mm256_setzero_si256()};
        SideHalfSums high = low;
        const std::size_t batch = std::min(words - word, WORDS_BETWEEN_FLUSHES);
        for (std::size_t w = 0; w < batch; ++w, ++word) {
            std::uint64_t flips = 0;
            std::uint64_t ties = 0;
            for (std::size_t v = 0; v < VECTORS_PER_WORD; v += 2) {
                const std::size_t i = (word * VECTORS_PER_WORD + v) * AVX2_SAMPLES;
                const RoundedVector first = round_squares_avx2(first_block + i, second_block + i, rounding);
                const RoundedVector second = round_squares_avx2(first_block + i + AVX2_SAMPLES,
                                                                second_block + i + AVX2_SAMPLES, rounding);
                // kl < 2^15 when u = 2, where no remainder is above
                // u/2, and kl <= 2^14 otherwise: two of them fit 16 bits.
                add_halves(low, _mm256_add_epi16(first.low_quotients, second.low_quotients));
                add_halves(high, first.high_halves);
                add_halves(high, second.high_halves);
                flips |= sign_bits(first.flips, second.flips) << (v * AVX2_SAMPLES);
                ties |= sign_bits(first.ties, second.ties) << (v * AVX2_SAMPLES);
            }
            scan_ties(flips, ties, scan);
        }
        quotients.left +=
            (lane_total(high.left) << (HALF_LANE_BITS - left.spacing_exponent)) + lane_total(low.left);
        quotients.right +=
            (lane_total(high.right) << (HALF_LANE_BITS - right.spacing_exponent)) + lane_total(low.right);
    }
    const std::size_t done = words * PAIRS_PER_WORD;
    const RoundedSums rest = sum_rounded_squares_portably(
        first_block + done * BITS_PER_PAIR, second_block + done * BITS_PER_PAIR,
        static_cast<std::uint32_t>(pairs - done), side_after(left, scan.parities & 1),
        side_after(right, scan.parities >> 1));
    return {quotients.left + scan.ties_rounded_up.left + rest.left,
            quotients.right + scan.ties_rounded_up.right + rest.right};
}

using SquareSumsKernel = SquareSums (*)(const std::int16_t*, const std::int16_t*, std::uint32_t);
using RoundedSumsKernel = RoundedSums (*)(const std::int16_t*, const std::int16_t*, std::uint32_t,
                                          RoundingSide, RoundingSide);

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("popcnt");
}

}  // namespace

SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs) {
    static const SquareSumsKernel kernel =
        cpu_has_avx2() ? sum_squares_avx2 : sum_squared_differences_portably;
    return kernel(first_block, second_block, pairs);
}

RoundedSums sum_rounded_squares(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    static const RoundedSumsKernel kernel =
        cpu_has_avx2() ? sum_rounded_squares_avx2 : sum_rounded_squares_portably;
    return kernel(first_block, second_block, pairs, left, right);
}

#else

SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs) {
    return sum_squared_differences_portably(first_block, second_block, pairs);
}

RoundedSums sum_rounded_squares(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    return sum_rounded_squares_portably(first_block, second_block, pairs, left, right);
}

#endif
