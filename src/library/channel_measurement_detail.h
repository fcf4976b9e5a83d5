// The second-by-second loop with whole seconds summed ahead of it, by
// vorik-check's worker threads. Not part of the library's interface.
#pragma once

#include <vorik/channel_measurement.h>

#include <cstdint>

namespace vorik::detail {

// Whole seconds summed elsewhere. The loop asks the summer for a second only
// where both inputs stand at its start with nothing read ahead, and both
// data chunks hold the whole second. The summer either adds how the second
// differs to `second` (zeroed records, one for each channel, frames counted
// from `first_frame`) and moves both inputs past it, or returns false and
// changes nothing: the loop then reads the second itself. So the loop alone
// decides where the data ends and how frames pair.
struct SecondSummer {
    bool (*add_next_second)(void* state, ChannelDifferences* second, std::uint64_t first_frame);
    void* state;
};

// measure_next_second, asking `summer` first where it may.
bool measure_next_second(ChannelMeasurement& measurement, const SecondSummer& summer);

}  // namespace vorik::detail
