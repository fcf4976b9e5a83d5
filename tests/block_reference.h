// The unit tests' side of the block model (block_model.h): its results as
// the library's records, compared bit for bit, and samples as a stream.
#pragma once

#include <vorik/measurement.h>

#include <cstdint>
#include <cstdio>

#include "block_model.h"

namespace vorik_test {

// A temporary stream holding `samples` little-endian, plus `extra_bytes` odd
// bytes, standing at its start.
std::FILE* stream_of(const Samples& samples, int extra_bytes = 0);

struct Outcome {
    std::uint64_t blocks;
    vorik::MeasurementState state;
    vorik::PsnrAccumulator totals;
};

// The model's run from `start` on, as the library would record it.
Outcome whole_block_reference(const Samples& first, const Samples& second, std::uint32_t block_samples,
                              const vorik::PsnrAccumulator& start = {});

// The same blocks, ending and totals, bit for bit.
void expect_same(const Outcome& expected, const Outcome& actual);

}  // namespace vorik_test
