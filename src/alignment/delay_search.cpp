// The search for a copy's delay: where the window is placed, the delays the
// correlation of the mono mixes points to, and the verdict on their fits.
#include <vorik/alignment.h>
#include <vorik/psnr_meter.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "correlation.h"
#include "delay_fit.h"

namespace vorik {
namespace {

using detail::Fit;
using detail::fit_at;
using detail::FitScratch;
using detail::Inputs;
using detail::prepare_fits;
using detail::square;
using detail::Window;

// --- What is read and compared ------------------------------------------------
// The stretch of the original that is compared with the copy: long enough to
// hold several notes, so that one delay fits clearly better than the others.
constexpr std::uint64_t WINDOW_SECONDS = 2;
// What is read besides the two ends of the delay span: the window is placed
// where the sound is within it, so a silent or quiet start of up to four
// seconds does no harm. Stereo at 48 kHz with a max_delay of one second
// reads eight seconds: 1.5 MiB of each input.
constexpr std::uint64_t SOUND_SECONDS = 6;
// Fewer frames hold too little of a sound to tell a delay by: a couple of
// periods of a middle note.
constexpr std::int64_t SHORTEST_WINDOW = 256;
// No memory holds more frames of 16-bit samples (2^63 bytes): larger counts
// are the caller's mistake, and bounding them keeps the frame arithmetic
// below within 64 bits.
constexpr std::int64_t LARGEST_FRAMES = std::int64_t{1} << 62;

// --- When there is sound ----------------------------------------------------------
// A mean square of the channels' mean below this, 8 in root mean square
// (-72 dB of full scale), holds no sound to align: 16-bit dither is below 1
// and noise-shaped dither a few at most, while music so quiet in its loudest
// two seconds is not there. The copy's span must hold at least as much sound
// as a window at this level, and so must a stretch of it to be taken for a
// copy of the window.
constexpr double QUIETEST_MEAN_SQUARE = 8.0 * 8.0;

// --- Candidates ----------------------------------------------------------------
// The correlation is worked out at a quarter of the sample rate, on the
// mean of each four frames: a sixteenth of the work of the full rate, and a
// peak then lies within two frames of where it lies at the full rate, where
// it is found again.
constexpr std::int64_t FRAMES_PER_COARSE_SAMPLE = 4;
// The highest peaks of the correlation that are checked sample by sample.
constexpr std::size_t CANDIDATES = 8;
// A peak at the coarse rate lies within two frames of the mono mix's own,
// which may lie a frame off the exact best fit of all channels.
constexpr std::int64_t REFINE_FRAMES = 3;
// Delays this close are the same fit, refined from the same peak.
constexpr std::int64_t SAME_FIT_FRAMES = 6;

// --- The verdict -----------------------------------------------------------------
// At a correlation below one half, even the best gain leaves more than three
// quarters of the window's energy: the copy is not this sound, or two
// unrelated sounds met by chance. Unrelated music over two seconds correlates
// by a few hundredths, a copy through a codec by more than 0.99. Where other
// delays were searched, such a fit seldom stands 3 dB clear of theirs; this
// catches it where there were none, as with a max_delay of 0.
constexpr double LEAST_CORRELATION = 0.5;
// Another delay whose error, left after the copy's best gain, is within 3 dB
// of the best one's fits about as well: vorik-check calls a delay better
// than another only by 3 dB or more, and the search claims none on less.
// Fits of unrelated parts of music lie tens of dB apart; two periods of a
// steady tone, or two repeats of a pattern, within the coding noise.
constexpr double AMBIGUITY_DB = 3.0;

// The window's length, and the starts it may take in the original: those
// from which the widest span of delays around 0 can be searched, as evenly
// on both sides as the inputs allow.
struct WindowPlan {
    std::int64_t frames;
    std::int64_t first_start;
    std::int64_t last_start;
};

std::int64_t bounded(std::uint64_t frames) {
    return static_cast<std::int64_t>(std::min(frames, static_cast<std::uint64_t>(LARGEST_FRAMES)));
}

WindowPlan plan_window(const Inputs& inputs, std::int64_t max_delay, std::int64_t wanted_frames) {
    const std::int64_t shorter = std::min(inputs.original_frames, inputs.copy_frames);
    // Every delay to max_delay fits a window that starts at the original's
    // frame max_delay and ends max_delay frames before the copy's end; where
    // the inputs are too short for that, the window takes half the shorter.
    const std::int64_t room =
        std::min(inputs.original_frames - max_delay, inputs.copy_frames - max_delay - max_delay);
    const std::int64_t frames = std::min(wanted_frames, std::max(room, shorter / 2));
    const std::int64_t last_copy_start = inputs.copy_frames - frames;
    const std::int64_t last_start = shorter - frames;
    const std::int64_t reach = std::min({max_delay, last_copy_start / 2, last_start});
    return {frames, reach, std::min(last_copy_start - reach, last_start)};
}

// Where in `mono` a window of `frames` holds the most sound, the first of equals.
std::int64_t loudest_start(std::span<const float> mono, std::int64_t frames) {
    const auto length = static_cast<std::size_t>(frames);
    double energy = 0.0;
    for (std::size_t i = 0; i < length; ++i) {
        energy += square(mono[i]);
    }
    double loudest = energy;
    std::size_t loudest_at = 0;
    for (std::size_t start = 1; start + length <= mono.size(); ++start) {
        energy += square(mono[start + length - 1]) - square(mono[start - 1]);
        if (energy > loudest) {
            loudest = energy;
            loudest_at = start;
        }
    }
    return static_cast<std::int64_t>(loudest_at);
}

// Fills `coarse` with `count` means of FRAMES_PER_COARSE_SAMPLE frames'
// channels, from the frame `first` on: the mono mix at the coarse rate.
// False where it cannot be allocated.
bool mix_to_coarse_rate(const std::int16_t* samples, std::int64_t first, std::int64_t count,
                        std::size_t channels, std::vector<float>& coarse) {
    try {
        coarse.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::size_t frames_samples = FRAMES_PER_COARSE_SAMPLE * channels;
    const std::int16_t* frames = samples + static_cast<std::size_t>(first) * channels;
    const double per_sample = 1.0 / static_cast<double>(frames_samples);
    for (float& mean : coarse) {
        std::int64_t sum = 0;
        for (std::size_t i = 0; i < frames_samples; ++i) {
            sum += frames[i];
        }
        mean = static_cast<float>(static_cast<double>(sum) * per_sample);
        frames += frames_samples;
    }
    return true;
}

double mono_energy(std::span<const float> mono) {
    double energy = 0.0;
    for (const float value : mono) {
        energy += square(value);
    }
    return energy;
}

// Turns the correlation at each lag into a normalised one, over the energies
// of the window and of the stretch of the span it meets there: 1 where the
// stretch is the window at any gain. A stretch too quiet to be a copy of the
// window gets 0: there the correlation is mostly the FFT's rounding, which
// over almost no energy could outrank the real peak.
void normalise(std::vector<float>& correlation, std::span<const float> span, std::size_t window_frames,
               double window_energy, double quietest) {
    double stretch = mono_energy(span.first(window_frames));
    for (std::size_t lag = 0; lag < correlation.size(); ++lag) {
        if (lag > 0) {
            stretch += square(span[lag + window_frames - 1]) - square(span[lag - 1]);
        }
        correlation[lag] = stretch < quietest
                               ? 0.0F
                               : static_cast<float>(correlation[lag] / std::sqrt(window_energy * stretch));
    }
}

bool is_peak(const std::vector<float>& correlation, std::size_t lag) {
    return (lag == 0 || correlation[lag] >= correlation[lag - 1]) &&
           (lag + 1 == correlation.size() || correlation[lag] >= correlation[lag + 1]);
}

// The lags of the highest peaks of positive correlation, each more than
// SAME_FIT_FRAMES from the higher ones taken (at the coarse rate); returns how
// many there are.
std::size_t pick_peaks(const std::vector<float>& correlation, std::array<std::int64_t, CANDIDATES>& peaks) {
    // Peaks are two lags apart at least, so a peak taken passes over at most
    // two others near it: this many of the highest hold every one taken.
    constexpr std::size_t HIGHEST_NEEDED = 3 * CANDIDATES;
    struct Peak {
        float correlation;
        std::int64_t lag;
    };
    std::vector<Peak> found;
    for (std::size_t lag = 0; lag < correlation.size(); ++lag) {
        if (correlation[lag] > 0.0F && is_peak(correlation, lag)) {
            found.push_back({correlation[lag], static_cast<std::int64_t>(lag)});
        }
    }
    // The higher first; of equals, the earlier.
    const auto higher = [](const Peak& a, const Peak& b) {
        return a.correlation > b.correlation || (a.correlation == b.correlation && a.lag < b.lag);
    };
    const auto highest_end =
        found.begin() + static_cast<std::ptrdiff_t>(std::min(HIGHEST_NEEDED, found.size()));
    std::partial_sort(found.begin(), highest_end, found.end(), higher);
    std::size_t count = 0;
    for (auto peak = found.begin(); peak != highest_end && count < CANDIDATES; ++peak) {
        const bool apart = std::all_of(
            peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(count), [&](std::int64_t taken) {
                return std::abs(taken - peak->lag) * FRAMES_PER_COARSE_SAMPLE > SAME_FIT_FRAMES;
            });
        if (apart) {
            peaks[count++] = peak->lag;
        }
    }
    return count;
}

// The best fit within REFINE_FRAMES of `delay`.
Fit refine(const Inputs& inputs, const Window& window, FitScratch& scratch, std::int64_t delay) {
    Fit best = fit_at(inputs, window, scratch, delay);
    const std::int64_t last = std::min(window.latest, delay + REFINE_FRAMES);
    for (std::int64_t near = std::max(window.earliest, delay - REFINE_FRAMES); near <= last; ++near) {
        if (near != delay) {
            const Fit fit = fit_at(inputs, window, scratch, near);
            best = fit.residual < best.residual ? fit : best;
        }
    }
    return best;
}

DelayFinding judge(std::span<const Fit> fits, const Fit& best) {
    if (best.correlation < LEAST_CORRELATION) {
        return DelayFinding::ambiguous;
    }
    const double as_well = best.residual * std::pow(10.0, AMBIGUITY_DB / 10.0);
    const bool rival = std::any_of(fits.begin(), fits.end(), [&](const Fit& fit) {
        return std::abs(fit.delay - best.delay) > SAME_FIT_FRAMES && fit.residual <= as_well;
    });
    return rival ? DelayFinding::ambiguous : DelayFinding::found;
}

// The meter's figure over the window: every channel of every frame counts as
// one of its pairs, the same sum over the same count.
double window_psnr(const Fit& fit, const Window& window, std::size_t channels) {
    const PsnrAccumulator pooled{static_cast<std::uint64_t>(window.frames) * channels, fit.squared_error,
                                 0.0};
    return compute_psnr(pooled).left_db;
}

DelayEstimate nothing_compared(DelayFinding finding) {
    return {finding, 0, 0, PSNR_IDENTICAL, PSNR_IDENTICAL};
}

// The search once the window is placed: `window_coarse` is its mono mix at
// the coarse rate.
DelayEstimate search(const Inputs& inputs, const Window& window, std::span<const float> window_coarse) {
    FitScratch scratch;
    std::vector<float> span_coarse;
    std::vector<float> correlation;
    if (!prepare_fits(inputs, window, scratch) ||
        !mix_to_coarse_rate(inputs.copy, window.start + window.earliest,
                            (window.frames + window.latest - window.earliest) / FRAMES_PER_COARSE_SAMPLE,
                            inputs.channels, span_coarse)) {
        return nothing_compared(DelayFinding::out_of_memory);
    }
    const Fit zero = fit_at(inputs, window, scratch, 0);
    const double zero_db = window_psnr(zero, window, inputs.channels);
    DelayEstimate estimate{DelayFinding::no_signal, 0, static_cast<std::uint64_t>(window.frames), zero_db,
                           zero_db};
    const double quietest = QUIETEST_MEAN_SQUARE * static_cast<double>(window_coarse.size());
    const double window_coarse_energy = mono_energy(window_coarse);
    if (window_coarse_energy < quietest || mono_energy(span_coarse) < quietest) {
        return estimate;
    }
    if (!detail::cross_correlate(window_coarse, span_coarse, correlation)) {
        return nothing_compared(DelayFinding::out_of_memory);
    }
    normalise(correlation, span_coarse, window_coarse.size(), window_coarse_energy, quietest);
    std::array<std::int64_t, CANDIDATES> peaks{};
    const std::size_t peak_count = pick_peaks(correlation, peaks);
    // Delay 0 stands among the candidates and, first, wins a tie.
    std::array<Fit, CANDIDATES + 1> fits{zero};
    for (std::size_t i = 0; i < peak_count; ++i) {
        const std::int64_t delay = window.earliest + peaks[i] * FRAMES_PER_COARSE_SAMPLE;
        fits[i + 1] = refine(inputs, window, scratch, delay);
    }
    const std::span<const Fit> checked(fits.data(), peak_count + 1);
    const Fit& best = *std::min_element(checked.begin(), checked.end(),
                                        [](const Fit& a, const Fit& b) { return a.residual < b.residual; });
    estimate.finding = judge(checked, best);
    estimate.delay = estimate.finding == DelayFinding::found ? best.delay : 0;
    estimate.delay_db = window_psnr(best, window, inputs.channels);
    return estimate;
}

}  // namespace

std::uint64_t delay_search_frames(std::uint64_t max_delay, std::uint32_t sample_rate) {
    constexpr std::uint64_t MOST = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t sound = SOUND_SECONDS * sample_rate;
    return max_delay > (MOST - sound) / 2 ? MOST : 2 * max_delay + sound;
}

DelayEstimate find_delay(const std::int16_t* original, std::uint64_t original_frames,
                         const std::int16_t* copy, std::uint64_t copy_frames, std::uint16_t channels,
                         std::uint32_t sample_rate, std::uint64_t max_delay) {
    const std::uint64_t read = delay_search_frames(max_delay, sample_rate);
    const Inputs inputs{original, bounded(std::min(original_frames, read)), copy,
                        bounded(std::min(copy_frames, read)), channels};
    // No delay beyond both inputs can be compared.
    const std::int64_t delay_bound =
        std::min(bounded(max_delay), std::max(inputs.original_frames, inputs.copy_frames));
    const WindowPlan plan = plan_window(inputs, delay_bound, bounded(WINDOW_SECONDS * sample_rate));
    if (channels == 0 || plan.frames < SHORTEST_WINDOW) {
        return nothing_compared(DelayFinding::no_signal);
    }
    // The original's mono mix over every start the window may take, at the
    // coarse rate: the window starts, and is as long as, a whole number of
    // coarse samples.
    std::vector<float> starts_coarse;
    if (!mix_to_coarse_rate(inputs.original, plan.first_start,
                            (plan.last_start + plan.frames - plan.first_start) / FRAMES_PER_COARSE_SAMPLE,
                            inputs.channels, starts_coarse)) {
        return nothing_compared(DelayFinding::out_of_memory);
    }
    const std::int64_t coarse_frames = plan.frames / FRAMES_PER_COARSE_SAMPLE;
    const std::int64_t loudest = loudest_start(starts_coarse, coarse_frames);
    Window window{plan.first_start + loudest * FRAMES_PER_COARSE_SAMPLE,
                  coarse_frames * FRAMES_PER_COARSE_SAMPLE, 0, 0};
    window.earliest = -std::min(delay_bound, window.start);
    window.latest = std::min(delay_bound, inputs.copy_frames - window.frames - window.start);
    return search(inputs, window,
                  std::span<const float>(starts_coarse)
                      .subspan(static_cast<std::size_t>(loudest), static_cast<std::size_t>(coarse_frames)));
}

}  // namespace vorik
