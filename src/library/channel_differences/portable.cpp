// The channel differences in plain C++: the kernel that CPUs without a
// hand-written one run, written for the compiler to vectorise, and the parts
// every kernel shares, built for any CPU.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels.h"
#include "lane_walk.h"

namespace vorik::detail {
namespace {

constexpr unsigned HALF_BITS = 16;
constexpr std::uint32_t LOW_HALF = 0xFFFF;
constexpr std::uint16_t LARGEST_DISTANCE = 0xFFFF;

// |a - b| fits 16 unsigned bits even where a - b does not fit 16 signed ones.
std::uint16_t distance(std::int16_t first, std::int16_t second) {
    const std::int16_t larger = first > second ? first : second;
    const std::int16_t smaller = first > second ? second : first;
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(larger) -
                                      static_cast<std::uint16_t>(smaller));
}

// Vectors of 16 lanes as plain arrays, each operation a loop over the lanes
// that the compiler makes vector instructions of.
struct PortableLanes {
    static constexpr std::size_t COUNT = 16;
    // The compiler makes no faster sums of small differences.
    static constexpr bool TAKES_SMALL_DIFFERENCES = false;
    struct Vector {
        std::uint16_t lanes[COUNT];
    };
    using Mask = Vector;  // all bits set in the used lanes
    struct Sums {
        std::uint32_t low_halves[COUNT];
        std::uint32_t high_halves[COUNT];
        std::uint16_t differing[COUNT];
    };

    static Mask first_lanes(std::size_t used) {
        Mask mask{};
        std::fill_n(mask.lanes, used, LARGEST_DISTANCE);
        return mask;
    }

    static void add_vector(Sums& sums, Vector& largest, const std::int16_t* original,
                           const std::int16_t* copy) {
        for (std::size_t i = 0; i < COUNT; ++i) {
            const std::uint16_t difference = distance(original[i], copy[i]);
            const std::uint32_t square = std::uint32_t{difference} * difference;
            sums.low_halves[i] += square & LOW_HALF;
            sums.high_halves[i] += square >> HALF_BITS;
            sums.differing[i] = static_cast<std::uint16_t>(sums.differing[i] + (difference != 0));
            largest.lanes[i] = std::max(largest.lanes[i], difference);
        }
    }

    static Vector max(const Vector& first, const Vector& second) {
        Vector larger;
        for (std::size_t i = 0; i < COUNT; ++i) {
            larger.lanes[i] = std::max(first.lanes[i], second.lanes[i]);
        }
        return larger;
    }

    static bool differ(const Vector& first, const Vector& second, const Mask& used) {
        unsigned differences = 0;
        for (std::size_t i = 0; i < COUNT; ++i) {
            differences |= static_cast<unsigned>((first.lanes[i] ^ second.lanes[i]) & used.lanes[i]);
        }
        return differences != 0;
    }

    static Vector load(const std::uint16_t (&lanes)[MOST_LANES]) {
        Vector vector;
        std::copy_n(lanes, COUNT, vector.lanes);
        return vector;
    }

    static void store(std::uint16_t (&lanes)[MOST_LANES], const Vector& vector) {
        std::copy_n(vector.lanes, COUNT, lanes);
    }

    static void store_sums(const Sums& sums, LaneSums& lane_sums) {
        for (std::size_t i = 0; i < COUNT; ++i) {
            lane_sums.low_halves[i % 2][i / 2] = sums.low_halves[i];
            lane_sums.high_halves[i % 2][i / 2] = sums.high_halves[i];
        }
        std::copy_n(sums.differing, COUNT, lane_sums.differing);
    }
};

}  // namespace

void add_channel_differences_portably(ChannelDifferences* differences, std::uint16_t channels,
                                      const std::int16_t* original, const std::int16_t* copy,
                                      std::size_t frames, std::uint64_t first_frame) {
    add_in_lanes<PortableLanes>(differences, channels, original, copy, frames, first_frame);
}

void add_channel_differences_in_order(ChannelDifferences* differences, std::uint16_t channels,
                                      const std::int16_t* original, const std::int16_t* copy,
                                      std::size_t frames, std::uint64_t first_frame) {
    for (std::size_t frame = 0; frame < frames; ++frame) {
        for (std::size_t channel = 0; channel < channels; ++channel) {
            const std::size_t i = frame * channels + channel;
            const std::uint16_t difference = distance(original[i], copy[i]);
            ChannelDifferences& record = differences[channel];
            add_to_sum(record.squares, std::uint64_t{difference} * difference);
            record.differing += difference != 0;
            if (difference > record.largest) {
                record.largest = difference;
                record.largest_at = first_frame + frame;
            }
        }
    }
}

void add_lane_sums(ChannelDifferences* differences, std::uint16_t channels, std::size_t lanes,
                   const LaneSums& sums) {
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        ChannelDifferences& record = differences[lane % channels];
        const std::uint64_t high_halves = sums.high_halves[lane % 2][lane / 2];
        add_to_sum(record.squares, (high_halves << HALF_BITS) + sums.low_halves[lane % 2][lane / 2]);
        add_to_sum(record.squares, sums.whole_squares[lane % 4][lane / 4]);
        record.differing += sums.differing[lane];
    }
}

void lane_largest_of(const ChannelDifferences* differences, std::uint16_t channels, std::size_t lanes,
                     std::uint16_t (&lane_largest)[MOST_LANES]) {
    std::fill_n(lane_largest, MOST_LANES, std::uint16_t{0});
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        // No difference of 16-bit samples is larger; a record that claims
        // one keeps it.
        lane_largest[lane] = static_cast<std::uint16_t>(
            std::min(differences[lane % channels].largest, std::uint32_t{LARGEST_DISTANCE}));
    }
}

void settle_largest(ChannelDifferences* differences, std::uint16_t channels, std::size_t lanes,
                    std::uint16_t (&lane_largest)[MOST_LANES], const std::int16_t* original,
                    const std::int16_t* copy, std::size_t frames, std::uint64_t first_frame) {
    // A kernel takes no more channels than it has lanes.
    std::uint16_t channel_largest[MOST_LANES] = {};
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        std::uint16_t& largest = channel_largest[lane % channels];
        largest = std::max(largest, lane_largest[lane]);
    }
    for (std::size_t channel = 0; channel < channels; ++channel) {
        ChannelDifferences& record = differences[channel];
        if (channel_largest[channel] <= record.largest) {
            continue;
        }
        // It occurs in this sub-run: the lanes held no more before it.
        for (std::size_t frame = 0; frame < frames; ++frame) {
            if (distance(original[frame * channels + channel], copy[frame * channels + channel]) ==
                channel_largest[channel]) {
                record.largest = channel_largest[channel];
                record.largest_at = first_frame + frame;
                break;
            }
        }
    }
    lane_largest_of(differences, channels, lanes, lane_largest);
}

}  // namespace vorik::detail
