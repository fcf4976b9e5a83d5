#include "platform.h"

#ifdef _WIN32

#include <io.h>
#include <windows.h>

namespace {
constexpr UINT UTF8_CODE_PAGE = 65001;
}

// _isatty() also holds for NUL and other character devices; only a console
// has a console mode.
bool stream_is_terminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

bool terminal_expects_utf8(std::FILE* stream) {
    return stream_is_terminal(stream) && GetConsoleOutputCP() == UTF8_CODE_PAGE;
}

// Windows refuses to open a directory as a file, so an opened path never is one.
bool opened_path_is_directory(std::FILE*) { return false; }

#else

#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

bool stream_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

bool terminal_expects_utf8(std::FILE* stream) {
    if (!stream_is_terminal(stream)) {
        return false;
    }
    // Only the character type category: numbers must keep printing with '.'.
    std::setlocale(LC_CTYPE, "");
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

bool opened_path_is_directory(std::FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

#endif
