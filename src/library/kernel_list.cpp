// The one list of kernels, and the calls that run the ones in use. The build
// defines VORIK_X86_KERNELS where it compiles the AVX2 and AVX-512 files (x86
// with GCC or Clang); elsewhere the portable kernels are all there is.
#include "kernel_list.h"

#include <vorik/channel_differences.h>

#include <cstddef>
#include <cstdint>
#include <span>

#ifdef VORIK_X86_KERNELS
#include "square_sums/kernels.h"
#include "square_sums/rounding.h"
#endif

namespace vorik {
namespace detail {
namespace {

bool runs_anywhere() { return true; }

// Measured, the portable rounded sums are slower than the in-order loop at
// every spacing.
constexpr unsigned PORTABLE_ROUNDING_NEVER_FASTER = 0;

#ifdef VORIK_X86_KERNELS

// With the bit instructions that every CPU with AVX2 also has.
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

// With the 16-bit vector instructions, and AVX2's.
bool has_avx512() {
    return has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

#endif

// Fastest first. Each set's instructions include those of the sets after
// it. The vector kernels' rounded sums beat the in-order loop within their
// 16-bit lanes; at wider spacings they hand over to the portable ones.
constexpr Kernels BUILD_KERNELS[] = {
#ifdef VORIK_X86_KERNELS
    {"AVX-512", has_avx512, sum_squared_differences_avx512, sum_rounded_squares_avx512, LAST_LANE_EXPONENT,
     add_channel_differences_avx512},
    {"AVX2", has_avx2, sum_squared_differences_avx2, sum_rounded_squares_avx2, LAST_LANE_EXPONENT,
     add_channel_differences_avx2},
#endif
    {"portable", runs_anywhere, sum_squared_differences_portably, sum_rounded_squares_portably,
     PORTABLE_ROUNDING_NEVER_FASTER, add_channel_differences_portably}};

// So the sets the CPU takes are a tail of the list; the portable set always
// runs.
std::span<const Kernels> find_runnable_kernels() {
    std::size_t first = 0;
    while (!BUILD_KERNELS[first].runs_here()) {
        ++first;
    }
    return std::span(BUILD_KERNELS).subspan(first);
}

const Kernels*& chosen_kernels() {
    static const Kernels* kernels = &runnable_kernels().front();
    return kernels;
}

}  // namespace

std::span<const Kernels> runnable_kernels() {
    static const std::span<const Kernels> kernels = find_runnable_kernels();
    return kernels;
}

const Kernels& kernels_in_use() { return *chosen_kernels(); }

void use_kernels(const Kernels& kernels) { chosen_kernels() = &kernels; }

SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs) {
    return kernels_in_use().sum_squares(first_block, second_block, pairs);
}

RoundedSums sum_rounded_squares(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::uint32_t pairs, RoundingSide left, RoundingSide right) {
    return kernels_in_use().sum_rounded_squares(first_block, second_block, pairs, left, right);
}

bool rounded_sums_beat_in_order(unsigned spacing_exponent) {
    return spacing_exponent <= kernels_in_use().last_fast_rounding_exponent;
}

}  // namespace detail

void add_channel_differences(ChannelDifferences* differences, std::uint16_t channels,
                             const std::int16_t* original, const std::int16_t* copy, std::size_t frames,
                             std::uint64_t first_frame) {
    detail::kernels_in_use().add_channel_differences(differences, channels, original, copy, frames,
                                                     first_frame);
}

}  // namespace vorik
