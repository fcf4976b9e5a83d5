// Samples per second of the meter: the fast path against the in-order loop
// that defines its results, on one chunk of the size the tool reads.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "block_reader.h"
#include "psnr_meter.h"

namespace {

using Samples = std::vector<std::int16_t>;

// A copy that departs from the original by a little noise, like a lossy encoding.
struct BlockPair {
    Samples original;
    Samples copy;
};

BlockPair noisy_pair(std::uint32_t count) {
    constexpr int NOISE_SPAN = 300;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-30000, 30000);
    std::uniform_int_distribution<int> noise(-NOISE_SPAN, NOISE_SPAN);
    BlockPair pair{Samples(count), Samples(count)};
    for (std::uint32_t i = 0; i < count; ++i) {
        pair.original[i] = static_cast<std::int16_t>(sample(random));
        pair.copy[i] = static_cast<std::int16_t>(pair.original[i] + noise(random));
    }
    return pair;
}

template <void (*Measure)(PsnrAccumulator&, const std::int16_t*, const std::int16_t*, std::uint32_t)>
void measure_chunk(benchmark::State& state, double starting_total) {
    const auto count = static_cast<std::uint32_t>(state.range(0));
    const BlockPair pair = noisy_pair(count);
    PsnrAccumulator accumulator{};
    for (auto _ : state) {
        accumulator.sum_sq_left = starting_total;
        accumulator.sum_sq_right = starting_total;
        Measure(accumulator, pair.original.data(), pair.copy.data(), count);
        benchmark::DoNotOptimize(accumulator);
    }
    // Samples of each file per second.
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// Totals past 2^53, where the fast path hands over to the in-order loop.
constexpr double PAST_EXACT_LIMIT = 1e16;

void fast_path(benchmark::State& state) { measure_chunk<accumulate_block>(state, 0.0); }
void in_order_reference(benchmark::State& state) { measure_chunk<accumulate_block_in_order>(state, 0.0); }
void fast_path_past_exact_limit(benchmark::State& state) {
    measure_chunk<accumulate_block>(state, PAST_EXACT_LIMIT);
}

}  // namespace

BENCHMARK(fast_path)->Arg(CHUNK_SAMPLES)->Arg(1024);
BENCHMARK(in_order_reference)->Arg(CHUNK_SAMPLES);
BENCHMARK(fast_path_past_exact_limit)->Arg(CHUNK_SAMPLES);

BENCHMARK_MAIN();
