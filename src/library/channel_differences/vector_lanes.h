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
template <typename Instructions>
struct VectorLanes : Instructions {
    using Vector = typename Instructions::Vector;

    // The halves of the squares in 32-bit lanes, each the sum of an even
    // 16-bit lane and, shifted up by 16 bits, the odd one after it; and the
    // odd lanes' sums alone. Both halves of a 32-bit lane are added at once:
    // the carries of the even lane's sum go into the odd one's, and the
    // flush takes them out again with the odd lane's own sum.
    struct Sums {
        Vector low_halves;
        Vector odd_low_halves;
        Vector high_halves;
        Vector odd_high_halves;
        Vector differing;
    };

    static void add_halves(Vector& both, Vector& odd, const Vector& halves) {
        both = Instructions::add_words(both, halves);
        odd = Instructions::add_words(odd, Instructions::odd_halves(halves));
    }

    static void take(Sums& sums, Vector& running, const std::int16_t* original, const std::int16_t* copy) {
        const Vector distances = Instructions::distances(original, copy);
        add_halves(sums.low_halves, sums.odd_low_halves, Instructions::low_square_halves(distances));
        add_halves(sums.high_halves, sums.odd_high_halves, Instructions::high_square_halves(distances));
        sums.differing = Instructions::add_differing(sums.differing, distances);
        running = Instructions::max(running, distances);
    }

    static void store_sums(const Sums& sums, LaneSums& lane_sums) {
        Instructions::store(lane_sums.low_halves[0],
                            Instructions::even_halves(sums.low_halves, sums.odd_low_halves));
        Instructions::store(lane_sums.low_halves[1], sums.odd_low_halves);
        Instructions::store(lane_sums.high_halves[0],
                            Instructions::even_halves(sums.high_halves, sums.odd_high_halves));
        Instructions::store(lane_sums.high_halves[1], sums.odd_high_halves);
        Instructions::store(lane_sums.differing, sums.differing);
    }
};

}  // namespace
}  // namespace vorik::detail
