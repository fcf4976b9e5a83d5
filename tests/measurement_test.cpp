// The measurement block by block, through the library's own reading and the
// tool's mapped reading, against whole blocks read at once.
#include <gtest/gtest.h>
#include <vorik/measurement.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <type_traits>
#include <vector>

#include "file_source.h"
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
Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples) {
    Outcome outcome{0, MeasurementState::finished, {}};
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

// How an input is taken: through a mapping with windows of `window_bytes`
// where the file allows it, else read in chunks of `capacity`: by the tool,
// which watches a regular file's size, or by the library.
struct Reading {
    std::size_t window_bytes;  // 0: always read through the stream
    std::uint32_t capacity;
    bool by_the_tool = false;  // always so where mapped
};

// A measurement of two streams of bare samples in blocks of `block_samples`,
// each input taken as its Reading says, as the tool takes them.
struct MeasuredRun {
    MeasuredRun(std::FILE* first, std::FILE* second, std::uint32_t block_samples,
                const Reading& first_reading, const Reading& second_reading) {
        WaveHeader header{};
        header.channels = 1;
        header.sample_rate = block_samples;
        header.bits_per_sample = 16;
        start_measurement(measurement, first, header, second, header);
        take(measurement.first, measurement.first_stream, first_mapped, first_reading);
        take(measurement.second, measurement.second_stream, second_mapped, second_reading);
    }
    ~MeasuredRun() {
        release_file_source(first_mapped);
        release_file_source(second_mapped);
        finish_measurement(measurement);
    }
    MeasuredRun(const MeasuredRun&) = delete;
    MeasuredRun& operator=(const MeasuredRun&) = delete;

    // Measures the next block as the tool does, guarded against vanished
    // pages; false when the measurement ended, or a page vanished.
    bool next_block() {
        struct Step {
            Measurement* measurement;
            bool measured;
        } step{&measurement, false};
        vanished = !run_guarded_against_vanished_pages(
            [](void* context) {
                auto& s = *static_cast<Step*>(context);
                s.measured = measure_next_block(*s.measurement);
            },
            &step);
        return step.measured && !vanished;
    }

    Outcome to_the_end() {
        while (next_block()) {
        }
        return {measurement.blocks, measurement.state, measurement.accumulator};
    }

    Measurement measurement{};
    FileSource first_mapped{};
    FileSource second_mapped{};
    bool vanished = false;

   private:
    // The library reads its buffer in chunks of `capacity` here, at most
    // what it allocated, to cut blocks small.
    static void take(SampleSource& source, StreamInput& stream, FileSource& file, const Reading& reading) {
        stream.capacity = std::min(stream.capacity, reading.capacity);
        if ((reading.window_bytes > 0 || reading.by_the_tool) &&
            take_from_file(file, stream, reading.window_bytes)) {
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
            // Both read, both mapped, one of each, and the tool's reading
            // against a mapping. Windows end on a pair or inside one, so
            // pairs would straddle them.
            const std::size_t window = std::size_t{capacity} * sizeof(std::int16_t);
            const Reading readings[][2] = {{{0, capacity}, {0, capacity}},
                                           {{window, capacity}, {window + sizeof(std::int16_t), capacity}},
                                           {{window + sizeof(std::int16_t), capacity}, {0, capacity}},
                                           {{0, capacity, true}, {window, capacity}}};
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
                                 << "block " << block << ", capacity " << capacity << ", windows "
                                 << first_reading.window_bytes << "/" << second_reading.window_bytes
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
        MeasuredRun run(first_file, second_file, 4, {0, 2}, {0, 2});
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
        MeasuredRun run(first_file, second_file, 8, {0, 2}, {0, 2});
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
            MeasuredRun run(healthy, failing, 8, {0, 2}, {0, 2});
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
// Only a regular file with its data in place is mapped: not a pipe, not a
// device, not a file with holes (a memory file system would fill them), not
// even where space allocated past its end makes it look as if it had none.
// A regular file read through its stream is still the tool's to watch.
TEST(Measurement, OnlyRegularFilesAreMeasuredInPlace) {
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
        bool in_place;
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
        EXPECT_EQ(take_from_file(source, stream, WINDOW_BYTES), c.regular) << c.label;
        EXPECT_EQ(source.mapped.started, c.in_place) << c.label;
        // Asking for holes must leave the stream where it stood: at a
        // sample of 1, or in a hole.
        if (c.regular) {
            EXPECT_EQ(std::fgetc(c.file), c.file == sparse ? 0 : 1) << c.label;
        }
        release_file_source(source);
        std::fclose(c.file);
    }
}

// A memory file system holds files in small pages, which a mapping takes
// in many faults: after a few such windows in a row the file is read through
// its stream from where the mapping stopped, with the results unchanged.
TEST(Measurement, WindowsInSmallPagesGiveWayToReading) {
    constexpr char MEMORY_FILE_SYSTEM[] = "/dev/shm";
    if (!std::filesystem::is_directory(MEMORY_FILE_SYSTEM)) GTEST_SKIP() << "no " << MEMORY_FILE_SYSTEM;
    constexpr std::uint32_t BLOCK = 100'001;                // odd, so pairs straddle windows
    constexpr std::size_t WINDOW = std::size_t{256} << 10;  // the smallest judged
    std::mt19937 random(13);
    // Eight windows: the first is mapped at the start and not judged.
    const Samples first = random_samples(random, 21 * BLOCK / 2);
    const Samples second = random_samples(random, first.size());
    const vorik_test::ScratchDir dir(MEMORY_FILE_SYSTEM);
    std::string bytes;
    for (const std::int16_t sample : first) {
        bytes += vorik_test::little_endian(static_cast<std::uint16_t>(sample), sizeof sample);
    }
    std::FILE* mapped_file = std::fopen(dir.write("first", bytes).c_str(), "rb");
    std::FILE* read_file = stream_of(second);
    ASSERT_NE(mapped_file, nullptr);
    {
        MeasuredRun run(mapped_file, read_file, BLOCK, {WINDOW, CHUNK_SAMPLES}, {0, CHUNK_SAMPLES});
        ASSERT_TRUE(run.first_mapped.mapped.started);
        expect_same(whole_block_reference(first, second, BLOCK), run.to_the_end());
        EXPECT_FALSE(run.first_mapped.mapped.started);
    }
    std::fclose(mapped_file);
    std::fclose(read_file);
}

// A mapped file that changes while it is measured: one that grows is taken
// to its new end, as a read would; one that is truncated fails the read,
// whether the lost pages raise a signal or still read as zeros, and nothing
// of the block that found it is kept.
TEST(Measurement, MappedFileThatChangesWhileMeasured) {
    constexpr std::uint32_t BLOCK = 6000;  // several pages
    std::mt19937 random(12);
    const Samples samples = random_samples(random, 2 * BLOCK);
    const Samples first_half(samples.begin(), samples.begin() + BLOCK / 2);
    const Samples other = random_samples(random, 2 * BLOCK);
    const Reading mapped{WINDOW_BYTES, 2};
    const Reading read{0, 2};

    std::FILE* growing = stream_of(first_half);
    std::FILE* whole = stream_of(other);
    {
        MeasuredRun run(growing, whole, BLOCK, mapped, read);
        ASSERT_TRUE(run.first_mapped.mapped.started);
        std::string rest;
        for (std::size_t i = first_half.size(); i < samples.size(); ++i) {
            rest += vorik_test::little_endian(static_cast<std::uint16_t>(samples[i]), 2);
        }
        const auto written_so_far = static_cast<off_t>(first_half.size() * sizeof(std::int16_t));
        ASSERT_EQ(pwrite(fileno(growing), rest.data(), rest.size(), written_so_far),
                  static_cast<ssize_t>(rest.size()));
        EXPECT_TRUE(run.next_block());
        EXPECT_EQ(run.measurement.accumulator.frames, BLOCK / 2);
    }
    std::fclose(growing);
    std::fclose(whole);

    // Two files alike, one cut while it is measured: every block kept is
    // silent, and the cut fails the block that meets it. Truncated to
    // nothing, the window's pages are gone and raise SIGBUS. Cut inside a
    // block ahead of the reader, in the page that block ends in: the rest of
    // the page reads as zeros, and only the page after the block tells. Cut
    // within the last page of the file: only its size tells. Cut on a block
    // boundary ahead of a reader of the stream: the read ends there as at
    // the end of the file, and only the size tells.
    const Samples three_blocks = random_samples(random, 3 * BLOCK);
    constexpr off_t BLOCK_BYTES = BLOCK * sizeof(std::int16_t);
    constexpr off_t INSIDE_A_PAGE = 1000;
    const Reading read_by_the_tool{0, 2, true};
    struct Cut {
        off_t size;
        int failing_block;
        Reading reading;
    };
    const Cut cuts[] = {{0, 0, mapped},
                        {2 * BLOCK_BYTES - INSIDE_A_PAGE, 1, mapped},
                        {3 * BLOCK_BYTES - INSIDE_A_PAGE, 2, mapped},
                        {BLOCK_BYTES, 1, read_by_the_tool}};
    for (const Cut& cut : cuts) {
        std::FILE* truncated = stream_of(three_blocks);
        std::FILE* intact = stream_of(three_blocks);
        SCOPED_TRACE(testing::Message()
                     << "cut to " << cut.size << " bytes, windows of " << cut.reading.window_bytes);
        {
            MeasuredRun run(truncated, intact, BLOCK, cut.reading, mapped);
            ASSERT_EQ(run.first_mapped.mapped.started, cut.reading.window_bytes > 0);
            ASSERT_EQ(ftruncate(fileno(truncated), cut.size), 0);
            for (int block = 0; block <= cut.failing_block; ++block) {
                const std::uint64_t frames_before = run.measurement.accumulator.frames;
                const bool measured = run.next_block();
                EXPECT_EQ(measured, block < cut.failing_block) << "block " << block;
                if (!measured) {
                    EXPECT_TRUE(run.vanished || run.measurement.state == MeasurementState::read_failed);
                    EXPECT_EQ(run.measurement.accumulator.frames, frames_before);
                }
            }
            EXPECT_EQ(run.measurement.accumulator.sum_sq_left, 0.0);
            EXPECT_EQ(run.measurement.accumulator.sum_sq_right, 0.0);
        }
        std::fclose(truncated);
        std::fclose(intact);
    }
}
#endif

}  // namespace
