// vorik: the running PSNR of one 16-bit PCM WAV file against another.
#include <cstdio>

#include "comparison.h"
#include "messages.h"
#include "platform/console_and_files.h"

namespace vorik {
namespace {

int run_comparison(int argc, const char* const* argv) {
    std::fprintf(stderr, BANNER_FORMAT, PROGRAM_NAME, PROGRAM_VERSION);
    const RunStreams streams{stdout, stderr, stdin, terminal_shows_unicode(stderr),
                             stream_is_terminal(stdout)};
    if (argc < 3) {
        write_message(streams.err, MESSAGE_USAGE, streams.unicode_messages);
        pause_for_one_character(streams.in);
        return EXIT_USAGE;
    }
    return compare_paths(argv[1], argv[2], streams);
}

}  // namespace
}  // namespace vorik

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return vorik::run_with_utf8_arguments(argc, argv, vorik::run_comparison);
}
#else
int main(int argc, char** argv) { return vorik::run_comparison(argc, argv); }
#endif
