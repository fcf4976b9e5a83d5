// The little the tool needs from its platform beyond standard C++ streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorik {

#ifdef _WIN32
// The arguments of wmain in UTF-8. Windows spells every file name in
// UTF-16; the code page that main's arguments come in cannot.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
#endif

// Opens `path` for binary reading; on Windows the path is UTF-8.
std::FILE* open_for_reading(const char* path);

bool stream_is_terminal(std::FILE* stream);

// Whether text written to `stream` should be UTF-8 rather than Shift_JIS:
// only when the stream is a terminal that expects UTF-8.
bool terminal_expects_utf8(std::FILE* stream);

// fopen() of a directory succeeds on some systems and fails only on reading.
bool opened_path_is_directory(std::FILE* file);

// Whether `file` is a regular file, and then its size now, in `bytes`.
bool regular_file_size(std::FILE* file, std::uint64_t& bytes);

// Where the stream of `file` stands, in bytes from the start, in 64 bits
// whatever the size of a long.
bool stream_position(std::FILE* file, std::uint64_t& offset);

// --- Regular files taken by several threads at once ---------------------------

// Reads `bytes` of `file` from `offset` into `buffer`, leaving its stream
// where it stands; several threads may read one file at once. Returns the
// bytes read, fewer only where the file ends, or -1 where the read fails.
std::int64_t read_file_at(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes);

// Whether the data of `file` covers it from `offset` to its end. A hole reads
// as zeros without taking memory, but a mapping of it, on a memory file
// system, fills it with pages of the file's own, which stay: a file with
// holes is read, never mapped.
bool data_covers_file_from(std::FILE* file, std::uint64_t offset);

// Whether `file` lies on a memory file system, where the page cache holds
// it in pages of 4 KiB, which cost more mapped than copied, and where asking
// for its holes takes time along its whole length.
bool on_memory_file_system(std::FILE* file);

// Room in the address space for a thread's windows onto files, and its
// buffers to read them into. `count` windows of `window_bytes` each, a
// multiple of the page size, side by side, each starting on a multiple of
// its size, so that a window onto a like boundary of a file takes the page
// cache's large folios whole; side by side, no two lie a multiple of 256 MiB
// apart, as mappings of whole files would, where the caches make reading
// them together much slower. And `count` buffers of `buffer_bytes` each,
// starting on pages.
struct WindowRoom {
    unsigned char* windows;  // nullptr where the system does not map files
    unsigned char* buffers;
    std::size_t window_bytes;
    std::size_t buffer_bytes;
    unsigned count;
    void* reservation;  // what the system handed out for the windows, and for the buffers
    std::size_t reserved_bytes;
    void* buffer_memory;
    std::size_t buffer_memory_bytes;
};

// Reserves the room. False where there is not the memory or the address
// space; nothing to release then.
bool reserve_window_room(WindowRoom& room, unsigned count, std::size_t window_bytes,
                         std::size_t buffer_bytes);

// Maps `bytes`, at most a window's size, of `file` from `offset`, a multiple
// of the page size, read-only into window `index`, in place of what it held.
// Returns where the bytes lie, or nullptr where the system refuses.
const unsigned char* map_into_window(WindowRoom& room, unsigned index, std::FILE* file, std::uint64_t offset,
                                     std::size_t bytes);

inline unsigned char* read_buffer(const WindowRoom& room, unsigned index) {
    return room.buffers + std::size_t{index} * room.buffer_bytes;
}

// Unmaps every window and gives the room back.
void release_window_room(WindowRoom& room);

// Runs `measure(context)` on the calling thread. Should a page it reads from
// a window vanish under it (the file was cut short), `measure` is cut short
// where it stands and the answer is false. Any thread may call it for what it
// runs itself, while a room is reserved; whatever `measure` runs must hold no
// resource of its own.
bool run_guarded_against_vanished_pages(void (*measure)(void*), void* context);

// --- Threads --------------------------------------------------------------------

// How many processors the process may run on: threads beyond them only wait.
unsigned usable_processors();

struct WorkerThread {
    std::uintptr_t handle;  // the system's own
    void (*run)(void*);
    void* context;
};

// Starts a thread that runs `run(context)`; `thread` must stay where it is
// until it is joined. False where the system refuses.
bool start_worker_thread(WorkerThread& thread, void (*run)(void*), void* context);

// Waits for the thread to end.
void join_worker_thread(WorkerThread& thread);

// Lets another thread run, for a thread that waits.
void yield_processor();

// Sleeps for a moment, for a thread that has waited long.
void sleep_briefly();

}  // namespace vorik
