#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vorik_test {

using Args = std::vector<std::string>;
using EnvAdditions = std::vector<std::pair<std::string, std::string>>;

// In both results, status is the tool's exit status, or -1 when it did not
// exit normally (killed by a signal or by the safety timeout).
struct PipedRun {
    std::string out;
    std::string err;
    int status = -1;
    long peak_rss_kib = 0;
    long input_consumed = 0;  // bytes of `input` the tool took from stdin
};

struct TerminalRun {
    std::string output;  // stdout and stderr, interleaved as they reached the terminal
    int status = -1;
};

// Runs the tool with stdout and stderr on separate pipes and stdin from
// /dev/null, or from a file holding `input` when one is given; env is added
// to the inherited environment.
PipedRun run_piped(const Args& args, const EnvAdditions& env = {}, const char* input = nullptr);

// Runs the tool on a raw pseudo-terminal (stdin, stdout and stderr) with
// LC_ALL=lc_all and answers its closing pause with a line feed.
TerminalRun run_on_terminal(const Args& args, const std::string& lc_all);

}  // namespace vorik_test
