// The walk of every kernel over its vectors, as a template over a `Lanes`
// type of one vector width that portable.cpp, avx2.cpp and avx512.cpp each
// define and instantiate under their own target flags.
//
// A vector takes as many whole frames as its 16-bit lanes hold, and moves on
// by those frames: lane j always holds channel j % channels. The lanes past
// the last whole frame take samples of the next frames too, which are taken
// again in their own place; the walk leaves those lanes out of everything it
// reads from the vectors. The lanes sum the squares, count the differing
// samples, and keep their largest difference. The walk looks at the largest
// ones once a sub-run of vectors: only where a lane has risen above the
// largest of its channel so far does it search that sub-run again, in
// order, for the first frame where the channel's new largest occurs.
//
// Each file's copy must stay its own: the template is instantiated with a
// type of that file's anonymous namespace, so the linker never takes the
// AVX-512 copy for another file's callers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace vorik::detail {
namespace {

// Vectors between two looks at the largest differences: the looks cost
// little, and a search reads no more than one sub-run again.
constexpr std::size_t VECTORS_PER_SUB_RUN = 32;
// A 16-bit lane counts at most one differing sample a vector, and a 32-bit
// lane of halves of squares gains at most 65535 a vector: both hold the sums
// of 65535 vectors, and are added to the records after whole sub-runs of no
// more.
constexpr std::size_t MOST_VECTORS_IN_LANES = 65535;
constexpr std::size_t VECTORS_BETWEEN_FLUSHES =
    MOST_VECTORS_IN_LANES / VECTORS_PER_SUB_RUN * VECTORS_PER_SUB_RUN;
// The path for small differences sums the squares of two lanes in a 32-bit
// lane through a sub-run: up to this difference, they fit.
constexpr std::uint16_t LARGEST_SMALL_DIFFERENCE = 8191;
static_assert(2 * VECTORS_PER_SUB_RUN * LARGEST_SMALL_DIFFERENCE * LARGEST_SMALL_DIFFERENCE <=
              std::uint64_t{0xFFFFFFFF});

// `Lanes` gives COUNT, the 16-bit lanes of a vector, with their `Vector`,
// their `Mask` of the used lanes and their `Sums`, and what is done to them:
// `add_vector` adds the differences of one vector of samples to the sums and
// raises the largest differences of the lanes; `differ` compares the used
// lanes of two vectors. Where TAKES_SMALL_DIFFERENCES, `Lanes` also has a
// faster path for differences up to LARGEST_SMALL_DIFFERENCE, which sums
// the squares of a sub-run in `SmallSums` and adds them to the sums after it.
template <typename Lanes>
void add_in_lanes(ChannelDifferences* differences, std::uint16_t channels, const std::int16_t* original,
                  const std::int16_t* copy, std::size_t frames, std::uint64_t first_frame) {
    if (channels == 0 || channels > Lanes::COUNT) {
        add_channel_differences_in_order(differences, channels, original, copy, frames, first_frame);
        return;
    }
    const std::size_t frames_per_vector = Lanes::COUNT / channels;
    const std::size_t step = frames_per_vector * channels;  // samples a vector moves on by
    const std::size_t samples = frames * channels;
    // Every vector loads COUNT samples, the unused lanes included.
    const std::size_t vectors = samples >= Lanes::COUNT ? (samples - Lanes::COUNT) / step + 1 : 0;
    const typename Lanes::Mask used = Lanes::first_lanes(step);
    std::uint16_t lane_largest[MOST_LANES];
    lane_largest_of(differences, channels, step, lane_largest);
    // The largest of each lane's channel so far, and of each lane itself.
    typename Lanes::Vector largest = Lanes::load(lane_largest);
    typename Lanes::Vector running = largest;
    // Whether the last sub-run held small differences only: the next one
    // tries the faster path, and takes itself again the usual way if a
    // difference in it is too large.
    bool small = true;
    for (std::size_t vector = 0; vector < vectors;) {
        typename Lanes::Sums sums{};
        const std::size_t flush_end = vector + std::min(vectors - vector, VECTORS_BETWEEN_FLUSHES);
        while (vector < flush_end) {
            const std::size_t sub_run_vectors = std::min(flush_end - vector, VECTORS_PER_SUB_RUN);
            const std::int16_t* const sub_run_original = original + vector * step;
            const std::int16_t* const sub_run_copy = copy + vector * step;
            typename Lanes::Vector sub_run_largest{};
            bool taken = false;
            if constexpr (Lanes::TAKES_SMALL_DIFFERENCES) {
                if (small) {
                    typename Lanes::SmallSums small_sums{};
                    for (std::size_t v = 0; v < sub_run_vectors; ++v) {
                        Lanes::add_small_vector(small_sums, sub_run_largest, sub_run_original + v * step,
                                                sub_run_copy + v * step);
                    }
                    // Saturated differences are never above the true ones:
                    // the largest stay right for the usual path.
                    taken = Lanes::all_at_most(sub_run_largest, LARGEST_SMALL_DIFFERENCE, used);
                    if (taken) {
                        Lanes::add_small(sums, small_sums);
                    }
                }
            }
            if (!taken) {
                for (std::size_t v = 0; v < sub_run_vectors; ++v) {
                    Lanes::add_vector(sums, sub_run_largest, sub_run_original + v * step,
                                      sub_run_copy + v * step);
                }
                if constexpr (Lanes::TAKES_SMALL_DIFFERENCES) {
                    small = Lanes::all_at_most(sub_run_largest, LARGEST_SMALL_DIFFERENCE, used);
                }
            }
            running = Lanes::max(running, sub_run_largest);
            if (Lanes::differ(running, largest, used)) {
                Lanes::store(lane_largest, running);
                const std::size_t first = vector * frames_per_vector;
                settle_largest(differences, channels, step, lane_largest, sub_run_original, sub_run_copy,
                               sub_run_vectors * frames_per_vector, first_frame + first);
                largest = Lanes::load(lane_largest);
                running = largest;
            }
            vector += sub_run_vectors;
        }
        LaneSums lane_sums{};  // what a kernel does not sum stays 0
        Lanes::store_sums(sums, lane_sums);
        add_lane_sums(differences, channels, step, lane_sums);
    }
    const std::size_t done = vectors * frames_per_vector;
    add_channel_differences_in_order(differences, channels, original + done * channels,
                                     copy + done * channels, frames - done, first_frame + done);
}

}  // namespace
}  // namespace vorik::detail
