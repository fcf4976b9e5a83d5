// The measurement block by block, through the library's own reading and the
// tool's, against whole blocks read at once.
#include <gtest/gtest.h>
#include <vorik/measurement.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "block_reference.h"
#include "every_kernel.h"
#include "failing_stream.h"
#include "file_source.h"
#include "platform/console_and_files.h"
#include "scratch_stream.h"
#include "wav_writer.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace vorik;
using namespace vorik_test;

// How an input is taken: read in chunks of `capacity`, by the library, or
// by the tool, which watches a regular file for a cut.
struct Reading {
    std::uint32_t capacity;
    bool by_the_tool = false;
};

// A measurement of two streams of bare samples in blocks of `block_samples`,
// each input taken as its Reading says, one block at a time.
struct MeasuredRun {
    MeasuredRun(std::FILE* first, std::FILE* second, std::uint32_t block_samples,
                const Reading& first_reading, const Reading& second_reading) {
        WaveHeader header{};
        header.channels = 1;
        header.sample_rate = block_samples;
        header.bits_per_sample = 16;
        start_measurement(measurement, first, header, second, header);
        take(measurement.reading.first, measurement.reading.first_stream, first_file, first_reading);
        take(measurement.reading.second, measurement.reading.second_stream, second_file, second_reading);
    }
    ~MeasuredRun() { finish_measurement(measurement); }
    MeasuredRun(const MeasuredRun&) = delete;
    MeasuredRun& operator=(const MeasuredRun&) = delete;

    Outcome to_the_end() {
        while (measure_next_block(measurement)) {
        }
        return {measurement.blocks, measurement.state, measurement.accumulator};
    }

    Measurement measurement{};
    FileSource first_file{};
    FileSource second_file{};

   private:
    // The library reads its buffer in chunks of `capacity` here, at most
    // what it allocated, to cut blocks small.
    static void take(detail::SampleSource& source, detail::StreamInput& stream, FileSource& file,
                     const Reading& reading) {
        stream.capacity = std::min(stream.capacity, reading.capacity);
        if (reading.by_the_tool && read_from_file(file, stream, 0)) {
            source = file_sample_source(file);
        }
    }
};

TEST(Measurement, ChunkedReadingMatchesWholeBlocks) {
    on_every_kernel([&](const vorik::detail::Kernels&) {
        std::mt19937 random(7);
        // Odd blocks, and one that spans several pages of the file.
        const std::uint32_t block_sizes[] = {1, 2, 3, 7, 8, 9, 16, 33, 5001};
        for (const std::uint32_t block : block_sizes) {
            // Even chunks smaller than the block, and one chunk for the whole block.
            const std::uint32_t capacities[] = {2, 4, 6, block};
            for (const std::uint32_t capacity : capacities) {
                // The library's reading, the tool's, and one of each.
                const Reading readings[][2] = {{{capacity}, {capacity}},
                                               {{capacity, true}, {capacity, true}},
                                               {{capacity, true}, {capacity}}};
                // Equal lengths, one file ending on a block boundary, and unequal
                // lengths inside a block, including at a chunk's edge.
                const std::size_t lengths[][2] = {{0, 0},
                                                  {5 * block, 5 * block},
                                                  {3 * block + 1, 3 * block + 1},
                                                  {2 * block, 3 * block + 2},
                                                  {3 * block + 1, 3 * block},
                                                  {2 * block + capacity, 2 * block + capacity + 1},
                                                  {block + 1, 0}};
                for (const auto& length : lengths) {
                    const Samples first = random_samples(random, length[0]);
                    const Samples second = random_samples(random, length[1]);
                    const Outcome expected = whole_block_reference(first, second, block);
                    for (const auto& [first_reading, second_reading] : readings) {
                        std::FILE* first_file = stream_of(first);
                        std::FILE* second_file = stream_of(second);
                        SCOPED_TRACE(testing::Message()
                                     << "block " << block << ", capacity " << capacity << ", by the tool "
                                     << first_reading.by_the_tool << "/" << second_reading.by_the_tool
                                     << ", lengths " << length[0] << "/" << length[1]);
                        {
                            MeasuredRun run(first_file, second_file, block, first_reading, second_reading);
                            expect_same(expected, run.to_the_end());
                        }
                        std::fclose(first_file);
                        std::fclose(second_file);
                    }
                }
            }
        }
    });
}

TEST(Measurement, TrailingOddByteIsNoSample) {
    std::FILE* first_file = stream_of({1, 2, 3}, 1);
    std::FILE* second_file = stream_of({4, 5, 6});
    {
        MeasuredRun run(first_file, second_file, 4, {2}, {2});
        const Outcome outcome = run.to_the_end();
        EXPECT_EQ(outcome.state, MeasurementState::finished);
        EXPECT_EQ(outcome.blocks, 1u);
        EXPECT_EQ(outcome.totals.pairs, 1u);
    }
    std::fclose(first_file);
    std::fclose(second_file);
}

TEST(Measurement, UnequalBlockLeavesTheTotalsUntouched) {
    // The counts first differ in the block's last chunk, after earlier
    // chunks of the block were equal.
    std::FILE* first_file = stream_of(Samples(8, 1));
    std::FILE* second_file = stream_of(Samples(7, 0));
    {
        MeasuredRun run(first_file, second_file, 8, {2}, {2});
        const Outcome outcome = run.to_the_end();
        EXPECT_EQ(outcome.state, MeasurementState::sizes_differ);
        EXPECT_EQ(outcome.blocks, 0u);
        EXPECT_EQ(outcome.totals.pairs, 0u);
        EXPECT_EQ(outcome.totals.sum_sq_left, 0.0);
    }
    std::fclose(first_file);
    std::fclose(second_file);
}

TEST(Measurement, RefusalsMeasureNothing) {
    const auto header = [](std::uint16_t channels, std::uint32_t sample_rate, std::uint16_t bits) {
        WaveHeader h{};
        h.channels = channels;
        h.sample_rate = sample_rate;
        h.bits_per_sample = bits;
        return h;
    };
    struct Case {
        WaveHeader first;
        WaveHeader second;
        MeasurementState expected;
    };
    // Each check comes before the ones below it: a pair that fails several
    // is refused by the first.
    const Case cases[] = {{header(2, 8, 16), header(1, 16, 8), MeasurementState::sample_rates_differ},
                          {header(2, 8, 16), header(1, 8, 24), MeasurementState::sample_widths_differ},
                          {header(2, 8, 8), header(1, 8, 8), MeasurementState::sample_width_not_16},
                          {header(2, 8, 24), header(2, 8, 24), MeasurementState::sample_width_not_16},
                          {header(2, 8, 32), header(2, 8, 32), MeasurementState::sample_width_not_16},
                          {header(1, 8, 16), header(2, 8, 16), MeasurementState::channels_differ},
                          {header(0, 8, 16), header(2, 8, 16), MeasurementState::channels_differ},
                          {header(0, 8, 16), header(0, 8, 16), MeasurementState::empty_block},
                          {header(2, 0, 16), header(2, 0, 16), MeasurementState::empty_block},
                          {header(6, 8, 16), header(6, 8, 16), MeasurementState::measuring}};
    for (const Case& c : cases) {
        Measurement measurement{};
        start_measurement(measurement, nullptr, c.first, nullptr, c.second);
        EXPECT_EQ(measurement.state, c.expected)
            << c.first.channels << "/" << c.second.channels << " channels, " << c.first.bits_per_sample << "/"
            << c.second.bits_per_sample << " bits";
        EXPECT_EQ(measurement.result.left_db, PSNR_IDENTICAL);
        finish_measurement(measurement);
    }
}

// A record used out of turn answers false and says so; it never reads
// through a null buffer or leaks what it held (the sanitizer build checks
// the leaks).
TEST(Measurement, MisuseIsAnsweredNotCrashed) {
    static_assert(!std::is_copy_constructible_v<Measurement> && !std::is_move_constructible_v<Measurement> &&
                      !std::is_copy_assignable_v<Measurement> && !std::is_move_assignable_v<Measurement>,
                  "a started measurement points into itself: it must stay where it is");
    WaveHeader header{};
    header.channels = 1;
    header.sample_rate = 4;
    header.bits_per_sample = 16;
    const Samples first_samples = {1, 2, 3, 4, 5, 6, 7, 8};
    const Samples second_samples = {1, 2, 3, 4, 5, 6, 7, 9};

    Measurement never_started;
    EXPECT_FALSE(measure_next_block(never_started));
    EXPECT_EQ(never_started.state, MeasurementState::not_started);
    EXPECT_EQ(never_started.result.left_db, PSNR_IDENTICAL);
    finish_measurement(never_started);
    EXPECT_EQ(never_started.state, MeasurementState::not_started);

    std::FILE* first = stream_of(first_samples);
    std::FILE* second = stream_of(second_samples);
    Measurement measurement{};
    start_measurement(measurement, first, header, second, header);
    ASSERT_TRUE(measure_next_block(measurement));
    // Started again on other inputs: it starts afresh on them.
    std::FILE* third = stream_of(second_samples);
    std::FILE* fourth = stream_of(first_samples);
    start_measurement(measurement, third, header, fourth, header);
    EXPECT_EQ(measurement.blocks, 0u);
    ASSERT_TRUE(measure_next_block(measurement));
    ASSERT_TRUE(measure_next_block(measurement));
    // Only the last pair differs, by one: a mean square of 1/4 on the right.
    EXPECT_EQ(measurement.accumulator.pairs, 4u);
    EXPECT_EQ(measurement.accumulator.sum_sq_left, 0.0);
    EXPECT_EQ(measurement.accumulator.sum_sq_right, 1.0);
    // Finished before its end: stopped, and no block more.
    finish_measurement(measurement);
    EXPECT_EQ(measurement.state, MeasurementState::stopped);
    EXPECT_FALSE(measure_next_block(measurement));
    EXPECT_EQ(measurement.blocks, 2u);
    finish_measurement(measurement);
    for (std::FILE* file : {first, second, third, fourth}) {
        std::fclose(file);
    }
}

#ifdef __GLIBC__
TEST(Measurement, ReadErrorIsToldApartFromTheEnd) {
    // The second file fails in the block's second chunk; with silence in
    // both, the first chunk alone would have agreed and been measured. Then
    // a failure on the first read of a block, where a plain end would look
    // exactly the same: a count of zero.
    for (const std::size_t good_bytes : {std::size_t{6}, std::size_t{0}}) {
        const Samples silence(8, 0);
        FailingSource source{samples_bytes(silence), good_bytes};
        std::FILE* failing = failing_stream(source, false);
        std::FILE* healthy = stream_of(silence);
        {
            MeasuredRun run(healthy, failing, 8, {2}, {2});
            const Outcome outcome = run.to_the_end();
            EXPECT_EQ(outcome.state, MeasurementState::read_failed) << good_bytes;
            EXPECT_EQ(outcome.totals.pairs, 0u) << good_bytes;
        }
        std::fclose(failing);
        std::fclose(healthy);
    }
}
#endif

#ifndef _WIN32
// The tool takes a regular file itself, pipes and devices not.
TEST(Measurement, OnlyRegularFilesAreTakenByTheTool) {
    const vorik_test::ScratchDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* label;
        std::FILE* file;
        bool regular;
    };
    const Case cases[] = {{"regular file", stream_of(Samples(8, 1)), true},
                          // read-write: no wait for a writer
                          {"fifo", std::fopen(fifo.c_str(), "r+b"), false},
                          {"/dev/null", std::fopen("/dev/null", "rb"), false}};
    for (const Case& c : cases) {
        ASSERT_NE(c.file, nullptr) << c.label;
        detail::StreamInput stream{c.file, nullptr, 0};
        FileSource source{};
        EXPECT_EQ(read_from_file(source, stream, 0), c.regular) << c.label;
        std::fclose(c.file);
    }
}

// A file read one block at a time and cut on a block boundary ahead of the
// reader reads as if it ended there; only its size tells that it was cut.
TEST(Measurement, FileCutWhileReadFailsTheRead) {
    constexpr std::uint32_t BLOCK = 6000;
    std::mt19937 random(12);
    const Samples samples = random_samples(random, 3 * BLOCK);
    std::FILE* cut = stream_of(samples);
    std::FILE* intact = stream_of(samples);
    {
        MeasuredRun run(cut, intact, BLOCK, {2, true}, {2, true});
        ASSERT_TRUE(measure_next_block(run.measurement));
        ASSERT_EQ(ftruncate(fileno(cut), static_cast<off_t>(2 * BLOCK * sizeof(std::int16_t))), 0);
        EXPECT_TRUE(measure_next_block(run.measurement));
        EXPECT_FALSE(measure_next_block(run.measurement));
        EXPECT_EQ(run.measurement.state, MeasurementState::read_failed);
        EXPECT_EQ(run.measurement.accumulator.sum_sq_left, 0.0);
    }
    std::fclose(cut);
    std::fclose(intact);
}

// A file that grew while it was measured, and was read past its size at
// the start, has lost samples that were read when it is cut back, even to
// exactly that size; the other file grows alike.
TEST(Measurement, GrownThenCutBackToTheStartSizeFailsTheRead) {
    constexpr std::uint32_t BLOCK = 6000;
    std::mt19937 random(13);
    const Samples samples = random_samples(random, 4 * BLOCK);
    const Samples start(samples.begin(), samples.begin() + 2 * BLOCK);
    const Samples more(samples.begin() + 2 * BLOCK, samples.end());
    std::FILE* cut = stream_of(start);
    std::FILE* intact = stream_of(start);
    {
        MeasuredRun run(cut, intact, BLOCK, {BLOCK, true}, {BLOCK, true});
        ASSERT_TRUE(measure_next_block(run.measurement));
        for (std::FILE* file : {cut, intact}) {
            std::fseek(file, 0, SEEK_END);
            std::fwrite(more.data(), sizeof(std::int16_t), more.size(), file);
            std::fflush(file);
        }
        ASSERT_TRUE(measure_next_block(run.measurement));
        ASSERT_TRUE(measure_next_block(run.measurement));
        ASSERT_EQ(ftruncate(fileno(cut), static_cast<off_t>(start.size() * sizeof(std::int16_t))), 0);
        EXPECT_FALSE(measure_next_block(run.measurement));
        EXPECT_EQ(run.measurement.state, MeasurementState::read_failed);
    }
    std::fclose(cut);
    std::fclose(intact);
}

// Some file systems give a file that grows its new size before a read gets
// its new bytes (a FUSE file system that passes the file on): a read that
// comes short where the size says there is more is made again.
std::uint64_t lagging_from = 0;  // the first read from here gives nothing

std::int64_t read_lagging_once(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
    if (offset >= lagging_from) {
        lagging_from = UINT64_MAX;
        return 0;
    }
    return read_file_at(file, offset, buffer, bytes);
}

TEST(Measurement, ShortReadWhereTheSizeSaysMoreIsMadeAgain) {
    constexpr std::uint32_t BLOCK = 6000;
    std::mt19937 random(15);
    const Samples samples = random_samples(random, 3 * BLOCK);
    const Outcome expected = whole_block_reference(samples, samples, BLOCK);
    std::FILE* lagging = stream_of(samples);
    std::FILE* intact = stream_of(samples);
    {
        MeasuredRun run(lagging, intact, BLOCK, {BLOCK, true}, {BLOCK, true});
        lagging_from = 2 * BLOCK * sizeof(std::int16_t);
        run.first_file.read_at = read_lagging_once;
        expect_same(expected, run.to_the_end());
    }
    std::fclose(lagging);
    std::fclose(intact);
}

// A lone last byte is no sample: taking it away while the file is measured
// loses nothing, and the measurement finishes.
TEST(Measurement, LoneLastByteTakenAwayIsNoCut) {
    constexpr std::uint32_t BLOCK = 6000;
    std::mt19937 random(14);
    const Samples samples = random_samples(random, 3 * BLOCK);
    const Outcome expected = whole_block_reference(samples, samples, BLOCK);
    std::FILE* trimmed = stream_of(samples, 1);
    std::FILE* intact = stream_of(samples);
    {
        MeasuredRun run(trimmed, intact, BLOCK, {BLOCK, true}, {BLOCK, true});
        ASSERT_TRUE(measure_next_block(run.measurement));
        ASSERT_EQ(ftruncate(fileno(trimmed), static_cast<off_t>(samples.size() * sizeof(std::int16_t))), 0);
        expect_same(expected, run.to_the_end());
    }
    std::fclose(trimmed);
    std::fclose(intact);
}

#endif

}  // namespace
