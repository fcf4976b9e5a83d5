// The run flow of one comparison, from the two inputs to the closing pause.
//
// A run ends with exactly one closing message on the error stream, releases
// everything it acquired in one place, reads one character for the pause and
// gives the exit status that goes with the message.
#pragma once

#include <cstdio>

namespace vorik {

constexpr int EXIT_FINISHED = 0;
constexpr int EXIT_NOT_FINISHED = 1;
constexpr int EXIT_USAGE = -1;

// Where a run writes its output and reads its pause.
struct RunStreams {
    std::FILE* out;         // progress lines
    std::FILE* err;         // the closing message
    std::FILE* in;          // one character is read from it before the run ends
    bool unicode_messages;  // `err` is a terminal that shows Unicode: messages not in Shift_JIS
    bool flush_progress;    // `out` is flushed after every progress line
};

// The tool's entry, given its arguments: the banner, then the comparison of
// the two files they name, or the usage message where they name fewer.
// Returns the exit status.
int run_comparison(int argc, const char* const* argv);

// Opens and checks the first file, then the second (only once the first has
// passed), and compares them. Returns the exit status.
int compare_paths(const char* first_path, const char* second_path, const RunStreams& streams);

// The same comparison on two streams opened for binary reading, each at the
// start of its header. The run closes both. Returns the exit status.
int compare_streams(std::FILE* first_file, std::FILE* second_file, const RunStreams& streams);

// The closing pause: on a console, waits until the user ends a line.
void pause_for_one_character(std::FILE* in);

}  // namespace vorik
