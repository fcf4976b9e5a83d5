#include "block_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "scratch_stream.h"
#include "square_sums/square_sums.h"

namespace vorik_test {

Samples random_samples(std::mt19937& random, std::size_t count) {
    std::uniform_int_distribution<int> sample(-32768, 32767);
    Samples samples(count);
    for (std::int16_t& s : samples) {
        s = static_cast<std::int16_t>(sample(random));
    }
    return samples;
}

std::FILE* stream_of(const Samples& samples, int extra_bytes) {
    std::FILE* file = scratch_stream();
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

Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples,
                              const vorik::PsnrAccumulator& start) {
    Outcome outcome{0, vorik::MeasurementState::finished, start};
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
            outcome.state = vorik::MeasurementState::sizes_differ;
            return outcome;
        }
        vorik::detail::accumulate_block_in_order(outcome.totals, first.data() + at, second.data() + at,
                                                 first_count);
        ++outcome.blocks;
    }
}

void expect_same(const Outcome& expected, const Outcome& actual) {
    EXPECT_EQ(expected.blocks, actual.blocks);
    EXPECT_EQ(expected.state, actual.state);
    EXPECT_EQ(expected.totals.pairs, actual.totals.pairs);
    // Bit for bit: the pieces must keep the in-order summation.
    EXPECT_EQ(std::memcmp(&expected.totals.sum_sq_left, &actual.totals.sum_sq_left, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&expected.totals.sum_sq_right, &actual.totals.sum_sq_right, sizeof(double)), 0);
}

}  // namespace vorik_test
