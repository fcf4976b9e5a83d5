#include "psnr_meter.h"

#include <cmath>
#include <cstddef>

namespace {

double side_psnr(double sum_sq, std::uint64_t frames) {
    if (sum_sq == 0.0) {
        return PSNR_IDENTICAL;
    }
    const double mean_sq = sum_sq / static_cast<double>(frames);
    return 20.0 * std::log10(PSNR_PEAK / std::sqrt(mean_sq));
}

}  // namespace

void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    for (std::size_t k = 0; k < pairs; ++k) {
        // A difference spans -65535..65535; its square needs more than 31 bits.
        const std::int64_t left = first_block[2 * k] - second_block[2 * k];
        const std::int64_t right = first_block[2 * k + 1] - second_block[2 * k + 1];
        accumulator.sum_sq_left += static_cast<double>(left * left);
        accumulator.sum_sq_right += static_cast<double>(right * right);
    }
    accumulator.frames += pairs;
}

PsnrResult compute_psnr(const PsnrAccumulator& accumulator) {
    return {side_psnr(accumulator.sum_sq_left, accumulator.frames),
            side_psnr(accumulator.sum_sq_right, accumulator.frames)};
}
