// The square sums in plain C++, for the compiler to vectorise: what CPUs
// without a hand-written kernel run, and what the kernels hand back (the rest
// of a block, spacings too wide for their 16-bit lanes). The integer sums, then
// the rounded ones with the reasoning that makes them exact.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "rounding.h"
#include "square_sums.h"

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
// A run summed as if each side's N started even can be set right for an odd
// start afterwards, which is what lets pieces of a run be summed apart and
// joined: up to a side's first tie, its parities are the other way round,
// which changes no rounding but that of the first tie; from the first tie on,
// the parities are those of the even start. So the odd start adds -1, 0 or
// +1 to the sum. Ties are rarer than they seem: with u = 2^s, x = d^2 is a
// tie exactly when s is odd and d holds the factor 2 exactly (s - 1)/2 times.
//
// The run must not leave the binade, and its sum tells whether it did.
// Squares are never negative, so the totals reckoned so only grow, and none
// falls below 2^e. While they stay below 2^(e+1), each addition is one the
// reasoning above covers, with the same u; the first whose exact sum
// T_k + x_k would round to 2^(e+1) or past it is reckoned at 2^53 spacings or
// more, as in double. So where N plus the sum stays below 2^53, the run
// stayed in the binade and the sum is exact; where not, it left it.

namespace {

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

// The squares of one word, up to 32 pairs, in 64 bits: each side's sum of
// their k, and their flips and ties as bits.
struct WordRounding {
    std::uint64_t quotients[BITS_PER_PAIR];
    std::uint64_t flips;
    std::uint64_t ties;
};

WordRounding round_word(const std::int16_t* first, const std::int16_t* second, std::uint32_t word_pairs,
                        const SideRounding (&sides)[BITS_PER_PAIR]) {
    WordRounding word{{0, 0}, 0, 0};
    unsigned char flips[WORD_BITS] = {};
    unsigned char ties[WORD_BITS] = {};
    for (std::size_t i = 0; i < std::size_t{word_pairs} * BITS_PER_PAIR; ++i) {
        const SideRounding& side = sides[i % BITS_PER_PAIR];
        const std::uint32_t square = squared_difference(first[i], second[i]);
        const std::uint64_t quotient = (square + side.half_down) >> side.shift;
        word.quotients[i % BITS_PER_PAIR] += quotient;
        flips[i] = static_cast<unsigned char>(quotient & 1);
        ties[i] = (square & side.remainder_mask) == side.half;
    }
    word.flips = gather_bits(flips);
    word.ties = gather_bits(ties);
    return word;
}

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
        const WordRounding word =
            round_word(first_block + std::size_t{done} * BITS_PER_PAIR,
                       second_block + std::size_t{done} * BITS_PER_PAIR, word_pairs, sides);
        quotients[0] += word.quotients[0];
        quotients[1] += word.quotients[1];
        scan_ties(word.flips, word.ties, parities, sums);
        done += word_pairs;
    }
    return {sums.left + quotients[0], sums.right + quotients[1]};
}

namespace {

// One side's search for its first tie, a word of 32 pairs at a time.
struct FirstTieSearch {
    bool done;        // the first tie is found, or the side cannot have one
    int change;       // what an odd start adds to the side's rounded sum
    unsigned parity;  // N's parity so far, for an even start
};

void search_word(FirstTieSearch& search, std::uint64_t flips, std::uint64_t ties, std::uint64_t side_bits) {
    const std::uint64_t side_ties = ties & side_bits;
    if (side_ties == 0) {
        search.parity ^= static_cast<unsigned>(std::popcount(flips & side_bits)) & 1;
        return;
    }
    const std::uint64_t first_tie = side_ties & (0 - side_ties);
    const unsigned parity_before =
        search.parity ^ (static_cast<unsigned>(std::popcount(flips & side_bits & (first_tie - 1))) & 1);
    const unsigned quotient_parity = static_cast<unsigned>((flips & first_tie) != 0);
    // From an even start the tie rounds up where N's parity differs from
    // q's; from the odd start it then does not, and the other way round.
    search.change = parity_before != quotient_parity ? -1 : 1;
    search.done = true;
}

}  // namespace

OddStartChanges odd_start_changes(const std::int16_t* first_block, const std::int16_t* second_block,
                                  std::uint32_t pairs, unsigned left_spacing_exponent,
                                  unsigned right_spacing_exponent) {
    const unsigned exponents[BITS_PER_PAIR] = {left_spacing_exponent, right_spacing_exponent};
    const std::uint64_t side_bits[BITS_PER_PAIR] = {LEFT_BITS, RIGHT_BITS};
    FirstTieSearch searches[BITS_PER_PAIR] = {};
    SideRounding sides[BITS_PER_PAIR] = {};
    for (std::size_t side = 0; side < BITS_PER_PAIR; ++side) {
        sides[side] = side_rounding({exponents[side], false});
        // An even exponent admits no tie: see above.
        searches[side].done = exponents[side] % 2 == 0;
    }
    for (std::uint32_t done = 0; done < pairs && !(searches[0].done && searches[1].done);) {
        const std::uint32_t word_pairs = std::min(pairs - done, PAIRS_PER_WORD);
        const WordRounding word =
            round_word(first_block + std::size_t{done} * BITS_PER_PAIR,
                       second_block + std::size_t{done} * BITS_PER_PAIR, word_pairs, sides);
        for (std::size_t side = 0; side < BITS_PER_PAIR; ++side) {
            if (!searches[side].done) {
                search_word(searches[side], word.flips, word.ties, side_bits[side]);
            }
        }
        done += word_pairs;
    }
    return {searches[0].change, searches[1].change};
}

}  // namespace vorik::detail
