#pragma once

#include <sys/types.h>

#include <functional>
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

// The tool the harness runs: by default the one built beside the tests. The
// environment can name another build, such as a Windows executable run
// through an emulator:
//   VORIK_TOOL           path of the tool
//   VORIK_TOOL_EMULATOR  program that runs the tool, given the tool's path first
//   VORIK_TOOL_LINE_END  "crlf" when the tool's text streams end lines with CR LF
struct ToolUnderTest {
    std::string path;
    std::string emulator;  // empty when the tool runs directly
    bool crlf_line_ends = false;
};

const ToolUnderTest& tool_under_test();

// A program named by the environment variable `path_variable`, or else by
// `default_path`, run as the tool under test is (through its emulator).
ToolUnderTest tool_from_environment(const char* path_variable, const char* default_path);

// Terminal and memory checks see the emulator rather than the tool, so they
// apply only to a tool that runs directly.
bool tool_runs_directly();

// `text` as the tool's text streams write it: each "\n" as the line end.
std::string as_written(const std::string& text);

// What the child is given before it runs the tool.
struct ChildSetup {
    unsigned long stack_bytes = 0;          // the stack's limit, where not 0
    unsigned long address_space_bytes = 0;  // the address space's limit, where not 0
    // The program to run, where not the tool under test.
    const ToolUnderTest* program = nullptr;
};

// Runs the tool with stdout and stderr on separate pipes and stdin from
// /dev/null, or from a file holding `input` when one is given; env is added
// to the inherited environment.
PipedRun run_piped(const Args& args, const EnvAdditions& env = {}, const char* input = nullptr,
                   const ChildSetup& setup = {});

// Runs the tool as run_piped does, but with its stdout into a pipe of one
// page that is read only once the tool is held up writing to it, as by a
// paused terminal; `while_held` runs then, given the tool's process.
PipedRun run_held_up(const Args& args, const std::function<void(pid_t)>& while_held);

// Runs the tool on a raw pseudo-terminal (stdin, stdout and stderr) with
// env added to the inherited environment, and answers its closing pause
// with a line feed.
TerminalRun run_on_terminal(const Args& args, const EnvAdditions& env);

}  // namespace vorik_test
