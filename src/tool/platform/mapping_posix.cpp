// Slabs mapped on a POSIX system: an arena reserved with mmap, windows mapped
// over it, and the SIGBUS of a mapped page that vanished under a reader.
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include "mapping.h"

namespace vorik {
namespace {

// A page of a window whose file was cut short under it raises SIGBUS when
// read. While any arena is reserved the signal is caught; only while the
// thread that touched the page reads under the guard does it send that
// thread back. Catching it for as long as arenas are reserved, rather than
// around each read, spares two system calls each time.
thread_local sigjmp_buf vanished_page_return;
thread_local volatile sig_atomic_t guarded = 0;
// Arenas are reserved and released by the main thread alone, while no other
// thread of the tool runs.
int reserved_arenas = 0;
struct sigaction before_arenas {};

void on_bus_error(int signal) {
    if (guarded != 0) {
        siglongjmp(vanished_page_return, 1);
    }
    // Not a window's page: the signal is handled as it would be without us.
    sigaction(SIGBUS, &before_arenas, nullptr);
    raise(signal);
}

void catch_vanished_pages() {
    if (reserved_arenas++ == 0) {
        struct sigaction catcher {};
        catcher.sa_handler = on_bus_error;
        sigemptyset(&catcher.sa_mask);
        // The jump back leaves the handler without restoring the signal
        // mask, so the signal should not be blocked while it runs.
        catcher.sa_flags = SA_NODEFER;
        sigaction(SIGBUS, &catcher, &before_arenas);
    }
}

void stop_catching_vanished_pages() {
    if (--reserved_arenas == 0) {
        sigaction(SIGBUS, &before_arenas, nullptr);
    }
}

// Some runtimes (ThreadSanitizer's, for one) run a handler with the signal
// blocked even so; left blocked, the next vanished page would end the
// process. Only the path back from a fault pays for this call.
void unblock_bus_errors() {
    sigset_t bus_error;
    sigemptyset(&bus_error);
    sigaddset(&bus_error, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus_error, nullptr);
}

unsigned char* window_at(const SlabArena& arena, unsigned index) {
    return arena.windows + std::size_t{index} * arena.window_bytes;
}

}  // namespace

bool reserve_slab_arena(SlabArena& arena, unsigned count, std::size_t window_bytes, std::size_t buffer_bytes) {
    arena = {};
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
    arena = {reinterpret_cast<unsigned char*>(aligned),
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

const unsigned char* map_into_arena(SlabArena& arena, unsigned window, std::FILE* file, std::uint64_t offset,
                                    std::size_t bytes) {
    void* mapped = mmap(window_at(arena, window), bytes, PROT_READ, MAP_SHARED | MAP_FIXED, fileno(file),
                        static_cast<off_t>(offset));
    return mapped == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(mapped);
}

void release_slab_arena(SlabArena& arena) {
    if (arena.reservation != nullptr) {
        munmap(arena.reservation, arena.reserved_bytes);
        munmap(arena.buffer_memory, arena.buffer_memory_bytes);
        stop_catching_vanished_pages();
    }
    arena = {};
}

bool guard_mapped_reads(void (*read)(void*), void* context) {
    if (sigsetjmp(vanished_page_return, 0) != 0) {
        guarded = 0;
        unblock_bus_errors();
        return false;
    }
    guarded = 1;
    read(context);
    guarded = 0;
    return true;
}

}  // namespace vorik
