// Slabs of files mapped read-only into a worker's arena, to be summed in
// place, and the guard against a page that vanishes under a reader: one
// implementation per system. Where a system does not map files, an arena
// holds only read buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vorik {

// One worker's room in the address space: `count` windows of `window_bytes`
// each, a multiple of the page size, side by side, each starting on a
// multiple of its size, so that a window onto a like boundary of a file
// takes the page cache's large folios whole; side by side, no two lie a
// multiple of 256 MiB apart, as mappings of whole files would, where the
// caches make reading them together much slower. And `count` read buffers
// of `buffer_bytes` each, starting on pages.
struct SlabArena {
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

// Reserves the arena. False where there is not the memory or the address
// space; nothing to release then. While any arena is reserved, a page that
// vanishes under guard_mapped_reads is caught.
bool reserve_slab_arena(SlabArena& arena, unsigned count, std::size_t window_bytes, std::size_t buffer_bytes);

// Maps `bytes`, at most a window's size, of `file` from `offset`, a multiple
// of the page size, read-only into window `window`, in place of what it held.
// Returns where the bytes lie, or nullptr where the system refuses (some file
// systems cannot map a file that they can read).
const unsigned char* map_into_arena(SlabArena& arena, unsigned window, std::FILE* file, std::uint64_t offset,
                                    std::size_t bytes);

inline unsigned char* arena_buffer(const SlabArena& arena, unsigned index) {
    return arena.buffers + std::size_t{index} * arena.buffer_bytes;
}

// Unmaps every window and gives the arena back; harmless on an arena never
// reserved.
void release_slab_arena(SlabArena& arena);

// Runs `read(context)` on the calling thread. Should a mapped page it reads
// vanish under it (the file was cut short), `read` is cut short where it
// stands and the answer is false. Any thread may call it while an arena is
// reserved; whatever `read` runs must hold no resource of its own.
bool guard_mapped_reads(void (*read)(void*), void* context);

}  // namespace vorik
