#include <gtest/gtest.h>
#include <vorik/psnr_meter.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "every_kernel.h"
#include "messages.h"
#include "psnr_pieces.h"
#include "scratch_stream.h"
#include "square_sums/square_sums.h"

using namespace vorik;
using namespace vorik::detail;
using vorik_test::on_every_kernel;

namespace {

using Samples = std::vector<std::int16_t>;

// Two samples whose difference is an odd multiple of 2^shift, anywhere in range.
void set_apart_by_odd_multiple(std::int16_t& first, std::int16_t& second, int shift, std::mt19937& random) {
    const int largest_odd = 65535 >> shift;
    const int distance = (2 * std::uniform_int_distribution<int>(0, largest_odd / 2)(random) + 1) << shift;
    const int lowest = -32768 + std::uniform_int_distribution<int>(0, 65535 - distance)(random);
    first = static_cast<std::int16_t>(lowest + distance);
    second = static_cast<std::int16_t>(lowest);
}

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
    EXPECT_EQ(accumulator.pairs, 2u);
    const PsnrResult result = compute_psnr(accumulator);
    EXPECT_EQ(result.left_db, PSNR_IDENTICAL);
    EXPECT_EQ(result.right_db, PSNR_IDENTICAL);
    EXPECT_EQ(progress_line(result), "L 333.000dB | R 333.000dB | LR 333.000dB\r");
}

// The count's old name reads the same count, for the callers of 0.10 until
// the next release (with a warning that it is deprecated).
TEST(PsnrMeter, OldNameOfThePairCountStillReadsIt) {
    const std::vector<std::int16_t> first = {1, 2, 3, 4, 5, 6};
    const std::vector<std::int16_t> second = {0, 2, 3, 4, 5, 6};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, first.data(), second.data(), 6);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EXPECT_EQ(accumulator.frames, 3u);
    accumulator.frames = 7;
#pragma GCC diagnostic pop
    EXPECT_EQ(accumulator.pairs, 7u);
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

TEST(PsnrMeter, DecibelsNearARoundingBoundaryAreRoundedAlike) {
    // 20 log10(65535 / sqrt(108464501781 / 47851)) lies within an ulp of
    // 32.7755; with log10 rounded to nearest (mpmath's) it is the double
    // nearest 32.7755, which lies above it.
    const PsnrAccumulator accumulator{47851, 108464501781.0, 0.0};
    const PsnrResult result = compute_psnr(accumulator);
    EXPECT_EQ(result.left_db, 32.7755);
    EXPECT_EQ(progress_line(result), "L  32.776dB | R 333.000dB | LR 182.888dB\r");
}

TEST(PsnrMeter, ProgressLineRoundsTheExactDecimalValue) {
    // As C99 printf and glibc's: the exact binary value, rounded to nearest
    // and a tie to even (0.0625 to 0.062), as the Windows build must print
    // too; the old msvcrt printf rounds ties away from zero.
    EXPECT_EQ(progress_line({0.0625, 2.0005}), "L   0.062dB | R   2.001dB | LR   1.032dB\r");
    EXPECT_EQ(progress_line({0.3125, 0.0005}), "L   0.312dB | R   0.001dB | LR   0.157dB\r");
}

// Wine's msvcrt rounds as glibc does, so under Wine the test above passes
// with either printf: a Windows build must ask for MinGW-w64's own.
#ifdef __MINGW32__
static_assert(__USE_MINGW_ANSI_STDIO, "the progress line needs MinGW-w64's C99 printf");
#endif

TEST(PsnrMeter, OddCountsIgnoreTheLoneLastSample) {
    const std::vector<std::int16_t> first = {10, 20, 30, 40, 50};
    const std::vector<std::int16_t> second = {0, 0, 0, 0, 0};
    PsnrAccumulator accumulator{};
    accumulate_block(accumulator, first.data(), second.data(), 1);
    EXPECT_EQ(accumulator.pairs, 0u);
    EXPECT_EQ(accumulator.sum_sq_left, 0.0);
    accumulate_block(accumulator, first.data(), second.data(), 5);
    EXPECT_EQ(accumulator.pairs, 2u);
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
    EXPECT_EQ(accumulator.pairs, 4u);
    // Mean square over both blocks, not the second block's alone.
    const double mean_sq = (2 * 300.0 * 300.0 + 2 * 3.0 * 3.0) / 4;
    EXPECT_DOUBLE_EQ(compute_psnr(accumulator).left_db, 20.0 * std::log10(65535.0 / std::sqrt(mean_sq)));
}

TEST(PsnrMeter, FrameCountDoesNotWrapAtThirtyTwoBits) {
    // Past 2^32 pairs a 32-bit count would wrap and inflate the mean square.
    PsnrAccumulator accumulator{};
    accumulator.pairs = (std::uint64_t{1} << 32) - 1;
    accumulator.sum_sq_left = static_cast<double>(accumulator.pairs);
    const std::vector<std::int16_t> first = {1, 0, 1, 0};
    const std::vector<std::int16_t> second = {0, 0, 0, 0};
    accumulate_block(accumulator, first.data(), second.data(), 4);
    EXPECT_EQ(accumulator.pairs, (std::uint64_t{1} << 32) + 1);
    EXPECT_DOUBLE_EQ(compute_psnr(accumulator).left_db, 20.0 * std::log10(65535.0));
}

TEST(PsnrMeter, TotalPastTwoToThe53RoundsAfterEveryAddition) {
    on_every_kernel([&](const Kernels&) {
        // Doubles from 2^53 on lie two apart: 2^53 + 1 is a tie and rounds to the
        // even 2^53, so adding 1.0 four times leaves 2^53. A total held wider
        // between the additions, as on the x87 unit, would end at 2^53 + 4.
        constexpr double TWO_TO_THE_53 = 9007199254740992.0;
        PsnrAccumulator accumulator{0, TWO_TO_THE_53, 0.0};
        const std::vector<std::int16_t> first = {1, 0, 1, 0, 1, 0, 1, 0};
        const std::vector<std::int16_t> second(first.size(), 0);
        accumulate_block(accumulator, first.data(), second.data(), static_cast<std::uint32_t>(first.size()));
        EXPECT_EQ(accumulator.pairs, 4u);
        // The difference is exact, and a failure shows the excess itself.
        EXPECT_EQ(accumulator.sum_sq_left - TWO_TO_THE_53, 0.0);
        EXPECT_EQ(accumulator.sum_sq_right, 0.0);
    });
}

}  // namespace

// The fast path must give the in-order loop's totals to the last bit, with
// every set of kernels: on random blocks of every small size, on full-span
// differences, on data where many squares are ties, and on totals started
// just below 2^53, where it has to hand over mid-block, past it, across later
// powers of two, and where every square rounds away.
TEST(PsnrMeter, FastPathMatchesTheInOrderLoopBitForBit) {
    on_every_kernel([&](const Kernels&) {
        constexpr double EXACT_LIMIT = 9007199254740992.0;  // 2^53
        constexpr double LARGEST_SQUARE = 65535.0 * 65535.0;
        struct Start {
            double total;
            int tie_shift;  // past 2^53 with the spacing 2^(2 * tie_shift + 1), squares of
                            // odd multiples of 2^tie_shift are ties
        };
        const Start starts[] = {{0.0, 0},
                                {12345.0, 0},
                                {EXACT_LIMIT - 1000 * LARGEST_SQUARE, 0},
                                {EXACT_LIMIT - 3.0, 0},
                                {EXACT_LIMIT, 0},
                                {EXACT_LIMIT + 2.0, 0},
                                {3.0 * EXACT_LIMIT + 4.0, 0},
                                {2.0 * EXACT_LIMIT - 3 * LARGEST_SQUARE, 0},
                                {std::ldexp(1.0, 56) - 5 * LARGEST_SQUARE - 4.0, 1},
                                {std::ldexp(1.0, 57) + std::ldexp(3.0, 5), 2},
                                {std::ldexp(1.0, 60), 0},
                                {std::ldexp(1.0, 75) - std::ldexp(1.0, 23), 11},
                                {std::ldexp(1.0, 90), 0}};
        std::mt19937 random(53);
        std::uniform_int_distribution<int> any_sample(-32768, 32767);
        // The block whole, and in three pieces summed apart from one plan and
        // added in order, the rest in order once a piece is refused.
        const auto in_pieces = [](PsnrAccumulator& totals, const Samples& first, const Samples& second) {
            const auto count = static_cast<std::uint32_t>(first.size());
            const std::uint32_t cuts[] = {0, count / 3 & ~1U, 2 * (count / 3) & ~1U, count};
            const PiecePlan plan = plan_psnr_pieces(totals);
            PieceSums pieces[3];
            for (std::size_t i = 0; i < 3; ++i) {
                pieces[i] = sum_psnr_piece(plan, first.data() + cuts[i], second.data() + cuts[i],
                                           cuts[i + 1] - cuts[i]);
            }
            std::size_t added = 0;
            while (added < 3 && psnr_pieces_apply(plan) && add_psnr_piece(totals, plan, pieces[added])) {
                ++added;
            }
            accumulate_block(totals, first.data() + cuts[added], second.data() + cuts[added],
                             count - cuts[added]);
        };
        const auto check = [&](const PsnrAccumulator& start, const Samples& first, const Samples& second) {
            PsnrAccumulator fast = start;
            PsnrAccumulator pieces = start;
            PsnrAccumulator reference = start;
            const auto count = static_cast<std::uint32_t>(first.size());
            accumulate_block(fast, first.data(), second.data(), count);
            in_pieces(pieces, first, second);
            accumulate_block_in_order(reference, first.data(), second.data(), count);
            for (const PsnrAccumulator* totals : {&fast, &pieces}) {
                const char* way = totals == &fast ? "whole, " : "in pieces, ";
                EXPECT_EQ(totals->pairs, reference.pairs)
                    << way << count << " samples from " << start.sum_sq_left;
                EXPECT_EQ(std::memcmp(&totals->sum_sq_left, &reference.sum_sq_left, sizeof(double)), 0)
                    << way << count << " samples from " << start.sum_sq_left;
                EXPECT_EQ(std::memcmp(&totals->sum_sq_right, &reference.sum_sq_right, sizeof(double)), 0)
                    << way << count << " samples from " << start.sum_sq_right;
            }
        };
        constexpr std::size_t SHORT_COUNTS = 400;
        constexpr std::size_t LONGER_COUNTS[] = {1001, 4097, 20003};
        for (const Start start : starts) {
            // The right side starts elsewhere, so the two sides cross the limit
            // and later powers of two apart.
            const PsnrAccumulator accumulator{7, start.total, std::floor(start.total * 0.75)};
            std::vector<std::size_t> counts(SHORT_COUNTS + 1);
            std::iota(counts.begin(), counts.end(), std::size_t{0});
            counts.insert(counts.end(), std::begin(LONGER_COUNTS), std::end(LONGER_COUNTS));
            for (const std::size_t count : counts) {
                Samples first(count);
                Samples second(count);
                // Random, full span, or differences of odd multiples of 2^tie_shift.
                const std::size_t kind = count % 3;
                for (std::size_t i = 0; i < count; ++i) {
                    if (kind == 0) {
                        first[i] = static_cast<std::int16_t>(any_sample(random));
                        second[i] = static_cast<std::int16_t>(any_sample(random));
                    } else if (kind == 1) {
                        first[i] = -32768;
                        second[i] = 32767;
                    } else {
                        set_apart_by_odd_multiple(first[i], second[i], start.tie_shift, random);
                    }
                }
                check(accumulator, first, second);
            }
        }
        // Blocks of several integer steps, full span, from a total that reaches
        // 2^53 in the middle of the block.
        const std::size_t large_count = 5 * 65536 + 3;
        const Samples lowest(large_count, -32768);
        const Samples highest(large_count, 32767);
        check({0, EXACT_LIMIT - 100000 * LARGEST_SQUARE, 0.0}, lowest, highest);
        check({0, 0.0, 0.0}, lowest, highest);
        // A piece summed from other totals' plan is refused, and changes nothing:
        // past 2^53 it would be taken as whole spacings, below it as units.
        PsnrAccumulator below{5, 1000.0, 0.0};
        const PsnrAccumulator before = below;
        const PiecePlan past_2_53 = plan_psnr_pieces({5, 4.0 * EXACT_LIMIT, 0.0});
        const PieceSums piece = sum_psnr_piece(past_2_53, lowest.data(), highest.data(), 64);
        EXPECT_FALSE(add_psnr_piece(below, past_2_53, piece));
        EXPECT_EQ(std::memcmp(&below, &before, sizeof below), 0);
    });
}

// Every rounded-sum kernel this CPU can run, against additions in double one
// by one from a total N * 2^s: at every spacing, for an even and an odd N,
// on random data and on data heavy in ties, with lengths around the kernels'
// words of 32 pairs and scans of eight words; and on full-span squares, all
// ties at a spacing of 2, long enough that the vector lanes are emptied into
// the 64-bit totals several times.
TEST(PsnrMeter, RoundedSumsMatchAdditionsInDoubleInEveryKernel) {
    const auto added_in_double = [](double total, const Samples& first, const Samples& second,
                                    std::size_t side, std::uint32_t pairs) {
        for (std::size_t k = 0; k < pairs; ++k) {
            const double difference = first[2 * k + side] - second[2 * k + side];
            total += difference * difference;
        }
        return total;
    };
    // How far the additions in double move a total of 2^52 + odd spacings, in spacings.
    const auto moved = [&](unsigned exponent, bool odd, const Samples& first, const Samples& second,
                           std::size_t side) {
        const auto pairs = static_cast<std::uint32_t>(first.size() / 2);
        const double total = std::ldexp(std::ldexp(1.0, 52) + odd, static_cast<int>(exponent));
        return std::ldexp(added_in_double(total, first, second, side, pairs) - total,
                          -static_cast<int>(exponent));
    };
    const auto check = [&](const Kernels& kernel, unsigned exponent, bool odd, const Samples& first,
                           const Samples& second) {
        const auto pairs = static_cast<std::uint32_t>(first.size() / 2);
        const RoundingSide side{exponent, odd};
        const RoundedSums sums = kernel.sum_rounded_squares(first.data(), second.data(), pairs, side, side);
        for (std::size_t s = 0; s < 2; ++s) {
            EXPECT_EQ(s == 0 ? sums.left : sums.right, moved(exponent, odd, first, second, s))
                << kernel.name << ", spacing 2^" << exponent << (odd ? ", odd" : ", even") << ", " << pairs
                << " pairs, side " << s;
        }
    };
    // What an odd start changes, against the same additions from an even and an odd start.
    const auto check_odd_start = [&](unsigned exponent, const Samples& first, const Samples& second) {
        const auto pairs = static_cast<std::uint32_t>(first.size() / 2);
        const OddStartChanges changes =
            odd_start_changes(first.data(), second.data(), pairs, exponent, exponent);
        for (std::size_t s = 0; s < 2; ++s) {
            EXPECT_EQ(s == 0 ? changes.left : changes.right,
                      moved(exponent, true, first, second, s) - moved(exponent, false, first, second, s))
                << "spacing 2^" << exponent << ", " << pairs << " pairs, side " << s;
        }
    };
    std::mt19937 random(75);
    std::uniform_int_distribution<int> any_sample(-32768, 32767);
    const std::uint32_t pair_counts[] = {0, 1, 31, 32, 33, 255, 256, 257, 300, 777};
    for (const Kernels& kernel : runnable_kernels()) {
        for (unsigned exponent = 1; exponent <= LAST_ROUNDING_EXPONENT; ++exponent) {
            const std::uint32_t pairs = pair_counts[exponent % std::size(pair_counts)];
            Samples first(2 * std::size_t{pairs});
            Samples second(first.size());
            // Squares of odd multiples of 2^((s - 1) / 2) are ties at odd s.
            const int tie_shift = static_cast<int>(exponent - 1) / 2;
            for (std::size_t i = 0; i < first.size(); ++i) {
                if (exponent % 2 == 1 && i % 3 != 0) {
                    set_apart_by_odd_multiple(first[i], second[i], tie_shift, random);
                } else {
                    first[i] = static_cast<std::int16_t>(any_sample(random));
                    second[i] = static_cast<std::int16_t>(any_sample(random));
                }
            }
            check(kernel, exponent, false, first, second);
            check(kernel, exponent, true, first, second);
            check_odd_start(exponent, first, second);
            // The first ties only past the first words, behind squares that
            // round both ways: differences with one factor 2 more are no ties.
            constexpr int SAMPLE_BITS = 16;
            Samples late_first = first;
            Samples late_second = second;
            for (std::size_t i = 0; i < late_first.size() / 2 && tie_shift + 1 < SAMPLE_BITS; ++i) {
                set_apart_by_odd_multiple(late_first[i], late_second[i], tie_shift + 1, random);
            }
            check_odd_start(exponent, late_first, late_second);
        }
        constexpr std::size_t LONG_PAIRS = (std::size_t{1} << 20) + 5 * 32 + 3;
        check(kernel, 1, true, Samples(2 * LONG_PAIRS, -32768), Samples(2 * LONG_PAIRS, 32767));
    }
}

// Every kernel this CPU can run, against a plain sum: on random blocks of every small size, and on
// full-span squares long enough to need several flushes of the vector lanes
// into the 64-bit totals.
TEST(PsnrMeter, IntegerSquareSumsAreExactInEveryKernel) {
    const std::span<const Kernels> kernels = runnable_kernels();
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
        for (const Kernels& kernel : kernels) {
            const SquareSums sums = kernel.sum_squares(first.data(), second.data(), pairs);
            EXPECT_EQ(sums.left, expected.left) << kernel.name << ", " << pairs << " pairs";
            EXPECT_EQ(sums.right, expected.right) << kernel.name << ", " << pairs << " pairs";
        }
    }
    constexpr std::uint32_t LONG_PAIRS = (1U << 21) + 5;
    const Samples lowest(2 * std::size_t{LONG_PAIRS}, -32768);
    Samples highest(2 * std::size_t{LONG_PAIRS}, 32767);
    // The right side is one smaller, so a mix-up of the sides shows too.
    for (std::size_t i = 1; i < highest.size(); i += 2) {
        highest[i] = 32766;
    }
    for (const Kernels& kernel : kernels) {
        const SquareSums sums = kernel.sum_squares(lowest.data(), highest.data(), LONG_PAIRS);
        EXPECT_EQ(sums.left, std::uint64_t{LONG_PAIRS} * 65535 * 65535) << kernel.name;
        EXPECT_EQ(sums.right, std::uint64_t{LONG_PAIRS} * 65534 * 65534) << kernel.name;
    }
}
