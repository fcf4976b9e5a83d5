// What the AVX2 and the AVX-512 kernels share: their sums and what a vector
// of samples adds to them, over the instructions of either width, which
// avx2.cpp and avx512.cpp each give in a type of their own, built under
// their own target flags.
//
// Each file's copy must stay its own: the template is instantiated with a
// type of that file's anonymous namespace.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace vorik::detail {
namespace {

// The `Lanes` of lane_walk.h from the instructions of one vector width.
//
// The usual path takes |a - b| as the difference of the larger and the
// smaller sample, which fits 16 unsigned bits, and sums the 16-bit halves of
// its square in 32-bit lanes, each holding an even 16-bit lane and, shifted
// up by 16 bits, the odd one after it. Both halves of a 32-bit lane are
// added at once: the carries of the even lane's sum go into the odd one's,
// and the flush takes them out again with the sum of the odd lanes alone.
//
// The path for small differences takes the difference saturated to 16
// signed bits, which is exact while it is small, and squares it with the
// multiply that adds the products of two 16-bit lanes into one 32-bit lane:
// once for both lanes, once for the even lane alone. Its 32-bit lanes hold a
// sub-run, after which they are added to 64-bit lanes.
template <typename Instructions>
struct VectorLanes : Instructions {
    using Vector = typename Instructions::Vector;
    static constexpr bool TAKES_SMALL_DIFFERENCES = true;

    struct Sums {
        Vector low_halves;
        Vector odd_low_halves;
        Vector high_halves;
        Vector odd_high_halves;
        // The small paths' sums, each 64-bit lane from the 32-bit lanes at
        // its bottom ([0]) and at its top ([1]).
        Vector even_squares[2];
        Vector pair_squares[2];
        Vector differing;
    };

    struct SmallSums {
        Vector even_squares;  // of the even 16-bit lanes
        Vector pair_squares;  // of both 16-bit lanes
        Vector differing;
    };

    static void add_halves(Vector& both, Vector& odd, const Vector& halves) {
        both = Instructions::add_words(both, halves);
        odd = Instructions::add_words(odd, Instructions::odd_halves(halves));
    }

    static void count(Vector& differing, Vector& largest, const Vector& distances) {
        differing = Instructions::add_lanes(differing, Instructions::differing_lanes(distances));
        largest = Instructions::max(largest, distances);
    }

    static void add_vector(Sums& sums, Vector& largest, const std::int16_t* original,
                           const std::int16_t* copy) {
        const Vector distances = Instructions::distances(original, copy);
        add_halves(sums.low_halves, sums.odd_low_halves, Instructions::low_square_halves(distances));
        add_halves(sums.high_halves, sums.odd_high_halves, Instructions::high_square_halves(distances));
        count(sums.differing, largest, distances);
    }

    static void add_small_vector(SmallSums& sums, Vector& largest, const std::int16_t* original,
                                 const std::int16_t* copy) {
        const Vector distances = Instructions::saturated_distances(original, copy);
        sums.even_squares = Instructions::add_words(
            sums.even_squares, Instructions::pair_squares(distances, Instructions::even_lanes(distances)));
        sums.pair_squares =
            Instructions::add_words(sums.pair_squares, Instructions::pair_squares(distances, distances));
        count(sums.differing, largest, distances);
    }

    static void add_quads(Vector (&wide)[2], const Vector& words) {
        wide[0] = Instructions::add_quads(wide[0], Instructions::bottom_words(words));
        wide[1] = Instructions::add_quads(wide[1], Instructions::top_words(words));
    }

    static void add_small(Sums& sums, const SmallSums& small) {
        add_quads(sums.even_squares, small.even_squares);
        add_quads(sums.pair_squares, small.pair_squares);
        sums.differing = Instructions::add_lanes(sums.differing, small.differing);
    }

    static void store_sums(const Sums& sums, LaneSums& lane_sums) {
        Instructions::store(lane_sums.low_halves[0],
                            Instructions::even_halves(sums.low_halves, sums.odd_low_halves));
        Instructions::store(lane_sums.low_halves[1], sums.odd_low_halves);
        Instructions::store(lane_sums.high_halves[0],
                            Instructions::even_halves(sums.high_halves, sums.odd_high_halves));
        Instructions::store(lane_sums.high_halves[1], sums.odd_high_halves);
        // 16-bit lane 4j: the bottom of 64-bit lane j; 4j + 2: its top; the
        // odd ones, the pairs less the even ones.
        for (std::size_t top = 0; top < 2; ++top) {
            const Vector& even = sums.even_squares[top];
            Instructions::store(lane_sums.whole_squares[2 * top], even);
            Instructions::store(lane_sums.whole_squares[2 * top + 1],
                                Instructions::sub_quads(sums.pair_squares[top], even));
        }
        Instructions::store(lane_sums.differing, sums.differing);
    }
};

}  // namespace
}  // namespace vorik::detail
