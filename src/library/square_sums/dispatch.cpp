// Which kernel makes the square sums, chosen once from the running CPU. The
// build defines VORIK_X86_KERNELS where it compiles avx2.cpp and avx512.cpp
// (x86 with GCC or Clang); elsewhere the portable sums are all there is.
#include <cstddef>
#include <cstdint>
#include <span>

#include "square_sums.h"

#ifdef VORIK_X86_KERNELS
#include "kernels.h"
#include "rounding.h"
#endif

namespace vorik::detail {

#ifdef VORIK_X86_KERNELS

// On x86 the sums are made with AVX2 where the running CPU has it, and with
// AVX-512 where it has that, chosen once at run time: the default build stays
// runnable on every x86 machine.
namespace {

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

}  // namespace

std::size_t fastest_runnable_kernel() {
    static const CpuFeatures cpu = cpu_features();
    return cpu.avx512 ? 0 : cpu.avx2 ? 1 : 2;
}

std::span<const SquareSumsKernel> runnable_square_sums_kernels() {
    static const SquareSumsKernel kernels[] = {{"AVX-512", sum_squared_differences_avx512},
                                               {"AVX2", sum_squared_differences_avx2},
                                               {"portable", sum_squared_differences_portably}};
    return std::span(kernels).subspan(fastest_runnable_kernel());
}

std::span<const RoundedSumsKernel> runnable_rounded_sums_kernels() {
    static const RoundedSumsKernel kernels[] = {{"AVX-512", sum_rounded_squares_avx512},
                                                {"AVX2", sum_rounded_squares_avx2},
                                                {"portable", sum_rounded_squares_portably}};
    return std::span(kernels).subspan(fastest_runnable_kernel());
}

bool rounded_sums_beat_in_order(unsigned spacing_exponent) {
    constexpr std::size_t PORTABLE_KERNEL = 2;
    return fastest_runnable_kernel() < PORTABLE_KERNEL && spacing_exponent <= LAST_LANE_EXPONENT;
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

bool rounded_sums_beat_in_order(unsigned) { return false; }

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
