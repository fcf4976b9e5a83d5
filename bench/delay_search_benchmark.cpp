// The time of one delay search as vorik-check makes it: stereo at 48 kHz,
// delays up to one second either way, the copy 1105 frames late with a
// little noise. Each search starts afresh, FFT plans included, as the
// program's one search does.
#include <benchmark/benchmark.h>
#include <vorik/alignment.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr std::uint32_t RATE = 48000;
constexpr std::uint64_t MAX_DELAY = RATE;
constexpr std::uint16_t CHANNELS = 2;
constexpr std::int64_t DELAY = 1105;

// Two voices gliding between pitches, a new pair every quarter second.
std::vector<std::int16_t> voices(std::size_t frames) {
    constexpr double TWO_PI = 6.283185307179586;
    std::mt19937 random(1);
    std::uniform_real_distribution<double> pitch(100.0, 1000.0);
    std::vector<std::int16_t> samples(frames * CHANNELS);
    double low = 0.0;
    double high = 0.0;
    double low_step = 0.0;
    double high_step = 0.0;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        if (frame % (RATE / 4) == 0) {
            low_step = TWO_PI * pitch(random) / RATE;
            high_step = TWO_PI * pitch(random) / RATE;
        }
        low += low_step;
        high += high_step;
        samples[frame * CHANNELS] = static_cast<std::int16_t>(9000.0 * std::sin(low));
        samples[frame * CHANNELS + 1] =
            static_cast<std::int16_t>(7000.0 * std::sin(high) + 3000.0 * std::sin(low));
    }
    return samples;
}

void find_delay_of_one_second(benchmark::State& state) {
    const std::uint64_t frames = vorik::delay_search_frames(MAX_DELAY, RATE);
    const std::vector<std::int16_t> master = voices(frames + DELAY);
    const std::vector<std::int16_t> original(master.begin() + DELAY * CHANNELS, master.end());
    std::vector<std::int16_t> copy(master.begin(), master.end() - DELAY * CHANNELS);
    std::mt19937 random(2);
    std::uniform_int_distribution<int> noise(-30, 30);
    for (std::int16_t& sample : copy) {
        sample = static_cast<std::int16_t>(sample + noise(random));
    }
    for (auto _ : state) {
        const vorik::DelayEstimate estimate =
            vorik::find_delay(original.data(), frames, copy.data(), frames, CHANNELS, RATE, MAX_DELAY);
        benchmark::DoNotOptimize(estimate);
        if (estimate.delay != DELAY) {
            state.SkipWithError("the search missed the delay");
        }
    }
}
BENCHMARK(find_delay_of_one_second)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
