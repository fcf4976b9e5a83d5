// What the rounded sums of every instruction set share: the squares of 32
// pairs as the bits of one word, the scan that settles their ties, and each
// side's rounding in integers. Why the rounded sums are exact is set out in
// portable.cpp, beside the plain C++ ones.
//
// Each file that includes this compiles its own copy, under its own target
// flags: internal linkage keeps the linker from handing one file's copy, made
// for AVX-512, to the callers in another.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "square_sums.h"

namespace vorik::detail {
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
inline std::uint64_t parities_of(RoundingSide left, RoundingSide right) {
    return std::uint64_t{left.odd_multiple} | std::uint64_t{right.odd_multiple} << 1;
}

inline RoundingSide side_after(RoundingSide side, std::uint64_t parity) {
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
inline void scan_ties(std::uint64_t flips, std::uint64_t ties, std::uint64_t& parities,
                      RoundedSums& rounded_up) {
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

inline SideRounding side_rounding(RoundingSide side) {
    const std::uint64_t spacing = std::uint64_t{1} << side.spacing_exponent;
    return {side.spacing_exponent, spacing / 2 - 1, static_cast<std::uint32_t>(spacing - 1),
            static_cast<std::uint32_t>(spacing / 2)};
}

// The rounding in 16-bit halves of the squares, as the vector kernels keep
// it: while u <= 2^15, r is the low bits of a square's low half, and u/2 and
// r both stay below 2^15. For every square k is then high * 2^(16 - log2(u))
// + kl with kl = (low >> log2(u)) + [r > u/2]; the first term is even, so kl
// has the parity of k.
constexpr unsigned LAST_LANE_EXPONENT = 15;
constexpr unsigned HALF_LANE_BITS = 16;
constexpr std::uint32_t LOW_HALF_BITS = 0xFFFF;

}  // namespace
}  // namespace vorik::detail
