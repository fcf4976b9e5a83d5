#include "progress.h"

#include <algorithm>
#include <cmath>

namespace vorik::check {
namespace {

// Often enough to look alive, rarely enough to cost nothing.
constexpr std::chrono::milliseconds SHOWN_EVERY{200};
// A comparison done sooner shows no progress: it would only flicker.
constexpr std::chrono::milliseconds SHOWN_FROM{500};
constexpr int BAR_WIDTH = 30;
constexpr int SECONDS_PER_MINUTE = 60;
constexpr int SECONDS_PER_HOUR = 3600;
constexpr double PERCENT = 100.0;

void put_line(Progress& progress, const std::string& line) {
    // Spaces cover what is left of a longer line: every terminal takes them,
    // where not every Windows console takes escape sequences.
    const std::size_t cover = progress.shown_width > line.size() ? progress.shown_width - line.size() : 0;
    std::fprintf(progress.terminal, "\r%s%s", line.c_str(), std::string(cover, ' ').c_str());
    std::fflush(progress.terminal);
    progress.shown_width = line.size();
}

}  // namespace

std::string clock_time(double seconds) {
    const auto whole = static_cast<long long>(std::floor(std::max(0.0, seconds)));
    char text[32];
    if (whole >= SECONDS_PER_HOUR) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / SECONDS_PER_HOUR,
                      whole % SECONDS_PER_HOUR / SECONDS_PER_MINUTE, whole % SECONDS_PER_MINUTE);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / SECONDS_PER_MINUTE,
                      whole % SECONDS_PER_MINUTE);
    }
    return text;
}

void show_progress(Progress& progress, std::uint64_t frames_done) {
    if (progress.terminal == nullptr) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - progress.started < SHOWN_FROM ||
        (progress.shown_width > 0 && now - progress.last_shown < SHOWN_EVERY)) {
        return;
    }
    progress.last_shown = now;
    const double done = static_cast<double>(frames_done) / progress.sample_rate;
    std::string line = "vorik-check: " + clock_time(done);
    if (progress.total_frames > 0) {
        const double part =
            std::min(1.0, static_cast<double>(frames_done) / static_cast<double>(progress.total_frames));
        const int filled = static_cast<int>(part * BAR_WIDTH);
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3.0f%%", part * PERCENT);
        line += " of " + clock_time(static_cast<double>(progress.total_frames) / progress.sample_rate) +
                " [" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '.') + "]" + percent;
    }
    put_line(progress, line);
}

void clear_progress(Progress& progress) {
    if (progress.terminal == nullptr || progress.shown_width == 0) {
        return;
    }
    put_line(progress, "");
    std::fputc('\r', progress.terminal);
    progress.shown_width = 0;
}

}  // namespace vorik::check
