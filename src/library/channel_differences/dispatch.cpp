// Which kernel adds the channel differences, chosen once from the running
// CPU as for the square sums. The build defines VORIK_X86_KERNELS where it
// compiles avx2.cpp and avx512.cpp (x86 with GCC or Clang); elsewhere the
// portable kernel is all there is.
#include <vorik/channel_differences.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels.h"

#ifdef VORIK_X86_KERNELS
#include "../square_sums/kernels.h"
#endif

namespace vorik {

#ifdef VORIK_X86_KERNELS

std::span<const detail::ChannelDifferencesKernel> detail::runnable_channel_differences_kernels() {
    static const ChannelDifferencesKernel kernels[] = {{"AVX-512", add_channel_differences_avx512},
                                                       {"AVX2", add_channel_differences_avx2},
                                                       {"portable", add_channel_differences_portably}};
    return std::span(kernels).subspan(fastest_runnable_kernel());
}

#else

std::span<const detail::ChannelDifferencesKernel> detail::runnable_channel_differences_kernels() {
    static const ChannelDifferencesKernel kernels[] = {{"portable", add_channel_differences_portably}};
    return kernels;
}

#endif

void add_channel_differences(ChannelDifferences* differences, std::uint16_t channels,
                             const std::int16_t* original, const std::int16_t* copy, std::size_t frames,
                             std::uint64_t first_frame) {
    static const auto kernel = detail::runnable_channel_differences_kernels().front().add;
    kernel(differences, channels, original, copy, frames, first_frame);
}

}  // namespace vorik
