// Two regular files measured by several threads at once: the same blocks,
// results and endings as measure_next_block gives them, to the last bit.
//
// The files are taken in slabs: 2 MiB of each, between like boundaries of
// both, as the samples of both start at byte 44. Every thread, the main one
// among them, claims the next slab while it is at most a few slabs ahead of
// the main thread's adding: it maps the slab of both files in place, or reads
// it 256 KiB at a time, whichever has cost it less time per byte so far (now
// and then it tries the other way again: what a file costs changes with how
// the page cache holds it); it sums the pieces of blocks in the slab from the
// latest plan (see psnr_meter.h), and makes sure the files still held the
// slab when it was summed. The main thread adds the slabs' pieces in order,
// block by block; a piece whose plan no longer holds (a total passed 2^53 or
// a power of two past it) it takes again itself, with the rest of its slab,
// in order. The blocks are handed out one at a time, on the main thread.
//
// A page of a mapped slab that vanishes under a thread (the file was cut
// short) fails that slab, each thread being guarded on its own; a failure
// ends the measurement at the slab, and the other threads take no more.
#pragma once

#include <vorik/measurement.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform.h"

namespace vorik {

// Threads at most. The measure is bound by the memory's bandwidth and the
// kernel's work on pages, which two threads share well; more than two have
// not been measured.
constexpr unsigned MOST_THREADS = 2;
// Bytes of each file a slab spans: large folios of the page cache are 2 MiB
// at most, and a window of this size on a like boundary takes them whole.
constexpr std::size_t SLAB_BYTES = std::size_t{2} << 20;
// Bytes taken by one read, on page boundaries, and summed while they are in
// the cache.
constexpr std::size_t READ_BYTES = std::size_t{256} << 10;
// Slabs taken ahead of the adding at most: enough that no thread waits for
// another's slab, few enough that their results stay small.
constexpr unsigned SLABS_AHEAD = 8;
// Blocks this small are measured one by one: a slab would hold too many.
constexpr std::uint32_t LEAST_BLOCK_SAMPLES = 4096;

constexpr std::size_t SLAB_SAMPLES = SLAB_BYTES / sizeof(std::int16_t);
// Blocks a slab completes at most, and the pieces it cuts them into: one
// more piece for each read, which a piece does not straddle.
constexpr std::size_t MOST_BLOCKS_A_SLAB = SLAB_SAMPLES / LEAST_BLOCK_SAMPLES + 1;
constexpr std::size_t MOST_PIECES = MOST_BLOCKS_A_SLAB + SLAB_BYTES / READ_BYTES;
// Counters that threads write each on its own stay on lines of their own.
constexpr std::size_t CACHE_LINE_BYTES = 64;

// How a slab is taken.
enum class SlabWay : unsigned char { read, mapped };
constexpr std::size_t SLAB_WAYS = 2;

// What a way has cost a thread, in time per byte.
struct WayCost {
    double nanoseconds_per_byte;
    std::uint64_t last_slab_count;      // the taker's slab count when it last went this way
    std::uint64_t slabs_between_tries;  // while dearer: how long until it is tried again; 0 at first
    bool known;
};

// The part of a block that lies in a slab, summed from the slab's plan.
struct SlabPiece {
    std::uint64_t end;  // the sample after its last, counted from the files' first
    PsnrPieceSums sums;
};

// One slab's results, from the thread that took it to the main thread.
struct SlabSlot {
    alignas(CACHE_LINE_BYTES) std::atomic<std::uint32_t> holds;  // the slab's number plus one, once taken
    PsnrPiecePlan plan;
    bool failed;
    std::size_t piece_count;
    SlabPiece pieces[MOST_PIECES];
};

struct ParallelMeasurement;

// One thread's taking of slabs.
struct SlabTaker {
    ParallelMeasurement* owner;
    WindowRoom room;  // a window onto each file, and a buffer to read each into
    WayCost costs[SLAB_WAYS];
    std::uint64_t slab_count;  // slabs taken so far
    WorkerThread thread;
    // The slab it takes now.
    std::uint64_t first_sample;  // counted from the files' first sample
    std::uint64_t end_sample;
    const unsigned char* windows[2];  // where the slab of each file is mapped, if it is
    unsigned char* read_buffers[2];   // where a read's worth of each is read into, if it is read
    SlabWay way;
    SlabSlot* slot;
};

struct ParallelMeasurement {
    std::FILE* files[2];
    std::uint64_t bytes_at_start[2];
    std::uint32_t block_samples;
    bool files_map;    // both files may be mapped: a system that maps files, no holes, no memory file system
    unsigned threads;  // takers in use, the main thread's first
    unsigned started_workers;  // threads started for the takers after the first
    bool begun;                // the first block has been asked for
    // What the threads share: the next slab to claim, the end of the
    // claiming, the latest plan; and, set before the end of the claiming
    // moves, where the samples to take end.
    alignas(CACHE_LINE_BYTES) std::atomic<std::uint32_t> next_claim;
    alignas(CACHE_LINE_BYTES) std::atomic<std::uint32_t> claim_end;
    std::atomic<std::uint32_t> plan_hint;
    std::atomic<bool> stopping;
    std::uint64_t end_sample;  // the files' common length as measured: set by their sizes
    // The main thread's own.
    PsnrAccumulator accumulator;
    std::uint64_t measured;     // samples added so far, counted from the files' first
    std::uint32_t next_to_add;  // the slab whose pieces are added next
    MeasurementState ending;    // how it ends once the blocks ready are handed out; measuring until then
    PsnrResult ready[MOST_BLOCKS_A_SLAB + 1];
    std::size_t ready_count;
    std::size_t ready_taken;
    PsnrResult result;  // of the block handed out last
    SlabSlot slots[SLABS_AHEAD];
    SlabTaker takers[MOST_THREADS];
};

// Sets `parallel` up to measure the two inputs of a measurement just
// started, if they can be so measured: two regular files whose samples start
// at byte 44, blocks of an even number of samples, not too small, on a
// little-endian host. Returns whether they can; then always call
// finish_parallel_measurement, and not measure_next_block.
bool start_parallel_measurement(ParallelMeasurement& parallel, const Measurement& measurement);

// As measure_next_block: true with the block's result in `parallel.result`,
// false once the measurement has ended, with the reason in `parallel.ending`.
bool measure_next_in_parallel(ParallelMeasurement& parallel);

// Stops the threads and gives back the windows; harmless twice.
void finish_parallel_measurement(ParallelMeasurement& parallel);

}  // namespace vorik
