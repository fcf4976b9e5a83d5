#include "parallel_measurement.h"

#include <vorik/wave_header.h>

#include <algorithm>
#include <bit>
#include <chrono>

namespace vorik {
namespace {

// The samples of both files start right after the canonical header.
constexpr std::uint64_t SAMPLES_START = WAVE_HEADER_BYTES;
constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);
// A way not taken for this many slabs is tried again: what a file costs
// changes along it with how the page cache holds it.
constexpr std::uint64_t SLABS_BEFORE_TRYING_AGAIN = 16;
// What a way's latest slab weighs in what it costs: a quarter.
constexpr double LATEST_COST_WEIGHT = 0.25;
// A thread that waits spins this many times before it lets other threads run,
// and lets them run this many times before it sleeps.
constexpr unsigned SPINS_BEFORE_YIELDING = 4096;
constexpr unsigned YIELDS_BEFORE_SLEEPING = 1024;

using Clock = std::chrono::steady_clock;

std::uint64_t samples_in(std::uint64_t file_bytes) {
    return file_bytes > SAMPLES_START ? (file_bytes - SAMPLES_START) / BYTES_PER_SAMPLE : 0;
}

// Where the files' lengths end a measurement, as measure_next_block ends it:
// both at their common end; or, where one is shorter, at the last block both
// hold whole, finished if the shorter ends on a block's boundary and with
// the sizes differing if it ends within a block the other goes on past.
struct FileEnds {
    std::uint64_t end_sample;
    MeasurementState state;
};

FileEnds ends_of(std::uint64_t first_samples, std::uint64_t second_samples, std::uint32_t block_samples) {
    if (first_samples == second_samples) {
        return {first_samples, MeasurementState::finished};
    }
    const std::uint64_t shorter = std::min(first_samples, second_samples);
    const std::uint64_t in_last_block = shorter % block_samples;
    return {shorter - in_last_block,
            in_last_block != 0 ? MeasurementState::sizes_differ : MeasurementState::finished};
}

// The slab that holds a sample, and where a slab's samples start: slabs lie
// on SLAB_BYTES boundaries of the files, the first one holding the header.
std::uint64_t slab_of(std::uint64_t sample) {
    return (SAMPLES_START + sample * BYTES_PER_SAMPLE) / SLAB_BYTES;
}

std::uint64_t slab_start_sample(std::uint64_t slab) {
    return slab == 0 ? 0 : (slab * SLAB_BYTES - SAMPLES_START) / BYTES_PER_SAMPLE;
}

SlabWay other_way(SlabWay way) { return way == SlabWay::read ? SlabWay::mapped : SlabWay::read; }

// The way a taker takes its next slab: the one that has cost it less, the
// other now and then, each at least once where the files can be mapped.
SlabWay chosen_way(const SlabTaker& taker, bool files_map) {
    if (!files_map) {
        return SlabWay::read;
    }
    for (const SlabWay way : {SlabWay::read, SlabWay::mapped}) {
        if (!taker.costs[static_cast<std::size_t>(way)].known) {
            return way;
        }
    }
    const WayCost& read = taker.costs[static_cast<std::size_t>(SlabWay::read)];
    const WayCost& mapped = taker.costs[static_cast<std::size_t>(SlabWay::mapped)];
    const SlabWay cheaper =
        mapped.nanoseconds_per_byte < read.nanoseconds_per_byte ? SlabWay::mapped : SlabWay::read;
    const SlabWay other = other_way(cheaper);
    const bool other_is_old =
        taker.slab_count >=
        taker.costs[static_cast<std::size_t>(other)].last_slab_count + SLABS_BEFORE_TRYING_AGAIN;
    return other_is_old ? other : cheaper;
}

void record_cost(SlabTaker& taker, Clock::duration took, std::uint64_t bytes) {
    WayCost& cost = taker.costs[static_cast<std::size_t>(taker.way)];
    const double latest =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()) /
        static_cast<double>(bytes);
    cost.nanoseconds_per_byte =
        cost.known ? (1.0 - LATEST_COST_WEIGHT) * cost.nanoseconds_per_byte + LATEST_COST_WEIGHT * latest
                   : latest;
    cost.known = true;
    cost.last_slab_count = taker.slab_count;
}

// The bytes of the files from where the taker's slab starts to where its
// samples end.
struct SlabBytes {
    std::uint64_t offset;  // the slab's first byte, on a slab boundary
    std::uint64_t end;     // the byte after its last sample
};

SlabBytes slab_bytes(const SlabTaker& taker) {
    return {slab_of(taker.first_sample) * SLAB_BYTES, SAMPLES_START + taker.end_sample * BYTES_PER_SAMPLE};
}

// Maps the taker's slab of both files, for its samples to be read in place.
bool map_slab(SlabTaker& taker) {
    const SlabBytes bytes = slab_bytes(taker);
    for (unsigned file = 0; file < 2; ++file) {
        taker.windows[file] = map_into_window(taker.room, file, taker.owner->files[file], bytes.offset,
                                              static_cast<std::size_t>(bytes.end - bytes.offset));
        if (taker.windows[file] == nullptr) {
            return false;
        }
    }
    return true;
}

// Calls `piece(start, end, first, second)` for every part of a block in the
// taker's slab, from its first sample on, in order: samples counted from
// the files' first, and where they lie. The slab is taken a read's worth at
// a time, so that read samples are summed while they are in the cache; a
// part of a block ends where a read does. False where a read fails or comes
// short, as for a file cut short.
template <typename Piece>
bool take_pieces(SlabTaker& taker, Piece piece) {
    const ParallelMeasurement& parallel = *taker.owner;
    const SlabBytes bytes = slab_bytes(taker);
    if (taker.way == SlabWay::mapped && !map_slab(taker)) {
        return false;
    }
    std::uint64_t start = taker.first_sample;
    const std::uint64_t start_offset = SAMPLES_START + start * BYTES_PER_SAMPLE;
    std::uint64_t read_offset = bytes.offset + (start_offset - bytes.offset) / READ_BYTES * READ_BYTES;
    for (; start < taker.end_sample; read_offset += READ_BYTES) {
        const std::uint64_t read_end = std::min(bytes.end, read_offset + READ_BYTES);
        // Reads start on page boundaries; a sample that the first one cuts
        // in two, behind the header, belongs to the next.
        const std::uint64_t end = std::min(taker.end_sample, (read_end - SAMPLES_START) / BYTES_PER_SAMPLE);
        const std::int16_t* lying[2] = {};
        for (unsigned file = 0; file < 2; ++file) {
            const unsigned char* window = taker.read_buffers[file];
            if (taker.way == SlabWay::mapped) {
                window = taker.windows[file] + (read_offset - bytes.offset);
            } else {
                const auto asked = static_cast<std::size_t>(read_end - read_offset);
                if (read_file_at(parallel.files[file], read_offset, taker.read_buffers[file], asked) !=
                    static_cast<std::int64_t>(asked)) {
                    return false;
                }
            }
            // Aligned: windows and buffers start on a page, samples on an even byte.
            lying[file] = reinterpret_cast<const std::int16_t*>(
                window + (SAMPLES_START + start * BYTES_PER_SAMPLE - read_offset));
        }
        const std::uint32_t block = parallel.block_samples;
        for (std::uint64_t at = start; at < end;) {
            const std::uint64_t piece_end = std::min(end, (at / block + 1) * block);
            piece(at, piece_end, lying[0] + (at - start), lying[1] + (at - start));
            at = piece_end;
        }
        start = end;
    }
    return true;
}

// A mapping of a file cut short reads as zeros past its new end, up to the
// end of the page it ends in: the files must still hold the whole slab once
// it was summed. What was read lay in the files when it was read.
bool slab_still_in_files(const SlabTaker& taker) {
    if (taker.way == SlabWay::read) {
        return true;
    }
    const std::uint64_t end_offset = SAMPLES_START + taker.end_sample * BYTES_PER_SAMPLE;
    for (std::FILE* file : taker.owner->files) {
        std::uint64_t file_bytes = 0;
        if (!regular_file_size(file, file_bytes) || file_bytes < end_offset) {
            return false;
        }
    }
    return true;
}

// Takes the slab handed out to a taker and sums its pieces from the plan;
// `failed` stays set unless all of it is done. Runs guarded: a page that
// vanishes cuts it short.
void take_handed_out_slab(void* context) {
    SlabTaker& taker = *static_cast<SlabTaker*>(context);
    const PsnrPiecePlan& plan = taker.owner->plan;
    const Clock::time_point started = Clock::now();
    const bool taken =
        take_pieces(taker, [&taker, &plan](std::uint64_t start, std::uint64_t end, const std::int16_t* first,
                                           const std::int16_t* second) {
            taker.pieces[taker.piece_count++] = {
                end, sum_psnr_piece(plan, first, second, static_cast<std::uint32_t>(end - start))};
        });
    if (!taken || !slab_still_in_files(taker)) {
        return;
    }
    taker.failed = false;
    record_cost(taker, Clock::now() - started,
                2 * (taker.end_sample - taker.first_sample) * BYTES_PER_SAMPLE);
}

// Sets out the samples of the taker's slab in the batch handed out, from the
// sample measured to, for the first taker.
void set_out_slab(SlabTaker& taker) {
    const ParallelMeasurement& parallel = *taker.owner;
    const std::uint64_t slab = parallel.batch_first_slab + taker.index;
    taker.first_sample = std::max(slab_start_sample(slab), parallel.measured);
    taker.end_sample =
        std::max(taker.first_sample, std::min(parallel.end_sample, slab_start_sample(slab + 1)));
    taker.piece_count = 0;
    taker.failed = true;
    taker.way = chosen_way(taker, parallel.files_map);
}

void take_slab(SlabTaker& taker) {
    set_out_slab(taker);
    if (taker.first_sample == taker.end_sample) {
        taker.failed = false;
    } else if (!run_guarded_against_vanished_pages(take_handed_out_slab, &taker)) {
        taker.failed = true;
    }
    ++taker.slab_count;
}

// Waits until `value` holds `wanted`: spinning, for the short waits of a
// batch, then letting other threads run, then sleeping, for a main thread
// held up by its output.
void wait_for(const std::atomic<std::uint32_t>& value, std::uint32_t wanted) {
    for (unsigned spins = 0; spins < SPINS_BEFORE_YIELDING; ++spins) {
        if (value.load(std::memory_order_acquire) == wanted) {
            return;
        }
    }
    for (unsigned yields = 0; value.load(std::memory_order_acquire) != wanted; ++yields) {
        if (yields < YIELDS_BEFORE_SLEEPING) {
            yield_processor();
        } else {
            sleep_briefly();
        }
    }
}

void run_worker(void* context) {
    SlabTaker& taker = *static_cast<SlabTaker*>(context);
    for (std::uint32_t batch = 1;; ++batch) {
        wait_for(taker.handed_out, batch);
        if (taker.owner->stopping) {
            return;
        }
        take_slab(taker);
        taker.taken.store(batch, std::memory_order_release);
    }
}

// Samples added up to `end`, the end of a piece: a block ends there unless
// only the files' ends do, which tell at the end whether it is whole.
void added_to(ParallelMeasurement& parallel, std::uint64_t end) {
    parallel.measured = end;
    if (end % parallel.block_samples == 0) {
        parallel.ready[parallel.ready_count++] = compute_psnr(parallel.accumulator);
    }
}

// The main thread's taking of one slab in order, from the sample measured
// to; run guarded. Blocks it completes count only once the slab was whole.
void take_slab_in_order(void* context) {
    ParallelMeasurement& parallel = *static_cast<ParallelMeasurement*>(context);
    SlabTaker& taker = parallel.takers[0];
    const bool taken = take_pieces(taker, [&parallel](std::uint64_t start, std::uint64_t end,
                                                      const std::int16_t* first, const std::int16_t* second) {
        accumulate_block(parallel.accumulator, first, second, static_cast<std::uint32_t>(end - start));
        added_to(parallel, end);
    });
    taker.failed = !taken || !slab_still_in_files(taker);
}

// The rest of the batch from the sample measured to, by the main thread
// alone, each addition in order: where a total passes 2^53 or a power of two.
void take_rest_in_order(ParallelMeasurement& parallel, std::uint64_t batch_end_slab) {
    while (parallel.measured < parallel.end_sample && slab_of(parallel.measured) < batch_end_slab) {
        SlabTaker& taker = parallel.takers[0];
        parallel.batch_first_slab = slab_of(parallel.measured);
        set_out_slab(taker);
        const std::size_t ready_before = parallel.ready_count;
        if (!run_guarded_against_vanished_pages(take_slab_in_order, &parallel) || taker.failed) {
            parallel.ready_count = ready_before;
            parallel.ending = MeasurementState::read_failed;
            return;
        }
        ++taker.slab_count;
    }
}

bool workers_started(ParallelMeasurement& parallel, unsigned takers) {
    for (; parallel.started_workers + 1 < takers; ++parallel.started_workers) {
        SlabTaker& taker = parallel.takers[parallel.started_workers + 1];
        if (!start_worker_thread(taker.thread, run_worker, &taker)) {
            return false;
        }
    }
    return true;
}

void take_batch(ParallelMeasurement& parallel) {
    parallel.plan = plan_psnr_pieces(parallel.accumulator);
    parallel.batch_first_slab = slab_of(parallel.measured);
    const std::uint64_t slabs_left = slab_of(parallel.end_sample - 1) - parallel.batch_first_slab + 1;
    auto takers = static_cast<unsigned>(std::min<std::uint64_t>(parallel.threads, slabs_left));
    if (!psnr_pieces_apply(parallel.plan)) {
        take_rest_in_order(parallel, parallel.batch_first_slab + takers);
        return;
    }
    if (!workers_started(parallel, takers)) {
        // Measure on with the threads there are.
        parallel.threads = parallel.started_workers + 1;
        takers = std::min(takers, parallel.threads);
    }
    for (unsigned t = 1; t < takers; ++t) {
        SlabTaker& worker = parallel.takers[t];
        worker.handed_out.store(worker.handed_out.load(std::memory_order_relaxed) + 1,
                                std::memory_order_release);
    }
    take_slab(parallel.takers[0]);
    for (unsigned t = 1; t < takers; ++t) {
        SlabTaker& worker = parallel.takers[t];
        wait_for(worker.taken, worker.handed_out.load(std::memory_order_relaxed));
    }
    const std::uint64_t batch_end_slab = parallel.batch_first_slab + takers;
    for (unsigned t = 0; t < takers; ++t) {
        const SlabTaker& taker = parallel.takers[t];
        if (taker.failed) {
            parallel.ending = MeasurementState::read_failed;
            return;
        }
        for (std::size_t p = 0; p < taker.piece_count; ++p) {
            if (!add_psnr_piece(parallel.accumulator, parallel.plan, taker.pieces[p].sums)) {
                take_rest_in_order(parallel, batch_end_slab);
                return;
            }
            added_to(parallel, taker.pieces[p].end);
        }
    }
}

// At the end of the files as known: look at their sizes again. A file that
// grew is measured on to its new end, as a read would; one that now ends
// before its size at the start, or before what was measured, was cut short.
void at_the_files_ends(ParallelMeasurement& parallel) {
    std::uint64_t samples[2] = {};
    for (unsigned file = 0; file < 2; ++file) {
        std::uint64_t file_bytes = 0;
        if (!regular_file_size(parallel.files[file], file_bytes) ||
            file_bytes < parallel.bytes_at_start[file]) {
            parallel.ending = MeasurementState::read_failed;
            return;
        }
        samples[file] = samples_in(file_bytes);
    }
    const FileEnds ends = ends_of(samples[0], samples[1], parallel.block_samples);
    const std::uint64_t whole_blocks = parallel.measured - parallel.measured % parallel.block_samples;
    if (ends.end_sample > parallel.measured) {
        parallel.end_sample = ends.end_sample;
        return;
    }
    if (ends.end_sample == parallel.measured && parallel.measured != whole_blocks) {
        // The last block, shorter than the others, is whole.
        parallel.ready[parallel.ready_count++] = compute_psnr(parallel.accumulator);
    } else if (ends.end_sample != whole_blocks) {
        parallel.ending = MeasurementState::read_failed;
        return;
    }
    // Where the files now end inside the block begun, it is not measured.
    parallel.ending = ends.state;
}

}  // namespace

bool start_parallel_measurement(ParallelMeasurement& parallel, const Measurement& measurement) {
    parallel.files[0] = measurement.first_stream.file;
    parallel.files[1] = measurement.second_stream.file;
    parallel.block_samples = measurement.block_samples;
    if (measurement.state != MeasurementState::measuring || std::endian::native != std::endian::little ||
        parallel.block_samples % 2 != 0 || parallel.block_samples < LEAST_BLOCK_SAMPLES) {
        return false;
    }
    std::uint64_t samples[2] = {};
    for (unsigned file = 0; file < 2; ++file) {
        std::uint64_t position = 0;
        if (!regular_file_size(parallel.files[file], parallel.bytes_at_start[file]) ||
            !stream_position(parallel.files[file], position) || position != SAMPLES_START) {
            return false;
        }
        samples[file] = samples_in(parallel.bytes_at_start[file]);
    }
    parallel.files_map = system_maps_files() && data_covers_file_from(parallel.files[0], SAMPLES_START) &&
                         data_covers_file_from(parallel.files[1], SAMPLES_START);
    parallel.threads = std::clamp(usable_processors(), 1U, MOST_THREADS);
    for (unsigned t = 0; t < parallel.threads; ++t) {
        SlabTaker& taker = parallel.takers[t];
        taker.owner = &parallel;
        taker.index = t;
        if (!reserve_window_room(taker.room, 2, SLAB_BYTES, READ_BYTES)) {
            parallel.threads = t;
            break;
        }
        taker.read_buffers[0] = read_buffer(taker.room, 0);
        taker.read_buffers[1] = read_buffer(taker.room, 1);
    }
    if (parallel.threads == 0) {
        return false;
    }
    const FileEnds ends = ends_of(samples[0], samples[1], parallel.block_samples);
    parallel.end_sample = ends.end_sample;
    parallel.ending = MeasurementState::measuring;
    parallel.result = measurement.result;
    return true;
}

bool measure_next_in_parallel(ParallelMeasurement& parallel) {
    while (parallel.ready_taken == parallel.ready_count) {
        if (parallel.ending != MeasurementState::measuring) {
            return false;
        }
        parallel.ready_count = 0;
        parallel.ready_taken = 0;
        if (parallel.measured == parallel.end_sample) {
            at_the_files_ends(parallel);
        } else {
            take_batch(parallel);
        }
    }
    parallel.result = parallel.ready[parallel.ready_taken++];
    return true;
}

void finish_parallel_measurement(ParallelMeasurement& parallel) {
    parallel.stopping = true;
    for (unsigned w = 1; w <= parallel.started_workers; ++w) {
        SlabTaker& worker = parallel.takers[w];
        worker.handed_out.store(worker.handed_out.load(std::memory_order_relaxed) + 1,
                                std::memory_order_release);
        join_worker_thread(worker.thread);
    }
    parallel.started_workers = 0;
    for (SlabTaker& taker : parallel.takers) {
        release_window_room(taker.room);
    }
}

}  // namespace vorik
