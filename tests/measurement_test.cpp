// The measurement block by block, through the library's own reading and the
// tool's, one block at a time and by several threads, against whole blocks
// read at once.
#include <gtest/gtest.h>
#include <vorik/measurement.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "file_source.h"
#include "parallel_measurement.h"
#include "scratch_stream.h"
#include "wav_writer.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace vorik;
using Samples = std::vector<std::int16_t>;

// A temporary stream holding `samples` little-endian, plus `extra_bytes` odd bytes.
std::FILE* stream_of(const Samples& samples, int extra_bytes = 0) {
    std::FILE* file = vorik_test::scratch_stream();
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        std::fputc(bits & 0xFF, file);
        std::fputc(bits >> 8, file);
    }
    for (int i = 0; i < extra_bytes; ++i) {
        std::fputc(0x7F, file);
    }
    std::rewind(file);
    return file;
}

Samples random_samples(std::mt19937& random, std::size_t count) {
    std::uniform_int_distribution<int> sample(-32768, 32767);
    Samples samples(count);
    for (std::int16_t& s : samples) {
        s = static_cast<std::int16_t>(sample(random));
    }
    return samples;
}

struct Outcome {
    std::uint64_t blocks;
    MeasurementState state;
    PsnrAccumulator totals;
};

// Whole blocks read at once: stop at the first pass with a zero or unequal count.
Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples,
                              const PsnrAccumulator& start = {}) {
    Outcome outcome{0, MeasurementState::finished, start};
    for (std::size_t at = 0;; at += block_samples) {
        const auto remaining = [&](const Samples& s) {
            return static_cast<std::uint32_t>(
                std::min<std::size_t>(block_samples, s.size() - std::min(at, s.size())));
        };
        const std::uint32_t first_count = remaining(first);
        const std::uint32_t second_count = remaining(second);
        if (first_count == 0 || second_count == 0) {
            return outcome;
        }
        if (first_count != second_count) {
            outcome.state = MeasurementState::sizes_differ;
            return outcome;
        }
        accumulate_block(outcome.totals, first.data() + at, second.data() + at, first_count);
        ++outcome.blocks;
    }
}

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
        take(measurement.first, measurement.first_stream, first_file, first_reading);
        take(measurement.second, measurement.second_stream, second_file, second_reading);
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
    static void take(SampleSource& source, StreamInput& stream, FileSource& file, const Reading& reading) {
        stream.capacity = std::min(stream.capacity, reading.capacity);
        if (reading.by_the_tool && take_from_file(file, stream)) {
            source = file_sample_source(file);
        }
    }
};

void expect_same(const Outcome& expected, const Outcome& actual) {
    EXPECT_EQ(expected.blocks, actual.blocks);
    EXPECT_EQ(expected.state, actual.state);
    EXPECT_EQ(expected.totals.frames, actual.totals.frames);
    // Bit for bit: the pieces must keep the in-order summation.
    EXPECT_EQ(std::memcmp(&expected.totals.sum_sq_left, &actual.totals.sum_sq_left, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&expected.totals.sum_sq_right, &actual.totals.sum_sq_right, sizeof(double)), 0);
}

TEST(Measurement, ChunkedReadingMatchesWholeBlocks) {
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
}

TEST(Measurement, TrailingOddByteIsNoSample) {
    std::FILE* first_file = stream_of({1, 2, 3}, 1);
    std::FILE* second_file = stream_of({4, 5, 6});
    {
        MeasuredRun run(first_file, second_file, 4, {2}, {2});
        const Outcome outcome = run.to_the_end();
        EXPECT_EQ(outcome.state, MeasurementState::finished);
        EXPECT_EQ(outcome.blocks, 1u);
        EXPECT_EQ(outcome.totals.frames, 1u);
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
        EXPECT_EQ(outcome.totals.frames, 0u);
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
    EXPECT_EQ(measurement.accumulator.frames, 4u);
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
// A stream that gives `good_bytes` bytes of silence and then fails.
struct FailingSource {
    std::size_t good_bytes;
};

ssize_t read_then_fail(void* cookie, char* buffer, std::size_t size) {
    auto* source = static_cast<FailingSource*>(cookie);
    if (source->good_bytes == 0) {
        return -1;
    }
    const std::size_t given = std::min(size, source->good_bytes);
    std::memset(buffer, 0, given);
    source->good_bytes -= given;
    return static_cast<ssize_t>(given);
}

std::FILE* failing_stream(FailingSource& source) {
    const cookie_io_functions_t functions{read_then_fail, nullptr, nullptr, nullptr};
    std::FILE* file = fopencookie(&source, "rb", functions);
    // Unbuffered, so the failure lands exactly where the data stops.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

TEST(Measurement, ReadErrorIsToldApartFromTheEnd) {
    // The second file fails in the block's second chunk; with silence in
    // both, the first chunk alone would have agreed and been measured. Then
    // a failure on the first read of a block, where a plain end would look
    // exactly the same: a count of zero.
    for (const std::size_t good_bytes : {std::size_t{6}, std::size_t{0}}) {
        FailingSource source{good_bytes};
        std::FILE* failing = failing_stream(source);
        std::FILE* healthy = stream_of(Samples(8, 0));
        {
            MeasuredRun run(healthy, failing, 8, {2}, {2});
            const Outcome outcome = run.to_the_end();
            EXPECT_EQ(outcome.state, MeasurementState::read_failed) << good_bytes;
            EXPECT_EQ(outcome.totals.frames, 0u) << good_bytes;
        }
        std::fclose(failing);
        std::fclose(healthy);
    }
}
#endif

#ifndef _WIN32
// The tool takes a regular file itself, pipes and devices not; it maps only
// a file whose data covers it, without holes (a memory file system would
// fill them), even where space allocated past its end hides them.
TEST(Measurement, OnlyRegularFilesAreTakenByTheToolAndOnlyWholeOnesMapped) {
    const vorik_test::ScratchDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    constexpr off_t HOLE_BYTES = off_t{1} << 20;
    std::FILE* sparse = vorik_test::scratch_stream();
    ASSERT_EQ(ftruncate(fileno(sparse), HOLE_BYTES), 0);
    std::FILE* allocated_past_end = stream_of(Samples(8, 1));
    ASSERT_EQ(ftruncate(fileno(allocated_past_end), HOLE_BYTES), 0);
    ASSERT_EQ(fallocate(fileno(allocated_past_end), FALLOC_FL_KEEP_SIZE, HOLE_BYTES, 2 * HOLE_BYTES), 0);
    struct stat status {};
    ASSERT_EQ(fstat(fileno(allocated_past_end), &status), 0);
    ASSERT_GE(status.st_blocks * 512, status.st_size) << "the blocks must hide the hole";
    struct Case {
        const char* label;
        std::FILE* file;
        bool regular;
        bool whole;
    };
    const Case cases[] = {
        {"regular file", stream_of(Samples(8, 1)), true, true},
        {"fifo", std::fopen(fifo.c_str(), "r+b"), false, false},  // read-write: no wait for a writer
        {"/dev/null", std::fopen("/dev/null", "rb"), false, false},
        {"file with holes", sparse, true, false},
        {"holes behind space allocated past the end", allocated_past_end, true, false}};
    for (const Case& c : cases) {
        ASSERT_NE(c.file, nullptr) << c.label;
        StreamInput stream{c.file, nullptr, 0};
        FileSource source{};
        EXPECT_EQ(take_from_file(source, stream), c.regular) << c.label;
        if (c.regular) {
            EXPECT_EQ(data_covers_file_from(c.file, 0), c.whole) << c.label;
            // Asking for holes leaves the stream where it stood: at a sample
            // of 1, or in a hole.
            EXPECT_EQ(std::fgetc(c.file), c.file == sparse ? 0 : 1) << c.label;
        }
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

// --- Several threads -------------------------------------------------------

// A file as the tool sees it once the header is read: 44 bytes, then the
// samples, its stream standing at the first.
std::FILE* wav_stream_of(const Samples& samples) {
    std::FILE* file = vorik_test::scratch_stream();
    const std::vector<unsigned char> header(WAVE_HEADER_BYTES, 0);
    std::fwrite(header.data(), 1, header.size(), file);
    if (!samples.empty()) {
        std::fwrite(samples.data(), sizeof(std::int16_t), samples.size(), file);
    }
    std::fflush(file);
    std::fseek(file, static_cast<long>(WAVE_HEADER_BYTES), SEEK_SET);
    return file;
}

// How the threads take their slabs.
enum class Ways { read, mapped, as_they_choose };

// Two files measured by `threads` threads, from the totals `start`.
struct ParallelRun {
    ParallelRun(std::FILE* first, std::FILE* second, std::uint32_t block_samples, Ways ways, unsigned threads,
                const PsnrAccumulator& start) {
        WaveHeader header{};
        header.channels = 2;
        header.sample_rate = block_samples / 2;
        header.bits_per_sample = 16;
        start_measurement(measurement, first, header, second, header);
        started = start_parallel_measurement(parallel, measurement);
        parallel.threads = std::min(parallel.threads, threads);
        parallel.accumulator = start;
        parallel.files_map = parallel.files_map && ways != Ways::read;
        if (ways == Ways::mapped) {
            // Reading priced out, and never tried again within a test.
            constexpr std::uint64_t NEVER = std::uint64_t{1} << 40;
            for (SlabTaker& taker : parallel.takers) {
                taker.costs[static_cast<std::size_t>(SlabWay::read)] = {1.0, NEVER, NEVER, true};
                taker.costs[static_cast<std::size_t>(SlabWay::mapped)] = {0.0, 0, NEVER, true};
            }
        }
    }
    ~ParallelRun() {
        finish_parallel_measurement(parallel);
        finish_measurement(measurement);
    }
    ParallelRun(const ParallelRun&) = delete;
    ParallelRun& operator=(const ParallelRun&) = delete;

    Outcome to_the_end() {
        std::uint64_t blocks = 0;
        while (measure_next_in_parallel(parallel)) {
            ++blocks;
        }
        return {blocks, parallel.ending, parallel.accumulator};
    }

    Measurement measurement{};
    ParallelMeasurement parallel{};
    bool started = false;
};

// Files over several slabs, measured by one thread and by two, read, mapped
// or as the threads choose, in blocks smaller and larger than a slab, from
// totals that stay below 2^53, cross it, or lie past it where every addition
// rounds: the same blocks, ending and totals as whole blocks in order.
TEST(Measurement, ThreadsMatchWholeBlocks) {
    std::mt19937 random(22);
    const std::uint32_t blocks[] = {LEAST_BLOCK_SAMPLES, 88200, 3 * SLAB_SAMPLES / 2};
    const std::size_t slabs_long = 3 * SLAB_SAMPLES + SLAB_SAMPLES / 3;
    // Equal lengths; the second ending within a block and on a block's
    // boundary (of the smallest block); no samples in one.
    const std::size_t lengths[][2] = {{slabs_long, slabs_long},
                                      {slabs_long, slabs_long - 1000},
                                      {slabs_long, 5 * LEAST_BLOCK_SAMPLES},
                                      {0, slabs_long}};
    const double EXACT_LIMIT = std::ldexp(1.0, 53);
    const PsnrAccumulator starts[] = {
        {0, 0.0, 0.0},
        // Crossing 2^53 inside the second slab on the left, inside the first on the right.
        {0, EXACT_LIMIT - std::ldexp(1.0, 49), EXACT_LIMIT - std::ldexp(1.0, 44)},
        {0, std::ldexp(1.0, 57) + 96.0, std::ldexp(1.0, 55) + 8.0}};
    for (const auto& length : lengths) {
        const Samples first = random_samples(random, length[0]);
        const Samples second = random_samples(random, length[1]);
        std::FILE* first_file = wav_stream_of(first);
        std::FILE* second_file = wav_stream_of(second);
        for (const std::uint32_t block : blocks) {
            for (const PsnrAccumulator& start : starts) {
                const Outcome expected = whole_block_reference(first, second, block, start);
                for (const Ways ways : {Ways::read, Ways::mapped, Ways::as_they_choose}) {
                    for (const unsigned threads : {1U, MOST_THREADS}) {
                        SCOPED_TRACE(testing::Message()
                                     << "block " << block << ", lengths " << length[0] << "/" << length[1]
                                     << ", from " << start.sum_sq_left << ", ways " << static_cast<int>(ways)
                                     << ", " << threads << " threads");
                        std::fseek(first_file, static_cast<long>(WAVE_HEADER_BYTES), SEEK_SET);
                        std::fseek(second_file, static_cast<long>(WAVE_HEADER_BYTES), SEEK_SET);
                        ParallelRun run(first_file, second_file, block, ways, threads, start);
                        ASSERT_TRUE(run.started);
                        expect_same(expected, run.to_the_end());
                    }
                }
            }
        }
        std::fclose(first_file);
        std::fclose(second_file);
    }
}

// Files that change while threads measure them: one that grows is measured
// to its new end, as a read would; one cut short fails the read, whether
// its slab is read (a short read) or mapped (pages that vanish, or zeros
// past the new end in the page it ends in), and nothing of it is kept.
TEST(Measurement, FilesThatChangeWhileThreadsMeasureThem) {
    constexpr std::uint32_t BLOCK = 88200;
    std::mt19937 random(23);
    const Samples samples = random_samples(random, 4 * SLAB_SAMPLES);
    const Samples first_half(samples.begin(), samples.begin() + 2 * SLAB_SAMPLES);

    std::FILE* growing = wav_stream_of(first_half);
    std::FILE* whole = wav_stream_of(samples);
    {
        ParallelRun run(growing, whole, BLOCK, Ways::as_they_choose, MOST_THREADS, {});
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(measure_next_in_parallel(run.parallel));
        const auto written = static_cast<off_t>(WAVE_HEADER_BYTES + first_half.size() * sizeof(std::int16_t));
        const std::size_t rest = (samples.size() - first_half.size()) * sizeof(std::int16_t);
        ASSERT_EQ(pwrite(fileno(growing), samples.data() + first_half.size(), rest, written),
                  static_cast<ssize_t>(rest));
        Outcome outcome = run.to_the_end();
        EXPECT_EQ(outcome.blocks + 1, whole_block_reference(samples, samples, BLOCK).blocks);
        EXPECT_EQ(outcome.state, MeasurementState::finished);
    }
    std::fclose(growing);
    std::fclose(whole);

    // Cut ahead of the threads, which take slabs at most SLABS_AHEAD ahead of
    // the one added: once the first block is out, inside a slab beyond those,
    // within a page and a block, where mapped pages past the new end vanish;
    // and before they start, 100 bytes before the end of the third block of a
    // file whose end lies in the same page, where none does and only the
    // file's size tells of the zeros past its new end.
    const Samples long_samples = random_samples(random, (SLABS_AHEAD + 4) * SLAB_SAMPLES);
    const Samples short_samples(samples.begin(), samples.begin() + 3 * BLOCK + 50);
    struct Cut {
        Ways ways;
        const Samples* samples;
        std::uint64_t samples_kept;
        bool after_a_block;
    };
    const std::uint64_t beyond_the_slabs_ahead = (SLABS_AHEAD + 2) * SLAB_SAMPLES + SLAB_SAMPLES / 2 + 1001;
    const std::uint64_t before_third_block_ends = 3 * BLOCK - 50;
    const Cut cuts[] = {{Ways::read, &long_samples, beyond_the_slabs_ahead, true},
                        {Ways::mapped, &long_samples, beyond_the_slabs_ahead, true},
                        {Ways::mapped, &short_samples, before_third_block_ends, false}};
    for (const Cut& c : cuts) {
        std::FILE* cut = wav_stream_of(*c.samples);
        std::FILE* intact = wav_stream_of(*c.samples);
        const auto cut_bytes = static_cast<off_t>(WAVE_HEADER_BYTES + c.samples_kept * sizeof(std::int16_t));
        SCOPED_TRACE(testing::Message() << "ways " << static_cast<int>(c.ways) << ", cut to " << cut_bytes);
        {
            ParallelRun run(cut, intact, BLOCK, c.ways, MOST_THREADS, {});
            ASSERT_TRUE(run.started);
            ASSERT_TRUE(!c.after_a_block || measure_next_in_parallel(run.parallel));
            ASSERT_EQ(ftruncate(fileno(cut), cut_bytes), 0);
            std::uint64_t blocks = c.after_a_block ? 1 : 0;
            while (measure_next_in_parallel(run.parallel)) {
                ++blocks;
                // Alike files: every block kept is silent.
                EXPECT_EQ(run.parallel.result.left_db, PSNR_IDENTICAL);
            }
            EXPECT_EQ(run.parallel.ending, MeasurementState::read_failed);
            // No block that reaches past the cut is kept.
            EXPECT_LE(blocks * BLOCK, c.samples_kept);
        }
        std::fclose(cut);
        std::fclose(intact);
    }
}
#endif

}  // namespace
