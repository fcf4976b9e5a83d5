#include "block_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "scratch_stream.h"
#include "wav_writer.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

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
    std::vector<BlockCounts> passes;
    PsnrAccumulator totals;
};

// The tool's loop over whole blocks read at once: stop at the first pass
// with a zero or unequal count.
Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples) {
    Outcome outcome{{}, {}};
    for (std::size_t at = 0;; at += block_samples) {
        const auto remaining = [&](const Samples& s) {
            return static_cast<std::uint32_t>(
                std::min<std::size_t>(block_samples, s.size() - std::min(at, s.size())));
        };
        const BlockCounts counts{remaining(first), remaining(second), false};
        outcome.passes.push_back(counts);
        if (counts.first == 0 || counts.second == 0 || counts.first != counts.second) {
            return outcome;
        }
        accumulate_block(outcome.totals, first.data() + at, second.data() + at, counts.first);
    }
}

// How the block reader takes one input: through a mapping with windows of
// `window_bytes` where the file allows it, else read in chunks of `capacity`.
struct Reading {
    std::size_t window_bytes;  // 0: always read through the stream
    std::uint32_t capacity;
};

// Holds one input as the tool's run does: mapped, or with a buffer.
struct Input {
    Input(std::FILE* file, const Reading& reading) : buffer(reading.capacity) {
        input.file = file;
        input.buffer = buffer.data();
        input.capacity = reading.capacity;
        if (reading.window_bytes > 0) {
            measure_in_place(input, reading.window_bytes);
        }
    }
    ~Input() { release_mapped_input(input.mapped); }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    Samples buffer;
    SampleInput input{};
};

Outcome chunked(std::FILE* first, std::FILE* second, std::uint32_t block_samples,
                const Reading& first_reading, const Reading& second_reading) {
    Input first_input(first, first_reading);
    Input second_input(second, second_reading);
    Outcome outcome{{}, {}};
    for (;;) {
        const BlockCounts counts =
            read_and_accumulate_block(first_input.input, second_input.input, block_samples, outcome.totals);
        outcome.passes.push_back(counts);
        if (counts.read_failed || counts.first == 0 || counts.second == 0 || counts.first != counts.second) {
            return outcome;
        }
    }
}

Outcome chunked(std::FILE* first, std::FILE* second, std::uint32_t block_samples, std::uint32_t capacity) {
    return chunked(first, second, block_samples, {0, capacity}, {0, capacity});
}

void expect_same(const Outcome& expected, const Outcome& actual) {
    ASSERT_EQ(expected.passes.size(), actual.passes.size());
    for (std::size_t i = 0; i < expected.passes.size(); ++i) {
        EXPECT_EQ(expected.passes[i].first, actual.passes[i].first) << "pass " << i;
        EXPECT_EQ(expected.passes[i].second, actual.passes[i].second) << "pass " << i;
        EXPECT_FALSE(actual.passes[i].read_failed) << "pass " << i;
    }
    EXPECT_EQ(expected.totals.frames, actual.totals.frames);
    // Bit for bit: the chunks must keep the in-order summation.
    EXPECT_EQ(std::memcmp(&expected.totals.sum_sq_left, &actual.totals.sum_sq_left, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&expected.totals.sum_sq_right, &actual.totals.sum_sq_right, sizeof(double)), 0);
}

TEST(BlockReader, ChunkedReadingMatchesWholeBlocks) {
    std::mt19937 random(7);
    // Odd blocks, and one that spans several pages of the file.
    const std::uint32_t block_sizes[] = {1, 2, 3, 7, 8, 9, 16, 33, 5001};
    for (const std::uint32_t block : block_sizes) {
        // Even chunks smaller than the block, and one chunk for the whole block.
        const std::uint32_t capacities[] = {2, 4, 6, block};
        for (const std::uint32_t capacity : capacities) {
            // Both read, both mapped, one of each. Windows end on a pair or
            // inside one, so pairs would straddle them.
            const std::size_t window = std::size_t{capacity} * sizeof(std::int16_t);
            const Reading readings[][2] = {{{0, capacity}, {0, capacity}},
                                           {{window, capacity}, {window + sizeof(std::int16_t), capacity}},
                                           {{window + sizeof(std::int16_t), capacity}, {0, capacity}}};
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
                    expect_same(expected,
                                chunked(first_file, second_file, block, first_reading, second_reading));
                    std::fclose(first_file);
                    std::fclose(second_file);
                }
            }
        }
    }
}

TEST(BlockReader, TrailingOddByteIsNoSample) {
    const Samples first = {1, 2, 3};
    const Samples second = {4, 5, 6};
    std::FILE* first_file = stream_of(first, 1);
    std::FILE* second_file = stream_of(second);
    const Outcome outcome = chunked(first_file, second_file, 4, 2);
    ASSERT_FALSE(outcome.passes.empty());
    EXPECT_EQ(outcome.passes[0].first, 3u);
    EXPECT_EQ(outcome.passes[0].second, 3u);
    EXPECT_EQ(outcome.totals.frames, 1u);
    std::fclose(first_file);
    std::fclose(second_file);
}

TEST(BlockReader, UnequalBlockLeavesTheTotalsUntouched) {
    // The counts first differ in the block's last chunk, after earlier
    // chunks of the block were equal.
    const Samples first = {1, 1, 1, 1, 1, 1, 1, 1};
    const Samples second = {0, 0, 0, 0, 0, 0, 0};
    std::FILE* first_file = stream_of(first);
    std::FILE* second_file = stream_of(second);
    const Outcome outcome = chunked(first_file, second_file, 8, 2);
    const BlockCounts& counts = outcome.passes.front();
    const PsnrAccumulator& totals = outcome.totals;
    EXPECT_EQ(counts.first, 8u);
    EXPECT_EQ(counts.second, 7u);
    EXPECT_EQ(totals.frames, 0u);
    EXPECT_EQ(totals.sum_sq_left, 0.0);
    std::fclose(first_file);
    std::fclose(second_file);
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

TEST(BlockReader, ReadErrorIsToldApartFromTheEnd) {
    // The second file fails in the block's second chunk; with silence in
    // both, the first chunk alone would have agreed and been measured.
    FailingSource source{6};
    std::FILE* failing = failing_stream(source);
    std::FILE* healthy = stream_of(Samples(8, 0));
    const Outcome outcome = chunked(healthy, failing, 8, 2);
    const BlockCounts& counts = outcome.passes.front();
    EXPECT_TRUE(counts.read_failed);
    EXPECT_EQ(counts.second, 3u);
    EXPECT_EQ(counts.first, 8u);
    EXPECT_EQ(outcome.totals.frames, 0u);
    std::fclose(failing);
    std::fclose(healthy);

    // A failure on the first read of a block, where a plain end would
    // look exactly the same: a count of zero.
    FailingSource empty_source{0};
    failing = failing_stream(empty_source);
    healthy = stream_of(Samples(8, 0));
    const BlockCounts at_start = chunked(failing, healthy, 8, 2).passes.front();
    EXPECT_TRUE(at_start.read_failed);
    EXPECT_EQ(at_start.first, 0u);
    std::fclose(failing);
    std::fclose(healthy);
}
#endif

#ifndef _WIN32
// Only a regular file with its data in place is mapped: not a pipe, not a
// device, not a file with holes (a memory file system would fill them).
TEST(BlockReader, OnlyRegularFilesAreMeasuredInPlace) {
    const vorik_test::ScratchDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::FILE* sparse = vorik_test::scratch_stream();
    ASSERT_EQ(ftruncate(fileno(sparse), off_t{1} << 20), 0);
    struct Case {
        const char* label;
        std::FILE* file;
        bool in_place;
    };
    const Case cases[] = {
        {"regular file", stream_of(Samples(8, 1)), true},
        {"fifo", std::fopen(fifo.c_str(), "r+b"), false},  // read-write: no wait for a writer
        {"/dev/null", std::fopen("/dev/null", "rb"), false},
        {"file with holes", sparse, false}};
    for (const Case& c : cases) {
        ASSERT_NE(c.file, nullptr) << c.label;
        SampleInput input{};
        input.file = c.file;
        EXPECT_EQ(measure_in_place(input, WINDOW_BYTES), c.in_place) << c.label;
        release_mapped_input(input.mapped);
        std::fclose(c.file);
    }
}

// A memory file system holds files in small pages, which a mapping takes
// in many faults: after a few such windows in a row the file is read through
// its stream from where the mapping stopped, with the results unchanged.
TEST(BlockReader, WindowsInSmallPagesGiveWayToReading) {
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
        Input mapped(mapped_file, {WINDOW, CHUNK_SAMPLES});
        Input read(read_file, {0, CHUNK_SAMPLES});
        ASSERT_TRUE(mapped.input.in_place);
        Outcome outcome{{}, {}};
        for (BlockCounts counts{1, 1, false}; counts.first > 0 && counts.first == counts.second;) {
            counts = read_and_accumulate_block(mapped.input, read.input, BLOCK, outcome.totals);
            outcome.passes.push_back(counts);
        }
        expect_same(whole_block_reference(first, second, BLOCK), outcome);
        EXPECT_FALSE(mapped.input.in_place);
    }
    std::fclose(mapped_file);
    std::fclose(read_file);
}

// A mapped file that changes while it is measured: one that grows is taken
// to its new end, as a read would; one that is truncated fails the read,
// whether the lost pages raise a signal or still read as zeros, and nothing
// of the block that found it is kept.
TEST(BlockReader, MappedFileThatChangesWhileMeasured) {
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
        Input input(growing, mapped);
        Input reference(whole, read);
        ASSERT_TRUE(input.input.in_place);
        const std::size_t half_bytes = first_half.size() * sizeof(std::int16_t);
        const std::string rest = [&] {
            std::string bytes;
            for (std::size_t i = first_half.size(); i < samples.size(); ++i) {
                bytes += vorik_test::little_endian(static_cast<std::uint16_t>(samples[i]), 2);
            }
            return bytes;
        }();
        ASSERT_EQ(pwrite(fileno(growing), rest.data(), rest.size(), static_cast<off_t>(half_bytes)),
                  static_cast<ssize_t>(rest.size()));
        PsnrAccumulator totals{};
        const BlockCounts counts = read_and_accumulate_block(input.input, reference.input, BLOCK, totals);
        EXPECT_FALSE(counts.read_failed);
        EXPECT_EQ(counts.first, BLOCK);
        EXPECT_EQ(totals.frames, BLOCK / 2);
    }
    std::fclose(growing);
    std::fclose(whole);

    // Truncated to nothing: the window's pages are gone and raise SIGBUS.
    // Cut within the last page: the pages stay and read as zeros, and the
    // next look at the file's size finds less than was measured.
    struct Cut {
        off_t size;
        int failing_pass;
    };
    const Cut cuts[] = {{0, 0}, {static_cast<off_t>((2 * BLOCK - 10) * sizeof(std::int16_t)), 2}};
    for (const Cut& cut : cuts) {
        std::FILE* truncated = stream_of(samples);
        std::FILE* intact = stream_of(samples);
        SCOPED_TRACE(testing::Message() << "cut to " << cut.size << " bytes");
        Input input(truncated, mapped);
        Input reference(intact, mapped);
        ASSERT_TRUE(input.input.in_place);
        ASSERT_EQ(ftruncate(fileno(truncated), cut.size), 0);
        PsnrAccumulator totals{};
        for (int pass = 0; pass <= cut.failing_pass; ++pass) {
            const PsnrAccumulator before = totals;
            const BlockCounts counts = read_and_accumulate_block(input.input, reference.input, BLOCK, totals);
            EXPECT_EQ(counts.read_failed, pass == cut.failing_pass) << "pass " << pass;
            if (counts.read_failed) {
                EXPECT_EQ(totals.frames, before.frames);
            }
        }
        std::fclose(truncated);
        std::fclose(intact);
    }
}
#endif

}  // namespace
