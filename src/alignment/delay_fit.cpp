// How a delay fits: each stretch of the window gets the copy's best gain of
// its own, and what is left of the error tells how well the delay fits.
#include "delay_fit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "channel_differences/kernels.h"

namespace vorik::detail {
namespace {

// A copy's level may change within the window (a dropout, a fade, a codec
// that breaks down for a moment): each of these stretches of the window
// gets the copy's best gain of its own, so that one stretch cannot spoil
// the fit of the others. A stretch is a quarter second of a 2-second window,
// and never shorter than SHORTEST_STRETCH frames, whose gain could follow
// the copy too closely.
constexpr std::int64_t STRETCHES = 8;
constexpr std::int64_t SHORTEST_STRETCH = 2048;

// The energy of every channel of one frame.
double frame_energy(const std::int16_t* frame, std::size_t channels) {
    std::int64_t energy = 0;
    for (std::size_t channel = 0; channel < channels; ++channel) {
        energy += std::int64_t{frame[channel]} * frame[channel];
    }
    return static_cast<double>(energy);
}

// The sum of squared differences of all channels over `frames` frames.
double squared_error(const Inputs& inputs, FitScratch& scratch, const std::int16_t* original,
                     const std::int16_t* copy, std::int64_t frames) {
    std::fill(scratch.channels.begin(), scratch.channels.end(), ChannelDifferences{});
    add_channel_differences(scratch.channels.data(), static_cast<std::uint16_t>(inputs.channels), original,
                            copy, static_cast<std::size_t>(frames), 0);
    double error = 0.0;
    for (const ChannelDifferences& channel : scratch.channels) {
        error += detail::rounded_to_double(channel.squares);
    }
    return error;
}

}  // namespace

bool prepare_fits(const Inputs& inputs, const Window& window, FitScratch& scratch) {
    const std::int64_t first = window.start + window.earliest;
    const std::int64_t frames = window.frames + window.latest - window.earliest;
    const std::int64_t stretches = std::clamp(window.frames / SHORTEST_STRETCH, std::int64_t{1}, STRETCHES);
    scratch.stretch_frames = window.frames / stretches;
    try {
        scratch.channels.resize(inputs.channels);
        scratch.copy_energy_before.resize(static_cast<std::size_t>(frames) + 1);
        scratch.window_energy.assign(static_cast<std::size_t>(stretches), 0.0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    double energy = 0.0;
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        scratch.copy_energy_before[static_cast<std::size_t>(frame)] = energy;
        energy += frame_energy(inputs.copy + static_cast<std::size_t>(first + frame) * inputs.channels,
                               inputs.channels);
    }
    scratch.copy_energy_before.back() = energy;
    for (std::int64_t frame = 0; frame < window.frames; ++frame) {
        const auto stretch =
            static_cast<std::size_t>(std::min(frame / scratch.stretch_frames, stretches - 1));
        scratch.window_energy[stretch] +=
            frame_energy(inputs.original + static_cast<std::size_t>(window.start + frame) * inputs.channels,
                         inputs.channels);
    }
    return true;
}

Fit fit_at(const Inputs& inputs, const Window& window, FitScratch& scratch, std::int64_t delay) {
    Fit fit{delay, 0.0, 0.0, 0.0};
    double window_energy = 0.0;
    const auto stretches = static_cast<std::int64_t>(scratch.window_energy.size());
    for (std::int64_t stretch = 0; stretch < stretches; ++stretch) {
        const std::int64_t begin = stretch * scratch.stretch_frames;
        const std::int64_t frames = stretch + 1 == stretches ? window.frames - begin : scratch.stretch_frames;
        const std::size_t at = static_cast<std::size_t>(window.start + begin) * inputs.channels;
        const double error = squared_error(
            inputs, scratch, inputs.original + at,
            inputs.copy + at + static_cast<std::size_t>(delay * static_cast<std::int64_t>(inputs.channels)),
            frames);
        const auto first = static_cast<std::size_t>(delay - window.earliest + begin);
        const double copy_energy = scratch.copy_energy_before[first + static_cast<std::size_t>(frames)] -
                                   scratch.copy_energy_before[first];
        const double original_energy = scratch.window_energy[static_cast<std::size_t>(stretch)];
        // With P the sum of products, error = E_original - 2P + E_copy. The
        // best gain P / E_copy leaves error - (E_copy - P)^2 / E_copy, where
        // E_copy - P, taken so, is exactly 0 for an exact copy. A copy that
        // runs against the original (P <= 0) explains none of it.
        const double excess = (copy_energy - original_energy + error) / 2.0;
        const double product = copy_energy - excess;
        fit.squared_error += error;
        fit.residual += product > 0.0 ? std::max(0.0, error - square(excess) / copy_energy) : original_energy;
        window_energy += original_energy;
    }
    fit.correlation =
        window_energy > 0.0 ? std::sqrt(std::max(0.0, 1.0 - fit.residual / window_energy)) : 0.0;
    return fit;
}

}  // namespace vorik::detail
