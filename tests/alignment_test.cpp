// The delay search on music-like signals, and on copies made from them as a
// codec would: shifted, low-passed, at another gain, with noise.
#include <gtest/gtest.h>
#include <vorik/alignment.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using vorik::DelayEstimate;
using vorik::DelayFinding;

using Signal = std::vector<double>;  // interleaved frames
using Samples = std::vector<std::int16_t>;

constexpr std::uint32_t RATE = 48000;
constexpr std::uint64_t MAX_DELAY = RATE;
constexpr double PI = 3.14159265358979323846;
// What the program gives the search: the start of each input.
const std::size_t FRAMES = vorik::delay_search_frames(MAX_DELAY, RATE);
// A master signal reaches this far past both ends of the inputs, so that
// a copy shifted by up to MAX_DELAY, and low-passed, is music throughout.
constexpr std::size_t MARGIN = MAX_DELAY + 1;
// About 40 dB below the music, as a codec's error.
constexpr double CODING_NOISE = 30.0;

// Notes of three partials whose pitch changes every 0.15 to 0.5 seconds,
// each with a quick attack and a decay, over a little hiss; each channel
// plays its own.
Signal music(std::size_t frames, std::size_t channels, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> pitch(110.0, 880.0);
    std::uniform_real_distribution<double> note_seconds(0.15, 0.5);
    std::normal_distribution<double> hiss(0.0, CODING_NOISE);
    Signal signal(frames * channels);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        double step = 0.0;
        double phase = 0.0;
        std::size_t note_start = 0;
        std::size_t note_end = 0;
        for (std::size_t frame = 0; frame < frames; ++frame) {
            if (frame == note_end) {
                step = 2.0 * PI * pitch(random) / RATE;
                note_start = frame;
                note_end = frame + static_cast<std::size_t>(note_seconds(random) * RATE);
            }
            const double seconds = static_cast<double>(frame - note_start) / RATE;
            const double envelope = 8000.0 * std::min(1.0, seconds / 0.01) * std::exp(-3.0 * seconds);
            phase += step;
            signal[frame * channels + channel] =
                envelope * (std::sin(phase) + 0.5 * std::sin(2.0 * phase) + 0.25 * std::sin(3.0 * phase)) +
                hiss(random);
        }
    }
    return signal;
}

std::int16_t rounded(double value) {
    return static_cast<std::int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

// Frames MARGIN to MARGIN + frames of the master.
Samples original_of(const Signal& master, std::size_t channels, std::size_t frames = FRAMES) {
    Samples original(frames * channels);
    std::transform(master.begin() + static_cast<std::ptrdiff_t>(MARGIN * channels),
                   master.begin() + static_cast<std::ptrdiff_t>((MARGIN + frames) * channels),
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

DelayEstimate delay_of(const Samples& original, const Samples& copy, std::size_t channels) {
    return vorik::find_delay(original.data(), original.size() / channels, copy.data(), copy.size() / channels,
                             static_cast<std::uint16_t>(channels), RATE, MAX_DELAY);
}

TEST(DelaySearch, FindsTheDelayOfACodecsCopy) {
    std::mt19937 random(2112);
    const auto anywhere = static_cast<std::int64_t>(random() % (2 * MAX_DELAY + 1)) - std::int64_t{MAX_DELAY};
    // A shift of one frame changes low notes less than a gain of 0.7 does:
    // those copies keep their level, so that the shift is what shows.
    struct Case {
        std::int64_t delay;
        double gain;
    };
    const Case cases[] = {{0, 0.7},     {1, 1.0},    {-1, 1.0},     {1024, 0.7},
                          {1105, 1.25}, {2112, 0.7}, {-2112, 1.25}, {anywhere, 0.7}};
    for (const std::size_t channels : {std::size_t{2}, std::size_t{1}, std::size_t{6}}) {
        const Signal master = music(FRAMES + 2 * MARGIN, channels, static_cast<std::uint32_t>(channels));
        const Samples original = original_of(master, channels);
        for (const Case& sought : cases) {
            SCOPED_TRACE(testing::Message() << channels << " channels, delay " << sought.delay);
            const DelayEstimate estimate =
                delay_of(original, codec_copy(master, channels, sought.delay, sought.gain), channels);
            ASSERT_EQ(estimate.finding, DelayFinding::found);
            EXPECT_EQ(estimate.delay, sought.delay);
            EXPECT_GT(estimate.frames, 0U);
            if (sought.delay == 0) {
                EXPECT_EQ(estimate.delay_db, estimate.zero_db);
            } else {
                EXPECT_GE(estimate.delay_db - estimate.zero_db, 3.0);
            }
        }
    }
}

TEST(DelaySearch, GivesTheToolsPsnrAtTheDelay) {
    const Signal master = music(FRAMES + 2 * MARGIN, 2, 3);
    const Samples original = original_of(master, 2);
    const DelayEstimate aligned = delay_of(original, original, 2);
    EXPECT_EQ(aligned.finding, DelayFinding::found);
    EXPECT_EQ(aligned.delay, 0);
    EXPECT_EQ(aligned.delay_db, 333.0);
    EXPECT_EQ(aligned.zero_db, 333.0);
    // Shifted, and one more in every sample: a mean square of 1.
    Samples raised(FRAMES * 2);
    std::transform(master.begin() + static_cast<std::ptrdiff_t>((MARGIN - 1105) * 2),
                   master.begin() + static_cast<std::ptrdiff_t>((MARGIN - 1105 + FRAMES) * 2), raised.begin(),
                   [](double value) { return static_cast<std::int16_t>(rounded(value) + 1); });
    const DelayEstimate estimate = delay_of(original, raised, 2);
    EXPECT_EQ(estimate.delay, 1105);
    EXPECT_NEAR(estimate.delay_db, 20.0 * std::log10(65535.0), 1e-9);
}

TEST(DelaySearch, FindsMusicAfterASilentStart) {
    Signal master = music(FRAMES + 2 * MARGIN, 2, 4);
    std::fill(master.begin(), master.begin() + static_cast<std::ptrdiff_t>((MARGIN + 1105 + RATE) * 2), 0.0);
    const DelayEstimate estimate = delay_of(original_of(master, 2), codec_copy(master, 2, 1105, 0.7, 0.0), 2);
    EXPECT_EQ(estimate.finding, DelayFinding::found);
    EXPECT_EQ(estimate.delay, 1105);
}

TEST(DelaySearch, ClaimsNoDelayThatCannotBeTold) {
    // 440 Hz repeats every 1200 frames, and within the coding noise at
    // every one of its periods: no delay can be told, not even 0.
    Signal tone((FRAMES + 2 * MARGIN) * 2);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = 8000.0 * std::sin(2.0 * PI * 440.0 * static_cast<double>(i / 2) / RATE);
    }
    // A quarter of a second of music over and over.
    Signal pattern = music(FRAMES + 2 * MARGIN, 2, 5);
    for (std::size_t i = RATE / 4 * 2; i < pattern.size(); ++i) {
        pattern[i] = pattern[i - RATE / 4 * 2];
    }
    const auto white_noise = [](std::uint32_t seed) {
        std::mt19937 random(seed);
        std::normal_distribution<double> white(0.0, 3000.0);
        Signal noise((FRAMES + 2 * MARGIN) * 2);
        std::generate(noise.begin(), noise.end(), [&] { return white(random); });
        return noise;
    };
    const Samples pairs[][2] = {
        {original_of(tone, 2), codec_copy(tone, 2, 0, 1.0)},
        {original_of(tone, 2), codec_copy(tone, 2, 1105, 0.7)},
        {original_of(pattern, 2), codec_copy(pattern, 2, 1105, 1.0)},
        {original_of(white_noise(6), 2), codec_copy(white_noise(7), 2, 0, 1.0)},
        {original_of(music(FRAMES + 2 * MARGIN, 2, 8), 2),
         codec_copy(music(FRAMES + 2 * MARGIN, 2, 9), 2, 0, 1.0)},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(&pair - pairs);
        const DelayEstimate estimate = delay_of(pair[0], pair[1], 2);
        EXPECT_EQ(estimate.finding, DelayFinding::ambiguous);
        EXPECT_EQ(estimate.delay, 0);
        EXPECT_GT(estimate.frames, 0U);
    }
}

TEST(DelaySearch, SaysWhenThereIsTooLittleSound) {
    const Signal master = music(FRAMES + 2 * MARGIN, 2, 8);
    std::mt19937 random(9);
    std::normal_distribution<double> dither(0.0, 1.0);
    Signal hush(master.size());
    std::generate(hush.begin(), hush.end(), [&] { return dither(random); });
    const Samples pairs[][2] = {
        {original_of(master, 2), Samples(FRAMES * 2)},
        {original_of(hush, 2), codec_copy(hush, 2, 1105, 1.0, 0.0)},
    };
    for (const auto& pair : pairs) {
        EXPECT_EQ(delay_of(pair[0], pair[1], 2).finding, DelayFinding::no_signal);
    }
    for (const std::uint64_t frames : {std::uint64_t{0}, std::uint64_t{1}}) {
        const DelayEstimate estimate =
            vorik::find_delay(pairs[0][0].data(), frames, pairs[0][0].data(), frames, 2, RATE, MAX_DELAY);
        EXPECT_EQ(estimate.finding, DelayFinding::no_signal);
        EXPECT_EQ(estimate.frames, 0U);
    }
}

TEST(DelaySearch, SearchesWhatShortInputsAllow) {
    const Signal master = music(FRAMES + 2 * MARGIN, 2, 10);
    const std::size_t short_copy = 30000;
    EXPECT_EQ(
        delay_of(original_of(master, 2), codec_copy(master, 2, 1105, 0.7, CODING_NOISE, short_copy), 2).delay,
        1105);
    const std::size_t both = 20000;
    EXPECT_EQ(delay_of(original_of(master, 2, both), codec_copy(master, 2, -1105, 0.7, CODING_NOISE, both), 2)
                  .delay,
              -1105);
    // As many channels as a WAV file holds, every one of them loud.
    constexpr std::size_t CHANNELS = 65535;
    constexpr std::size_t FEW = 520;
    const Signal mono = music(FEW + 2 * MARGIN, 1, 11);
    Samples original(FEW * CHANNELS);
    Samples copy(FEW * CHANNELS);
    for (std::size_t i = 0; i < original.size(); ++i) {
        original[i] = rounded(3.0 * mono[MARGIN + i / CHANNELS]);
        copy[i] = rounded(3.0 * mono[MARGIN + i / CHANNELS - 7]);
    }
    const DelayEstimate estimate = delay_of(original, copy, CHANNELS);
    EXPECT_EQ(estimate.finding, DelayFinding::found);
    EXPECT_EQ(estimate.delay, 7);
    EXPECT_EQ(estimate.delay_db, 333.0);
}

TEST(DelaySearch, ReadsABoundedStart) {
    // Stereo at 48 kHz for a second either way: a few MiB of each input.
    EXPECT_LE(FRAMES * 2 * sizeof(std::int16_t), std::size_t{4} << 20);
    EXPECT_GE(FRAMES, 2 * MAX_DELAY + 2 * RATE);
    constexpr auto MOST = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(vorik::delay_search_frames(MOST / 2, RATE), MOST);
}

}  // namespace
