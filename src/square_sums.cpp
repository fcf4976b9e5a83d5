#include "square_sums.h"

#include <cstddef>

namespace {

// Samples summed side by side: a multiple of every vector width the compiler
// may use, so that lane j always holds a left sample when j is even and a
// right sample when j is odd.
constexpr std::size_t LANES = 16;

// Written for the auto-vectoriser: independent lanes, unsigned arithmetic
// (a square of up to 65535^2 overflows int32 but not uint32).
[[gnu::always_inline]] inline SquareSums sum_squares_portably(const std::int16_t* first_block,
                                                              const std::int16_t* second_block,
                                                              std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    std::uint64_t lane_sums[LANES] = {};
    std::size_t i = 0;
    for (; i + LANES <= samples; i += LANES) {
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            const auto difference =
                static_cast<std::uint32_t>(first_block[i + lane] - second_block[i + lane]);
            lane_sums[lane] += difference * difference;
        }
    }
    for (std::size_t lane = 0; i < samples; ++i, ++lane) {
        const auto difference = static_cast<std::uint32_t>(first_block[i] - second_block[i]);
        lane_sums[lane] += difference * difference;
    }
    SquareSums sums{0, 0};
    for (std::size_t lane = 0; lane < LANES; lane += 2) {
        sums.left += lane_sums[lane];
        sums.right += lane_sums[lane + 1];
    }
    return sums;
}

}  // namespace

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

// The same loop compiled twice, for AVX2 and for the baseline of the build,
// chosen once by what the running CPU offers: the default build stays
// runnable on every x86 machine.
namespace {

[[gnu::target("avx2")]] SquareSums sum_squares_avx2(const std::int16_t* first_block,
                                                    const std::int16_t* second_block, std::uint32_t pairs) {
    return sum_squares_portably(first_block, second_block, pairs);
}

SquareSums sum_squares_baseline(const std::int16_t* first_block, const std::int16_t* second_block,
                                std::uint32_t pairs) {
    return sum_squares_portably(first_block, second_block, pairs);
}

using SquareSumsKernel = SquareSums (*)(const std::int16_t*, const std::int16_t*, std::uint32_t);

SquareSumsKernel fastest_kernel() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? sum_squares_avx2 : sum_squares_baseline;
}

}  // namespace

SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs) {
    static const SquareSumsKernel kernel = fastest_kernel();
    return kernel(first_block, second_block, pairs);
}

#else

SquareSums sum_squared_differences(const std::int16_t* first_block, const std::int16_t* second_block,
                                   std::uint32_t pairs) {
    return sum_squares_portably(first_block, second_block, pairs);
}

#endif
