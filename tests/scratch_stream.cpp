#include "scratch_stream.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vorik_test {

#ifdef _WIN32
// msvcrt's tmpfile() creates its file in the root of the current drive,
// where an ordinary user may not write; the temporary directory is theirs.
// "D" has the stream's file deleted when it is closed.
std::FILE* scratch_stream() {
    char directory[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof directory, directory);
    if (length == 0 || length > sizeof directory || GetTempFileNameA(directory, "vrk", 0, path) == 0) {
        throw std::runtime_error("no temporary file name");
    }
    std::FILE* file = std::fopen(path, "w+bD");
    if (file == nullptr) {
        DeleteFileA(path);
        throw std::runtime_error(std::string("cannot open ") + path);
    }
    return file;
}
#else
std::FILE* scratch_stream() {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) throw std::runtime_error("tmpfile failed");
    return file;
}
#endif

std::string contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text.push_back(static_cast<char>(c));
    return text;
}

}  // namespace vorik_test
