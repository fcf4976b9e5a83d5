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
// changes along it with how the page cache holds it. Each time it is tried
// and still costs more, it waits twice as long, up to the most.
constexpr std::uint64_t SLABS_BEFORE_TRYING_AGAIN = 16;
constexpr std::uint64_t MOST_SLABS_BEFORE_TRYING_AGAIN = 256;
// What a way's latest slab weighs in what it costs: a quarter.
constexpr double LATEST_COST_WEIGHT = 0.25;
// A thread that waits spins this many times before it lets other threads run,
// and lets them run this many times before it sleeps.
constexpr unsigned SPINS_BEFORE_YIELDING = 4096;
constexpr unsigned YIELDS_BEFORE_SLEEPING = 1024;
// The plan in one word, for the threads to share: each side's way and the
// exponent of its spacing, in a byte.
constexpr unsigned WAY_BITS = 2;
constexpr unsigned SIDE_BITS = 8;
constexpr std::uint32_t WAY_MASK = (1U << WAY_BITS) - 1;
constexpr std::uint32_t SIDE_MASK = (1U << SIDE_BITS) - 1;

using Clock = std::chrono::steady_clock;

// Where a sample starts in both files, and the sample that starts at a byte
// from the first sample's on; samples counted from the files' first.
std::uint64_t offset_of(std::uint64_t sample) { return SAMPLES_START + sample * BYTES_PER_SAMPLE; }

std::uint64_t sample_at(std::uint64_t offset) { return (offset - SAMPLES_START) / BYTES_PER_SAMPLE; }

std::uint64_t samples_in(std::uint64_t file_bytes) {
    return file_bytes > SAMPLES_START ? sample_at(file_bytes) : 0;
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
std::uint64_t slab_of(std::uint64_t sample) { return offset_of(sample) / SLAB_BYTES; }

std::uint64_t slab_start_sample(std::uint64_t slab) { return slab == 0 ? 0 : sample_at(slab * SLAB_BYTES); }

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
    const WayCost& other = taker.costs[static_cast<std::size_t>(other_way(cheaper))];
    return taker.slab_count >= other.last_slab_count + other.slabs_between_tries ? other_way(cheaper)
                                                                                 : cheaper;
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
    const WayCost& other = taker.costs[static_cast<std::size_t>(other_way(taker.way))];
    const bool dearer = other.known && other.nanoseconds_per_byte < cost.nanoseconds_per_byte;
    cost.slabs_between_tries = dearer && cost.slabs_between_tries != 0
                                   ? std::min(2 * cost.slabs_between_tries, MOST_SLABS_BEFORE_TRYING_AGAIN)
                                   : SLABS_BEFORE_TRYING_AGAIN;
}

// The bytes of the files from where the taker's slab starts to where its
// samples end.
struct SlabBytes {
    std::uint64_t offset;  // the slab's first byte, on a slab boundary
    std::uint64_t end;     // the byte after its last sample
};

SlabBytes slab_bytes(const SlabTaker& taker) {
    return {slab_of(taker.first_sample) * SLAB_BYTES, offset_of(taker.end_sample)};
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
    std::uint64_t read_offset = bytes.offset + (offset_of(start) - bytes.offset) / READ_BYTES * READ_BYTES;
    for (; start < taker.end_sample; read_offset += READ_BYTES) {
        const std::uint64_t read_end = std::min(bytes.end, read_offset + READ_BYTES);
        // Reads start on page boundaries; a sample that the first one cuts
        // in two, behind the header, belongs to the next.
        const std::uint64_t end = std::min(taker.end_sample, sample_at(read_end));
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
            lying[file] = reinterpret_cast<const std::int16_t*>(window + (offset_of(start) - read_offset));
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
    const std::uint64_t end_offset = offset_of(taker.end_sample);
    for (std::FILE* file : taker.owner->files) {
        std::uint64_t file_bytes = 0;
        if (!regular_file_size(file, file_bytes) || file_bytes < end_offset) {
            return false;
        }
    }
    return true;
}

std::uint32_t side_word(PsnrSideWay way, unsigned spacing_exponent) {
    return static_cast<std::uint32_t>(way) | spacing_exponent << WAY_BITS;
}

std::uint32_t plan_word(const PsnrPiecePlan& plan) {
    return side_word(plan.left_way, plan.left_spacing_exponent) |
           side_word(plan.right_way, plan.right_spacing_exponent) << SIDE_BITS;
}

PsnrPiecePlan plan_of(std::uint32_t word) {
    const std::uint32_t left = word & SIDE_MASK;
    const std::uint32_t right = word >> SIDE_BITS & SIDE_MASK;
    return {static_cast<PsnrSideWay>(left & WAY_MASK), static_cast<PsnrSideWay>(right & WAY_MASK),
            left >> WAY_BITS, right >> WAY_BITS};
}

// Sets the taker to the samples of `slab` from where taking starts, up to
// the files' common end.
void set_out_slab(SlabTaker& taker, std::uint64_t slab) {
    const ParallelMeasurement& parallel = *taker.owner;
    taker.first_sample = slab_start_sample(slab);
    taker.end_sample =
        std::max(taker.first_sample, std::min(parallel.end_sample, slab_start_sample(slab + 1)));
    taker.way = chosen_way(taker, parallel.files_map);
}

// Takes the taker's slab into its slot and sums its pieces from the slot's
// plan; `failed` stays set unless all of it is done. Runs guarded: a page
// that vanishes cuts it short.
void sum_slab_pieces(void* context) {
    SlabTaker& taker = *static_cast<SlabTaker*>(context);
    SlabSlot& slot = *taker.slot;
    const Clock::time_point started = Clock::now();
    const bool taken = take_pieces(taker, [&slot](std::uint64_t start, std::uint64_t end,
                                                  const std::int16_t* first, const std::int16_t* second) {
        slot.pieces[slot.piece_count++] = {
            end, sum_psnr_piece(slot.plan, first, second, static_cast<std::uint32_t>(end - start))};
    });
    if (!taken || !slab_still_in_files(taker)) {
        return;
    }
    slot.failed = false;
    record_cost(taker, Clock::now() - started,
                2 * (taker.end_sample - taker.first_sample) * BYTES_PER_SAMPLE);
}

// Claims the next slab, if one may be taken now, and takes it. Returns
// whether it took one.
bool claim_and_take(SlabTaker& taker) {
    ParallelMeasurement& parallel = *taker.owner;
    std::uint32_t slab = parallel.next_claim.load(std::memory_order_relaxed);
    do {
        if (slab >= parallel.claim_end.load(std::memory_order_acquire)) {
            return false;
        }
    } while (!parallel.next_claim.compare_exchange_weak(slab, slab + 1, std::memory_order_acq_rel));
    SlabSlot& slot = parallel.slots[slab % SLABS_AHEAD];
    slot.plan = plan_of(parallel.plan_hint.load(std::memory_order_acquire));
    slot.piece_count = 0;
    slot.failed = true;
    taker.slot = &slot;
    set_out_slab(taker, slab);
    // A slab cut short by a vanished page keeps `failed` as set above.
    run_guarded_against_vanished_pages(sum_slab_pieces, &taker);
    ++taker.slab_count;
    slot.holds.store(slab + 1, std::memory_order_release);
    return true;
}

// How a thread waits, the longer the more `times` it has waited already:
// spinning, for the short waits for a slab, then letting other threads run,
// then sleeping, as for a main thread held up by its output.
void wait_a_little(unsigned& times) {
    if (times < SPINS_BEFORE_YIELDING) {
        ++times;
    } else if (times < SPINS_BEFORE_YIELDING + YIELDS_BEFORE_SLEEPING) {
        ++times;
        yield_processor();
    } else {
        sleep_briefly();
    }
}

void run_worker(void* context) {
    SlabTaker& taker = *static_cast<SlabTaker*>(context);
    const ParallelMeasurement& parallel = *taker.owner;
    unsigned waited = 0;
    while (!parallel.stopping.load(std::memory_order_acquire)) {
        if (claim_and_take(taker)) {
            waited = 0;
        } else {
            wait_a_little(waited);
        }
    }
}

// Lets the slabs be claimed up to a few ahead of the adding, and no further
// than the files' common end.
void open_claiming(ParallelMeasurement& parallel) {
    const std::uint64_t last_slab = slab_of(parallel.end_sample - 1);
    const std::uint64_t end =
        std::min<std::uint64_t>(std::uint64_t{parallel.next_to_add} + SLABS_AHEAD, last_slab + 1);
    parallel.claim_end.store(parallel.end_sample == 0 ? 0 : static_cast<std::uint32_t>(end),
                             std::memory_order_release);
}

// Samples added up to `end`, the end of a piece: a block ends there unless
// only the files' ends do, which tell at the end whether it is whole.
void added_to(ParallelMeasurement& parallel, std::uint64_t end) {
    parallel.measured = end;
    if (end % parallel.block_samples == 0) {
        parallel.ready[parallel.ready_count++] = compute_psnr(parallel.accumulator);
    }
}

// The main thread's taking again of the rest of a slab, from the sample
// measured to, every piece added in order; run guarded.
void take_rest_in_order(void* context) {
    ParallelMeasurement& parallel = *static_cast<ParallelMeasurement*>(context);
    SlabTaker& taker = parallel.takers[0];
    const bool taken = take_pieces(taker, [&parallel](std::uint64_t start, std::uint64_t end,
                                                      const std::int16_t* first, const std::int16_t* second) {
        accumulate_block(parallel.accumulator, first, second, static_cast<std::uint32_t>(end - start));
        added_to(parallel, end);
    });
    taker.slot->failed = !taken || !slab_still_in_files(taker);
}

// A slab that failed ends the measurement, and none of the blocks it
// completed is kept: they are the only ones ready, as blocks are handed out
// before the next slab is added.
void fail_at_slab(ParallelMeasurement& parallel) {
    parallel.ready_count = 0;
    parallel.ending = MeasurementState::read_failed;
}

// Takes the rest of `slab` again from the sample measured to, by the main
// thread, in order; false where that fails.
bool took_rest_in_order(ParallelMeasurement& parallel, std::uint64_t slab, SlabSlot& slot) {
    SlabTaker& taker = parallel.takers[0];
    set_out_slab(taker, slab);
    taker.first_sample = parallel.measured;
    taker.slot = &slot;
    if (!run_guarded_against_vanished_pages(take_rest_in_order, &parallel)) {
        slot.failed = true;
    }
    return !slot.failed;
}

// Adds the pieces of the next slab, whose results are in; where a piece's
// plan no longer holds, the rest of the slab is taken again, in order. Blocks
// it completes count only once the whole slab was taken.
void add_slab(ParallelMeasurement& parallel, SlabSlot& slot) {
    for (std::size_t p = 0; p < slot.piece_count && !slot.failed; ++p) {
        if (!add_psnr_piece(parallel.accumulator, slot.plan, slot.pieces[p].sums)) {
            took_rest_in_order(parallel, parallel.next_to_add, slot);
            break;
        }
        added_to(parallel, slot.pieces[p].end);
    }
    if (slot.failed) {
        fail_at_slab(parallel);
        return;
    }
    parallel.plan_hint.store(plan_word(plan_psnr_pieces(parallel.accumulator)), std::memory_order_release);
    ++parallel.next_to_add;
    open_claiming(parallel);
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
        // The rest of the slab the old end lies in is the main thread's to
        // take; the threads claim on from the next, as ever. Every slab
        // claimed has been added, so no thread writes that slab's slot.
        parallel.end_sample = ends.end_sample;
        const std::uint64_t slab = slab_of(parallel.measured);
        if (slab < parallel.next_to_add &&
            !took_rest_in_order(parallel, slab, parallel.slots[slab % SLABS_AHEAD])) {
            fail_at_slab(parallel);
            return;
        }
        open_claiming(parallel);
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

// The first block asked for: the plan from the totals as they stand, the
// claiming opened, the other threads started where there is more than a slab.
void begin(ParallelMeasurement& parallel) {
    parallel.begun = true;
    parallel.plan_hint.store(plan_word(plan_psnr_pieces(parallel.accumulator)), std::memory_order_relaxed);
    open_claiming(parallel);
    const std::uint64_t slabs = parallel.end_sample == 0 ? 0 : slab_of(parallel.end_sample - 1) + 1;
    for (; parallel.started_workers + 1 < std::min<std::uint64_t>(parallel.threads, slabs);
         ++parallel.started_workers) {
        SlabTaker& taker = parallel.takers[parallel.started_workers + 1];
        if (!start_worker_thread(taker.thread, run_worker, &taker)) {
            // Measure on with the threads there are.
            break;
        }
    }
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
    parallel.threads = std::clamp(usable_processors(), 1U, MOST_THREADS);
    for (unsigned t = 0; t < parallel.threads; ++t) {
        SlabTaker& taker = parallel.takers[t];
        taker.owner = &parallel;
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
    // Files on a memory file system are read: mapped, their small pages
    // cost more than the copy. Where the system maps no files, a room has
    // no windows.
    parallel.files_map = parallel.takers[0].room.windows != nullptr;
    for (std::FILE* file : parallel.files) {
        parallel.files_map =
            parallel.files_map && !on_memory_file_system(file) && data_covers_file_from(file, SAMPLES_START);
    }
    parallel.end_sample = ends_of(samples[0], samples[1], parallel.block_samples).end_sample;
    parallel.ending = MeasurementState::measuring;
    return true;
}

bool measure_next_in_parallel(ParallelMeasurement& parallel) {
    if (!parallel.begun) {
        begin(parallel);
    }
    unsigned waited = 0;
    while (parallel.ready_taken == parallel.ready_count) {
        if (parallel.ending != MeasurementState::measuring) {
            return false;
        }
        parallel.ready_count = 0;
        parallel.ready_taken = 0;
        SlabSlot& next = parallel.slots[parallel.next_to_add % SLABS_AHEAD];
        if (parallel.measured == parallel.end_sample) {
            at_the_files_ends(parallel);
        } else if (next.holds.load(std::memory_order_acquire) == parallel.next_to_add + 1) {
            add_slab(parallel, next);
            waited = 0;
        } else if (claim_and_take(parallel.takers[0])) {
            waited = 0;
        } else {
            wait_a_little(waited);
        }
    }
    parallel.result = parallel.ready[parallel.ready_taken++];
    return true;
}

void finish_parallel_measurement(ParallelMeasurement& parallel) {
    parallel.stopping.store(true, std::memory_order_release);
    for (unsigned w = 1; w <= parallel.started_workers; ++w) {
        join_worker_thread(parallel.takers[w].thread);
    }
    parallel.started_workers = 0;
    for (SlabTaker& taker : parallel.takers) {
        release_window_room(taker.room);
    }
}

}  // namespace vorik
