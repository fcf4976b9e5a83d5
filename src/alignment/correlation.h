// The cross-correlation of the delay search, by Eigen's FFT. Not part of the
// library's interface.
#pragma once

#include <span>
#include <vector>

namespace vorik::detail {

// Fills `correlation` with sum over n of window[n] * span[n + k], for every k
// from 0 to span.size() - window.size(), from one product of two FFTs. The
// span is at least as long as the window. Returns false, and leaves
// `correlation` as it was, where the buffers cannot be allocated.
bool cross_correlate(std::span<const float> window, std::span<const float> span,
                     std::vector<float>& correlation);

}  // namespace vorik::detail
