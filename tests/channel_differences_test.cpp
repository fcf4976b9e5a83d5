// The channel differences of every kernel this CPU can run, against a plain
// in-order model written here; the 128-bit sums rounded to a double; and the
// PSNR of a channel against the meter's.
#include <gtest/gtest.h>
#include <vorik/channel_differences.h>
#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "block_reference.h"
#include "channel_differences/kernels.h"
#include "every_kernel.h"
#include "kernel_list.h"

using namespace vorik;
using namespace vorik::detail;
using vorik_test::random_samples;
using vorik_test::Samples;

namespace {

constexpr std::int16_t LOWEST = -32768;
constexpr std::int16_t HIGHEST = 32767;
constexpr std::uint64_t TOP = ~std::uint64_t{0};  // 2^64 - 1
constexpr std::uint64_t FULL_SPAN_SQUARE = std::uint64_t{65535} * 65535;

using Records = std::vector<ChannelDifferences>;

// The model: every sample in order, one after another.
void add_in_order(Records& records, const Samples& original, const Samples& copy, std::size_t first_sample,
                  std::size_t frames, std::uint64_t first_frame) {
    const std::size_t channels = records.size();
    for (std::size_t frame = 0; frame < frames; ++frame) {
        for (std::size_t channel = 0; channel < channels; ++channel) {
            const std::size_t i = first_sample + frame * channels + channel;
            const int difference = std::abs(int{original[i]} - int{copy[i]});
            const auto square =
                static_cast<std::uint64_t>(difference) * static_cast<std::uint64_t>(difference);
            ChannelDifferences& record = records[channel];
            const std::uint64_t low = record.squares.low + square;
            if (low < square) {
                ++record.squares.high;
            }
            record.squares.low = low;
            if (difference != 0) {
                ++record.differing;
            }
            if (static_cast<std::uint32_t>(difference) > record.largest) {
                record.largest = static_cast<std::uint32_t>(difference);
                record.largest_at = first_frame + frame;
            }
        }
    }
}

// Adds frames [first, first + frames) of the samples with a kernel.
void add_with(const Kernels& kernel, Records& records, const Samples& original, const Samples& copy,
              std::size_t first, std::size_t frames, std::uint64_t first_frame) {
    const std::size_t offset = first * records.size();
    kernel.add_channel_differences(records.data(), static_cast<std::uint16_t>(records.size()),
                                   original.data() + offset, copy.data() + offset, frames, first_frame);
}

void expect_same(const Records& expected, const Records& actual, const std::string& where) {
    ASSERT_EQ(expected.size(), actual.size()) << where;
    for (std::size_t channel = 0; channel < expected.size(); ++channel) {
        const ChannelDifferences& e = expected[channel];
        const ChannelDifferences& a = actual[channel];
        EXPECT_EQ(e.squares.high, a.squares.high) << where << ", channel " << channel;
        EXPECT_EQ(e.squares.low, a.squares.low) << where << ", channel " << channel;
        EXPECT_EQ(e.differing, a.differing) << where << ", channel " << channel;
        EXPECT_EQ(e.largest, a.largest) << where << ", channel " << channel;
        EXPECT_EQ(e.largest_at, a.largest_at) << where << ", channel " << channel;
    }
}

std::string name_of(const Kernels& kernel, std::size_t channels, std::size_t frames) {
    return std::string(kernel.name) + ", " + std::to_string(channels) + " channels, " +
           std::to_string(frames) + " frames";
}

// A copy that keeps some samples, moves some to a full-span extreme and
// others by a noise that widens with the sample's place, so that the largest
// differences keep growing and repeat.
Samples copy_of(const Samples& original, std::mt19937& random) {
    std::uniform_int_distribution<int> kind(0, 7);
    Samples copy(original.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        const int noise_span = static_cast<int>(std::min<std::size_t>(i / 64 + 1, 40000));
        switch (kind(random)) {
            case 0:
            case 1:
                copy[i] = original[i];
                break;
            case 2:
                copy[i] = original[i] < 0 ? HIGHEST : LOWEST;
                break;
            default: {
                const int moved =
                    original[i] + std::uniform_int_distribution<int>(-noise_span, noise_span)(random);
                copy[i] = static_cast<std::int16_t>(std::clamp<int>(moved, LOWEST, HIGHEST));
            }
        }
    }
    return copy;
}

// Random samples, a sixteenth of them at the extremes.
Samples original_samples(std::mt19937& random, std::size_t count) {
    Samples samples = random_samples(random, count);
    std::uniform_int_distribution<int> kind(0, 31);
    for (std::int16_t& sample : samples) {
        const int k = kind(random);
        sample = k == 0 ? LOWEST : k == 1 ? HIGHEST : sample;
    }
    return samples;
}

TEST(ChannelDifferences, EveryKernelMatchesTheInOrderModel) {
    const std::size_t channel_counts[] = {1, 2, 3, 5, 6, 8, 16, 17, 31, 32, 64};
    // Around the vectors of 16 and 32 lanes and the sub-runs of 32 vectors.
    const std::size_t frame_counts[] = {0,   1,   15,  16,  17,   31,   33,   159,  160,  161,  255,  256,
                                        257, 511, 512, 513, 1000, 1023, 1024, 1025, 2047, 2049, 4097, 65537};
    constexpr std::uint64_t FIRST_FRAME = 1000;
    std::mt19937 random(29);
    for (const std::size_t channels : channel_counts) {
        for (const std::size_t frames : frame_counts) {
            const Samples original = original_samples(random, frames * channels);
            const Samples copy = copy_of(original, random);
            Records expected(channels, ChannelDifferences{});
            add_in_order(expected, original, copy, 0, frames, FIRST_FRAME);
            // Whole, and in two calls cut anywhere.
            const std::size_t cut = std::uniform_int_distribution<std::size_t>(0, frames)(random);
            for (const Kernels& kernel : runnable_kernels()) {
                Records whole(channels, ChannelDifferences{});
                add_with(kernel, whole, original, copy, 0, frames, FIRST_FRAME);
                expect_same(expected, whole, name_of(kernel, channels, frames));
                Records in_two(channels, ChannelDifferences{});
                add_with(kernel, in_two, original, copy, 0, cut, FIRST_FRAME);
                add_with(kernel, in_two, original, copy, cut, frames - cut, FIRST_FRAME + cut);
                expect_same(expected, in_two,
                            name_of(kernel, channels, frames) + " cut at " + std::to_string(cut));
            }
        }
    }
}

// Frames of `channels` channels where nothing differs but the differences
// set at (frame, channel, difference).
struct SetDifference {
    std::size_t frame;
    std::size_t channel;
    int difference;
};

struct Pair {
    Samples original;
    Samples copy;
};

Pair with_differences(std::size_t channels, std::size_t frames, std::initializer_list<SetDifference> set) {
    Pair pair{Samples(frames * channels, LOWEST), Samples(frames * channels, LOWEST)};
    for (const SetDifference& d : set) {
        pair.copy[d.frame * channels + d.channel] = static_cast<std::int16_t>(LOWEST + d.difference);
    }
    return pair;
}

TEST(ChannelDifferences, LargestKeepsTheFirstFrameWhereItOccurs) {
    constexpr std::size_t FRAMES = 6000;
    for (const Kernels& kernel : runnable_kernels()) {
        // Counts that fill the vectors and one that leaves lanes unused.
        for (const std::size_t channels : {std::size_t{4}, std::size_t{6}, std::size_t{8}}) {
            const std::string where = name_of(kernel, channels, FRAMES);
            const std::size_t last = channels - 1;
            // Channel 0: its largest twice in one vector; channel 1: twice in
            // one sub-run, a smaller one before; channel 2: nothing; the last
            // channel: in two sub-runs of the first call, and in the next.
            const Pair pair = with_differences(channels, FRAMES,
                                               {{2, 0, 700},
                                                {3, 0, 700},
                                                {2, 1, 5},
                                                {40, 1, 65535},
                                                {60, 1, 65535},
                                                {100, last, 12},
                                                {2500, last, 9000},
                                                {2900, last, 9000},
                                                {5999, last, 9000}});
            Records records(channels, ChannelDifferences{});
            add_with(kernel, records, pair.original, pair.copy, 0, 3000, 0);
            add_with(kernel, records, pair.original, pair.copy, 3000, 3000, 3000);
            EXPECT_EQ(records[0].largest, 700u) << where;
            EXPECT_EQ(records[0].largest_at, 2u) << where;
            EXPECT_EQ(records[0].differing, 2u) << where;
            EXPECT_EQ(records[1].largest, 65535u) << where;
            EXPECT_EQ(records[1].largest_at, 40u) << where;
            EXPECT_EQ(records[2].largest, 0u) << where;
            EXPECT_EQ(records[2].largest_at, 0u) << where;
            EXPECT_EQ(records[2].differing, 0u) << where;
            EXPECT_EQ(records[last].largest, 9000u) << where;
            EXPECT_EQ(records[last].largest_at, 2500u) << where;
            EXPECT_EQ(records[last].squares.low, 12u * 12 + 3u * 9000 * 9000) << where;
            // A larger difference in a later call moves it.
            const Pair later = with_differences(channels, 100, {{60, last, 9001}});
            add_with(kernel, records, later.original, later.copy, 0, 100, 6000);
            EXPECT_EQ(records[last].largest, 9001u) << where;
            EXPECT_EQ(records[last].largest_at, 6060u) << where;
        }
    }
}

// The slowest case of the search: a difference that grows in every frame.
TEST(ChannelDifferences, LargestThatGrowsInEveryFrame) {
    constexpr std::size_t CHANNELS = 2;
    constexpr std::size_t FRAMES = 65536;
    Samples original(FRAMES * CHANNELS, LOWEST);
    Samples copy(FRAMES * CHANNELS);
    for (std::size_t i = 0; i < copy.size(); ++i) {
        copy[i] = static_cast<std::int16_t>(LOWEST + static_cast<int>(i / CHANNELS));
    }
    for (const Kernels& kernel : runnable_kernels()) {
        Records records(CHANNELS, ChannelDifferences{});
        add_with(kernel, records, original, copy, 0, FRAMES, 7);
        for (const ChannelDifferences& record : records) {
            EXPECT_EQ(record.largest, 65535u) << kernel.name;
            EXPECT_EQ(record.largest_at, 7u + 65535) << kernel.name;
            EXPECT_EQ(record.differing, 65535u) << kernel.name;
            // The sum of d^2 for d = 0..65535: 65535 * 65536 * 131071 / 6.
            EXPECT_EQ(record.squares.low, 93822844764160u) << kernel.name;
        }
    }
}

// The vector kernels take a sub-run of differences up to 8191 a faster way,
// and take it again the usual way where one is larger; the small ones after
// it go the faster way again.
TEST(ChannelDifferences, SmallAndLargeDifferencesTakeTurns) {
    constexpr int LARGEST_SMALL = 8191;
    constexpr std::size_t FRAMES = 20000;
    constexpr std::size_t FRAMES_BETWEEN_LARGE = 1500;
    // Just past the small ones, around 16 signed bits, and the full span.
    const int large[] = {8192, 32766, 32767, 32768, 40000, 65535};
    std::mt19937 random(37);
    std::uniform_int_distribution<int> sample(-24000, 24000);
    std::uniform_int_distribution<int> noise(-LARGEST_SMALL, LARGEST_SMALL);
    for (const std::size_t channels :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{6}, std::size_t{8}, std::size_t{17}}) {
        Samples original(FRAMES * channels);
        Samples copy(FRAMES * channels);
        for (std::size_t i = 0; i < original.size(); ++i) {
            original[i] = static_cast<std::int16_t>(sample(random));
            copy[i] = static_cast<std::int16_t>(original[i] + noise(random));
        }
        for (std::size_t k = 0; k * FRAMES_BETWEEN_LARGE < FRAMES; ++k) {
            const std::size_t i = (k * FRAMES_BETWEEN_LARGE + k % 7) * channels + k % channels;
            const auto moved = static_cast<std::int16_t>(LOWEST + large[k % std::size(large)]);
            const bool copy_above = k / std::size(large) % 2 == 0;
            original[i] = copy_above ? LOWEST : moved;
            copy[i] = copy_above ? moved : LOWEST;
        }
        Records expected(channels, ChannelDifferences{});
        add_in_order(expected, original, copy, 0, FRAMES, 0);
        for (const Kernels& kernel : runnable_kernels()) {
            Records actual(channels, ChannelDifferences{});
            add_with(kernel, actual, original, copy, 0, FRAMES, 0);
            expect_same(expected, actual, name_of(kernel, channels, FRAMES));
        }
    }
    // The largest small difference in every sample: the 32-bit lanes of the
    // faster path come as close to full as they can.
    for (const std::size_t channels : {std::size_t{1}, std::size_t{2}}) {
        constexpr std::size_t FULL_FRAMES = 3000;
        const Samples original(FULL_FRAMES * channels, LOWEST);
        const Samples copy(FULL_FRAMES * channels, static_cast<std::int16_t>(LOWEST + LARGEST_SMALL));
        for (const Kernels& kernel : runnable_kernels()) {
            Records records(channels, ChannelDifferences{});
            add_with(kernel, records, original, copy, 0, FULL_FRAMES, 0);
            for (const ChannelDifferences& record : records) {
                EXPECT_EQ(record.squares.low, std::uint64_t{FULL_FRAMES} * 8191 * 8191)
                    << name_of(kernel, channels, FULL_FRAMES);
                EXPECT_EQ(record.differing, FULL_FRAMES) << name_of(kernel, channels, FULL_FRAMES);
                EXPECT_EQ(record.largest, 8191u) << name_of(kernel, channels, FULL_FRAMES);
            }
        }
    }
}

TEST(ChannelDifferences, SquaresCarryPast64Bits) {
    for (const Kernels& kernel : runnable_kernels()) {
        // A full-span difference in every sample: the lanes of every kernel
        // fill up and are flushed more than once (2^21 mono frames pass
        // 65504 vectors of 32 lanes), on top of a sum just below 2^64.
        constexpr std::size_t FRAMES = 2100017;
        const Samples original(FRAMES, LOWEST);
        const Samples copy(FRAMES, HIGHEST);
        Records records{{{5, TOP - 9}, 0, 0, 0}};
        add_with(kernel, records, original, copy, 0, FRAMES, 0);
        // FRAMES * 65535^2 = 9019229084715825, less 10 to pass 2^64.
        EXPECT_EQ(records[0].squares.high, 6u) << kernel.name;
        EXPECT_EQ(records[0].squares.low, 9019229084715815u) << kernel.name;
        EXPECT_EQ(records[0].differing, FRAMES) << kernel.name;
        EXPECT_EQ(records[0].largest, 65535u) << kernel.name;
        EXPECT_EQ(records[0].largest_at, 0u) << kernel.name;
        // Near 2^64 in every channel, of counts the vectors take and of
        // counts they do not.
        std::mt19937 random(64);
        for (const std::size_t channels : {std::size_t{2}, std::size_t{6}, std::size_t{64}}) {
            const Samples first = original_samples(random, 4000 * channels);
            const Samples second = copy_of(first, random);
            Records expected(channels, ChannelDifferences{{0, TOP - FULL_SPAN_SQUARE}, 0, 0, 0});
            Records actual = expected;
            add_in_order(expected, first, second, 0, 4000, 0);
            add_with(kernel, actual, first, second, 0, 4000, 0);
            expect_same(expected, actual, name_of(kernel, channels, 4000));
            EXPECT_EQ(actual[0].squares.high, 1u) << kernel.name;
        }
    }
}

TEST(ChannelDifferences, MergeEqualsOneRunOverTheConcatenation) {
    vorik_test::on_every_kernel([&](const Kernels&) {
        std::mt19937 random(31);
        for (const std::size_t channels : {std::size_t{1}, std::size_t{2}, std::size_t{6}, std::size_t{40}}) {
            constexpr std::size_t FRAMES = 20000;
            const Samples original = original_samples(random, FRAMES * channels);
            const Samples copy = copy_of(original, random);
            Records whole(channels, ChannelDifferences{});
            add_channel_differences(whole.data(), static_cast<std::uint16_t>(channels), original.data(),
                                    copy.data(), FRAMES, 0);
            Records expected(channels, ChannelDifferences{});
            add_in_order(expected, original, copy, 0, FRAMES, 0);
            expect_same(expected, whole, "one run of " + std::to_string(channels) + " channels");
            const std::size_t cuts[] = {0, 17, 9000, 9001, FRAMES};
            Records merged(channels, ChannelDifferences{});
            for (std::size_t piece = 0; piece + 1 < std::size(cuts); ++piece) {
                Records part(channels, ChannelDifferences{});
                const std::size_t offset = cuts[piece] * channels;
                add_channel_differences(part.data(), static_cast<std::uint16_t>(channels),
                                        original.data() + offset, copy.data() + offset,
                                        cuts[piece + 1] - cuts[piece], cuts[piece]);
                for (std::size_t channel = 0; channel < channels; ++channel) {
                    merge_channel_differences(merged[channel], part[channel]);
                }
            }
            expect_same(whole, merged, "merged pieces of " + std::to_string(channels) + " channels");
        }
    });
    // The sums carry; a tie keeps the earlier frame, a larger one moves it.
    ChannelDifferences earlier{{1, TOP - 1}, 10, 500, 42};
    merge_channel_differences(earlier, {{2, 5}, 3, 500, 99});
    EXPECT_EQ(earlier.squares.high, 4u);
    EXPECT_EQ(earlier.squares.low, 3u);
    EXPECT_EQ(earlier.differing, 13u);
    EXPECT_EQ(earlier.largest_at, 42u);
    merge_channel_differences(earlier, {{0, 0}, 0, 501, 120});
    EXPECT_EQ(earlier.largest, 501u);
    EXPECT_EQ(earlier.largest_at, 120u);
}

TEST(ChannelDifferences, SumsRoundToTheNearestDoubleTiesToEven) {
    constexpr std::uint64_t TWO_TO_53 = std::uint64_t{1} << 53;
    const auto two_to = [](int exponent) { return std::ldexp(1.0, exponent); };
    struct Case {
        Sum128 sum;
        double rounded;
    };
    const Case cases[] = {
        {{0, 0}, 0.0},
        {{0, 1}, 1.0},
        {{0, TWO_TO_53 - 1}, two_to(53) - 1},
        // From 2^53 the doubles lie 2 apart: halfway goes to the even one.
        {{0, TWO_TO_53 + 1}, two_to(53)},
        {{0, TWO_TO_53 + 3}, two_to(53) + 4},
        {{0, TWO_TO_53 + 5}, two_to(53) + 4},
        // Below 2^64 they lie 2^11 apart, above it 2^12.
        {{0, TOP}, two_to(64)},
        {{0, TOP - 1023}, two_to(64)},
        {{0, TOP - 1024}, two_to(64) - two_to(11)},
        {{1, 0}, two_to(64)},
        {{1, 1}, two_to(64)},
        {{1, 2048}, two_to(64)},
        {{1, 2049}, two_to(64) + two_to(12)},
        {{1, 3 * 2048}, two_to(64) + two_to(13)},
        {{1, TOP}, two_to(65)},
        // At 2^100 they lie 2^48 apart.
        {{std::uint64_t{1} << 36, 0}, two_to(100)},
        {{std::uint64_t{1} << 36, std::uint64_t{1} << 47}, two_to(100)},
        {{std::uint64_t{1} << 36, (std::uint64_t{1} << 47) + 1}, two_to(100) + two_to(48)},
        {{std::uint64_t{1} << 36, 3 * (std::uint64_t{1} << 47)}, two_to(100) + two_to(49)},
        {{(std::uint64_t{1} << 36) - 1, TOP}, two_to(100)},
        {{TOP, TOP}, two_to(128)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rounded_to_double(c.sum), c.rounded) << c.sum.high << ":" << c.sum.low;
    }
}

TEST(ChannelDifferences, PsnrIsTheMetersBelow2To53) {
    constexpr std::uint64_t TWO_TO_53 = std::uint64_t{1} << 53;
    const std::uint64_t sums[] = {1, 2, 3, 99, FULL_SPAN_SQUARE, 108464501781, 12345678901234, TWO_TO_53 - 1};
    const std::uint64_t counts[] = {1, 2, 47851, 48000, 96000, 2646000, (std::uint64_t{1} << 32) + 1};
    for (const std::uint64_t sum : sums) {
        for (const std::uint64_t count : counts) {
            const PsnrAccumulator meter{count, static_cast<double>(sum), 0.0};
            EXPECT_EQ(channel_psnr_db({0, sum}, count), compute_psnr(meter).left_db)
                << sum << " over " << count;
        }
    }
    EXPECT_EQ(channel_psnr_db({0, 0}, 48000), 333.0);
    // One sample off by the full span: 0 dB.
    EXPECT_EQ(channel_psnr_db({0, FULL_SPAN_SQUARE}, 1), 0.0);
    // Past 2^64 the rounded sum goes into the same expression.
    const PsnrAccumulator past_2_to_64{std::uint64_t{1} << 40, std::ldexp(1.0, 64), 0.0};
    EXPECT_EQ(channel_psnr_db({1, 1}, std::uint64_t{1} << 40), compute_psnr(past_2_to_64).left_db);
}

}  // namespace
