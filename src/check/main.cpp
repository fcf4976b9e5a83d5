// vorik-check: how a copy of a 16-bit PCM WAV file differs from its
// original, channel by channel and second by second, and whether it passes.
#include <cstdio>
#include <exception>

#include "check_run.h"
#include "names.h"
#include "platform/console_and_files.h"

namespace vorik::check {
namespace {

int run(int argc, const char* const* argv) {
    const CheckStreams streams{stdout, stderr, stream_is_terminal(stderr)};
    // The run itself raises nothing; a container that cannot grow can.
    try {
        return run_check(argc, argv, streams);
    } catch (const std::exception&) {
        std::fprintf(stderr, "%s: out of memory\n", CHECK_PROGRAM_NAME);
        return EXIT_NOT_MEASURED;
    }
}

}  // namespace
}  // namespace vorik::check

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return vorik::run_with_utf8_arguments(argc, argv, vorik::check::run); }
#else
int main(int argc, char** argv) { return vorik::check::run(argc, argv); }
#endif
