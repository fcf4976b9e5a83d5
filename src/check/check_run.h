// The run flow of vorik-check, from the command line to the exit status.
//
// A run reads its options, opens and checks both inputs, searches the
// copy's delay, measures second by second (two threads sum regular files),
// writes the per-second rows as they come, judges the copy against the
// limits given, draws the picture where --plot asks for one, writes the
// summary, releases everything it acquired in one place, and returns the
// exit status.
#pragma once

#include <cstdio>

namespace vorik::check {

constexpr int EXIT_PASSED = 0;        // measured, and every limit holds
constexpr int EXIT_FAILED = 1;        // measured, and a limit fails
constexpr int EXIT_NOT_MEASURED = 2;  // usage, unreadable, refused, or an input cut while read

// Where a run writes.
struct CheckStreams {
    std::FILE* out;      // the report
    std::FILE* err;      // warnings and errors
    bool show_progress;  // `err` is a terminal: a progress line while measuring
};

// Runs vorik-check on its arguments (UTF-8 on every system). Returns the exit status.
int run_check(int argc, const char* const* argv, const CheckStreams& streams);

}  // namespace vorik::check
