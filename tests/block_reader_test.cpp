#include "block_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "scratch_stream.h"

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

Outcome chunked(std::FILE* first, std::FILE* second, std::uint32_t block_samples, std::uint32_t capacity) {
    Samples first_buffer(capacity);
    Samples second_buffer(capacity);
    const ChunkBuffers buffers{first_buffer.data(), second_buffer.data(), capacity};
    Outcome outcome{{}, {}};
    for (;;) {
        const BlockCounts counts =
            read_and_accumulate_block(first, second, block_samples, buffers, outcome.totals);
        outcome.passes.push_back(counts);
        if (counts.read_failed || counts.first == 0 || counts.second == 0 || counts.first != counts.second) {
            return outcome;
        }
    }
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
    const std::uint32_t block_sizes[] = {1, 2, 3, 7, 8, 9, 16, 33};
    for (const std::uint32_t block : block_sizes) {
        // Even chunks smaller than the block, and one chunk for the whole block.
        const std::uint32_t capacities[] = {2, 4, 6, block};
        for (const std::uint32_t capacity : capacities) {
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
                std::FILE* first_file = stream_of(first);
                std::FILE* second_file = stream_of(second);
                SCOPED_TRACE(testing::Message() << "block " << block << ", capacity " << capacity
                                                << ", lengths " << length[0] << "/" << length[1]);
                expect_same(whole_block_reference(first, second, block),
                            chunked(first_file, second_file, block, capacity));
                std::fclose(first_file);
                std::fclose(second_file);
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
    Samples first_buffer(2);
    Samples second_buffer(2);
    PsnrAccumulator totals{};
    const BlockCounts counts = read_and_accumulate_block(
        first_file, second_file, 8, {first_buffer.data(), second_buffer.data(), 2}, totals);
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
    Samples first_buffer(2);
    Samples second_buffer(2);
    PsnrAccumulator totals{};
    const BlockCounts counts = read_and_accumulate_block(
        healthy, failing, 8, {first_buffer.data(), second_buffer.data(), 2}, totals);
    EXPECT_TRUE(counts.read_failed);
    EXPECT_EQ(counts.second, 3u);
    EXPECT_EQ(counts.first, 8u);
    EXPECT_EQ(totals.frames, 0u);
    std::fclose(failing);
    std::fclose(healthy);

    // A failure on the first read of a block, where a plain end would
    // look exactly the same: a count of zero.
    FailingSource empty_source{0};
    failing = failing_stream(empty_source);
    healthy = stream_of(Samples(8, 0));
    const BlockCounts at_start = read_and_accumulate_block(
        failing, healthy, 8, {first_buffer.data(), second_buffer.data(), 2}, totals);
    EXPECT_TRUE(at_start.read_failed);
    EXPECT_EQ(at_start.first, 0u);
    std::fclose(failing);
    std::fclose(healthy);
}
#endif

}  // namespace
