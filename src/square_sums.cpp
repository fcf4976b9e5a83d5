#include "square_sums.h"

#include <algorithm>
#include <cstddef>

namespace {

// Samples summed side by side: a multiple of every vector width the compiler
// may use, so that lane j always holds a left sample when j is even and a
// right sample when j is odd.
constexpr std::size_t LANES = 16;

}  // namespace

// Written for the auto-vectoriser: independent lanes, unsigned arithmetic
// (a square of up to 65535^2 overflows int32 but not uint32).
SquareSums sum_squared_differences_portably(const std::int16_t* first_block, const std::int16_t* second_block,
                                            std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    std::uint64_t lane_sums[LANES] = {};
    std::size_t i = 0;
    for (; i + LANES <= samples; i += LANES) {
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            const auto difference =
                static_cast<std::uint32_t>(first_block[i + lane] - second_block[i + lane]);
            lane_sums[lane] += std::uint64_t{difference * difference};
        }
    }
    for (std::size_t lane = 0; i < samples; ++i, ++lane) {
        const auto difference = static_cast<std::uint32_t>(first_block[i] - second_block[i]);
        lane_sums[lane] += std::uint64_t{difference * difference};
    }
    SquareSums sums{0, 0};
    for (std::size_t lane = 0; lane < LANES; lane += 2) {
        sums.left += lane_sums[lane];
        sums.right += lane_sums[lane + 1];
    }
    return sums;
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

[[gnu::target("avx2")]] std::uint64_t lane_total(__m256i lanes) {
    std::uint32_t values[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(values), lanes);
    std::uint64_t total = 0;
    for (const std::uint32_t value : values) {
        total += value;
    }
    return total;
}

// Each 32-bit lane holds one pair: the left sample in its low half, the
// right one in its high half. |a - b| fits 16 unsigned bits even where a - b
// does not fit 16 signed ones, and its square is split into the 16-bit
// halves that the 16-bit multiplies give, which are summed apart.
[[gnu::target("avx2")]] SquareSums sum_squares_avx2(const std::int16_t* first_block,
                                                    const std::int16_t* second_block, std::uint32_t pairs) {
    const std::size_t samples = std::size_t{pairs} * 2;
    const __m256i low_halves = _mm256_set1_epi32(0xFFFF);
    SquareSums sums{0, 0};
    std::size_t i = 0;
    while (samples - i >= AVX2_SAMPLES) {
        __m256i left_low = _mm256_setzero_si256();
        __m256i left_high = _mm256_setzero_si256();
        __m256i right_low = _mm256_setzero_si256();
        __m256i right_high = _mm256_setzero_si256();
        const std::size_t vectors = std::min((samples - i) / AVX2_SAMPLES, VECTORS_BETWEEN_FLUSHES);
        for (std::size_t v = 0; v < vectors; ++v, i += AVX2_SAMPLES) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first_block + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second_block + i));
            const __m256i distance = _mm256_sub_epi16(_mm256_max_epi16(a, b), _mm256_min_epi16(a, b));
            const __m256i square_low = _mm256_mullo_epi16(distance, distance);
            const __m256i square_high = _mm256_mulhi_epu16(distance, distance);
            left_low = _mm256_add_epi32(left_low, _mm256_and_si256(square_low, low_halves));
            left_high = _mm256_add_epi32(left_high, _mm256_and_si256(square_high, low_halves));
            right_low = _mm256_add_epi32(right_low, _mm256_srli_epi32(square_low, 16));
            right_high = _mm256_add_epi32(right_high, _mm256_srli_epi32(square_high, 16));
        }
        sums.left += (lane_total(left_high) << 16) + lane_total(left_low);
        sums.right += (lane_total(right_high) << 16) + lane_total(right_low);
    }
    // The rest starts on a pair, since AVX2_SAMPLES is even.
    const SquareSums rest = sum_squared_differences_portably(first_block + i, second_block + i,
                                                             static_cast<std::uint32_t>((samples - i) / 2));
    return {sums.left + rest.left, sums.right + rest.right};
}

using SquareSumsKernel = SquareSums (*)(const std::int16_t*, const std::int16_t*, std::uint32_t);

SquareSumsKernel fastest_kernel() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? sum_squares_avx2 : sum_squared_differences_portably;
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
    return sum_squared_differences_portably(first_block, second_block, pairs);
}

#endif
