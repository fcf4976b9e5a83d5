// The PSNR meter: running peak signal-to-noise ratio of two interleaved
// 16-bit sample streams.
//
// Within every block the samples are taken in pairs: the first of a pair
// counts toward the left total, the second toward the right, whatever the
// channel count. The totals are cumulative from the first block on, so the
// result after the last block is the result over all of them.
//
// The results are defined by adding every squared difference to a double
// total, one after another, in order; accumulate_block gives those totals to
// the last bit, much faster.
#pragma once

#include <cstdint>

namespace vorik {

// The full span of a 16-bit sample, the peak of the ratio.
inline constexpr double PSNR_PEAK = 65535.0;
// Given for a side whose samples never differ.
inline constexpr double PSNR_IDENTICAL = 333.0;

// The running totals of one comparison; zero-initialise it to start.
struct PsnrAccumulator {
    union {
        std::uint64_t pairs;  // sample pairs added so far
        // The old name of `pairs`, which counts pairs of samples, not frames;
        // kept for the callers of 0.10 until the next release.
        [[deprecated("use pairs: it counts pairs of samples")]] std::uint64_t frames;
    };
    double sum_sq_left;   // squared differences of the first samples of the pairs
    double sum_sq_right;  // squared differences of the second samples
};

// Decibels of each side.
struct PsnrResult {
    double left_db;
    double right_db;
};

// Adds the squared differences of the first `count` samples of two blocks,
// pair by pair, left before right, to `accumulator`; a lone last sample of an
// odd count belongs to no pair and is left out. Pairs count from the start of
// `first_block`, so a block taken in several pieces must be cut at even
// counts.
void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count);

// Returns the PSNR of each side over everything added so far:
// 20 log10(PSNR_PEAK / sqrt(sum / pairs)), or PSNR_IDENTICAL for a side
// whose sum is 0 (including when nothing was added).
PsnrResult compute_psnr(const PsnrAccumulator& accumulator);

}  // namespace vorik
