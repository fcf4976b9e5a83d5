// The block loop with whole blocks summed ahead of it, by the tool's worker
// threads. Not part of the library's interface.
#pragma once

#include <vorik/measurement.h>

#include <cstdint>

namespace vorik::detail {

// Whole blocks summed elsewhere. Before it reads a block, the loop asks the
// summer to add the next block of both inputs, from where they stand, to
// `totals`. The summer either does, and moves both inputs past the block,
// or returns false and changes nothing: the loop then reads the block itself.
// So the loop alone decides where the data ends, how samples pair and when
// the measurement has ended.
struct BlockSummer {
    bool (*add_next_block)(void* state, PsnrAccumulator& totals);
    void* state;
};

// measure_next_block, asking `summer` first for every block.
bool measure_next_block(Measurement& measurement, const BlockSummer& summer);

// Turns samples read from a file, little-endian there, to host byte order.
void samples_from_little_endian(std::int16_t* samples, std::uint32_t count);

}  // namespace vorik::detail
