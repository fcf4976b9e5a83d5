#include "psnr_meter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "square_sums.h"

namespace {

// Every integer up to 2^53 is exact in double, so below it an in-order sum
// of integer squares never rounds and equals the integer sum.
constexpr double EXACT_INTEGER_LIMIT = 9007199254740992.0;
constexpr double LARGEST_SQUARE = 65535.0 * 65535.0;
// Pairs summed in integers between two checks against the limit: small
// enough that the check is met until the totals are close to it.
constexpr std::uint32_t PAIRS_PER_EXACT_STEP = 1U << 16;

// Whether adding up to `largest_increase` to `sum` keeps every partial sum
// an exact integer. A total that is not a whole number (never one the tool
// makes) goes the in-order way.
bool sum_stays_exact(double sum, double largest_increase) {
    return sum >= 0.0 && sum <= EXACT_INTEGER_LIMIT - largest_increase && std::trunc(sum) == sum;
}

double add_exactly(double sum, std::uint64_t increase) {
    return static_cast<double>(static_cast<std::uint64_t>(sum) + increase);
}

void add_squares_in_order(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                          const std::int16_t* second_block, std::uint32_t pairs) {
    for (std::size_t k = 0; k < pairs; ++k) {
        // A difference spans -65535..65535; its square needs more than 31 bits.
        const std::int64_t left = first_block[2 * k] - second_block[2 * k];
        const std::int64_t right = first_block[2 * k + 1] - second_block[2 * k + 1];
        accumulator.sum_sq_left += static_cast<double>(left * left);
        accumulator.sum_sq_right += static_cast<double>(right * right);
    }
}

double side_psnr(double sum_sq, std::uint64_t frames) {
    if (sum_sq == 0.0) {
        return PSNR_IDENTICAL;
    }
    const double mean_sq = sum_sq / static_cast<double>(frames);
    return 20.0 * std::log10(PSNR_PEAK / std::sqrt(mean_sq));
}

}  // namespace

void accumulate_block_in_order(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                               const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    add_squares_in_order(accumulator, first_block, second_block, pairs);
    accumulator.frames += pairs;
}

void accumulate_block(PsnrAccumulator& accumulator, const std::int16_t* first_block,
                      const std::int16_t* second_block, std::uint32_t count) {
    const std::uint32_t pairs = count / 2;
    std::uint32_t done = 0;
    while (done < pairs) {
        const std::uint32_t step = std::min(pairs - done, PAIRS_PER_EXACT_STEP);
        const double largest_increase = step * LARGEST_SQUARE;
        if (!sum_stays_exact(accumulator.sum_sq_left, largest_increase) ||
            !sum_stays_exact(accumulator.sum_sq_right, largest_increase)) {
            break;
        }
        const SquareSums sums = sum_squared_differences(first_block + 2 * std::size_t{done},
                                                        second_block + 2 * std::size_t{done}, step);
        accumulator.sum_sq_left = add_exactly(accumulator.sum_sq_left, sums.left);
        accumulator.sum_sq_right = add_exactly(accumulator.sum_sq_right, sums.right);
        done += step;
    }
    // Near 2^53 the double additions start to round; from there on they are
    // made one by one, exactly as the in-order loop makes them.
    add_squares_in_order(accumulator, first_block + 2 * std::size_t{done},
                         second_block + 2 * std::size_t{done}, pairs - done);
    accumulator.frames += pairs;
}

PsnrResult compute_psnr(const PsnrAccumulator& accumulator) {
    return {side_psnr(accumulator.sum_sq_left, accumulator.frames),
            side_psnr(accumulator.sum_sq_right, accumulator.frames)};
}
