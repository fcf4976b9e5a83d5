// What the tool asks of a POSIX system: the terminal and its locale, file
// sizes and holes, reads at an offset, windows of read-only mappings of files
// and the SIGBUS of a page that vanished under one, threads.
#include <langinfo.h>
#include <pthread.h>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform.h"

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

#ifdef SEEK_HOLE
bool data_covers_file_from(std::FILE* file, std::uint64_t offset) {
    const int descriptor = fileno(file);
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    // Asking moves the descriptor's position, which the stream reads from.
    const off_t position = lseek(descriptor, 0, SEEK_CUR);
    const off_t first_hole = lseek(descriptor, static_cast<off_t>(offset), SEEK_HOLE);
    const bool restored = lseek(descriptor, position, SEEK_SET) == position;
    return position >= 0 && restored && first_hole >= status.st_size;
}
#else
// Where holes cannot be asked for, the blocks a file takes tell of them,
// though space allocated past the end hides them.
bool data_covers_file_from(std::FILE* file, std::uint64_t) {
    // st_blocks counts in units of 512 bytes, whatever the file system's block.
    constexpr std::uint64_t STAT_BLOCK_BYTES = 512;
    struct stat status {};
    return fstat(fileno(file), &status) == 0 &&
           static_cast<std::uint64_t>(status.st_blocks) * STAT_BLOCK_BYTES >=
               static_cast<std::uint64_t>(status.st_size);
}
#endif

#ifdef __linux__
bool on_memory_file_system(std::FILE* file) {
    struct statfs status {};
    return fstatfs(fileno(file), &status) == 0 &&
           (status.f_type == static_cast<decltype(status.f_type)>(TMPFS_MAGIC) ||
            status.f_type == static_cast<decltype(status.f_type)>(RAMFS_MAGIC));
}
#else
// Elsewhere a memory file system is not told apart.
bool on_memory_file_system(std::FILE*) { return false; }
#endif

namespace {

// A page of a window whose file was cut short under it raises SIGBUS when
// read. While any room is reserved the signal is caught; only while the
// thread that touched the page measures under a guard does it send that
// thread back. Catching it for as long as rooms are reserved, rather than
// around each piece of work, spares two system calls each time.
thread_local sigjmp_buf vanished_page_return;
thread_local volatile sig_atomic_t measuring = 0;
// Rooms are reserved and released by the main thread alone, while no other
// thread of the tool runs.
int reserved_rooms = 0;
struct sigaction before_rooms {};

void on_bus_error(int signal) {
    if (measuring != 0) {
        siglongjmp(vanished_page_return, 1);
    }
    // Not a window's page: the signal is handled as it would be without us.
    sigaction(SIGBUS, &before_rooms, nullptr);
    raise(signal);
}

void catch_vanished_pages() {
    if (reserved_rooms++ == 0) {
        struct sigaction catcher {};
        catcher.sa_handler = on_bus_error;
        sigemptyset(&catcher.sa_mask);
        // The jump back leaves the handler without restoring the signal
        // mask, so the signal must not be blocked while it runs.
        catcher.sa_flags = SA_NODEFER;
        sigaction(SIGBUS, &catcher, &before_rooms);
    }
}

void stop_catching_vanished_pages() {
    if (--reserved_rooms == 0) {
        sigaction(SIGBUS, &before_rooms, nullptr);
    }
}

unsigned char* window_at(const WindowRoom& room, unsigned index) {
    return room.windows + std::size_t{index} * room.window_bytes;
}

}  // namespace

bool reserve_window_room(WindowRoom& room, unsigned count, std::size_t window_bytes,
                         std::size_t buffer_bytes) {
    room = {};
    // One window more, to start the first on a multiple of the window size.
    const std::size_t reserved = (std::size_t{count} + 1) * window_bytes;
    void* reservation =
        mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reservation == MAP_FAILED) {
        return false;
    }
    const std::size_t buffer_memory_bytes = std::size_t{count} * buffer_bytes;
    void* buffers =
        mmap(nullptr, buffer_memory_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffers == MAP_FAILED) {
        munmap(reservation, reserved);
        return false;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(reservation);
    const std::uintptr_t aligned = (address + window_bytes - 1) / window_bytes * window_bytes;
    room = {reinterpret_cast<unsigned char*>(aligned),
            static_cast<unsigned char*>(buffers),
            window_bytes,
            buffer_bytes,
            count,
            reservation,
            reserved,
            buffers,
            buffer_memory_bytes};
    catch_vanished_pages();
    return true;
}

const unsigned char* map_into_window(WindowRoom& room, unsigned index, std::FILE* file, std::uint64_t offset,
                                     std::size_t bytes) {
    void* window = mmap(window_at(room, index), bytes, PROT_READ, MAP_SHARED | MAP_FIXED, fileno(file),
                        static_cast<off_t>(offset));
    return window == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(window);
}

void release_window_room(WindowRoom& room) {
    if (room.reservation != nullptr) {
        munmap(room.reservation, room.reserved_bytes);
        munmap(room.buffer_memory, room.buffer_memory_bytes);
        stop_catching_vanished_pages();
    }
    room = {};
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

unsigned usable_processors() {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(0, sizeof processors, &processors) != 0) {
        return 1;
    }
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&processors)));
}

bool start_worker_thread(WorkerThread& thread, void (*run)(void*), void* context) {
    static_assert(sizeof(pthread_t) <= sizeof thread.handle, "a thread's handle fits");
    thread.run = run;
    thread.context = context;
    pthread_t handle{};
    const int failed = pthread_create(
        &handle, nullptr,
        [](void* record) -> void* {
            const WorkerThread& started = *static_cast<WorkerThread*>(record);
            started.run(started.context);
            return nullptr;
        },
        &thread);
    thread.handle = static_cast<std::uintptr_t>(handle);
    return failed == 0;
}

void join_worker_thread(WorkerThread& thread) {
    pthread_join(static_cast<pthread_t>(thread.handle), nullptr);
}

void yield_processor() { sched_yield(); }

void sleep_briefly() {
    constexpr long A_MOMENT_NS = 50'000;
    const timespec moment{0, A_MOMENT_NS};
    nanosleep(&moment, nullptr);
}

}  // namespace vorik
