#include "square_sums.h"

#include <algorithm>
#include <bit>
#include <cstddef>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace vorik::detail {
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
// k in vector lanes, and keep two bits per square: the parity of k (at a tie
// k = q), called its flip, and whether it is a tie. Per 32 pairs, a prefix XOR
// of the flips within each side, restarted after every tie, gives the parity
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

// The squares of 32 pairs as the bits of one word: the left square of pair i
// at bit 2i, the right one at bit 2i + 1.
constexpr std::uint32_t PAIRS_PER_WORD = 32;
constexpr unsigned WORD_BITS = 64;
constexpr unsigned BITS_PER_PAIR = 2;
constexpr std::size_t SAMPLES_PER_WORD = PAIRS_PER_WORD * BITS_PER_PAIR;
constexpr std::uint64_t LEFT_BITS = 0x5555555555555555;
constexpr std::uint64_t RIGHT_BITS = ~LEFT_BITS;
constexpr unsigned LAST_PAIR_BIT = WORD_BITS - BITS_PER_PAIR;

// The parities of the two multiples N: bit 0 the left one, bit 1 the right.
std::uint64_t parities_of(RoundingSide left, RoundingSide right) {
    return std::uint64_t{left.odd_multiple} | std::uint64_t{right.odd_multiple} << 1;
}

RoundingSide side_after(RoundingSide side, std::uint64_t parity) {
    return {side.spacing_exponent, parity != 0};
}

// A prefix XOR of the flips within each side, by doubling distances, that
// never reaches back past a tie, after which the parity is even. `Word` is a
// 64-bit integer, or a vector of them (as GCC and Clang take vectors) whose
// lanes are scanned each on its own.
template <typename Word>
void scan_from_even(Word& after, Word& tie_behind) {
    for (unsigned distance = BITS_PER_PAIR; distance < WORD_BITS; distance *= 2) {
        after ^= (after << distance) & ~tie_behind;
        tie_behind |= tie_behind << distance;
    }
}

// Takes the next 32 pairs: `flips` holds the flip of every square, `ties`
// the ties; adds the ties that round up to `rounded_up`.
void scan_ties(std::uint64_t flips, std::uint64_t ties, std::uint64_t& parities, RoundedSums& rounded_up) {
    std::uint64_t after = flips & ~ties;
    std::uint64_t tie_behind = ties;
    scan_from_even(after, tie_behind);
    // A side that started odd is the other way round up to its first tie.
    const std::uint64_t odd_start = ((0 - (parities & 1)) & LEFT_BITS) | ((0 - (parities >> 1)) & RIGHT_BITS);
    after ^= odd_start & ~tie_behind;
    const std::uint64_t before = after << BITS_PER_PAIR | parities;
    const std::uint64_t up = (before ^ flips) & ties;
    rounded_up.left += static_cast<unsigned>(std::popcount(up & LEFT_BITS));
    rounded_up.right += static_cast<unsigned>(std::popcount(up & RIGHT_BITS));
    parities = after >> LAST_PAIR_BIT;
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

namespace {

// The rounding in 16-bit halves of the squares, as the vector kernels keep
// it: while u <= 2^15, r is the low bits of a square's low half, and u/2 and
// r both stay below 2^15. For every square k is then high * 2^(16 - log2(u))
// + kl with kl = (low >> log2(u)) + [r > u/2]; the first term is even, so kl
// has the parity of k.
constexpr unsigned LAST_LANE_EXPONENT = 15;
constexpr unsigned HALF_LANE_BITS = 16;
constexpr std::uint32_t LOW_HALF_BITS = 0xFFFF;
// A 32-bit lane that gains at most 65535 a word is emptied after this many.
constexpr std::size_t WORDS_BETWEEN_LANE_FLUSHES = 65536;

// The whole words of a run in 16-bit halves, in plain C++ for the
// auto-vectoriser: one lane per square of a word, with its side's constants.
RoundedSums sum_words_in_halves(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::size_t words, RoundingSide left, RoundingSide right,
                                std::uint64_t& parities) {
    const SideRounding sides[BITS_PER_PAIR] = {side_rounding(left), side_rounding(right)};
    std::uint16_t remainder_mask[WORD_BITS];
    std::uint16_t half[WORD_BITS];
    std::uint16_t shift_factor[WORD_BITS];  // 2^(16 - log2(u)): (x * it) >> 16 is x >> log2(u)
    for (std::size_t i = 0; i < WORD_BITS; ++i) {
        const SideRounding& side = sides[i % BITS_PER_PAIR];
        remainder_mask[i] = static_cast<std::uint16_t>(side.remainder_mask);
        half[i] = static_cast<std::uint16_t>(side.half);
        shift_factor[i] = static_cast<std::uint16_t>(1U << (HALF_LANE_BITS - side.shift));
    }
    RoundedSums sums{0, 0};
    for (std::size_t word = 0; word < words;) {
        std::uint32_t low_quotients[WORD_BITS] = {};
        std::uint32_t high_halves[WORD_BITS] = {};
        const std::size_t batch_end = word + std::min(words - word, WORDS_BETWEEN_LANE_FLUSHES);
        for (; word < batch_end; ++word) {
            const std::int16_t* first = first_block + word * SAMPLES_PER_WORD;
            const std::int16_t* second = second_block + word * SAMPLES_PER_WORD;
            unsigned char flips[WORD_BITS];
            unsigned char ties[WORD_BITS];
            for (std::size_t i = 0; i < WORD_BITS; ++i) {
                // |a - b| fits 16 unsigned bits even where a - b does not fit 16 signed ones.
                const std::int16_t larger = first[i] > second[i] ? first[i] : second[i];
                const std::int16_t smaller = first[i] > second[i] ? second[i] : first[i];
                const auto distance = static_cast<std::uint16_t>(static_cast<std::uint16_t>(larger) -
                                                                 static_cast<std::uint16_t>(smaller));
                const std::uint32_t square = std::uint32_t{distance} * std::uint32_t{distance};
                const auto low = static_cast<std::uint16_t>(square);
                const auto high = static_cast<std::uint16_t>(square >> HALF_LANE_BITS);
                const auto remainder = static_cast<std::uint16_t>(low & remainder_mask[i]);
                // 1 where the remainder is above half the spacing: both are below 2^15.
                const auto above_half = static_cast<std::uint16_t>(
                    static_cast<std::uint16_t>(half[i] - remainder) >> (HALF_LANE_BITS - 1));
                const auto shifted = static_cast<std::uint16_t>(
                    std::uint32_t{low} * std::uint32_t{shift_factor[i]} >> HALF_LANE_BITS);
                const auto low_quotient = static_cast<std::uint16_t>(shifted + above_half);
                low_quotients[i] += low_quotient;
                high_halves[i] += high;
                flips[i] = static_cast<unsigned char>(low_quotient & 1);
                ties[i] = static_cast<unsigned char>(remainder == half[i]);
            }
            scan_ties(gather_bits(flips), gather_bits(ties), parities, sums);
        }
        for (std::size_t i = 0; i < WORD_BITS; i += BITS_PER_PAIR) {
            sums.left += (std::uint64_t{high_halves[i]} << (HALF_LANE_BITS - left.spacing_exponent)) +
                         low_quotients[i];
            sums.right += (std::uint64_t{high_halves[i + 1]} << (HALF_LANE_BITS - right.spacing_exponent)) +
                          low_quotients[i + 1];
        }
    }
    return sums;
}

}  // namespace

// The whole words in 16-bit halves while the spacings allow; the rest, and
// every square at wider spacings, in 64 bits: the quotients and flags, then
// the bits gathered and the ties resolved, per 32 pairs.
RoundedSums sum_rounded_squares_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                         std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    std::uint64_t parities = parities_of(left, right);
    const bool in_halves =
        left.spacing_exponent <= LAST_LANE_EXPONENT && right.spacing_exponent <= LAST_LANE_EXPONENT;
    const std::size_t words = in_halves ? pairs / PAIRS_PER_WORD : 0;
    RoundedSums sums = in_halves
                           ? sum_words_in_halves(first_block, second_block, words, left, right, parities)
                           : RoundedSums{0, 0};
    const SideRounding sides[BITS_PER_PAIR] = {side_rounding(left), side_rounding(right)};
    std::uint64_t quotients[BITS_PER_PAIR] = {0, 0};
    for (auto done = static_cast<std::uint32_t>(words * PAIRS_PER_WORD); done < pairs;) {
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
        scan_ties(gather_bits(flips), gather_bits(ties), parities, sums);
        done += word_pairs;
    }
    return {sums.left + quotients[0], sums.right + quotients[1]};
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

// On x86 the sums are made with AVX2 where the running CPU has it, and the
// rounded ones with AVX-512 where it has that, chosen once at run time: the
// default build stays runnable on every x86 machine.
namespace {

constexpr std::size_t AVX2_SAMPLES = 16;  // 16-bit samples in one 256-bit vector
// A 32-bit lane gains at most 65535 per vector; this many vectors fill it to
// just below 2^32, so the lanes are emptied into 64-bit totals after them.
constexpr std::size_t VECTORS_BETWEEN_FLUSHES = 65536;

[[gnu::target("avx2")]] std::uint64_t lane_total(const __m256i& lanes) {
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

// Sums of 16-bit halves of the 32-bit lanes, each side apart: in each lane
// the left sample of a pair lies in the low half and the right one in the
// high half.
struct SideHalfSums {
    __m256i left;
    __m256i right;
};

// The vector kernels keep the rounding in 16-bit halves as the portable one
// does; there u/2 and r < 2^15 let signed 16-bit compares order them.

// The flips and ties of one word.
struct WordBits {
    std::uint64_t flips;
    std::uint64_t ties;
};

[[gnu::target("avx512f,avx512bw")]] std::uint64_t lane_total(const __m512i& lanes);

// What the lane sums of a batch come to on each side: the k of its squares,
// high * 2^(16 - log2(u)) + kl each, and the ties that rounded up, which a
// kernel may count among the kl.
template <typename LaneSums>
RoundedSums lane_quotients(const LaneSums& sums, const SideRounding& left, const SideRounding& right) {
    return {(lane_total(sums.high_halves.left) << (HALF_LANE_BITS - left.shift)) +
                lane_total(sums.low_quotients.left),
            (lane_total(sums.high_halves.right) << (HALF_LANE_BITS - right.shift)) +
                lane_total(sums.low_quotients.right)};
}

// The word loop of the vector kernels, with `Words` rounding the squares;
// it is flattened into one function per instruction set.
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
        typename Words::Sums lane_sums = Words::no_sums();
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
            Words::scan_words(flips, ties, parities, lane_sums, sums);
        }
        const RoundedSums batch = lane_quotients(lane_sums, left_rounding, right_rounding);
        sums.left += batch.left;
        sums.right += batch.right;
    }
    const std::size_t done = words * SAMPLES_PER_WORD;
    const RoundedSums rest = sum_rounded_squares_portably(
        first_block + done, second_block + done, static_cast<std::uint32_t>(pairs - words * PAIRS_PER_WORD),
        side_after(left, parities & 1), side_after(right, parities >> 1));
    return {sums.left + rest.left, sums.right + rest.right};
}

// A word's squares rounded with AVX2: four vectors of 16 samples.
struct Avx2Words {
    struct Rounding {
        __m256i remainder_mask;  // u - 1
        __m256i half;            // u/2
        __m256i shift_factor;    // 2^(16 - log2(u)): the high half of a product by it is a shift by log2(u)
    };
    struct Sums {
        SideHalfSums low_quotients;  // kl
        SideHalfSums high_halves;    // high
    };
    using HalfSums = SideHalfSums;
    // Each word adds four high halves to a 32-bit lane.
    static constexpr std::size_t WORDS_BETWEEN_FLUSHES = VECTORS_BETWEEN_FLUSHES / 4;
    static constexpr std::size_t WORDS_PER_SCAN = 1;
    static constexpr std::size_t SAMPLES = AVX2_SAMPLES;

    [[gnu::target("avx2")]] static HalfSums no_half_sums() {
        return {_mm256_setzero_si256(), _mm256_setzero_si256()};
    }

    [[gnu::target("avx2")]] static SquareHalves squares(const std::int16_t* first,
                                                        const std::int16_t* second) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
        const __m256i distance = _mm256_sub_epi16(_mm256_max_epi16(a, b), _mm256_min_epi16(a, b));
        return {_mm256_mullo_epi16(distance, distance), _mm256_mulhi_epu16(distance, distance)};
    }

    [[gnu::target("avx2")]] static void add_halves(HalfSums& sums, const __m256i& halves) {
        const __m256i low_halves = _mm256_set1_epi32(LOW_HALF_BITS);
        sums.left = _mm256_add_epi32(sums.left, _mm256_and_si256(halves, low_halves));
        sums.right = _mm256_add_epi32(sums.right, _mm256_srli_epi32(halves, HALF_LANE_BITS));
    }

    // A 16-bit constant for the left samples and another for the right
    // ones, in every 32-bit lane.
    [[gnu::target("avx2")]] static __m256i side_constants(std::uint32_t left, std::uint32_t right) {
        return _mm256_set1_epi32(static_cast<int>(right << HALF_LANE_BITS | left));
    }

    [[gnu::target("avx2")]] static Rounding rounding(const SideRounding& left, const SideRounding& right) {
        return {side_constants(left.remainder_mask, right.remainder_mask),
                side_constants(left.half, right.half),
                side_constants(1U << (HALF_LANE_BITS - left.shift), 1U << (HALF_LANE_BITS - right.shift))};
    }

    [[gnu::target("avx2")]] static Sums no_sums() {
        const SideHalfSums zero{_mm256_setzero_si256(), _mm256_setzero_si256()};
        return {zero, zero};
    }

    // The bits of 32 samples, from two vectors whose 16-bit lanes carry one
    // each in their sign bits, in sample order.
    [[gnu::target("avx2")]] static std::uint64_t sign_bits(__m256i first_half, __m256i second_half) {
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

    [[gnu::target("avx2")]] static RoundedVector round_vector(const std::int16_t* first,
                                                              const std::int16_t* second,
                                                              const Rounding& rounding) {
        const SquareHalves squares = Avx2Words::squares(first, second);
        const __m256i remainder = _mm256_and_si256(squares.low, rounding.remainder_mask);
        const __m256i above_half = _mm256_cmpgt_epi16(remainder, rounding.half);
        const __m256i low_quotients =
            _mm256_sub_epi16(_mm256_mulhi_epu16(squares.low, rounding.shift_factor), above_half);
        return {low_quotients, squares.high, _mm256_slli_epi16(low_quotients, HALF_LANE_BITS - 1),
                _mm256_cmpeq_epi16(remainder, rounding.half)};
    }

    [[gnu::target("avx2")]] static WordBits round_word(const std::int16_t* first, const std::int16_t* second,
                                                       const Rounding& rounding, Sums& sums) {
        WordBits bits{0, 0};
        for (std::size_t i = 0; i < SAMPLES_PER_WORD; i += 2 * AVX2_SAMPLES) {
            const RoundedVector one = round_vector(first + i, second + i, rounding);
            const RoundedVector two =
                round_vector(first + i + AVX2_SAMPLES, second + i + AVX2_SAMPLES, rounding);
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
                           const std::uint64_t (&ties)[WORDS_PER_SCAN], std::uint64_t& parities, Sums&,
                           RoundedSums& rounded_up) {
        scan_ties(flips[0], ties[0], parities, rounded_up);
    }
};

[[gnu::target("avx2,bmi,bmi2,popcnt"), gnu::flatten]] RoundedSums sum_rounded_squares_avx2(
    const std::int16_t* first_block, const std::int16_t* second_block, std::uint32_t pairs, RoundingSide left,
    RoundingSide right) {
    return sum_rounded_words<Avx2Words>(first_block, second_block, pairs, left, right);
}

// A word's squares rounded with AVX-512: two vectors of 32 samples, whose
// compares give the bits at once. With 32 vector registers, the words are
// also scanned eight at once, one a lane, each as if both sides started it
// even; then the parities at the start of each word follow from the ones at
// the end of the word before, and a side that started a word odd has the
// opposite rounding at its first tie and, without a tie, the opposite parity
// at the end.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
// GCC 12 takes the undefined vectors inside its own AVX-512 intrinsics for
// uninitialised variables (its bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
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

[[gnu::target("avx512f,avx512bw")]] std::uint64_t lane_total(const __m512i& lanes) {
    const __m512i low = _mm512_cvtepu32_epi64(_mm512_castsi512_si256(lanes));
    const __m512i high = _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(lanes, 1));
    return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(low, high)));
}

struct Avx512Words {
    struct Rounding {
        __m512i remainder_mask;  // u - 1
        __m512i half;            // u/2
        // (x + y + 1) >> 1 of a low half x and this y, shifted right by
        // log2(u) - 1, is kl; when u = 2, y = -1 and kl + 2^15 (see round_word).
        __m512i halving_addend;  // u/2 - 2, modulo 2^16
        __m512i halved_shift;    // log2(u) - 1
    };
    struct HalfSums {
        __m512i left;
        __m512i right;
    };
    struct Sums {
        HalfSums low_quotients;  // kl, and the ties that round up
        HalfSums high_halves;
    };
    // Each word adds two high halves to a 32-bit lane.
    static constexpr std::size_t WORDS_BETWEEN_FLUSHES = VECTORS_BETWEEN_FLUSHES / 2;
    static constexpr std::size_t WORDS_PER_SCAN = 8;
    static constexpr std::size_t SAMPLES = 32;  // 16-bit samples in one 512-bit vector

    [[gnu::target("avx512f,avx512bw")]] static __m512i side_constants(std::uint32_t left,
                                                                      std::uint32_t right) {
        return _mm512_set1_epi32(static_cast<int>(right << HALF_LANE_BITS | left));
    }

    [[gnu::target("avx512f,avx512bw")]] static Rounding rounding(const SideRounding& left,
                                                                 const SideRounding& right) {
        const auto halving_addend = [](const SideRounding& side) { return (side.half - 2) & LOW_HALF_BITS; };
        return {side_constants(left.remainder_mask, right.remainder_mask),
                side_constants(left.half, right.half),
                side_constants(halving_addend(left), halving_addend(right)),
                side_constants(left.shift - 1, right.shift - 1)};
    }

    [[gnu::target("avx512f,avx512bw")]] static HalfSums no_half_sums() {
        return {_mm512_setzero_si512(), _mm512_setzero_si512()};
    }

    [[gnu::target("avx512f,avx512bw")]] static Sums no_sums() { return {no_half_sums(), no_half_sums()}; }

    // The squared differences of 32 samples, in the halves the 16-bit
    // multiplies give, as Avx2Words::squares makes them of 16.
    struct SquareHalves {
        __m512i low;
        __m512i high;
    };

    [[gnu::target("avx512f,avx512bw")]] static SquareHalves squares(const std::int16_t* first,
                                                                    const std::int16_t* second) {
        const __m512i a = _mm512_loadu_si512(first);
        const __m512i b = _mm512_loadu_si512(second);
        const __m512i distance = _mm512_sub_epi16(_mm512_max_epi16(a, b), _mm512_min_epi16(a, b));
        return {_mm512_mullo_epi16(distance, distance), _mm512_mulhi_epu16(distance, distance)};
    }

    [[gnu::target("avx512f,avx512bw")]] static void add_halves(HalfSums& sums, const __m512i& halves) {
        const __m512i low_halves = _mm512_set1_epi32(LOW_HALF_BITS);
        sums.left = _mm512_add_epi32(sums.left, _mm512_and_si512(halves, low_halves));
        sums.right = _mm512_add_epi32(sums.right, _mm512_srli_epi32(halves, HALF_LANE_BITS));
    }

    struct RoundedVector {
        __m512i low_quotients;
        __m512i high_halves;
        __mmask32 flips;
        __mmask32 ties;
    };

    [[gnu::target("avx512f,avx512bw")]] static RoundedVector round_vector(const std::int16_t* first,
                                                                          const std::int16_t* second,
                                                                          const Rounding& rounding) {
        const __m512i a = _mm512_loadu_si512(first);
        const __m512i b = _mm512_loadu_si512(second);
        const __m512i distance = _mm512_sub_epi16(_mm512_max_epi16(a, b), _mm512_min_epi16(a, b));
        const __m512i low = _mm512_mullo_epi16(distance, distance);
        const __m512i low_quotients =
            _mm512_srlv_epi16(_mm512_avg_epu16(low, rounding.halving_addend), rounding.halved_shift);
        return {low_quotients, _mm512_mulhi_epu16(distance, distance),
                _mm512_test_epi16_mask(low_quotients, _mm512_set1_epi16(1)),
                _mm512_cmpeq_epi16_mask(_mm512_and_si512(low, rounding.remainder_mask), rounding.half)};
    }

    [[gnu::target("avx512f,avx512bw")]] static WordBits round_word(const std::int16_t* first,
                                                                   const std::int16_t* second,
                                                                   const Rounding& rounding, Sums& sums) {
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

    [[gnu::target("avx512f,avx512bw")]] static __m512i lane_bit_counts(__m512i words) {
        const __m512i nibble_bits =
            _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4));
        const __m512i low_nibbles = _mm512_set1_epi8(0x0F);
        const __m512i low = _mm512_and_si512(words, low_nibbles);
        const __m512i high = _mm512_and_si512(_mm512_srli_epi16(words, 4), low_nibbles);
        const __m512i byte_counts =
            _mm512_add_epi8(_mm512_shuffle_epi8(nibble_bits, low), _mm512_shuffle_epi8(nibble_bits, high));
        return _mm512_sad_epu8(byte_counts, _mm512_setzero_si512());
    }

    [[gnu::target("avx512f,avx512bw")]] static std::uint64_t lane_signs(__m512i words) {
        return _mm512_cmplt_epi64_mask(words, _mm512_setzero_si512());
    }

    [[gnu::target("avx512f,avx512bw")]] static void scan_words(const std::uint64_t (&flips)[WORDS_PER_SCAN],
                                                               const std::uint64_t (&ties)[WORDS_PER_SCAN],
                                                               std::uint64_t& parities, Sums& sums,
                                                               RoundedSums&) {
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
        const __m512i rounded_up =
            (((after << BITS_PER_PAIR) ^ flip_words) & tie_words) ^ (first_ties & odd_starts);
        sums.low_quotients.left =
            _mm512_add_epi32(sums.low_quotients.left, lane_bit_counts(rounded_up & left));
        sums.low_quotients.right =
            _mm512_add_epi32(sums.low_quotients.right, lane_bit_counts(rounded_up & ~left));
    }
};

// The integer sums in vectors of either width: the 32-bit lanes of the
// halves are emptied into the 64-bit totals before they can overflow.
template <typename Vectors>
SquareSums sum_square_vectors(const std::int16_t* first_block, const std::int16_t* second_block,
                              std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    SquareSums sums{0, 0};
    std::size_t i = 0;
    while (samples - i >= Vectors::SAMPLES) {
        typename Vectors::HalfSums low = Vectors::no_half_sums();
        typename Vectors::HalfSums high = low;
        const std::size_t vectors = std::min((samples - i) / Vectors::SAMPLES, VECTORS_BETWEEN_FLUSHES);
        for (std::size_t v = 0; v < vectors; ++v, i += Vectors::SAMPLES) {
            const auto squares = Vectors::squares(first_block + i, second_block + i);
            Vectors::add_halves(low, squares.low);
            Vectors::add_halves(high, squares.high);
        }
        sums.left += (lane_total(high.left) << HALF_LANE_BITS) + lane_total(low.left);
        sums.right += (lane_total(high.right) << HALF_LANE_BITS) + lane_total(low.right);
    }
    // The rest starts on a pair, since a vector holds an even number of samples.
    const SquareSums rest = sum_squared_differences_portably(first_block + i, second_block + i,
                                                             static_cast<std::uint32_t>((samples - i) / 2));
    return {sums.left + rest.left, sums.right + rest.right};
}

[[gnu::target("avx2"), gnu::flatten]] SquareSums sum_squares_avx2(const std::int16_t* first_block,
                                                                  const std::int16_t* second_block,
                                                                  std::uint32_t pairs) {
    return sum_square_vectors<Avx2Words>(first_block, second_block, pairs);
}

[[gnu::target("avx512f,avx512bw"), gnu::flatten]] SquareSums sum_squares_avx512(
    const std::int16_t* first_block, const std::int16_t* second_block, std::uint32_t pairs) {
    return sum_square_vectors<Avx512Words>(first_block, second_block, pairs);
}

[[gnu::target("avx512f,avx512bw,bmi,bmi2,popcnt"), gnu::flatten]] RoundedSums sum_rounded_squares_avx512(
    const std::int16_t* first_block, const std::int16_t* second_block, std::uint32_t pairs, RoundingSide left,
    RoundingSide right) {
    return sum_rounded_words<Avx512Words>(first_block, second_block, pairs, left, right);
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic pop
#endif

// The instruction sets of the running CPU that the kernels take.
struct CpuFeatures {
    bool avx2;    // with the bit instructions every CPU that has it also has
    bool avx512;  // the 16-bit vector instructions too
};

CpuFeatures cpu_features() {
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    return {avx2, avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")};
}

// Where the fastest kernel the running CPU can take stands in the lists
// below: AVX-512, AVX2, then the portable one.
std::size_t fastest_runnable_kernel() {
    static const CpuFeatures cpu = cpu_features();
    return cpu.avx512 ? 0 : cpu.avx2 ? 1 : 2;
}

}  // namespace

std::span<const SquareSumsKernel> runnable_square_sums_kernels() {
    static const SquareSumsKernel kernels[] = {{"AVX-512", sum_squares_avx512},
                                               {"AVX2", sum_squares_avx2},
                                               {"portable", sum_squared_differences_portably}};
    return std::span(kernels).subspan(fastest_runnable_kernel());
}

std::span<const RoundedSumsKernel> runnable_rounded_sums_kernels() {
    static const RoundedSumsKernel kernels[] = {{"AVX-512", sum_rounded_squares_avx512},
                                                {"AVX2", sum_rounded_squares_avx2},
                                                {"portable", sum_rounded_squares_portably}};
    return std::span(kernels).subspan(fastest_runnable_kernel());
}

#else

std::span<const SquareSumsKernel> runnable_square_sums_kernels() {
    static const SquareSumsKernel kernels[] = {{"portable", sum_squared_differences_portably}};
    return kernels;
}

std::span<const RoundedSumsKernel> runnable_rounded_sums_kernels() {
    static const RoundedSumsKernel kernels[] = {{"portable", sum_rounded_squares_portably}};
    return kernels;
}

#endif

SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs) {
    static const auto kernel = runnable_square_sums_kernels().front().sum;
    return kernel(first_block, second_block, pairs);
}

RoundedSums sum_rounded_squares(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    static const auto kernel = runnable_rounded_sums_kernels().front().sum;
    return kernel(first_block, second_block, pairs, left, right);
}

}  // namespace vorik::detail
