// The picture of a comparison: each channel's PSNR second by second as an
// SVG image, so that a reader sees at once where the copy falls short.
// The drawing only turns figures into text; it reads and writes no file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorik::check {

// What the picture shows: the figures of every second and of the whole file.
struct PlotSeries {
    std::string original;  // the file names as given, in any bytes
    std::string copy;
    std::uint32_t sample_rate = 0;
    std::uint16_t channels = 0;
    double start_s = 0.0;      // where the first second compared starts in the original
    std::uint64_t frames = 0;  // compared
    // Second by second, channel by channel: [second * channels + channel].
    std::vector<double> second_db;   // the second's own PSNR
    std::vector<double> running_db;  // from the first frame compared to the second's end
    std::vector<double> whole_db;    // each channel's over every frame compared
    std::optional<double> min_psnr;
    std::optional<double> min_second_psnr;
    bool has_worst = false;
    std::uint64_t worst_second = 0;
    std::uint16_t worst_channel = 0;  // counted from 1
    double worst_db = 0.0;
};

// The picture as a whole SVG document. Its size does not grow with the
// length of the comparison: where a column of pixels covers several seconds,
// the lines run from the lowest to the highest of them, so that no second's
// dip is averaged away.
std::string plot_svg(const PlotSeries& series);

}  // namespace vorik::check
