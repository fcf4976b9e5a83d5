// The kernels of this build, one record per instruction set: the square
// sums, the rounded sums and the channel differences made with it. The
// library runs the fastest set the running CPU can take, chosen once; the
// tests and the benchmark take each set in turn. Not part of the library's
// interface.
#pragma once

#include <cstdint>
#include <span>

#include "channel_differences/kernels.h"
#include "square_sums/square_sums.h"

namespace vorik::detail {

struct Kernels {
    const char* name;
    bool (*runs_here)();  // whether the running CPU has the instructions
    SquareSums (*sum_squares)(const std::int16_t* first_block, const std::int16_t* second_block,
                              std::uint32_t pairs);
    RoundedSums (*sum_rounded_squares)(const std::int16_t* first_block, const std::int16_t* second_block,
                                       std::uint32_t pairs, RoundingSide left, RoundingSide right);
    // The rounded sums run faster than the in-order loop up to a spacing of
    // 2^this; 0 where they never do.
    unsigned last_fast_rounding_exponent;
    AddChannelDifferences add_channel_differences;
};

// The kernels of this build that the running CPU can take, fastest first,
// the portable ones last.
std::span<const Kernels> runnable_kernels();

// The kernels the library runs: the first of runnable_kernels(), unless
// use_kernels chose others.
const Kernels& kernels_in_use();

// Runs everything from now on with `kernels`, one of runnable_kernels(): for
// the tests, which measure with each set in turn. Not while another thread
// measures.
void use_kernels(const Kernels& kernels);

}  // namespace vorik::detail
