// vorik: the running PSNR of one 16-bit PCM WAV file against another.
#include "comparison.h"
#include "platform/console_and_files.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return vorik::run_with_utf8_arguments(argc, argv, vorik::run_comparison);
}
#else
int main(int argc, char** argv) { return vorik::run_comparison(argc, argv); }
#endif
