// Sums of squared sample differences in integers, at the speed of the CPU's
// widest vectors.
//
// Every square of a difference of two 16-bit samples fits an unsigned 32-bit
// value, and 2^32 of them fit 64 bits, so these sums are exact. They are what
// lets the meter skip the one-by-one double additions while those would be
// exact anyway.
#pragma once

#include <cstdint>

struct SquareSums {
    std::uint64_t left;   // squared differences of the first samples of the pairs
    std::uint64_t right;  // squared differences of the second samples
};

// Sums over `pairs` sample pairs of each block, with the fastest code the
// running CPU can take.
SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs);

// The same in plain C++ for the compiler to vectorise: what CPUs without a
// hand-written kernel run, and the rest of a block the kernels leave over.
SquareSums sum_squared_differences_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                            std::uint32_t pairs);
