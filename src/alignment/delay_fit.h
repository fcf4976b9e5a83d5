// How a delay fits: the copy, moved by the delay, compared with the window
// of the original on every channel of every frame. Not part of the
// library's interface.
#pragma once

#include <vorik/channel_differences.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorik::detail {

// The interleaved samples of the original and of the copy, and how many
// frames of each the search may read.
struct Inputs {
    const std::int16_t* original;
    std::int64_t original_frames;  // as far as the search reads
    const std::int16_t* copy;
    std::int64_t copy_frames;
    std::size_t channels;
};

// What the fits are worked out with: a record of each channel's
// differences, and the copy's energy summed frame by frame over the span, so
// that the energy of any stretch of it is one subtraction. Each frame's
// energy is an integer below 2^46 and the sums stay exact far past the
// spans searched.
struct FitScratch {
    std::vector<ChannelDifferences> channels;
    std::vector<double> copy_energy_before;  // of the span's frames before each one
    std::int64_t stretch_frames;        // of each stretch of the window but the last, which takes the rest
    std::vector<double> window_energy;  // of each stretch
};

// The window in the original, and the delays searched with it; 0 is one.
struct Window {
    std::int64_t start;
    std::int64_t frames;
    std::int64_t earliest;
    std::int64_t latest;
};

// A delay checked on every channel of every frame of the window.
struct Fit {
    std::int64_t delay;
    double squared_error;  // the sum of squared differences
    double residual;       // what is left of it with each stretch of the copy scaled by its best gain
    double correlation;  // the square root of the window's energy that the copy so explains: 1 for a copy at
                         // any gain
};

// Both the fits and the coarse search sum squares of samples.
inline double square(double value) { return value * value; }

// The copy's energy before each frame of the span, from its first frame,
// and the window's in each of its stretches. False where they cannot be
// allocated.
bool prepare_fits(const Inputs& inputs, const Window& window, FitScratch& scratch);

// How the copy fits the window at `delay`, which lies from window.earliest
// to window.latest; prepare_fits has filled `scratch`.
Fit fit_at(const Inputs& inputs, const Window& window, FitScratch& scratch, std::int64_t delay);

}  // namespace vorik::detail
