#include "block_reference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scratch_stream.h"

namespace vorik_test {

std::FILE* stream_of(const Samples& samples, int extra_bytes) {
    std::FILE* file = scratch_stream();
    const std::string bytes =
        samples_bytes(samples) + std::string(static_cast<std::size_t>(extra_bytes), '\x7F');
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples,
                              const vorik::PsnrAccumulator& start) {
    const Totals from{start.sum_sq_left, start.sum_sq_right, start.pairs};
    const BlockRun run = run_blocks(first, second, block_samples, from);
    const Totals& to = run.after_block.empty() ? from : run.after_block.back();
    Outcome outcome{run.after_block.size(),
                    run.ending == Ending::finished ? vorik::MeasurementState::finished
                                                   : vorik::MeasurementState::sizes_differ,
                    start};
    outcome.totals.pairs = to.pairs;
    outcome.totals.sum_sq_left = to.sum_left;
    outcome.totals.sum_sq_right = to.sum_right;
    return outcome;
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
