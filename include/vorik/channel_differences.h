// How a copy differs from its original, channel by channel, in exact
// integers: what vorik-check reports for every second and for the whole
// comparison.
//
// A frame holds one sample of every channel, interleaved. For each channel
// the sums below count the squared differences of its samples exactly, the
// samples that differ, and the largest absolute difference with the first
// frame where it occurs. The PSNR of a channel is worked out from its exact
// sum as vorik works out a side: 20 log10(65535 / sqrt(sum / samples)), with
// the library's correctly rounded log10, and 333 dB where the sum is 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorik {

// An unsigned 128-bit integer in two 64-bit halves: a sum of squares of a
// channel of more than about a day of audio passes 2^64.
struct Sum128 {
    std::uint64_t high;
    std::uint64_t low;
};

// How one channel of the copy differs from the original over a run of
// frames. Zero-initialise it to start.
struct ChannelDifferences {
    Sum128 squares;            // the sum of the squared differences, exact
    std::uint64_t differing;   // samples that differ
    std::uint32_t largest;     // the largest absolute difference, 0 to 65535
    std::uint64_t largest_at;  // the number of the first frame where it occurs; 0 while `largest` is 0
};

// Adds how `frames` frames of `channels` interleaved channels differ, one
// record of `differences` for each channel. `first_frame` is the number of
// the first of them, which `largest_at` counts in. A channel's `largest`
// moves only to a larger difference, so it keeps the first frame where its
// largest difference occurs when the runs are added in order.
void add_channel_differences(ChannelDifferences* differences, std::uint16_t channels,
                             const std::int16_t* original, const std::int16_t* copy, std::size_t frames,
                             std::uint64_t first_frame);

// Adds the record of a later run of frames to that of an earlier one.
void merge_channel_differences(ChannelDifferences& earlier, const ChannelDifferences& later);

// The PSNR of a channel in dB from its exact sum of squares over `samples`
// samples: 20 log10(65535 / sqrt(squares / samples)), the sum rounded once to
// the nearest double, or 333 where the sum is 0. Below 2^53 it is the very
// double that vorik's meter gives for the same sum and count.
double channel_psnr_db(const Sum128& squares, std::uint64_t samples);

}  // namespace vorik
