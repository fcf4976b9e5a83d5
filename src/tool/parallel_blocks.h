// Whole blocks of two regular files summed by worker threads ahead of the
// block loop, slab by slab (slab.h).
//
// The block loop (measure_next_block) asks for each block before it reads
// it (see measurement_detail.h). The threads here only sum whole blocks that
// both files held when the measurement started, as their sizes said; the
// loop reads everything else itself: the last part of a block, what a file
// gained since, and what a size did not tell. A slab that fails (a file was
// cut short) ends the summing for good, and the loop, reading on, finds the
// cut. So where the data ends, how samples pair and when the measurement
// has ended are decided in the loop alone.
//
// The workers, the main thread among them while it waits, claim the next
// slab while it lies at most MAX_SLABS_AHEAD slabs past the one the loop is
// in, read it and sum its pieces from the latest plan (psnr_pieces.h). The
// main thread adds a block's pieces in order; where a piece's plan no longer
// holds (a total passed 2^53 or a power of two past it), the loop reads that
// block itself. A thread with nothing to claim sleeps on a condition
// variable until there is: while the output is blocked, none runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "file_source.h"
#include "measurement_detail.h"
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

struct SlabSlot {
    std::uint64_t slab;
    SlotState state;
    SlabSums sums;
};

struct ParallelBlocks {
    FileSource* sources[2];
    SlabFiles files;
    unsigned threads;        // the main thread and the workers
    unsigned char* buffer_memory;  // as allocated
    unsigned char* buffers;        // in it, on a page: SLAB_BUFFER_BYTES for each thread, the main thread's first
    std::thread workers[MAX_THREADS - 1];
    unsigned started_workers;
    bool begun;     // the loop has asked for a block
    bool given_up;  // a slab failed: the loop reads every block from now on
    // Shared by the threads, under `lock`.
    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t next_claim;  // the next slab to claim
    std::uint64_t first_held;  // the slab the loop is in: no slab before it is needed any more
    detail::PiecePlan plan;    // for the slabs claimed from now on
    bool stopping;
    SlabSlot slots[MAX_SLABS_AHEAD];
};

// Sets `parallel` up to sum whole blocks of two regular files, read from
// `first` and `second`, if it can: blocks of an even number of samples, not
// too small, samples from byte 44 of both files, at least one whole block
// in both, a little-endian host. Returns whether it can; then the loop takes
// parallel_block_summer, and stop_parallel_blocks ends it.
bool start_parallel_blocks(ParallelBlocks& parallel, FileSource& first, FileSource& second,
                           std::uint32_t block_samples);

detail::BlockSummer parallel_block_summer(ParallelBlocks& parallel);

// Stops the workers and frees the buffers; harmless twice.
void stop_parallel_blocks(ParallelBlocks& parallel);

}  // namespace vorik
