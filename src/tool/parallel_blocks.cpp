#include "parallel_blocks.h"

#include <vorik/wave_header.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <system_error>

#include "platform/threads.h"

namespace vorik {
namespace {

// The samples of both files start right after the canonical header.
constexpr std::uint64_t SAMPLES_START = WAVE_HEADER_BYTES;
constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);
// Buffers start on a page: the vector loads of the sums then never straddle
// two cache lines, which cost about a tenth of the time on files in memory.
constexpr std::uintptr_t BUFFER_ALIGNMENT = 4096;

std::uint64_t samples_in(std::uint64_t file_bytes) {
    return file_bytes > SAMPLES_START ? (file_bytes - SAMPLES_START) / BYTES_PER_SAMPLE : 0;
}

// The slab after the last one that holds samples the workers may take.
std::uint64_t slabs_end(const ParallelBlocks& parallel) { return slab_of(parallel.files.end_sample - 1) + 1; }

bool claimable(const ParallelBlocks& parallel) {
    const std::uint64_t slab = parallel.next_claim;
    return !parallel.stopping && slab < parallel.first_held + MAX_SLABS_AHEAD && slab < slabs_end(parallel) &&
           parallel.slots[slab % MAX_SLABS_AHEAD].state != SlotState::claimed;
}

unsigned char* thread_buffers(const ParallelBlocks& parallel, unsigned thread) {
    return parallel.buffers + std::size_t{thread} * SLAB_BUFFER_BYTES;
}

// Claims the next slab and takes it into `buffers`, the lock released meanwhile.
void claim_and_take(ParallelBlocks& parallel, unsigned char* buffers, std::unique_lock<std::mutex>& held) {
    const std::uint64_t slab = parallel.next_claim++;
    SlabSlot& slot = parallel.slots[slab % MAX_SLABS_AHEAD];
    slot.slab = slab;
    slot.state = SlotState::claimed;
    slot.sums.plan = parallel.plan;
    held.unlock();
    take_slab(parallel.files, slab, buffers, slot.sums);
    held.lock();
    slot.state = SlotState::summed;
    parallel.changed.notify_all();
}

void run_worker(ParallelBlocks& parallel, unsigned char* buffers) {
    std::unique_lock<std::mutex> held(parallel.lock);
    for (;;) {
        parallel.changed.wait(held, [&parallel] { return parallel.stopping || claimable(parallel); });
        if (parallel.stopping) {
            return;
        }
        claim_and_take(parallel, buffers, held);
    }
}

void stop_workers(ParallelBlocks& parallel) {
    {
        const std::lock_guard<std::mutex> held(parallel.lock);
        parallel.stopping = true;
    }
    parallel.changed.notify_all();
}

// The first block asked for: the workers start where there is more than a slab.
void begin(ParallelBlocks& parallel) {
    parallel.begun = true;
    if (slabs_end(parallel) < 2) {
        return;
    }
    for (; parallel.started_workers + 1 < parallel.threads; ++parallel.started_workers) {
        try {
            parallel.workers[parallel.started_workers] =
                std::thread(run_worker, std::ref(parallel), thread_buffers(parallel, parallel.started_workers + 1));
        } catch (const std::system_error&) {
            // Measure on with the threads there are.
            break;
        }
    }
}

// The loop is in `slab`: the slots of the slabs before it may be claimed
// again, and the slabs claimed from now on are summed with `plan`.
void move_to(ParallelBlocks& parallel, std::uint64_t slab, const detail::PiecePlan& plan) {
    {
        const std::lock_guard<std::mutex> held(parallel.lock);
        if (parallel.first_held == slab && parallel.plan == plan) {
            return;
        }
        parallel.first_held = slab;
        parallel.next_claim = std::max(parallel.next_claim, slab);
        parallel.plan = plan;
    }
    parallel.changed.notify_all();
}

// Waits for the slab the loop is in to be summed, taking the slabs the main
// thread may claim meanwhile.
const SlabSums& summed(ParallelBlocks& parallel, std::uint64_t slab) {
    std::unique_lock<std::mutex> held(parallel.lock);
    for (;;) {
        const SlabSlot& slot = parallel.slots[slab % MAX_SLABS_AHEAD];
        if (slot.slab == slab && slot.state == SlotState::summed) {
            return slot.sums;
        }
        if (claimable(parallel)) {
            claim_and_take(parallel, thread_buffers(parallel, 0), held);
        } else {
            parallel.changed.wait(held);
        }
    }
}

// Adds the pieces of `sums` from sample `from` to sample `to`; false where
// their plan no longer holds. Pieces never straddle a block's boundary.
bool add_pieces(PsnrAccumulator& totals, const SlabSums& sums, std::uint64_t from, std::uint64_t to) {
    std::uint64_t start = sums.first_sample;
    for (std::size_t p = 0; p < sums.piece_count && start < to; ++p) {
        if (start >= from && !detail::add_psnr_piece(totals, sums.plan, sums.pieces[p].sums)) {
            return false;
        }
        start = sums.pieces[p].end;
    }
    return true;
}

bool add_next_block(void* state, PsnrAccumulator& totals) {
    ParallelBlocks& parallel = *static_cast<ParallelBlocks*>(state);
    const std::uint32_t block = parallel.files.block_samples;
    // Only the block both inputs stand at the start of, whole in the files.
    const std::uint64_t offset = parallel.sources[0]->next_offset;
    const std::uint64_t first = (offset - SAMPLES_START) / BYTES_PER_SAMPLE;
    if (parallel.given_up || parallel.sources[1]->next_offset != offset ||
        (offset - SAMPLES_START) % BYTES_PER_SAMPLE != 0 || first % block != 0 ||
        first + block > parallel.files.end_sample) {
        return false;
    }
    PsnrAccumulator added = totals;
    detail::PiecePlan plan = detail::plan_psnr_pieces(added);
    if (!detail::psnr_pieces_apply(plan)) {
        return false;
    }
    if (!parallel.begun) {
        begin(parallel);
    }
    const std::uint64_t end = first + block;
    for (std::uint64_t at = first; at < end; plan = detail::plan_psnr_pieces(added)) {
        move_to(parallel, slab_of(at), plan);
        const SlabSums& sums = summed(parallel, slab_of(at));
        if (sums.failed) {
            // A file is shorter than its size said: the loop reads on and
            // finds where, and the workers stop.
            parallel.given_up = true;
            stop_workers(parallel);
            return false;
        }
        if (!add_pieces(added, sums, at, end)) {
            return false;
        }
        at = std::min(end, sums.end_sample);
    }
    totals = added;
    skip_file_samples(*parallel.sources[0], block);
    skip_file_samples(*parallel.sources[1], block);
    return true;
}

}  // namespace

bool start_parallel_blocks(ParallelBlocks& parallel, FileSource& first, FileSource& second,
                           std::uint32_t block_samples) {
    if (std::endian::native != std::endian::little || block_samples % 2 != 0 ||
        block_samples < MIN_BLOCK_SAMPLES || first.next_offset != SAMPLES_START ||
        second.next_offset != SAMPLES_START) {
        return false;
    }
    // The sizes are only a promise: the loop reads past it, and a slab
    // that finds less fails.
    const std::uint64_t common = std::min(samples_in(first.bytes_at_start), samples_in(second.bytes_at_start));
    const std::uint64_t end_sample = common / block_samples * block_samples;
    if (end_sample == 0) {
        return false;
    }
    parallel.sources[0] = &first;
    parallel.sources[1] = &second;
    parallel.files.files[0] = first.input->file;
    parallel.files.files[1] = second.input->file;
    parallel.files.block_samples = block_samples;
    parallel.files.end_sample = end_sample;
    parallel.threads = std::min(usable_processors(), MAX_THREADS);
    // Where there is not the memory, the loop reads on its own.
    parallel.buffer_memory =
        static_cast<unsigned char*>(std::malloc(parallel.threads * SLAB_BUFFER_BYTES + BUFFER_ALIGNMENT - 1));
    const auto address = reinterpret_cast<std::uintptr_t>(parallel.buffer_memory);
    parallel.buffers = parallel.buffer_memory + (BUFFER_ALIGNMENT - address % BUFFER_ALIGNMENT) % BUFFER_ALIGNMENT;
    return parallel.buffer_memory != nullptr;
}

detail::BlockSummer parallel_block_summer(ParallelBlocks& parallel) { return {add_next_block, &parallel}; }

void stop_parallel_blocks(ParallelBlocks& parallel) {
    stop_workers(parallel);
    for (unsigned w = 0; w < parallel.started_workers; ++w) {
        parallel.workers[w].join();
    }
    parallel.started_workers = 0;
    std::free(parallel.buffer_memory);
    parallel.buffer_memory = nullptr;
    parallel.buffers = nullptr;
}

}  // namespace vorik
