// Running peak signal-to-noise ratio of two interleaved 16-bit sample streams.
//
// Within every block the samples are taken in pairs: the first of a pair
// counts toward the left total, the second toward the right, whatever the
// channel count. Values are cumulative from the first block on.
#pragma once

#include <cstdint>

// The full span of a 16-bit sample.
constexpr double PSNR_PEAK = 65535.0;
// Reported for a side whose samples never differ.
constexpr double PSNR_IDENTICAL = 333.0;

struct PsnrAccumulator {
    std::uint64_t frames;  // sample pairs added so far
    double sum_sq_left;    // squared differences of the first samples of the pairs
    double sum_sq_right;   // squared differences of the second samples
};

struct PsnrResult {
    double left_db;
    double right_db;
};

// Adds the squared differences of `count` samples of each block, pair by
// pair in ascending order, left before right; a lone last sample is ignored.
// This in-order double summation defines the tool's results to the last bit.
void accumulate_block_in_order(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                               const std::int16_t* second_block, std::uint32_t count);

// The same, with bit for bit the same totals, much faster: while the running
// totals stay small enough that every in-order partial sum is an exact
// integer in double, the squares are summed in integers and added at once;
// past 2^53, where each addition rounds, the rounded sums of square_sums.h
// give what the additions would within a binade. Only the few pairs that may
// carry a total across 2^53 or a power of two past it are added one by one.
void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count);

PsnrResult compute_psnr(const PsnrAccumulator& accumulator);
