// Samples per second of the meter: the fast path with each set of kernels the
// CPU can run against the in-order loop that defines its results, on one
// chunk of the size the tool reads, below 2^53 and past it; each kernel on
// its own; and the time of one compute_psnr.
#include <benchmark/benchmark.h>
#include <vorik/measurement.h>
#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "decimal_log.h"
#include "kernel_list.h"
#include "square_sums/square_sums.h"

namespace {

using namespace vorik;
using namespace vorik::detail;

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

// Two unrelated full-scale noises: the largest squares, whose totals pass
// 2^53 after minutes, and at 2^53 a tie in every other square.
BlockPair unrelated_noises(std::uint32_t count) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    BlockPair pair{Samples(count), Samples(count)};
    for (std::uint32_t i = 0; i < count; ++i) {
        pair.original[i] = static_cast<std::int16_t>(sample(random));
        pair.copy[i] = static_cast<std::int16_t>(sample(random));
    }
    return pair;
}

using Measure = void (*)(PsnrAccumulator&, const std::int16_t*, const std::int16_t*, std::uint32_t);
using MakePair = BlockPair (*)(std::uint32_t);

// Samples per second of each file, on blocks of `state.range(0)` samples
// from totals of `starting_total` on both sides.
void measure_chunk(benchmark::State& state, Measure measure, MakePair make_pair, double starting_total) {
    const auto count = static_cast<std::uint32_t>(state.range(0));
    const BlockPair pair = make_pair(count);
    PsnrAccumulator accumulator{};
    for (auto _ : state) {
        accumulator.sum_sq_left = starting_total;
        accumulator.sum_sq_right = starting_total;
        measure(accumulator, pair.original.data(), pair.copy.data(), count);
        benchmark::DoNotOptimize(accumulator);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// The fast path as measure_chunk measures it, with `kernels` in use.
void measure_fast_path(benchmark::State& state, const Kernels* kernels, MakePair make_pair,
                       double starting_total) {
    const Kernels& before = kernels_in_use();
    use_kernels(*kernels);
    measure_chunk(state, accumulate_block, make_pair, starting_total);
    use_kernels(before);
}

// One rounded-sum kernel on its own, on unrelated noises, with both totals
// at a spacing of 2^`state.range(1)`.
void measure_rounding_kernel(benchmark::State& state, const Kernels* kernels) {
    const auto count = static_cast<std::uint32_t>(state.range(0));
    const RoundingSide side{static_cast<unsigned>(state.range(1)), false};
    const BlockPair pair = unrelated_noises(count);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kernels->sum_rounded_squares(pair.original.data(), pair.copy.data(), count / 2, side, side));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// One integer-sum kernel on its own, on a close copy.
void measure_integer_kernel(benchmark::State& state, const Kernels* kernels) {
    const auto count = static_cast<std::uint32_t>(state.range(0));
    const BlockPair pair = noisy_pair(count);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kernels->sum_squares(pair.original.data(), pair.copy.data(), count / 2));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// One channel-differences kernel on its own, on `state.range(0)` samples of
// each file in `state.range(1)` channels, each call from fresh records as
// for a new second. Samples per second of each file.
void measure_channel_differences(benchmark::State& state, const Kernels* kernels, MakePair make_pair) {
    const auto count = static_cast<std::uint32_t>(state.range(0));
    const auto channels = static_cast<std::uint16_t>(state.range(1));
    const BlockPair pair = make_pair(count);
    std::vector<ChannelDifferences> differences(channels);
    for (auto _ : state) {
        std::fill(differences.begin(), differences.end(), ChannelDifferences{});
        kernels->add_channel_differences(differences.data(), channels, pair.original.data(), pair.copy.data(),
                                         count / channels, 0);
        benchmark::DoNotOptimize(differences.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// The slowest case of the search for the first largest difference: a stereo
// copy whose difference grows in every frame, in both channels, from 0 up
// to the full span.
BlockPair growing_differences(std::uint32_t count) {
    constexpr std::uint32_t CHANNELS = 2;
    constexpr int LOWEST = -32768;
    constexpr std::uint32_t DIFFERENCES = 65536;
    BlockPair pair{Samples(count, static_cast<std::int16_t>(LOWEST)), Samples(count)};
    for (std::uint32_t i = 0; i < count; ++i) {
        pair.copy[i] = static_cast<std::int16_t>(LOWEST + static_cast<int>(i / CHANNELS % DIFFERENCES));
    }
    return pair;
}

// The log10's precise path on its own, which compute_psnr takes for about
// one argument in 300,000, on arguments of the meter's range.
void measure_precise_decimal_log(benchmark::State& state) {
    constexpr std::size_t ARGUMENTS = 1024;
    std::mt19937_64 random(17);
    std::uniform_real_distribution<double> argument(1.0, PSNR_PEAK);
    std::vector<double> arguments(ARGUMENTS);
    for (double& x : arguments) x = argument(random);
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decimal_log_precise(arguments[next]));
        next = (next + 1) % ARGUMENTS;
    }
    state.SetItemsProcessed(state.iterations());
}

// compute_psnr on running totals such as the tool meets: from a second to a
// day of 48 kHz audio, mean squares from far below one step to the full span.
void measure_compute_psnr(benchmark::State& state) {
    constexpr std::size_t TOTALS = 1024;
    constexpr std::uint64_t PAIRS_PER_SECOND = 48000;
    constexpr std::uint64_t SECONDS_PER_DAY = 86400;
    constexpr double LEAST_MEAN_SQUARE = 1e-3;
    const double largest_mean_square = PSNR_PEAK * PSNR_PEAK;
    std::mt19937_64 random(13);
    std::uniform_int_distribution<std::uint64_t> seconds(1, SECONDS_PER_DAY);
    std::uniform_real_distribution<double> log_mean_square(std::log(LEAST_MEAN_SQUARE),
                                                           std::log(largest_mean_square));
    std::vector<PsnrAccumulator> totals;
    for (std::size_t i = 0; i < TOTALS; ++i) {
        const std::uint64_t frames = seconds(random) * PAIRS_PER_SECOND;
        const auto total = [&] {
            return std::round(static_cast<double>(frames) * std::exp(log_mean_square(random)));
        };
        totals.push_back({frames, total(), total()});
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(compute_psnr(totals[next]));
        next = (next + 1) % TOTALS;
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr double TWO_TO_53 = 9007199254740992.0;
// Unrelated noises add about 2^45 to a total over one read chunk: from 2^44
// below 2^53 they cross it within the chunk's first step.
constexpr double TWO_TO_44 = 17592186044416.0;
constexpr double TWO_TO_60 = 1152921504606846976.0;
constexpr double TWO_TO_75 = 37778931862957161709568.0;

// The meter's fast path on one read chunk, and some on a short block.
struct FastPathCase {
    const char* name;
    MakePair make_pair;
    double starting_total;
    bool short_block_too;
};

// Close copies, from zero: the integer sums. Unrelated noises across 2^53,
// where the step that crosses it is added in order. Past 2^53 every addition
// rounds: the rounded sums, at a spacing of 2 (a tie in every odd square),
// 2^8, and 2^23 (past the 16-bit lanes of the vector kernels, where their
// rounded sums are slower than the in-order loop and the meter adds in
// order). The portable rounded sums, slower than the in-order loop too, are
// never the meter's choice: with the portable kernels it adds past 2^53 in
// order.
const FastPathCase FAST_PATH_CASES[] = {
    {"fast_path", noisy_pair, 0.0, true},
    {"fast_path_noise_across_2_53", unrelated_noises, TWO_TO_53 - TWO_TO_44, false},
    {"fast_path_close_at_2_53", noisy_pair, TWO_TO_53, false},
    {"fast_path_noise_at_2_53", unrelated_noises, TWO_TO_53, true},
    {"fast_path_noise_at_2_60", unrelated_noises, TWO_TO_60, false},
    {"fast_path_noise_at_2_75", unrelated_noises, TWO_TO_75, false}};
constexpr std::int64_t SHORT_BLOCK = 1024;

}  // namespace

BENCHMARK_CAPTURE(measure_chunk, in_order_reference, accumulate_block_in_order, noisy_pair, 0.0)
    ->Arg(CHUNK_SAMPLES);
BENCHMARK_CAPTURE(measure_chunk, in_order_reference_noise_at_2_53, accumulate_block_in_order,
                  unrelated_noises, TWO_TO_53)
    ->Arg(CHUNK_SAMPLES);

BENCHMARK(measure_compute_psnr);
BENCHMARK(measure_precise_decimal_log);

// The kernel list, and with each set of kernels this CPU can run: the fast
// path; the integer sums on one read chunk; the rounded sums at spacings of
// 2 (from 2^53), 2^5 (2^57 to 2^58, where most of a gibibyte of unrelated
// noise is summed) and 2^15; the channel differences.
int main(int argc, char** argv) {
    constexpr int SPACING_EXPONENTS[] = {1, 5, 15};
    std::string names;
    for (const Kernels& kernels : runnable_kernels()) {
        names += (names.empty() ? "" : ", ") + std::string(kernels.name);
        for (const FastPathCase& fast_path : FAST_PATH_CASES) {
            const std::string name = std::string("measure_chunk/") + fast_path.name + "/" + kernels.name;
            benchmark::internal::Benchmark* run =
                benchmark::RegisterBenchmark(name.c_str(), measure_fast_path, &kernels, fast_path.make_pair,
                                             fast_path.starting_total)
                    ->Arg(CHUNK_SAMPLES);
            if (fast_path.short_block_too) {
                run->Arg(SHORT_BLOCK);
            }
        }
        benchmark::RegisterBenchmark((std::string("integer_sums_kernel/") + kernels.name).c_str(),
                                     measure_integer_kernel, &kernels)
            ->Arg(CHUNK_SAMPLES);
        // Stereo and 5.1; in stereo, the difference that grows in every
        // frame, and differences too large for the kernels' path for small
        // ones.
        const std::string name = std::string("channel_differences_kernel/") + kernels.name;
        benchmark::RegisterBenchmark(name.c_str(), measure_channel_differences, &kernels, noisy_pair)
            ->Args({CHUNK_SAMPLES, 2})
            ->Args({CHUNK_SAMPLES - CHUNK_SAMPLES % 6, 6})
            ->ArgNames({"samples", "channels"});
        benchmark::RegisterBenchmark((name + "/growing").c_str(), measure_channel_differences, &kernels,
                                     growing_differences)
            ->Args({CHUNK_SAMPLES, 2})
            ->ArgNames({"samples", "channels"});
        benchmark::RegisterBenchmark((name + "/unrelated_noises").c_str(), measure_channel_differences,
                                     &kernels, unrelated_noises)
            ->Args({CHUNK_SAMPLES, 2})
            ->ArgNames({"samples", "channels"});
        for (const int exponent : SPACING_EXPONENTS) {
            benchmark::RegisterBenchmark((std::string("rounded_sums_kernel/") + kernels.name).c_str(),
                                         measure_rounding_kernel, &kernels)
                ->Args({CHUNK_SAMPLES, exponent})
                ->ArgNames({"samples", "spacing_exponent"});
        }
    }
    benchmark::AddCustomContext("kernels, fastest first", names);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
