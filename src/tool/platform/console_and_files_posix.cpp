// The console and files on a POSIX system: the terminal and its locale, file
// sizes, reads at an offset.
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "console_and_files.h"

namespace vorik {

std::FILE* open_for_reading(const char* path) { return std::fopen(path, "rb"); }

std::FILE* create_new_file(const char* path) {
    // Less the user's umask, as for any new file.
    constexpr mode_t READ_AND_WRITE_FOR_ALL = 0666;
    const int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, READ_AND_WRITE_FOR_ALL);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        close(descriptor);
    }
    return file;
}

bool replace_file(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool remove_file(const char* path) { return std::remove(path) == 0; }

bool stream_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

namespace {

// The locale's name as the C library takes it from the environment: the
// first of these that is set and not empty.
const char* locale_name_from_environment() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* name = std::getenv(variable);
        if (name != nullptr && *name != '\0') {
            return name;
        }
    }
    return "";
}

// Whether a locale name (language_territory.codeset@modifier, or a bare
// codeset) names UTF-8, in any case, with or without the hyphen.
bool names_utf8_codeset(std::string_view name) {
    name = name.substr(0, name.find('@'));
    const std::size_t dot = name.rfind('.');
    const std::string_view codeset = dot == std::string_view::npos ? name : name.substr(dot + 1);
    const auto is = [codeset](std::string_view utf8) {
        return std::equal(codeset.begin(), codeset.end(), utf8.begin(), utf8.end(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    };
    return is("utf-8") || is("utf8");
}

}  // namespace

bool terminal_shows_unicode(std::FILE* stream) {
    if (!stream_is_terminal(stream)) {
        return false;
    }
    // Only the character type category: numbers must keep printing with '.'.
    if (std::setlocale(LC_CTYPE, "") != nullptr && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) {
        return true;
    }
    // A terminal can expect UTF-8 where its locale is named but not
    // installed (the C library then falls back to ASCII), or is named by its
    // codeset alone, as ssh clients often send LC_CTYPE=UTF-8.
    return names_utf8_codeset(locale_name_from_environment());
}

void write_to_terminal(std::FILE* terminal, const char* text) { std::fputs(text, terminal); }

void read_in_binary_mode(std::FILE*) {}

#ifdef F_SETPIPE_SZ
void let_pipe_hold_more(std::FILE* stream) {
    // The most a user's pipe may hold on Linux unless the system says more
    // (/proc/sys/fs/pipe-max-size); 16 times the usual 64 KiB.
    constexpr int PIPE_BYTES = 1 << 20;
    static_cast<void>(fcntl(fileno(stream), F_SETPIPE_SZ, PIPE_BYTES));
}
#else
void let_pipe_hold_more(std::FILE*) {}
#endif

bool opened_path_is_directory(std::FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

bool regular_file_size(std::FILE* file, std::uint64_t& bytes) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool file_version(std::FILE* file, FileVersion& version) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) {
        return false;
    }
    constexpr std::int64_t NANOSECONDS_PER_SECOND = 1000000000;
    version.bytes = static_cast<std::uint64_t>(status.st_size);
#ifdef __APPLE__
    const timespec& modified = status.st_mtimespec;
#else
    const timespec& modified = status.st_mtim;
#endif
    version.modified = static_cast<std::int64_t>(modified.tv_sec) * NANOSECONDS_PER_SECOND + modified.tv_nsec;
    return true;
}

std::int64_t read_file_at(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
    const int descriptor = fileno(file);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t got = pread(descriptor, static_cast<unsigned char*>(buffer) + done, bytes - done,
                                  static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace vorik
