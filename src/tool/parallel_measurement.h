// Two regular files measured by several threads at once: the same blocks,
// results and endings as measure_next_block gives them, to the last bit.
//
// The files are taken in slabs: 2 MiB of each, between like boundaries of
// both, as the samples of both start at byte 44. In a batch each thread
// takes one slab: it maps the slab of both files in place, or reads it in
// 1 MiB reads, whichever has cost it less time per byte so far (now and then
// it tries the other way again: what a file costs changes with how the page
// cache holds it), sums the pieces of blocks in it from the batch's plan
// (see psnr_meter.h), and makes sure the files still held the slab when it
// was summed. The main thread then adds the pieces in their order, block by
// block; where the plan does not hold (a total passes 2^53 or a power of two
// past it within the batch), it takes the rest of the batch alone, in order.
// The blocks are handed out one at a time, on the main thread.
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
// Blocks this small are measured one by one: a slab would hold too many.
constexpr std::uint32_t LEAST_BLOCK_SAMPLES = 4096;

constexpr std::size_t SLAB_SAMPLES = SLAB_BYTES / sizeof(std::int16_t);
// A slab cuts at most this many blocks into pieces: one more piece for each
// read, which a piece does not straddle.
constexpr std::size_t MOST_PIECES = SLAB_SAMPLES / LEAST_BLOCK_SAMPLES + SLAB_BYTES / READ_BYTES + 1;

// Counters that two threads write each on its own stay on lines of their own.
constexpr std::size_t CACHE_LINE_BYTES = 64;

// How a slab is taken.
enum class SlabWay : unsigned char { read, mapped };
constexpr std::size_t SLAB_WAYS = 2;

// What a way has cost a thread, in time per byte.
struct WayCost {
    double nanoseconds_per_byte;
    std::uint64_t last_slab_count;  // the taker's slab count when it last went this way
    bool known;
};

// The part of a block that lies in a slab, summed from the batch's plan.
struct SlabPiece {
    std::uint64_t end;  // the sample after its last, counted from the files' first
    PsnrPieceSums sums;
};

struct ParallelMeasurement;

// One thread's taking of slabs, and what it took last.
struct SlabTaker {
    ParallelMeasurement* owner;
    unsigned index;   // the slab of a batch it takes: its place among the threads
    WindowRoom room;  // a window onto each file
    WayCost costs[SLAB_WAYS];
    std::uint64_t slab_count;  // slabs taken so far
    // The slab taken last.
    std::uint64_t first_sample;  // where it starts and ends, counted from the files' first sample
    std::uint64_t end_sample;
    const unsigned char* windows[2];  // where the slab of each file is mapped, if it is
    unsigned char* read_buffers[2];   // where a read's worth of each is read into, if it is read
    SlabWay way;
    bool failed;
    std::size_t piece_count;
    SlabPiece pieces[MOST_PIECES];
    // The hand-over with the main thread: the batch handed out, and the one
    // taken, by number.
    WorkerThread thread;
    alignas(CACHE_LINE_BYTES) std::atomic<std::uint32_t> handed_out;
    alignas(CACHE_LINE_BYTES) std::atomic<std::uint32_t> taken;
};

// Blocks a batch can complete at most.
constexpr std::size_t MOST_BLOCKS_A_BATCH = MOST_THREADS * (SLAB_SAMPLES / LEAST_BLOCK_SAMPLES + 1);

struct ParallelMeasurement {
    std::FILE* files[2];
    std::uint64_t bytes_at_start[2];
    std::uint32_t block_samples;
    bool files_map;            // both files can be mapped: no holes, a system that maps files
    unsigned threads;          // takers in use, the main thread's first
    unsigned started_workers;  // threads started for the takers after the first
    bool stopping;             // read by the workers once a batch is handed out
    // The batch handed out: its first slab, the samples measured to, the plan.
    std::uint64_t batch_first_slab;
    std::uint64_t end_sample;  // the files' common length as measured: set by their sizes
    PsnrPiecePlan plan;
    // The main thread's own.
    PsnrAccumulator accumulator;
    std::uint64_t measured;      // samples added so far, counted from the files' first
    MeasurementState ending;     // how it ends once the blocks ready are handed out; measuring until then
    MeasurementState end_state;  // where the files' sizes end it when their ends are reached
    PsnrResult ready[MOST_BLOCKS_A_BATCH + 1];
    std::size_t ready_count;
    std::size_t ready_taken;
    PsnrResult result;  // of the block handed out last
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
