#include "psnr_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "messages.h"
#include "scratch_stream.h"
#include "square_sums.h"

namespace {

using Samples = std::vector<std::int16_t>;

std::string progress_line(const PsnrResult& result) {
    std::FILE* file = vorik_test::scratch_stream();
    write_progress_line(file, result);
    const std::string text = vorik_test::contents(file);
    std::fclose(file);
    return text;
}

TEST(PsnrMeter, IdenticalBlocksReport333OnBothSides) {
    const std::vector<std::int16_t> block = {100, -100, 32767, -32768};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, block.data(), block.data(), 4);
    EXPECT_EQ(accumulator.frames, 2u);
    const PsnrResult result = compute_psnr(accumulator);
    EXPECT_EQ(result.left_db, PSNR_IDENTICAL);
    EXPECT_EQ(result.right_db, PSNR_IDENTICAL);
    EXPECT_EQ(progress_line(result), "L 333.000dB | R 333.000dB | LR 333.000dB\r");
}

TEST(PsnrMeter, PeakIsTheFullSixteenBitSpan) {
    // A difference of one in every left sample: 20 log10(65535), right untouched.
    const std::vector<std::int16_t> first = {1, 7, -5, 7, 0, 7};
    const std::vector<std::int16_t> second = {0, 7, -6, 7, -1, 7};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, first.data(), second.data(), 6);
    const PsnrResult result = compute_psnr(accumulator);
    EXPECT_DOUBLE_EQ(result.left_db, 20.0 * std::log10(65535.0));
    EXPECT_EQ(result.right_db, PSNR_IDENTICAL);
    EXPECT_EQ(progress_line(result), "L  96.329dB | R 333.000dB | LR 214.665dB\r");
}

TEST(PsnrMeter, FullSpanDifferenceIsZeroDecibels) {
    // -32768 against 32767: a square of 65535^2, past the signed 32-bit range.
    const std::vector<std::int16_t> first = {-32768, 0, -32768, 0};
    const std::vector<std::int16_t> second = {32767, 0, 32767, 0};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, first.data(), second.data(), 4);
    EXPECT_EQ(accumulator.sum_sq_left, 2.0 * 65535.0 * 65535.0);
    EXPECT_EQ(compute_psnr(accumulator).left_db, 0.0);
}

TEST(PsnrMeter, OddCountsIgnoreTheLoneLastSample) {
    const std::vector<std::int16_t> first = {10, 20, 30, 40, 50};
    const std::vector<std::int16_t> second = {0, 0, 0, 0, 0};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, first.data(), second.data(), 1);
    EXPECT_EQ(accumulator.frames, 0u);
    EXPECT_EQ(accumulator.sum_sq_left, 0.0);
    accumulate_block(accumulator, first.data(), second.data(), 5);
    EXPECT_EQ(accumulator.frames, 2u);
    EXPECT_EQ(accumulator.sum_sq_left, 10.0 * 10 + 30 * 30);
    EXPECT_EQ(accumulator.sum_sq_right, 20.0 * 20 + 40 * 40);
}

TEST(PsnrMeter, ValuesAreCumulativeAcrossBlocks) {
    const std::vector<std::int16_t> reference = {0, 0, 0, 0};
    const std::vector<std::int16_t> loud = {300, 0, 300, 0};
    const std::vector<std::int16_t> quiet = {3, 0, 3, 0};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, loud.data(), reference.data(), 4);
    accumulate_block(accumulator, quiet.data(), reference.data(), 4);
    EXPECT_EQ(accumulator.frames, 4u);
    // Mean square over both blocks, not the second block's alone.
    const double mean_sq = (2 * 300.0 * 300.0 + 2 * 3.0 * 3.0) / 4;
    EXPECT_DOUBLE_EQ(compute_psnr(accumulator).left_db, 20.0 * std::log10(65535.0 / std::sqrt(mean_sq)));
}

TEST(PsnrMeter, FrameCountDoesNotWrapAtThirtyTwoBits) {
    // Past 2^32 pairs a 32-bit count would wrap and inflate the mean square.
    PsnrAccumulator accumulator{};
    accumulator.frames = (std::uint64_t{1} << 32) - 1;
    accumulator.sum_sq_left = static_cast<double>(accumulator.frames);
    const std::vector<std::int16_t> first = {1, 0, 1, 0};
    const std::vector<std::int16_t> second = {0, 0, 0, 0};
    accumulate_block(accumulator, first.data(), second.data(), 4);
    EXPECT_EQ(accumulator.frames, (std::uint64_t{1} << 32) + 1);
    EXPECT_DOUBLE_EQ(compute_psnr(accumulator).left_db, 20.0 * std::log10(65535.0));
}

TEST(PsnrMeter, TotalPastTwoToThe53RoundsAfterEveryAddition) {
    // Doubles from 2^53 on lie two apart: 2^53 + 1 is a tie and rounds to the
    // even 2^53, so adding 1.0 four times leaves 2^53. A total held wider
    // between the additions, as on the x87 unit, would end at 2^53 + 4.
    constexpr double TWO_TO_THE_53 = 9007199254740992.0;
    PsnrAccumulator accumulator{0, TWO_TO_THE_53, 0.0};
    const std::vector<std::int16_t> first = {1, 0, 1, 0, 1, 0, 1, 0};
    const std::vector<std::int16_t> second(first.size(), 0);
    accumulate_block(accumulator, first.data(), second.data(), static_cast<std::uint32_t>(first.size()));
    EXPECT_EQ(accumulator.frames, 4u);
    // The difference is exact, and a failure shows the excess itself.
    EXPECT_EQ(accumulator.sum_sq_left - TWO_TO_THE_53, 0.0);
    EXPECT_EQ(accumulator.sum_sq_right, 0.0);
}

}  // namespace

// The fast path must give the in-order loop's totals to the last bit: on
// random blocks of every small size, on full-span differences, and on totals
// started just below 2^53, where it has to hand over mid-block, and past it.
TEST(PsnrMeter, FastPathMatchesTheInOrderLoopBitForBit) {
    constexpr double EXACT_LIMIT = 9007199254740992.0;  // 2^53
    constexpr double LARGEST_SQUARE = 65535.0 * 65535.0;
    const double starting_totals[] = {0.0,
                                      12345.0,
                                      EXACT_LIMIT - 1000 * LARGEST_SQUARE,
                                      EXACT_LIMIT - 3.0,
                                      EXACT_LIMIT,
                                      EXACT_LIMIT + 2.0,
                                      3.0 * EXACT_LIMIT + 4.0};
    std::mt19937 random(53);
    std::uniform_int_distribution<int> any_sample(-32768, 32767);
    std::bernoulli_distribution full_span(0.5);
    const auto check = [](const PsnrAccumulator& start, const Samples& first, const Samples& second) {
        PsnrAccumulator fast = start;
        PsnrAccumulator reference = start;
        const auto count = static_cast<std::uint32_t>(first.size());
        accumulate_block(fast, first.data(), second.data(), count);
        accumulate_block_in_order(reference, first.data(), second.data(), count);
        EXPECT_EQ(fast.frames, reference.frames) << count << " samples from " << start.sum_sq_left;
        EXPECT_EQ(std::memcmp(&fast.sum_sq_left, &reference.sum_sq_left, sizeof(double)), 0)
            << count << " samples from " << start.sum_sq_left;
        EXPECT_EQ(std::memcmp(&fast.sum_sq_right, &reference.sum_sq_right, sizeof(double)), 0)
            << count << " samples from " << start.sum_sq_right;
    };
    for (const double total : starting_totals) {
        // The right side starts elsewhere, so the two sides cross the limit apart.
        const PsnrAccumulator start{7, total, total / 2};
        for (std::size_t count = 0; count <= 400; ++count) {
            Samples first(count);
            Samples second(count);
            const bool extreme = full_span(random);
            for (std::size_t i = 0; i < count; ++i) {
                first[i] = static_cast<std::int16_t>(extreme ? -32768 : any_sample(random));
                second[i] = static_cast<std::int16_t>(extreme ? 32767 : any_sample(random));
            }
            check(start, first, second);
        }
    }
    // Blocks of several integer steps, full span, from a total that reaches
    // 2^53 in the middle of the block.
    const std::size_t large_count = 5 * 65536 + 3;
    const Samples lowest(large_count, -32768);
    const Samples highest(large_count, 32767);
    check({0, EXACT_LIMIT - 100000 * LARGEST_SQUARE, 0.0}, lowest, highest);
    check({0, 0.0, 0.0}, lowest, highest);
}

// Both kernels, the one this CPU runs and the portable one every other CPU
// runs, against a plain sum: on random blocks of every small size, and on
// full-span squares long enough to need several flushes of the vector lanes
// into the 64-bit totals.
TEST(PsnrMeter, IntegerSquareSumsAreExactInEveryKernel) {
    using Kernel = SquareSums (*)(const std::int16_t*, const std::int16_t*, std::uint32_t);
    const Kernel kernels[] = {sum_squared_differences, sum_squared_differences_portably};
    std::mt19937 random(16);
    std::uniform_int_distribution<int> any_sample(-32768, 32767);
    for (std::uint32_t pairs = 0; pairs <= 100; ++pairs) {
        Samples first(2 * pairs);
        Samples second(2 * pairs);
        SquareSums expected{0, 0};
        for (std::size_t i = 0; i < first.size(); ++i) {
            first[i] = static_cast<std::int16_t>(any_sample(random));
            second[i] = static_cast<std::int16_t>(any_sample(random));
            const std::int64_t difference = first[i] - second[i];
            (i % 2 == 0 ? expected.left : expected.right) +=
                static_cast<std::uint64_t>(difference * difference);
        }
        for (const Kernel kernel : kernels) {
            const SquareSums sums = kernel(first.data(), second.data(), pairs);
            EXPECT_EQ(sums.left, expected.left) << pairs << " pairs";
            EXPECT_EQ(sums.right, expected.right) << pairs << " pairs";
        }
    }
    constexpr std::uint32_t LONG_PAIRS = (1U << 21) + 5;
    const Samples lowest(2 * std::size_t{LONG_PAIRS}, -32768);
    Samples highest(2 * std::size_t{LONG_PAIRS}, 32767);
    // The right side is one smaller, so a mix-up of the sides shows too.
    for (std::size_t i = 1; i < highest.size(); i += 2) {
        highest[i] = 32766;
    }
    for (const Kernel kernel : kernels) {
        const SquareSums sums = kernel(lowest.data(), highest.data(), LONG_PAIRS);
        EXPECT_EQ(sums.left, std::uint64_t{LONG_PAIRS} * 65535 * 65535);
        EXPECT_EQ(sums.right, std::uint64_t{LONG_PAIRS} * 65534 * 65534);
    }
}
