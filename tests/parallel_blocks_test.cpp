// Whole blocks summed by worker threads ahead of the block loop: the same
// blocks, ending and totals as the in-order loop over whole blocks, to the
// last bit, by one thread or two; and what files that grow, are cut, or tell
// less than they hold come to is the loop's to say.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "block_reference.h"
#include "psnr_blocks.h"
#include "scratch_stream.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace vorik;
using namespace vorik_test;

// A file as the tool sees it once the header is read: 44 bytes, then the
// samples, its stream standing at the first.
std::FILE* wav_stream_of(const Samples& samples) {
    std::FILE* file = scratch_stream();
    const std::vector<unsigned char> header(WAVE_HEADER_BYTES, 0);
    std::fwrite(header.data(), 1, header.size(), file);
    if (!samples.empty()) {
        std::fwrite(samples.data(), sizeof(std::int16_t), samples.size(), file);
    }
    std::fflush(file);
    std::fseek(file, static_cast<long>(WAVE_HEADER_BYTES), SEEK_SET);
    return file;
}

void append(std::FILE* file, const Samples& samples) {
    std::fseek(file, 0, SEEK_END);
    std::fwrite(samples.data(), sizeof(std::int16_t), samples.size(), file);
    std::fflush(file);
}

// Two files measured by the block loop, with `threads` threads summing
// whole blocks ahead of it, from the totals `start`. `told_bytes`, where
// given, is the size both files tell at the start in place of their own.
struct ThreadedRun {
    ThreadedRun(std::FILE* first, std::FILE* second, std::uint32_t block_samples, unsigned threads,
                const PsnrAccumulator& start = {}, std::optional<std::uint64_t> told_bytes = {}) {
        WaveHeader header{};
        header.channels = 2;
        header.sample_rate = block_samples / 2;
        header.bits_per_sample = 16;
        start_measurement(measurement, first, header, second, header);
        measurement.accumulator = start;
        for (auto [source, input, sample_source] :
             {std::tuple{&first_source, &measurement.reading.first_stream, &measurement.reading.first},
              std::tuple{&second_source, &measurement.reading.second_stream, &measurement.reading.second}}) {
            EXPECT_TRUE(read_from_file(*source, *input, WAVE_HEADER_BYTES));
            source->bytes_at_start = told_bytes.value_or(source->bytes_at_start);
            *sample_source = file_sample_source(*source);
        }
        started = start_psnr_blocks(*parallel, first_source, second_source, block_samples, start);
        // Workers start with the first block, so fewer threads can be asked
        // for until then.
        parallel->threads = std::min(parallel->threads, threads);
    }
    ~ThreadedRun() {
        stop_parallel_blocks(*parallel);
        finish_measurement(measurement);
    }
    ThreadedRun(const ThreadedRun&) = delete;
    ThreadedRun& operator=(const ThreadedRun&) = delete;

    bool next_block() {
        return started ? detail::measure_next_block(measurement, psnr_block_summer(*parallel))
                       : measure_next_block(measurement);
    }

    // The next block, asking the threads first; counts the blocks the loop
    // had to read itself.
    bool next_block_counted() {
        const detail::BlockSummer summer = psnr_block_summer(*parallel);
        PsnrAccumulator totals = measurement.accumulator;
        if (!summer.add_next_block(summer.state, totals)) {
            ++read_by_the_loop;
            return measure_next_block(measurement);
        }
        // What the threads summed goes into the record as the loop would add it.
        measurement.accumulator = totals;
        measurement.result = compute_psnr(totals);
        ++measurement.blocks;
        return true;
    }

    // Waits until the workers have summed every slab they may claim ahead
    // of the loop, and none is being read. Workers that never stop claiming
    // (no limit on the slabs ahead) fail the test instead of hanging it.
    void wait_for_the_workers() {
        constexpr auto LONGEST_WAIT = std::chrono::seconds(60);
        const auto deadline = std::chrono::steady_clock::now() + LONGEST_WAIT;
        for (;;) {
            {
                const std::lock_guard<std::mutex> held(parallel->lock);
                const bool reading =
                    std::any_of(std::begin(parallel->slots), std::end(parallel->slots),
                                [](const auto& slot) { return slot.state == SlotState::claimed; });
                if (!reading && !parallel_detail::claimable(*parallel)) {
                    return;
                }
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the workers still read ahead after " << LONGEST_WAIT.count() << " s";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    Outcome to_the_end() {
        while (next_block()) {
        }
        return {measurement.blocks, measurement.state, measurement.accumulator};
    }

    Measurement measurement{};
    FileSource first_source{};
    FileSource second_source{};
    std::unique_ptr<PsnrBlocks> parallel = std::make_unique<PsnrBlocks>();
    bool started = false;
    std::uint64_t read_by_the_loop = 0;
};

// Files over several slabs, by one thread and by two, in blocks smaller and
// larger than a slab, from totals that stay below 2^53, cross it, or lie
// past it where every addition rounds.
TEST(ParallelBlocks, MatchTheInOrderLoop) {
    std::mt19937 random(22);
    const std::uint32_t blocks[] = {MIN_BLOCK_SAMPLES, 88200, 3 * SLAB_SAMPLES / 2};
    const std::size_t slabs_long = 3 * SLAB_SAMPLES + SLAB_SAMPLES / 3;
    // Equal lengths, even and odd; the second ending within a block and on a
    // block's boundary (of the smallest block); no samples in one.
    const std::size_t lengths[][2] = {{slabs_long, slabs_long},
                                      {slabs_long + 1, slabs_long + 1},
                                      {slabs_long, slabs_long - 1000},
                                      {slabs_long, 5 * MIN_BLOCK_SAMPLES},
                                      {0, slabs_long}};
    const double EXACT_LIMIT = std::ldexp(1.0, 53);
    const PsnrAccumulator starts[] = {
        {0, 0.0, 0.0},
        // Crossing 2^53 inside the second slab on the left, inside the first on the right.
        {0, EXACT_LIMIT - std::ldexp(1.0, 49), EXACT_LIMIT - std::ldexp(1.0, 44)},
        {0, std::ldexp(1.0, 57) + 96.0, std::ldexp(1.0, 55) + 8.0}};
    for (const auto& length : lengths) {
        const Samples first = random_samples(random, length[0]);
        const Samples second = random_samples(random, length[1]);
        std::FILE* first_file = wav_stream_of(first);
        std::FILE* second_file = wav_stream_of(second);
        for (const std::uint32_t block : blocks) {
            for (const PsnrAccumulator& start : starts) {
                const Outcome expected = whole_block_reference(first, second, block, start);
                for (const unsigned threads : {1U, MAX_THREADS}) {
                    SCOPED_TRACE(testing::Message()
                                 << "block " << block << ", lengths " << length[0] << "/" << length[1]
                                 << ", from " << start.sum_sq_left << ", " << threads << " threads");
                    ThreadedRun run(first_file, second_file, block, threads, start);
                    EXPECT_TRUE(run.started);
                    expect_same(expected, run.to_the_end());
                }
            }
        }
        std::fclose(first_file);
        std::fclose(second_file);
    }
}

// Files that say less than they hold are measured to their end, as a read
// would measure them: the threads take what the sizes promise, the loop the
// rest.
TEST(ParallelBlocks, SizesThatTellLessThanTheData) {
    constexpr std::uint32_t BLOCK = 88200;
    std::mt19937 random(24);
    const Samples first = random_samples(random, 4 * SLAB_SAMPLES + 77);
    const Samples second = random_samples(random, first.size());
    std::FILE* first_file = wav_stream_of(first);
    std::FILE* second_file = wav_stream_of(second);
    const Outcome expected = whole_block_reference(first, second, BLOCK);
    for (const std::uint64_t told :
         {std::uint64_t{0}, std::uint64_t{WAVE_HEADER_BYTES + 3 * BLOCK * 2 + 10}}) {
        SCOPED_TRACE(testing::Message() << "sizes told: " << told);
        ThreadedRun run(first_file, second_file, BLOCK, MAX_THREADS, {}, told);
        EXPECT_TRUE(run.started);
        expect_same(expected, run.to_the_end());
    }
    std::fclose(first_file);
    std::fclose(second_file);
}

// Two files of the same odd number of samples that grow while measured, as
// two recordings written side by side: the blocks past the old end pair as
// they lie. The files differ in their left samples only, so every right
// total stays 0 (R 333 dB).
TEST(ParallelBlocks, FilesThatGrowFromAnOddCount) {
    constexpr std::uint32_t BLOCK = 88200;
    std::mt19937 random(25);
    const Samples first = random_samples(random, 6 * BLOCK + 2000);
    Samples second = first;
    for (std::size_t i = 0; i < second.size(); i += 2) {
        second[i] = static_cast<std::int16_t>(second[i] / 2);
    }
    const std::size_t at_start = 3 * BLOCK + 1001;
    const Outcome expected = whole_block_reference(first, second, BLOCK);
    ASSERT_EQ(expected.totals.sum_sq_right, 0.0);
    for (const unsigned threads : {1U, MAX_THREADS}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        std::FILE* first_file = wav_stream_of(Samples(first.begin(), first.begin() + at_start));
        std::FILE* second_file = wav_stream_of(Samples(second.begin(), second.begin() + at_start));
        {
            ThreadedRun run(first_file, second_file, BLOCK, threads);
            ASSERT_TRUE(run.started);
            ASSERT_TRUE(run.next_block());
            append(first_file, Samples(first.begin() + at_start, first.end()));
            append(second_file, Samples(second.begin() + at_start, second.end()));
            expect_same(expected, run.to_the_end());
        }
        std::fclose(first_file);
        std::fclose(second_file);
    }
}

#ifndef _WIN32
// Sums read ahead do not outlive a change of the files: a file cut behind
// the threads' read-ahead and grown again with other samples is measured as
// it now is, as the loop reading it alone would. The read-ahead stays
// within MAX_SLABS_AHEAD slabs of the loop.
TEST(ParallelBlocks, SumsReadAheadDoNotOutliveAChange) {
    constexpr std::uint32_t BLOCK = MIN_BLOCK_SAMPLES;
    constexpr std::size_t BLOCKS = 4000;
    constexpr std::size_t KEPT_BLOCKS = 1000;
    std::mt19937 random(26);
    const Samples first = random_samples(random, BLOCKS * BLOCK);
    const Samples second = random_samples(random, BLOCKS * BLOCK);
    const Samples other = random_samples(random, (BLOCKS - KEPT_BLOCKS) * BLOCK);
    Samples regrown(first.begin(), first.begin() + KEPT_BLOCKS * BLOCK);
    regrown.insert(regrown.end(), other.begin(), other.end());
    const Outcome expected = whole_block_reference(regrown, second, BLOCK);
    std::FILE* first_file = wav_stream_of(first);
    std::FILE* second_file = wav_stream_of(second);
    {
        ThreadedRun run(first_file, second_file, BLOCK, MAX_THREADS);
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(run.next_block());
        run.wait_for_the_workers();
        {
            const std::lock_guard<std::mutex> held(run.parallel->lock);
            ASSERT_LE(run.parallel->next_claim, run.parallel->first_held + MAX_SLABS_AHEAD);
            ASSERT_GT(run.parallel->next_claim * SLAB_SAMPLES, KEPT_BLOCKS * BLOCK)
                << "the read-ahead passes the cut";
        }
        const auto kept_bytes =
            static_cast<off_t>(WAVE_HEADER_BYTES + KEPT_BLOCKS * BLOCK * sizeof(std::int16_t));
        ASSERT_EQ(ftruncate(fileno(first_file), kept_bytes), 0);
        append(first_file, other);
        expect_same(expected, run.to_the_end());
    }
    std::fclose(first_file);
    std::fclose(second_file);
}
#endif

// Where a total passes 2^53, the plan of the pieces changes: the slabs read
// ahead with the old one are summed again by the threads, so the loop reads
// only the block where the total passes it.
TEST(ParallelBlocks, APlanChangeCostsOneBlock) {
    constexpr std::uint32_t BLOCK = MIN_BLOCK_SAMPLES;
    std::mt19937 random(27);
    const Samples first = random_samples(random, 1200 * BLOCK);
    const Samples second = random_samples(random, first.size());
    // Full-scale noise adds about 2^29.4 a pair: the totals pass 2^53 in the
    // fourth block or so, and no power of two past it before the end.
    const double start = std::ldexp(1.0, 53) - 2.5 * (BLOCK / 2) * std::ldexp(1.0, 30);
    const PsnrAccumulator from{0, start, start};
    if (!detail::psnr_pieces_apply(detail::plan_psnr_pieces({0, std::ldexp(1.0, 53), std::ldexp(1.0, 53)}))) {
        GTEST_SKIP() << "past 2^53 this processor's kernels add in order: no pieces to sum again";
    }
    const Outcome expected = whole_block_reference(first, second, BLOCK, from);
    std::FILE* first_file = wav_stream_of(first);
    std::FILE* second_file = wav_stream_of(second);
    {
        ThreadedRun run(first_file, second_file, BLOCK, MAX_THREADS, from);
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(run.next_block_counted());
        run.wait_for_the_workers();
        while (run.next_block_counted()) {
        }
        expect_same(expected, {run.measurement.blocks, run.measurement.state, run.measurement.accumulator});
        EXPECT_LE(run.read_by_the_loop, 2U + 1U) << "the block that passes 2^53, and the end";
    }
    std::fclose(first_file);
    std::fclose(second_file);
}

#ifndef _WIN32
// A file cut short while the threads read it fails the read, and no block
// that reaches past the cut counts: cut once the first block is out, beyond
// the slabs the threads may have read ahead, within a block; and cut before
// they start, within the third block.
TEST(ParallelBlocks, FilesCutWhileRead) {
    constexpr std::uint32_t BLOCK = 88200;
    std::mt19937 random(23);
    const Samples samples = random_samples(random, (MAX_SLABS_AHEAD + 4) * SLAB_SAMPLES);
    struct Cut {
        std::uint64_t samples_kept;
        bool after_a_block;
    };
    const Cut cuts[] = {{(MAX_SLABS_AHEAD + 2) * SLAB_SAMPLES + SLAB_SAMPLES / 2 + 1001, true},
                        {3 * BLOCK - 50, false}};
    for (const Cut& c : cuts) {
        std::FILE* cut = wav_stream_of(samples);
        std::FILE* intact = wav_stream_of(samples);
        const auto cut_bytes = static_cast<off_t>(WAVE_HEADER_BYTES + c.samples_kept * sizeof(std::int16_t));
        SCOPED_TRACE(testing::Message() << "cut to " << cut_bytes);
        {
            ThreadedRun run(cut, intact, BLOCK, MAX_THREADS);
            ASSERT_TRUE(run.started);
            ASSERT_TRUE(!c.after_a_block || run.next_block());
            ASSERT_EQ(ftruncate(fileno(cut), cut_bytes), 0);
            while (run.next_block()) {
                // Alike files: every block kept is silent.
                EXPECT_EQ(run.measurement.result.left_db, PSNR_IDENTICAL);
            }
            EXPECT_EQ(run.measurement.state, MeasurementState::read_failed);
            EXPECT_LE(run.measurement.blocks * BLOCK, c.samples_kept);
        }
        std::fclose(cut);
        std::fclose(intact);
    }
}
#endif

}  // namespace
