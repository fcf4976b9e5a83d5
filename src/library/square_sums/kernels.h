// The kernels of the instruction-set files, x86 builds only: each is built for
// its instruction set, and kernel_list.cpp runs it only on a CPU that has it.
#pragma once

#include <cstdint>

#include "square_sums.h"

namespace vorik::detail {

// avx2.cpp: AVX2 with BMI, BMI2 and POPCNT, which every CPU with AVX2 has.
SquareSums sum_squared_differences_avx2(const std::int16_t* first_block, const std::int16_t* second_block,
                                        std::uint32_t pairs);
RoundedSums sum_rounded_squares_avx2(const std::int16_t* first_block, const std::int16_t* second_block,
                                     std::uint32_t pairs, RoundingSide left, RoundingSide right);

// avx512.cpp: AVX-512 F and BW, with the same bit instructions.
SquareSums sum_squared_differences_avx512(const std::int16_t* first_block, const std::int16_t* second_block,
                                          std::uint32_t pairs);
RoundedSums sum_rounded_squares_avx512(const std::int16_t* first_block, const std::int16_t* second_block,
                                       std::uint32_t pairs, RoundingSide left, RoundingSide right);

}  // namespace vorik::detail
