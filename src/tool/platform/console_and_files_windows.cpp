// The console and files on Windows: UTF-16 arguments, file names and console
// text, 64-bit stream positions, reads at an offset.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "console_and_files.h"

namespace vorik {
namespace {

constexpr wchar_t CONSOLE_LINE_END[] = L"\r\n";

HANDLE handle_of(std::FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

// `text` in UTF-16, or false where it is not valid UTF-8.
bool utf16_of(const char* text, std::wstring& wide) {
    const int characters = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (characters <= 0) {
        return false;
    }
    // The count takes in the terminating null, which the string holds past its end.
    wide.assign(static_cast<std::size_t>(characters - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), characters);
    return true;
}

}  // namespace

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

int run_with_utf8_arguments(int argc, wchar_t** argv, int (*run)(int argc, const char* const* argv)) {
    const std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    return run(argc, pointers.data());
}

std::FILE* open_for_reading(const char* path) {
    std::wstring wide;
    return utf16_of(path, wide) ? _wfopen(wide.c_str(), L"rb") : nullptr;
}

std::FILE* create_new_file(const char* path) {
    std::wstring wide;
    if (!utf16_of(path, wide)) {
        errno = EINVAL;
        return nullptr;
    }
    const int descriptor =
        _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) {
        _close(descriptor);
    }
    return file;
}

bool replace_file(const char* from, const char* to) {
    std::wstring wide_from;
    std::wstring wide_to;
    return utf16_of(from, wide_from) && utf16_of(to, wide_to) &&
           MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool remove_file(const char* path) {
    std::wstring wide;
    return utf16_of(path, wide) && _wremove(wide.c_str()) == 0;
}

// _isatty() also holds for NUL and other character devices; only a console
// has a console mode.
bool stream_is_terminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(handle_of(stream), &mode) != 0;
}

// Bytes written to a console are read in its code page, which is rarely 932
// outside Japan and may have been changed by chcp inside it; UTF-16 text is
// shown as it is on every code page.
bool terminal_shows_unicode(std::FILE* stream) { return stream_is_terminal(stream); }

void write_to_terminal(std::FILE* terminal, const char* text) {
    const std::wstring wide = console_text(text);
    // Whatever the stream still holds was written first.
    std::fflush(terminal);
    DWORD written = 0;
    WriteConsoleW(handle_of(terminal), wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::wstring console_text(const char* text) {
    // The tool's texts are its messages, valid UTF-8 all.
    std::wstring wide;
    utf16_of(text, wide);
    std::wstring lines;
    for (const wchar_t character : wide) {
        if (character == L'\n') {
            lines += CONSOLE_LINE_END;
        } else {
            lines += character;
        }
    }
    return lines;
}

void read_in_binary_mode(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

// A Windows pipe's size is set by the one who makes it.
void let_pipe_hold_more(std::FILE*) {}

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

bool file_version(std::FILE* file, FileVersion& version) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle_of(file), &information) == 0) {
        return false;
    }
    version.bytes = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    version.modified =
        static_cast<std::int64_t>(std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32 |
                                  information.ftLastWriteTime.dwLowDateTime);
    return true;
}

std::int64_t read_file_at(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
    const HANDLE handle = handle_of(file);
    std::size_t done = 0;
    while (done < bytes) {
        // A read names its own offset, so threads can share the handle.
        OVERLAPPED at{};
        const std::uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        constexpr std::size_t MOST_BYTES_A_READ = std::size_t{1} << 30;
        DWORD got = 0;
        if (!ReadFile(handle, static_cast<unsigned char*>(buffer) + done,
                      static_cast<DWORD>(std::min(bytes - done, MOST_BYTES_A_READ)), &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace vorik
