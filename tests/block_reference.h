// The reference of the measurement's tests: whole blocks taken at once and
// added by the in-order loop that defines the results, with what a test
// needs around it.
#pragma once

#include <vorik/measurement.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace vorik_test {

using Samples = std::vector<std::int16_t>;

Samples random_samples(std::mt19937& random, std::size_t count);

// A temporary stream holding `samples` little-endian, plus `extra_bytes` odd
// bytes, standing at its start.
std::FILE* stream_of(const Samples& samples, int extra_bytes = 0);

struct Outcome {
    std::uint64_t blocks;
    vorik::MeasurementState state;
    vorik::PsnrAccumulator totals;
};

// Stops at the first pass with a zero or an unequal count, as the tool does.
Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples,
                              const vorik::PsnrAccumulator& start = {});

// The same blocks, ending and totals, bit for bit.
void expect_same(const Outcome& expected, const Outcome& actual);

}  // namespace vorik_test
