// Slabs on Windows are read, not mapped: mapping files there has not been
// measured to gain anything. An arena holds only the read buffers, and no
// page can vanish under a reader.
#include <windows.h>

#include "mapping.h"

namespace vorik {

bool reserve_slab_arena(SlabArena& arena, unsigned count, std::size_t window_bytes, std::size_t buffer_bytes) {
    arena = {};
    const std::size_t buffer_memory_bytes = std::size_t{count} * buffer_bytes;
    void* buffers = VirtualAlloc(nullptr, buffer_memory_bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (buffers == nullptr) {
        return false;
    }
    arena = {nullptr,
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

const unsigned char* map_into_arena(SlabArena&, unsigned, std::FILE*, std::uint64_t, std::size_t) {
    return nullptr;
}

void release_slab_arena(SlabArena& arena) {
    if (arena.buffer_memory != nullptr) {
        VirtualFree(arena.buffer_memory, 0, MEM_RELEASE);
    }
    arena = {};
}

bool guard_mapped_reads(void (*read)(void*), void* context) {
    read(context);
    return true;
}

}  // namespace vorik
