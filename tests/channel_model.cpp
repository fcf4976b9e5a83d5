#include "channel_model.h"

#include <algorithm>
#include <cmath>

namespace vorik_test {

ModelComparison model_comparison(const std::vector<std::int16_t>& original,
                                 const std::vector<std::int16_t>& copy, std::uint16_t channels,
                                 std::uint32_t sample_rate, std::int64_t delay) {
    ModelComparison model;
    const std::uint64_t original_frames = original.size() / channels;
    const std::uint64_t copy_frames = copy.size() / channels;
    model.original_skipped =
        delay < 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(-delay), original_frames) : 0;
    model.copy_skipped =
        delay > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(delay), copy_frames) : 0;
    const std::uint64_t original_rest = original_frames - model.original_skipped;
    const std::uint64_t copy_rest = copy_frames - model.copy_skipped;
    model.frames = std::min(original_rest, copy_rest);
    model.original_left = original_rest - model.frames;
    model.copy_left = copy_rest - model.frames;
    model.total.assign(channels, {});
    for (std::uint64_t f = 0; f < model.frames; ++f) {
        if (f % sample_rate == 0) {
            model.seconds.emplace_back(channels);
            model.second_frames.push_back(0);
        }
        ++model.second_frames.back();
        for (std::uint16_t c = 0; c < channels; ++c) {
            const long a = original[static_cast<std::size_t>((model.original_skipped + f) * channels + c)];
            const long b = copy[static_cast<std::size_t>((model.copy_skipped + f) * channels + c)];
            const auto distance = static_cast<std::uint32_t>(a > b ? a - b : b - a);
            for (ModelChannel* channel : {&model.seconds.back()[c], &model.total[c]}) {
                channel->squares += std::uint64_t{distance} * distance;
                channel->differing += distance != 0 ? 1 : 0;
                if (distance > channel->largest) {
                    channel->largest = distance;
                    channel->largest_at = f;
                }
            }
        }
    }
    return model;
}

double model_psnr_db(std::uint64_t squares, std::uint64_t frames) {
    if (squares == 0) {
        return 333.0;
    }
    const long double mean = static_cast<long double>(squares) / static_cast<long double>(frames);
    return static_cast<double>(20.0L * std::log10(65535.0L / std::sqrt(mean)));
}

}  // namespace vorik_test
