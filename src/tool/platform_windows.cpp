// What the tool asks of Windows: UTF-16 arguments and file names, the
// console's code page, 64-bit stream positions, reads at an offset, threads.
// Files are read there, not mapped: the windows are plain memory.
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>

#include "platform.h"

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

std::int64_t read_file_at(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
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

// Files are read, not mapped, on Windows: mapping them there has not been
// measured to gain anything. So holes matter not, and no page can vanish.
bool data_covers_file_from(std::FILE*, std::uint64_t) { return true; }
bool on_memory_file_system(std::FILE*) { return false; }

bool reserve_window_room(WindowRoom& room, unsigned count, std::size_t window_bytes,
                         std::size_t buffer_bytes) {
    room = {};
    const std::size_t buffer_memory_bytes = std::size_t{count} * buffer_bytes;
    void* buffers = VirtualAlloc(nullptr, buffer_memory_bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (buffers == nullptr) {
        return false;
    }
    room = {nullptr,
            static_cast<unsigned char*>(buffers),
            window_bytes,
            buffer_bytes,
            count,
            nullptr,
            0,
            buffers,
            buffer_memory_bytes};
    return true;
}

const unsigned char* map_into_window(WindowRoom&, unsigned, std::FILE*, std::uint64_t, std::size_t) {
    return nullptr;
}

void release_window_room(WindowRoom& room) {
    if (room.buffer_memory != nullptr) {
        VirtualFree(room.buffer_memory, 0, MEM_RELEASE);
    }
    room = {};
}

bool run_guarded_against_vanished_pages(void (*measure)(void*), void* context) {
    measure(context);
    return true;
}

unsigned usable_processors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        return 1;
    }
    unsigned processors = 0;
    for (; process != 0; process &= process - 1) {
        ++processors;
    }
    return std::max(1U, processors);
}

namespace {

// A thread's start in the system's calling convention.
DWORD WINAPI run_worker(void* record) {
    const WorkerThread& started = *static_cast<WorkerThread*>(record);
    started.run(started.context);
    return 0;
}

}  // namespace

bool start_worker_thread(WorkerThread& thread, void (*run)(void*), void* context) {
    thread.run = run;
    thread.context = context;
    HANDLE handle = CreateThread(nullptr, 0, run_worker, &thread, 0, nullptr);
    thread.handle = reinterpret_cast<std::uintptr_t>(handle);
    return handle != nullptr;
}

void join_worker_thread(WorkerThread& thread) {
    const auto handle = reinterpret_cast<HANDLE>(thread.handle);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

void yield_processor() { SwitchToThread(); }

void sleep_briefly() { Sleep(1); }

}  // namespace vorik
