#include "correlation.h"

#include <algorithm>
#include <complex>
#include <cstddef>
#include <new>
#include <unsupported/Eigen/FFT>
#include <utility>

namespace vorik::detail {
namespace {

// Eigen's default FFT counts in int; and a transform this long would need
// some 8 GiB of buffers, which the search never has.
constexpr std::size_t LARGEST_FFT_LENGTH = std::size_t{1} << 30;
// Its real transforms take the fast way on lengths that are multiples of 4.
constexpr std::size_t REAL_FFT_FACTOR = 4;
// Its transforms have butterflies of their own for these factors, and are
// about as fast per point on any length made of them: the shortest such
// length is a third shorter than the next power of two, on average.
constexpr std::size_t FAST_FACTORS[] = {2, 3, 5};

bool made_of_fast_factors(std::size_t length) {
    for (const std::size_t factor : FAST_FACTORS) {
        while (length % factor == 0) {
            length /= factor;
        }
    }
    return length == 1;
}

// The shortest length at least `wanted` that the transforms take fast.
std::size_t fast_length(std::size_t wanted) {
    std::size_t length =
        std::max(REAL_FFT_FACTOR, (wanted + REAL_FFT_FACTOR - 1) / REAL_FFT_FACTOR * REAL_FFT_FACTOR);
    while (!made_of_fast_factors(length)) {
        length += REAL_FFT_FACTOR;
    }
    return length;
}

}  // namespace

bool cross_correlate(std::span<const float> window, std::span<const float> span,
                     std::vector<float>& correlation) {
    if (span.size() > LARGEST_FFT_LENGTH) {
        return false;
    }
    // A circular correlation as long as the span: a lag k <= span - window
    // reads span[n + k] for n < window without wrapping round.
    const std::size_t length = fast_length(span.size());
    const std::size_t lags = span.size() - window.size() + 1;
    const auto fft_length = static_cast<Eigen::Index>(length);
    try {
        Eigen::FFT<float> fft;
        // Real signals: only the spectrum's first half, the rest mirrors it.
        fft.SetFlag(Eigen::FFT<float>::HalfSpectrum);
        std::vector<float> signal(length);
        std::vector<std::complex<float>> window_spectrum(length / 2 + 1);
        std::vector<std::complex<float>> span_spectrum(length / 2 + 1);
        std::copy(window.begin(), window.end(), signal.begin());
        fft.fwd(window_spectrum.data(), signal.data(), fft_length);
        std::fill(std::copy(span.begin(), span.end(), signal.begin()), signal.end(), 0.0F);
        fft.fwd(span_spectrum.data(), signal.data(), fft_length);
        for (std::size_t i = 0; i < span_spectrum.size(); ++i) {
            span_spectrum[i] *= std::conj(window_spectrum[i]);
        }
        fft.inv(signal.data(), span_spectrum.data(), fft_length);
        signal.resize(lags);
        correlation = std::move(signal);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace vorik::detail
