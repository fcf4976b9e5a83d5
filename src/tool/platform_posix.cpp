// What the tool asks of a POSIX system: the terminal and its locale, file
// sizes and holes, read-only mappings of files and the SIGBUS of a page
// that vanished under one.
#include "platform.h"

#include <langinfo.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vorik {

std::FILE* open_for_reading(const char* path) { return std::fopen(path, "rb"); }

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

bool terminal_expects_utf8(std::FILE* stream) {
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

bool stream_position(std::FILE* file, std::uint64_t& offset) {
    const off_t position = ftello(file);
    offset = static_cast<std::uint64_t>(position);
    return position >= 0;
}

namespace {

std::size_t page_bytes() {
    static const auto bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

// A hole reads as zeros through a stream without taking memory; through a
// mapping, a memory file system fills it with pages of its own, which stay.
// So a file is mapped only where its data covers it from `offset` to its end.
#ifdef SEEK_HOLE
bool has_holes(int descriptor, const struct stat& status, std::uint64_t offset) {
    // Asking moves the descriptor's position, which the stream reads from.
    const off_t position = lseek(descriptor, 0, SEEK_CUR);
    const off_t first_hole = lseek(descriptor, static_cast<off_t>(offset), SEEK_HOLE);
    const bool restored = lseek(descriptor, position, SEEK_SET) == position;
    return position < 0 || !restored || first_hole < status.st_size;
}
#else
// Where holes cannot be asked for, the blocks a file takes tell of them,
// though space allocated past the end hides them.
bool has_holes(int, const struct stat& status, std::uint64_t) {
    // st_blocks counts in units of 512 bytes, whatever the file system's block.
    constexpr std::uint64_t STAT_BLOCK_BYTES = 512;
    return static_cast<std::uint64_t>(status.st_blocks) * STAT_BLOCK_BYTES <
           static_cast<std::uint64_t>(status.st_size);
}
#endif

void unmap_window(MappedInput& mapped) {
    if (mapped.window != nullptr) {
        munmap(const_cast<unsigned char*>(mapped.window), mapped.window_bytes);
    }
    mapped.window = nullptr;
    mapped.window_bytes = 0;
}

// A page of a window whose file was truncated under it raises SIGBUS when
// read. While any input is mapped the signal is caught; only while a window
// is measured does it send the run back, and only one thread measures.
// Catching it for the whole time an input is mapped, rather than around
// each block, spares two system calls a block.
sigjmp_buf vanished_page_return;
volatile sig_atomic_t measuring = 0;
int mapped_inputs = 0;
struct sigaction before_mapping {};

void on_bus_error(int signal) {
    if (measuring != 0) {
        siglongjmp(vanished_page_return, 1);
    }
    // Not a window's page: the signal is handled as it would be without us.
    sigaction(SIGBUS, &before_mapping, nullptr);
    raise(signal);
}

void catch_vanished_pages() {
    if (mapped_inputs++ == 0) {
        struct sigaction catcher {};
        catcher.sa_handler = on_bus_error;
        sigemptyset(&catcher.sa_mask);
        // The jump back leaves the handler without restoring the signal
        // mask, so the signal must not be blocked while it runs.
        catcher.sa_flags = SA_NODEFER;
        sigaction(SIGBUS, &catcher, &before_mapping);
    }
}

void stop_catching_vanished_pages() {
    if (--mapped_inputs == 0) {
        sigaction(SIGBUS, &before_mapping, nullptr);
    }
}

}  // namespace

bool start_mapped_input(std::FILE* file, std::uint64_t offset, std::size_t bytes, MappedInput& mapped) {
    mapped = {};
    const int descriptor = fileno(file);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) <= offset || has_holes(descriptor, status, offset)) {
        return false;
    }
    mapped.descriptor = descriptor;
    mapped.file_bytes = static_cast<std::uint64_t>(status.st_size);
    if (!move_window(mapped, offset, bytes)) {
        mapped = {};
        return false;
    }
    mapped.started = true;
    catch_vanished_pages();
    return true;
}

bool move_window(MappedInput& mapped, std::uint64_t offset, std::size_t bytes) {
    unmap_window(mapped);
    if (offset >= mapped.file_bytes) {
        return false;
    }
    const std::uint64_t start = offset - offset % page_bytes();
    // A window of two pages and more ends on a page, so that the next one
    // starts there: no page is mapped twice, and windows keep to the page
    // cache's large folios.
    const std::uint64_t wanted_end = offset + bytes;
    const std::uint64_t page_end =
        bytes >= 2 * page_bytes() ? wanted_end - wanted_end % page_bytes() : wanted_end;
    const std::uint64_t end = std::min(page_end, mapped.file_bytes);
    const auto length = static_cast<std::size_t>(end - start);
    void* window = mmap(nullptr, length, PROT_READ, MAP_SHARED, mapped.descriptor, static_cast<off_t>(start));
    if (window == MAP_FAILED) {
        return false;
    }
    // Read once, front to back: the kernel may read ahead and drop behind.
    madvise(window, length, MADV_SEQUENTIAL);
    mapped.window_offset = start;
    mapped.window = static_cast<const unsigned char*>(window);
    mapped.window_bytes = length;
    return true;
}

namespace {

long faults_so_far() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

}  // namespace

bool window_maps_cheaply(const MappedInput& mapped) {
    // At most one fault per this many pages: 256 KiB, where small pages
    // take one per 16, the 64 KiB the kernel maps around a fault.
    constexpr std::uint64_t LEAST_PAGES_PER_FAULT = 64;
    const std::uint64_t pages = mapped.window_bytes / page_bytes();
    if (pages < LEAST_PAGES_PER_FAULT) {
        return true;
    }
    const long faults_before = faults_so_far();
    unsigned char sink = 0;
    for (std::size_t at = 0; at < mapped.window_bytes; at += page_bytes()) {
        sink ^= static_cast<const volatile unsigned char*>(mapped.window)[at];
    }
    static_cast<void>(sink);
    const auto faults = static_cast<std::uint64_t>(faults_so_far() - faults_before);
    return faults * LEAST_PAGES_PER_FAULT <= pages;
}

bool seek_stream(std::FILE* file, std::uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool window_shows_bytes_before(const MappedInput& mapped, std::uint64_t offset) {
    // Pages are a power of two in size.
    const std::uint64_t page_mask = page_bytes() - 1;
    const std::uint64_t next_page = (offset + page_mask) & ~page_mask;
    if (next_page < mapped.window_offset || next_page >= mapped.window_offset + mapped.window_bytes ||
        next_page >= mapped.file_bytes) {
        return false;
    }
    // After every read of the bytes before it.
    std::atomic_thread_fence(std::memory_order_acquire);
    static_cast<void>(
        static_cast<const volatile unsigned char*>(mapped.window)[next_page - mapped.window_offset]);
    return true;
}

void release_mapped_input(MappedInput& mapped) {
    unmap_window(mapped);
    if (mapped.started) {
        stop_catching_vanished_pages();
    }
    mapped = {};
}

bool run_guarded_against_vanished_pages(void (*measure)(void*), void* context) {
    if (sigsetjmp(vanished_page_return, 0) != 0) {
        measuring = 0;
        return false;
    }
    measuring = 1;
    measure(context);
    measuring = 0;
    return true;
}

}  // namespace vorik
