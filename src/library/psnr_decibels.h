// The PSNR of a sum of squared differences over a count of samples, as
// vorik's meter gives a side and vorik-check a channel: one expression, so
// that both give the same double for the same sum and count.
#pragma once

#include <cstdint>

namespace vorik::detail {

// 20 log10(PSNR_PEAK / sqrt(sum_sq / count)) with the library's correctly
// rounded log10, or PSNR_IDENTICAL where the sum is 0.
double psnr_decibels(double sum_sq, std::uint64_t count);

}  // namespace vorik::detail
