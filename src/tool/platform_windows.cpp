// What the tool asks of Windows: UTF-16 arguments and file names, the
// console's code page, 64-bit stream positions. Files are read through
// their streams there, so the mapping calls are stand-ins that map nothing.
#include "platform.h"

#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace vorik {
namespace {
constexpr UINT UTF8_CODE_PAGE = 65001;
}

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        // The lengths count the terminating null, which the string holds past its end.
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(bytes > 1 ? static_cast<std::size_t>(bytes - 1) : 0, '\0');
        if (!argument.empty()) {
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, argument.data(), bytes, nullptr, nullptr);
        }
        arguments.push_back(argument);
    }
    return arguments;
}

std::FILE* open_for_reading(const char* path) {
    const int characters = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (characters <= 0) {
        return nullptr;
    }
    std::wstring wide(static_cast<std::size_t>(characters - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), characters);
    return _wfopen(wide.c_str(), L"rb");
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

bool regular_file_size(std::FILE* file, std::uint64_t& bytes) {
    struct _stati64 status {};
    if (_fstati64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool stream_position(std::FILE* file, std::uint64_t& offset) {
    const __int64 position = _ftelli64(file);
    offset = static_cast<std::uint64_t>(position);
    return position >= 0;
}

// Files are read through their streams on Windows: a mapping there has not
// been measured to gain anything.
bool start_mapped_input(std::FILE*, std::uint64_t, std::size_t, MappedInput& mapped) {
    mapped = {};
    return false;
}
bool move_window(MappedInput&, std::uint64_t, std::size_t) { return false; }
bool window_maps_cheaply(const MappedInput&) { return true; }
bool window_shows_bytes_before(const MappedInput&, std::uint64_t) { return false; }
bool seek_stream(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}
void release_mapped_input(MappedInput& mapped) { mapped = {}; }
bool run_guarded_against_vanished_pages(void (*measure)(void*), void* context) {
    measure(context);
    return true;
}

}  // namespace vorik
