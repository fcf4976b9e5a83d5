// A progress line on a terminal's standard error while a long comparison
// is measured: how much audio is done, of how much where that is known.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vorik::check {

struct Progress {
    std::FILE* terminal;  // null: no progress is shown
    std::uint32_t sample_rate;
    std::uint64_t total_frames;  // 0: not known (a pipe)
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point last_shown;
    std::size_t shown_width;  // characters of the line on the screen
};

// Shows how far the comparison is, at most a few times a second, once it
// has taken long enough to be worth showing.
void show_progress(Progress& progress, std::uint64_t frames_done);

// Takes the progress line off the screen.
void clear_progress(Progress& progress);

// A time in seconds as m:ss, or h:mm:ss from an hour on.
std::string clock_time(double seconds);

}  // namespace vorik::check
