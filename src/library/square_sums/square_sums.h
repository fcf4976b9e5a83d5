// Sums of squared sample differences, at the speed of the CPU's widest
// vectors: in integers, and as a double total past 2^53 takes them one by one.
//
// Every square of a difference of two 16-bit samples fits an unsigned 32-bit
// value, and 2^32 of them fit 64 bits, so the integer sums are exact. They are
// what lets the meter skip the one-by-one double additions while those would
// be exact anyway. Past 2^53 those additions round; the rounded sums below
// give, without adding one by one, the very total they arrive at.
#pragma once

#include <vorik/psnr_meter.h>

#include <cstdint>

// Not part of the library's interface: the meter's own parts, and what the
// tests and the benchmark reach of them.
namespace vorik::detail {

// Adds the squared differences of `count` samples of each block, pair by
// pair in ascending order, left before right, each to a double total one
// after another; a lone last sample is ignored. This in-order loop defines
// the results to the last bit: accumulate_block gives the same, faster.
void accumulate_block_in_order(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                               const std::int16_t* second_block, std::uint32_t count);

struct SquareSums {
    std::uint64_t left;   // squared differences of the first samples of the pairs
    std::uint64_t right;  // squared differences of the second samples
};

// Sums over `pairs` sample pairs of each block, with the kernels in use
// (kernel_list.h).
SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs);

// The same in plain C++ for the compiler to vectorise: what CPUs without a
// hand-written kernel run, and the rest of a block the kernels leave over.
SquareSums sum_squared_differences_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                            std::uint32_t pairs);

// A side's running total T at the start of a run of pairs, past 2^53: it lies
// in [2^e, 2^(e+1)) with e >= 53, where the doubles are the whole multiples of
// the spacing u = 2^(e-52), and T = N*u.
struct RoundingSide {
    unsigned spacing_exponent;  // e - 52, from 1 to LAST_ROUNDING_EXPONENT
    bool odd_multiple;          // N is odd
};

// From a spacing of 2^33 on, every square is below half the spacing and
// leaves the total as it was.
constexpr unsigned LAST_ROUNDING_EXPONENT = 32;

// How far each side's total moved, in multiples of its spacing.
struct RoundedSums {
    std::uint64_t left;
    std::uint64_t right;
};

// What adding the squares of `pairs` pairs one by one in double, left to the
// left total and right to the right total, adds to each, exactly, while each
// total stays in its binade. Where a total leaves it, N plus the sum reaches
// 2^53, which is how the meter tells (portable.cpp says why). With the
// kernels in use.
RoundedSums sum_rounded_squares(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::uint32_t pairs, RoundingSide left, RoundingSide right);

// The same in plain C++: what CPUs without a hand-written kernel run, spacings
// too wide for the kernels' 16-bit lanes, and the rest of a block the kernels
// leave over.
RoundedSums sum_rounded_squares_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                         std::uint32_t pairs, RoundingSide left, RoundingSide right);

// What starting with an odd multiple N, rather than an even one, changes in
// each side's rounded sum of `pairs` pairs: -1, 0 or +1, as its first tie
// rounds the other way; 0 for a side without a tie. The rest of a rounded
// sum does not depend on the start, so a run summed as if both sides started
// even, with this beside it, can be joined to whatever came before it.
struct OddStartChanges {
    int left;
    int right;
};

OddStartChanges odd_start_changes(const std::int16_t* first_block, const std::int16_t* second_block,
                                  std::uint32_t pairs, unsigned left_spacing_exponent,
                                  unsigned right_spacing_exponent);

// Whether the rounded sums of the kernels in use run faster than the in-order
// loop at a spacing of 2^spacing_exponent. Measured, they do only in a vector
// kernel and within its 16-bit lanes: the portable rounded sums, and the
// kernels at wider spacings, where they fall back on the portable ones, run
// slower.
bool rounded_sums_beat_in_order(unsigned spacing_exponent);

}  // namespace vorik::detail
