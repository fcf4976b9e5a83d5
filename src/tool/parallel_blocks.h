// Whole blocks of two regular files summed by worker threads ahead of a
// block loop, slab by slab (slab.h): vorik's pairs (psnr_blocks.h) and
// vorik-check's frames sum their pieces each in their own way, given as
// `Summing`:
//   Summing::Plan   how pieces are summed, fixed when a slab is claimed;
//   Summing::Piece  what a piece sums to;
//   Summing::sum_piece(plan, first_sample, first, second, count) -> Piece.
//
// The block loop asks for each block before it reads it. The threads only
// sum whole blocks that both files held when the measurement started, as
// their sizes said. The loop reads everything else itself: the last part
// of a block, the samples a file gained later, and samples past a size that
// was too small. A slab that fails (a file was cut short), or a file that
// changed since the threads began, ends the summing for good; the loop reads
// on and finds what the files now hold. So where the data ends, how samples
// pair and when the measurement has ended are decided in the loop alone.
//
// The workers, the main thread among them while it waits, claim the next
// slab while it lies at most MAX_SLABS_AHEAD slabs past the one the loop is
// in, read it and sum its pieces with the latest plan. The main thread adds
// a block's pieces in order. A thread with nothing to claim sleeps on a
// condition variable until there is: while the output is blocked, none runs.
#pragma once

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "file_source.h"
#include "platform/console_and_files.h"
#include "platform/threads.h"
#include "slab.h"

namespace vorik {

// Threads at most. The measure is bound by the memory's bandwidth and the
// kernel's work on pages, which two threads share well; more than two have
// not been measured.
constexpr unsigned MAX_THREADS = 2;
// Slabs claimed ahead of the loop at most: enough that no thread waits for
// another's slab, few enough that their sums stay small.
constexpr unsigned MAX_SLABS_AHEAD = 8;

enum class SlotState : unsigned char { free, claimed, summed };

// One slab's sums: its pieces in order, from its first sample to its last.
template <typename Summing>
struct SlabSums {
    typename Summing::Plan plan;  // the plan its pieces are summed with
    SlabSpan span;
    bool failed;
    std::size_t piece_count;
    std::uint64_t piece_ends[MAX_PIECES];  // the sample after each piece's last
    typename Summing::Piece pieces[MAX_PIECES];
};

template <typename Summing>
struct SlabSlot {
    std::uint64_t slab;
    SlotState state;
    SlabSums<Summing> sums;
};

template <typename Summing>
struct ParallelBlocks {
    FileSource* sources[2];
    SlabFiles files;
    unsigned threads;              // the main thread and the workers
    unsigned char* buffer_memory;  // as allocated
    unsigned char* buffers;  // in it, on a page: SLAB_BUFFER_BYTES for each thread, the main thread's first
    std::thread workers[MAX_THREADS - 1];
    unsigned started_workers;
    bool begun;                  // the loop has asked for a block
    bool given_up;               // a slab failed, or a file changed: the loop reads every block from now on
    FileVersion versions[2];     // of the files when the loop first asked for a block
    std::uint64_t checked_slab;  // the slab whose sums the files were last found unchanged for
    // Shared by the threads, under `lock`.
    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t next_claim;     // the next slab to claim
    std::uint64_t first_held;     // the slab the loop is in: no slab before it is needed any more
    typename Summing::Plan plan;  // for the slabs claimed from now on
    bool stopping;
    SlabSlot<Summing> slots[MAX_SLABS_AHEAD];
};

namespace parallel_detail {

// What checked_slab holds before any slab was checked.
constexpr std::uint64_t NO_SLAB = std::numeric_limits<std::uint64_t>::max();

// The slab after the last one that holds samples the workers may take.
template <typename Summing>
std::uint64_t slabs_end(const ParallelBlocks<Summing>& parallel) {
    return slab_of(parallel.files, parallel.files.end_sample - 1) + 1;
}

template <typename Summing>
bool claimable(const ParallelBlocks<Summing>& parallel) {
    const std::uint64_t slab = parallel.next_claim;
    return !parallel.stopping && slab < parallel.first_held + MAX_SLABS_AHEAD && slab < slabs_end(parallel) &&
           parallel.slots[slab % MAX_SLABS_AHEAD].state != SlotState::claimed;
}

template <typename Summing>
unsigned char* thread_buffers(const ParallelBlocks<Summing>& parallel, unsigned thread) {
    return parallel.buffers + std::size_t{thread} * SLAB_BUFFER_BYTES;
}

template <typename Summing>
void sum_piece(void* context, std::uint64_t first_sample, const std::int16_t* first,
               const std::int16_t* second, std::uint32_t count) {
    SlabSums<Summing>& sums = *static_cast<SlabSums<Summing>*>(context);
    sums.pieces[sums.piece_count] = Summing::sum_piece(sums.plan, first_sample, first, second, count);
    sums.piece_ends[sums.piece_count] = first_sample + count;
    ++sums.piece_count;
}

// Claims the next slab and sums it into its slot with `buffers`, the lock
// released meanwhile.
template <typename Summing>
void claim_and_sum(ParallelBlocks<Summing>& parallel, unsigned char* buffers,
                   std::unique_lock<std::mutex>& held) {
    const std::uint64_t slab = parallel.next_claim++;
    SlabSlot<Summing>& slot = parallel.slots[slab % MAX_SLABS_AHEAD];
    slot.slab = slab;
    slot.state = SlotState::claimed;
    SlabSums<Summing>& sums = slot.sums;
    sums.plan = parallel.plan;
    held.unlock();
    sums.span = slab_span(parallel.files, slab);
    sums.piece_count = 0;
    sums.failed = !read_slab(parallel.files, slab, buffers, sum_piece<Summing>, &sums);
    held.lock();
    slot.state = SlotState::summed;
    parallel.changed.notify_all();
}

template <typename Summing>
void run_worker(ParallelBlocks<Summing>& parallel, unsigned char* buffers) {
    std::unique_lock<std::mutex> held(parallel.lock);
    for (;;) {
        parallel.changed.wait(held, [&parallel] { return parallel.stopping || claimable(parallel); });
        if (parallel.stopping) {
            return;
        }
        claim_and_sum(parallel, buffers, held);
    }
}

template <typename Summing>
void stop_workers(ParallelBlocks<Summing>& parallel) {
    {
        const std::lock_guard<std::mutex> held(parallel.lock);
        parallel.stopping = true;
    }
    parallel.changed.notify_all();
}

// The first block asked for: the slabs start where the sources stand, and
// the workers start where there is more than a slab.
template <typename Summing>
bool begin(ParallelBlocks<Summing>& parallel) {
    parallel.begun = true;
    SlabFiles& files = parallel.files;
    std::uint64_t common = files.end_sample;
    for (unsigned f = 0; f < 2; ++f) {
        const FileSource& source = *parallel.sources[f];
        files.first_offsets[f] = source.next_offset;
        // From where the loop stands: sample 0 of the slabs.
        common = std::min(common, samples_in(source.bytes_at_start, source.next_offset));
    }
    files.end_sample = common / files.block_samples * files.block_samples;
    parallel.checked_slab = NO_SLAB;
    if (!file_version(files.files[0], parallel.versions[0]) ||
        !file_version(files.files[1], parallel.versions[1])) {
        parallel.given_up = true;
        return false;
    }
    // Samples lie on even offsets of the buffers only where they do in the files.
    if (files.end_sample == 0 || files.first_offsets[0] % BYTES_PER_SAMPLE != 0 ||
        files.first_offsets[1] % BYTES_PER_SAMPLE != 0) {
        parallel.given_up = true;
        return false;
    }
    if (slabs_end(parallel) < 2) {
        return true;
    }
    for (; parallel.started_workers + 1 < parallel.threads; ++parallel.started_workers) {
        try {
            parallel.workers[parallel.started_workers] =
                std::thread(run_worker<Summing>, std::ref(parallel),
                            thread_buffers(parallel, parallel.started_workers + 1));
        } catch (const std::system_error&) {
            // The system gives no more threads: the threads that started do the work.
            break;
        }
    }
    return true;
}

// The loop is in `slab`: the slots of the slabs before it may be claimed
// again, and the slabs claimed from now on are summed with `plan`. Where
// the plan is a new one (a total has passed 2^53 or a power of two past
// it), the slabs read ahead with the old one are claimed again, so that
// every thread sums them anew rather than the loop reading them alone.
template <typename Summing>
void move_to(ParallelBlocks<Summing>& parallel, std::uint64_t slab, const typename Summing::Plan& plan) {
    {
        const std::lock_guard<std::mutex> held(parallel.lock);
        if (parallel.first_held == slab && parallel.plan == plan) {
            return;
        }
        parallel.first_held = slab;
        parallel.next_claim = parallel.plan == plan ? std::max(parallel.next_claim, slab) : slab;
        parallel.plan = plan;
    }
    parallel.changed.notify_all();
}

// Waits for `slab` to be summed with the latest plan, summing the slabs the
// main thread may claim meanwhile.
template <typename Summing>
const SlabSums<Summing>& summed(ParallelBlocks<Summing>& parallel, std::uint64_t slab) {
    std::unique_lock<std::mutex> held(parallel.lock);
    for (;;) {
        SlabSlot<Summing>& slot = parallel.slots[slab % MAX_SLABS_AHEAD];
        if (slot.slab == slab && slot.state == SlotState::summed) {
            if (slot.sums.plan == parallel.plan) {
                return slot.sums;
            }
            // Read while it was claimed with the old plan: claimed again.
            slot.state = SlotState::free;
            parallel.next_claim = std::min(parallel.next_claim, slab);
        }
        if (claimable(parallel)) {
            claim_and_sum(parallel, thread_buffers(parallel, 0), held);
        } else {
            parallel.changed.wait(held);
        }
    }
}

// Whether both files are as they were when the threads began, checked once
// for each slab whose sums are added.
template <typename Summing>
bool files_unchanged(ParallelBlocks<Summing>& parallel, std::uint64_t slab) {
    if (parallel.checked_slab == slab) {
        return true;
    }
    for (unsigned f = 0; f < 2; ++f) {
        FileVersion now{};
        if (!file_version(parallel.files.files[f], now) || !(now == parallel.versions[f])) {
            return false;
        }
    }
    parallel.checked_slab = slab;
    return true;
}

}  // namespace parallel_detail

// Sets `parallel` up to sum whole blocks of two regular files read through
// `first` and `second`, from where they stand when the loop first asks for a
// block, and at most `end_sample` samples of each: blocks of whole units,
// not too small, on a little-endian host. Returns whether it can; then the
// loop takes the summer of `Summing`, and stop_parallel_blocks ends it.
template <typename Summing>
bool start_parallel_blocks(ParallelBlocks<Summing>& parallel, FileSource& first, FileSource& second,
                           std::uint32_t unit_samples, std::uint32_t block_samples, std::uint64_t end_sample,
                           const typename Summing::Plan& plan) {
    if (std::endian::native != std::endian::little || unit_samples == 0 || unit_samples > MAX_UNIT_SAMPLES ||
        block_samples % unit_samples != 0 || block_samples < MIN_BLOCK_SAMPLES) {
        return false;
    }
    parallel.sources[0] = &first;
    parallel.sources[1] = &second;
    parallel.files.files[0] = first.input->file;
    parallel.files.files[1] = second.input->file;
    parallel.files.unit_samples = unit_samples;
    parallel.files.block_samples = block_samples;
    parallel.files.end_sample = end_sample;
    parallel.plan = plan;
    parallel.threads = std::min(usable_processors(), MAX_THREADS);
    // Where there is not the memory, the loop reads on its own.
    parallel.buffer_memory =
        static_cast<unsigned char*>(std::malloc(parallel.threads * SLAB_BUFFER_BYTES + BUFFER_ALIGNMENT - 1));
    const auto address = reinterpret_cast<std::uintptr_t>(parallel.buffer_memory);
    parallel.buffers =
        parallel.buffer_memory + (BUFFER_ALIGNMENT - address % BUFFER_ALIGNMENT) % BUFFER_ALIGNMENT;
    return parallel.buffer_memory != nullptr;
}

// Where the next block starts, if the threads may sum it: both sources
// stand together at the start of a block that lies whole below the end.
template <typename Summing>
bool next_summable_block(ParallelBlocks<Summing>& parallel, std::uint64_t& first_sample) {
    if (!parallel.begun && !parallel_detail::begin(parallel)) {
        return false;
    }
    const SlabFiles& files = parallel.files;
    const std::uint64_t offsets[2] = {parallel.sources[0]->next_offset, parallel.sources[1]->next_offset};
    if (parallel.given_up || offsets[0] < files.first_offsets[0] || offsets[1] < files.first_offsets[1]) {
        return false;
    }
    const std::uint64_t bytes = offsets[0] - files.first_offsets[0];
    first_sample = bytes / BYTES_PER_SAMPLE;
    return offsets[1] - files.first_offsets[1] == bytes && bytes % BYTES_PER_SAMPLE == 0 &&
           first_sample % files.block_samples == 0 && first_sample + files.block_samples <= files.end_sample;
}

// Adds the pieces of the block from `first_sample` in order: `plan_now()`
// gives the plan for the slabs from where the adding stands, and
// `add(plan, piece)` adds a piece, or refuses it. Returns whether every piece
// was added; then both sources are moved past the block. A slab that failed
// ends the summing for good.
template <typename Summing, typename PlanNow, typename AddPiece>
bool add_block_pieces(ParallelBlocks<Summing>& parallel, std::uint64_t first_sample, PlanNow plan_now,
                      AddPiece add) {
    const std::uint64_t end = first_sample + parallel.files.block_samples;
    for (std::uint64_t at = first_sample; at < end;) {
        const std::uint64_t slab = slab_of(parallel.files, at);
        parallel_detail::move_to(parallel, slab, plan_now());
        const SlabSums<Summing>& sums = parallel_detail::summed(parallel, slab);
        // A file shorter than its size said, or one changed since the
        // threads began (cut and grown again, rewritten), whose sums may be
        // of bytes it no longer holds: the loop reads on and finds what it
        // now holds, and the workers stop.
        if (sums.failed || !parallel_detail::files_unchanged(parallel, slab)) {
            parallel.given_up = true;
            parallel_detail::stop_workers(parallel);
            return false;
        }
        std::uint64_t start = sums.span.first_sample;
        for (std::size_t p = 0; p < sums.piece_count && start < end; ++p) {
            if (start >= at && !add(sums.plan, sums.pieces[p])) {
                return false;
            }
            start = sums.piece_ends[p];
        }
        at = std::min(end, sums.span.end_sample);
    }
    for (FileSource* source : parallel.sources) {
        skip_file_samples(*source, parallel.files.block_samples);
    }
    return true;
}

// A record for the threads, on the heap (its slabs' sums are too large for
// a stack); null where there is not the memory.
template <typename Summing>
ParallelBlocks<Summing>* new_parallel_blocks() {
    return new (std::nothrow) ParallelBlocks<Summing>{};
}

// Stops the workers and frees the buffers; harmless twice.
template <typename Summing>
void stop_parallel_blocks(ParallelBlocks<Summing>& parallel) {
    parallel_detail::stop_workers(parallel);
    for (unsigned w = 0; w < parallel.started_workers; ++w) {
        parallel.workers[w].join();
    }
    parallel.started_workers = 0;
    std::free(parallel.buffer_memory);
    parallel.buffer_memory = nullptr;
    parallel.buffers = nullptr;
}

// Stops the workers and frees the record made by new_parallel_blocks;
// `parallel` is null afterwards. Harmless on null.
template <typename Summing>
void release_parallel_blocks(ParallelBlocks<Summing>*& parallel) {
    if (parallel != nullptr) {
        stop_parallel_blocks(*parallel);
        delete parallel;
        parallel = nullptr;
    }
}

}  // namespace vorik
