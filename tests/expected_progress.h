// The progress line worked out independently of the tool, from squared
// difference totals and a pair count, for the tests that run the tool.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

namespace vorik_test {

inline std::string progress_line(double sum_left, double sum_right, double frames) {
    constexpr double NO_ERROR_PSNR = 333.0;
    constexpr double FULL_SCALE = 65535.0;
    constexpr double DECIBELS_PER_DECADE = 20.0;
    constexpr std::size_t LINE_CAPACITY = 128;
    const auto psnr = [frames](double sum) {
        return sum == 0.0 ? NO_ERROR_PSNR
                          : DECIBELS_PER_DECADE * std::log10(FULL_SCALE / std::sqrt(sum / frames));
    };
    const double left = psnr(sum_left);
    const double right = psnr(sum_right);
    char line[LINE_CAPACITY];
    std::snprintf(line, sizeof line, "L%8.3fdB | R%8.3fdB | LR%8.3fdB\r", left, right, (left + right) * 0.5);
    return line;
}

}  // namespace vorik_test
