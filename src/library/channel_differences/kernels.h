// The kernels of the channel differences, and the parts they share. Not part
// of the library's interface: add_channel_differences runs the kernel in use
// (kernel_list.h).
#pragma once

#include <vorik/channel_differences.h>

#include <cstddef>
#include <cstdint>

namespace vorik::detail {

// What every kernel does: adds `frames` frames to the records, as
// add_channel_differences does.
using AddChannelDifferences = void (*)(ChannelDifferences* differences, std::uint16_t channels,
                                       const std::int16_t* original, const std::int16_t* copy,
                                       std::size_t frames, std::uint64_t first_frame);

// portable.cpp: in plain C++ for the compiler to vectorise.
void add_channel_differences_portably(ChannelDifferences* differences, std::uint16_t channels,
                                      const std::int16_t* original, const std::int16_t* copy,
                                      std::size_t frames, std::uint64_t first_frame);

// avx2.cpp and avx512.cpp, x86 builds only: each is built for its
// instruction set, and runs only on a CPU that has it.
void add_channel_differences_avx2(ChannelDifferences* differences, std::uint16_t channels,
                                  const std::int16_t* original, const std::int16_t* copy, std::size_t frames,
                                  std::uint64_t first_frame);
void add_channel_differences_avx512(ChannelDifferences* differences, std::uint16_t channels,
                                    const std::int16_t* original, const std::int16_t* copy,
                                    std::size_t frames, std::uint64_t first_frame);

// --- What the kernels share, built for any CPU (portable.cpp) ---------------

// One frame after another, one channel after another: for channel counts
// wider than a kernel's vector, and for the frames left after its last whole
// vector.
void add_channel_differences_in_order(ChannelDifferences* differences, std::uint16_t channels,
                                      const std::int16_t* original, const std::int16_t* copy,
                                      std::size_t frames, std::uint64_t first_frame);

// The 16-bit lanes of the widest vector. A kernel takes as many whole frames
// as its lanes hold, so lane j always holds channel j % channels; the lanes
// past the last whole frame are unused.
inline constexpr std::size_t MOST_LANES = 32;

// The sums of each lane since the last flush. A square of a difference fits
// 32 bits; the kernels sum its two 16-bit halves apart in 32-bit lanes, and
// those of the even 16-bit lanes apart from those of the odd ones, as the
// 32-bit lanes of a vector hold them: lane j at [j % 2][j / 2]. The vector
// kernels' path for small differences sums whole squares in 64-bit lanes,
// each holding every fourth 16-bit lane: lane j at [j % 4][j / 4].
struct LaneSums {
    std::uint32_t low_halves[2][MOST_LANES / 2];
    std::uint32_t high_halves[2][MOST_LANES / 2];
    std::uint64_t whole_squares[4][MOST_LANES / 4];
    std::uint16_t differing[MOST_LANES];
};

// Adds the sums of the first `lanes` lanes to the records of their channels.
void add_lane_sums(ChannelDifferences* differences, std::uint16_t channels, std::size_t lanes,
                   const LaneSums& sums);

// The largest difference of each channel so far, in each of its first
// `lanes` lanes; 0 in the unused lanes.
void lane_largest_of(const ChannelDifferences* differences, std::uint16_t channels, std::size_t lanes,
                     std::uint16_t (&lane_largest)[MOST_LANES]);

// A sub-run of `frames` frames raised some lanes of `lane_largest` above the
// largest difference of their channel: finds the first frame where each such
// channel meets its new largest, records it, and sets `lane_largest` as
// lane_largest_of does.
void settle_largest(ChannelDifferences* differences, std::uint16_t channels, std::size_t lanes,
                    std::uint16_t (&lane_largest)[MOST_LANES], const std::int16_t* original,
                    const std::int16_t* copy, std::size_t frames, std::uint64_t first_frame);

// --- The 128-bit sums (records.cpp) ------------------------------------------

void add_to_sum(Sum128& sum, std::uint64_t value);

// The sum rounded to the nearest double, a tie to the even one.
double rounded_to_double(const Sum128& sum);

}  // namespace vorik::detail
