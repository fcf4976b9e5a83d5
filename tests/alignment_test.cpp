// The delay search on music-like signals, and on copies made from them as a
// codec would: shifted, low-passed, at another gain, with noise.
#include <gtest/gtest.h>
#include <vorik/alignment.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace {

using vorik::DelayEstimate;
using vorik::DelayFinding;
using Signal = std::vector<double>;  // interleaved frames
using Samples = std::vector<std::int16_t>;

constexpr std::uint32_t RATE = 48000;
constexpr std::uint64_t MAX_DELAY = RATE;
// What the program gives the search: the start of each input.
const auto FRAMES = static_cast<std::size_t>(vorik::delay_search_frames(MAX_DELAY, RATE));
// A master signal reaches this far past both ends of an original of up to
// the frames that a search over two seconds reads, so that a copy shifted
// by up to MAX_DELAY, and low-passed, is music throughout.
constexpr std::size_t MARGIN = MAX_DELAY + 1;
const auto LONGEST = static_cast<std::size_t>(vorik::delay_search_frames(2 * RATE, RATE));
const std::size_t MASTER_FRAMES = LONGEST + 2 * MARGIN;
// About 40 dB below the music, as a codec's error.
constexpr double CODING_NOISE = 30.0;

// Pitches, note lengths in seconds, and how fast a note dies away (1/e a second).
struct Voice {
    double lowest_hz, highest_hz, shortest, longest, decay;
};
constexpr Voice MELODY{110.0, 880.0, 0.15, 0.5, 3.0};
// Low notes that ring on: a second later they still sound much alike.
constexpr Voice BASS{40.0, 120.0, 0.5, 2.5, 0.5};

// Notes of three partials, each at a new pitch with a quick attack and a
// decay, over a little hiss; each channel plays its own.
Signal music(std::size_t channels, std::uint32_t seed, const Voice& voice = MELODY) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> pitch(voice.lowest_hz, voice.highest_hz);
    std::uniform_real_distribution<double> length(voice.shortest, voice.longest);
    std::normal_distribution<double> hiss(0.0, CODING_NOISE);
    Signal signal(MASTER_FRAMES * channels);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        double step = 0.0, phase = 0.0, start = 0.0, end = 0.0;
        for (std::size_t frame = 0; frame < MASTER_FRAMES; ++frame) {
            const double time = static_cast<double>(frame) / RATE;
            if (time >= end) {
                step = 2.0 * std::numbers::pi * pitch(random) / RATE;
                start = time;
                end = time + length(random);
            }
            const double level =
                8000.0 * std::min(1.0, (time - start) / 0.01) * std::exp(voice.decay * (start - time));
            phase += step;
            signal[frame * channels + channel] =
                level * (std::sin(phase) + 0.5 * std::sin(2.0 * phase) + 0.25 * std::sin(3.0 * phase)) +
                hiss(random);
        }
    }
    return signal;
}

Signal noise(double level, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> white(0.0, level);
    Signal signal(MASTER_FRAMES * 2);
    std::generate(signal.begin(), signal.end(), [&] { return white(random); });
    return signal;
}

std::int16_t rounded(double value) {
    return static_cast<std::int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

// `frames` frames of the master from `start`.
Samples original_of(const Signal& master, std::size_t channels, std::size_t frames = FRAMES,
                    std::size_t start = MARGIN) {
    Samples original(frames * channels);
    std::transform(master.begin() + static_cast<std::ptrdiff_t>(start * channels),
                   master.begin() + static_cast<std::ptrdiff_t>((start + frames) * channels),
                   original.begin(), rounded);
    return original;
}

// A codec's copy of original_of(master): `delay` frames late, through a
// low-pass of three taps centred on each frame (no delay of its own),
// times `gain`, plus `noise`.
Samples codec_copy(const Signal& master, std::size_t channels, std::int64_t delay, double gain,
                   double noise = CODING_NOISE, std::size_t frames = FRAMES) {
    std::mt19937 random(5);
    std::normal_distribution<double> error(0.0, noise);
    Samples copy(frames * channels);
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const auto at = static_cast<std::size_t>(static_cast<std::int64_t>(MARGIN * channels + i) -
                                                 delay * static_cast<std::int64_t>(channels));
        const double low_passed =
            0.25 * master[at - channels] + 0.5 * master[at] + 0.25 * master[at + channels];
        copy[i] = rounded(gain * low_passed + (noise > 0.0 ? error(random) : 0.0));
    }
    return copy;
}

DelayEstimate delay_of(const Samples& original, const Samples& copy, std::size_t channels,
                       std::uint64_t max_delay = MAX_DELAY) {
    return vorik::find_delay(original.data(), original.size() / channels, copy.data(), copy.size() / channels,
                             static_cast<std::uint16_t>(channels), RATE, max_delay);
}

// `delay` found, with the figures vorik-check judges by: at a shift, the
// found delay fits 3 dB better than 0.
void expect_found(const DelayEstimate& estimate, std::int64_t delay) {
    ASSERT_EQ(estimate.finding, DelayFinding::found);
    EXPECT_EQ(estimate.delay, delay);
    if (delay == 0) {
        EXPECT_EQ(estimate.delay_db, estimate.zero_db);
    } else {
        EXPECT_GE(estimate.delay_db - estimate.zero_db, 3.0);
    }
}

TEST(DelaySearch, FindsTheDelayOfACodecsCopy) {
    std::mt19937 random(2112);
    const auto anywhere = static_cast<std::int64_t>(random() % (2 * MAX_DELAY + 1)) - std::int64_t{MAX_DELAY};
    // A shift of one frame changes low notes less than a gain of 0.7 does:
    // those copies keep their level, so that the shift is what shows.
    const std::pair<std::int64_t, double> cases[] = {{0, 0.7},      {1, 1.0},       {-1, 1.0},
                                                     {1024, 0.7},   {1105, 1.25},   {2112, 0.7},
                                                     {-2112, 1.25}, {anywhere, 0.7}};
    for (const std::size_t channels : {std::size_t{2}, std::size_t{1}, std::size_t{6}}) {
        const Signal master = music(channels, static_cast<std::uint32_t>(channels));
        const Samples original = original_of(master, channels);
        for (const auto& [delay, gain] : cases) {
            SCOPED_TRACE(testing::Message() << channels << " channels, delay " << delay);
            expect_found(delay_of(original, codec_copy(master, channels, delay, gain), channels), delay);
        }
    }
    // At half the level, a copy at the right delay differs from the original
    // by a quarter of its energy, and so, near enough, does one where the
    // same low notes still ring: the gain must not hide the right delay.
    for (std::uint32_t seed = 25; seed < 29; ++seed) {
        const Signal bass = music(2, seed, BASS);
        expect_found(delay_of(original_of(bass, 2), codec_copy(bass, 2, 1105, 0.5), 2), 1105);
    }
    // A copy whose level falls to a tenth for a second, as a codec that
    // breaks down for a moment: where in the searched start the fall lies
    // must not matter, and somewhere it cuts the window in two. Ringing low
    // notes fit other delays nearly as well.
    const Signal master = music(2, 13, BASS);
    const Samples original = original_of(master, 2);
    for (std::size_t fall = RATE; fall < 7 * RATE; fall += RATE / 2) {
        SCOPED_TRACE(testing::Message() << "a fall from frame " << fall);
        Samples copy = codec_copy(master, 2, 1024, 1.0);
        std::transform(copy.begin() + static_cast<std::ptrdiff_t>(fall * 2),
                       copy.begin() + static_cast<std::ptrdiff_t>((fall + RATE) * 2),
                       copy.begin() + static_cast<std::ptrdiff_t>(fall * 2),
                       [](std::int16_t sample) { return static_cast<std::int16_t>(sample / 10); });
        expect_found(delay_of(original, copy, 2), 1024);
    }
}

TEST(DelaySearch, FindsMusicAfterSilence) {
    // The longer silence outlasts a window that starts where the delays
    // allow the earliest.
    for (const std::size_t silent : {std::size_t{RATE}, std::size_t{RATE} * 7 / 2}) {
        Signal master = music(2, 4);
        std::fill(master.begin(), master.begin() + static_cast<std::ptrdiff_t>((MARGIN + 1105 + silent) * 2),
                  0.0);
        expect_found(delay_of(original_of(master, 2), codec_copy(master, 2, 1105, 0.7, 0.0), 2), 1105);
    }
    // Two seconds late, muted for its first six, against an original that
    // is loud from its fourth second on: the window lies in the loud part,
    // and meets only silence at the earlier delays.
    Signal master = music(2, 12);
    std::transform(master.begin(), master.begin() + static_cast<std::ptrdiff_t>((MARGIN + 5 * RATE) * 2),
                   master.begin(), [](double value) { return value / 10.0; });
    Samples copy = codec_copy(master, 2, RATE, 1.0, CODING_NOISE, LONGEST - RATE);
    std::fill(copy.begin(), copy.begin() + 6 * RATE * 2, std::int16_t{0});
    expect_found(delay_of(original_of(master, 2, LONGEST - RATE, MARGIN + RATE), copy, 2, 2 * RATE),
                 2 * RATE);
}

TEST(DelaySearch, SearchesWhatShortInputsAllow) {
    const Signal master = music(2, 10);
    expect_found(delay_of(original_of(master, 2), codec_copy(master, 2, 1105, 0.7, CODING_NOISE, 30000), 2),
                 1105);
    expect_found(
        delay_of(original_of(master, 2, 20000), codec_copy(master, 2, -1105, 0.7, CODING_NOISE, 20000), 2),
        -1105);
    // As many channels as a WAV file holds, every one of them loud.
    constexpr std::size_t CHANNELS = 65535;
    constexpr std::size_t FEW = 520;
    const Signal mono = music(1, 11);
    Samples original(FEW * CHANNELS);
    Samples copy(FEW * CHANNELS);
    for (std::size_t i = 0; i < original.size(); ++i) {
        original[i] = rounded(3.0 * mono[MARGIN + i / CHANNELS]);
        copy[i] = rounded(3.0 * mono[MARGIN + i / CHANNELS - 7]);
    }
    expect_found(delay_of(original, copy, CHANNELS), 7);
}

TEST(DelaySearch, GivesTheToolsPsnr) {
    const Signal master = music(2, 3);
    const Samples original = original_of(master, 2);
    const DelayEstimate aligned = delay_of(original, original, 2);
    expect_found(aligned, 0);
    EXPECT_EQ(aligned.delay_db, 333.0);
    // 1105 frames late, and one more in every sample: a mean square of 1.
    Samples raised = original_of(master, 2, FRAMES, MARGIN - 1105);
    std::transform(raised.begin(), raised.end(), raised.begin(),
                   [](std::int16_t sample) { return static_cast<std::int16_t>(sample + 1); });
    EXPECT_NEAR(delay_of(original, raised, 2).delay_db, 20.0 * std::log10(65535.0), 1e-9);
}

TEST(DelaySearch, ClaimsNoDelayThatCannotBeTold) {
    // 440 Hz repeats every 1200 frames, and within the coding noise at
    // every one of its periods: no delay can be told, not even 0.
    Signal tone(MASTER_FRAMES * 2);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = 8000.0 * std::sin(2.0 * std::numbers::pi * 440.0 * static_cast<double>(i / 2) / RATE);
    }
    // A quarter of a second of music over and over.
    Signal pattern = music(2, 5);
    for (std::size_t i = RATE / 2; i < pattern.size(); ++i) {
        pattern[i] = pattern[i - RATE / 2];
    }
    const Samples pairs[][2] = {
        {original_of(tone, 2), codec_copy(tone, 2, 0, 1.0)},
        {original_of(tone, 2), codec_copy(tone, 2, 1105, 0.7)},
        {original_of(pattern, 2), codec_copy(pattern, 2, 1105, 1.0)},
        {original_of(noise(3000.0, 6), 2), codec_copy(noise(3000.0, 7), 2, 0, 1.0)},
        {original_of(music(2, 8), 2), codec_copy(music(2, 9), 2, 0, 1.0)},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(&pair - pairs);
        const DelayEstimate estimate = delay_of(pair[0], pair[1], 2);
        EXPECT_EQ(estimate.finding, DelayFinding::ambiguous);
        EXPECT_EQ(estimate.delay, 0);
        EXPECT_GT(estimate.frames, 0U);
    }
    // With delay 0 alone to search, no rival shows that it fits no better.
    EXPECT_EQ(delay_of(pairs[4][0], pairs[4][1], 2, 0).finding, DelayFinding::ambiguous);
}

TEST(DelaySearch, SaysWhenThereIsTooLittleSound) {
    const Samples original = original_of(music(2, 8), 2);
    EXPECT_EQ(delay_of(original, Samples(original.size()), 2).finding, DelayFinding::no_signal);
    // Dither alone, and a copy of it.
    const Signal dither = noise(1.0, 9);
    EXPECT_EQ(delay_of(original_of(dither, 2), codec_copy(dither, 2, 1105, 1.0, 0.0), 2).finding,
              DelayFinding::no_signal);
    for (const std::uint64_t frames : {std::uint64_t{0}, std::uint64_t{1}}) {
        const DelayEstimate estimate =
            vorik::find_delay(original.data(), frames, original.data(), frames, 2, RATE, MAX_DELAY);
        EXPECT_EQ(estimate.finding, DelayFinding::no_signal);
        EXPECT_EQ(estimate.frames, 0U);
    }
}

TEST(DelaySearch, ReadsABoundedStart) {
    // Stereo at 48 kHz for a second either way: a few MiB of each input.
    EXPECT_LE(FRAMES * 2 * sizeof(std::int16_t), std::size_t{4} << 20);
    EXPECT_EQ(vorik::delay_search_frames(UINT64_MAX / 2, RATE), UINT64_MAX);
}

}  // namespace
