// The plain model of a channel comparison that vorik-check's tests hold the
// program against: every frame in order, each channel's sums in integers,
// the frames before the delay skipped and those after the shorter input's
// end counted.
#pragma once

#include <cstdint>
#include <vector>

namespace vorik_test {

struct ModelChannel {
    std::uint64_t squares = 0;
    std::uint64_t differing = 0;
    std::uint32_t largest = 0;
    std::uint64_t largest_at = 0;  // the first frame with it, counted from the first compared
};

struct ModelComparison {
    std::vector<std::vector<ModelChannel>> seconds;  // each second's channels
    std::vector<std::uint32_t> second_frames;
    std::vector<ModelChannel> total;
    std::uint64_t frames = 0;
    std::uint64_t original_skipped = 0;
    std::uint64_t copy_skipped = 0;
    std::uint64_t original_left = 0;
    std::uint64_t copy_left = 0;
};

// Compares `original` and `copy`, interleaved samples of `channels`
// channels, one second of `sample_rate` frames at a time, the copy's frame
// `delay` paired with the original's frame 0.
ModelComparison model_comparison(const std::vector<std::int16_t>& original,
                                 const std::vector<std::int16_t>& copy, std::uint16_t channels,
                                 std::uint32_t sample_rate, std::int64_t delay);

// 20 log10(65535 / sqrt(squares / frames)) in long double, or 333 for no difference.
double model_psnr_db(std::uint64_t squares, std::uint64_t frames);

}  // namespace vorik_test
