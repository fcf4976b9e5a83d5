// vorik-check's second-by-second comparison against the plain model of
// channel_model.h: every second's records and the totals, exactly, through
// the library's own reading of streams and through regular files summed by
// one thread or two; at delays either way, with copies short and long,
// partial frames, and data chunks that end before their files or run to them.
#include <gtest/gtest.h>
#include <vorik/channel_measurement.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "block_reference.h"
#include "channel_model.h"
#include "difference_blocks.h"
#include "every_kernel.h"
#include "scratch_stream.h"
#include "wav_writer.h"

namespace {

using namespace vorik;
using namespace vorik::check;
using namespace vorik_test;

constexpr std::size_t DATA_SIZE_AT = 40;
constexpr std::size_t DATA_SIZE_BYTES = 4;

enum class Reading { streams, one_thread, two_threads };

struct Case {
    std::uint16_t channels;
    std::uint32_t sample_rate;
    std::size_t original_samples;
    std::size_t copy_samples;
    std::int64_t delay;
    int data_size;  // 0: as written; -1: 0 in the header (to the end); > 0: this many bytes of data
    const char* what;
};

std::FILE* wav_file(const Samples& samples, std::uint16_t channels, std::uint32_t rate, int data_size,
                    int extra_bytes) {
    std::string bytes = wav_bytes({channels, rate, 16, FORMAT_PCM}, samples);
    if (data_size != 0) {
        bytes.replace(
            DATA_SIZE_AT, DATA_SIZE_BYTES,
            little_endian(data_size < 0 ? 0 : static_cast<std::uint64_t>(data_size), DATA_SIZE_BYTES));
    }
    // Bytes after the data: a trailing chunk, or half a sample.
    bytes.append(static_cast<std::size_t>(extra_bytes), '\x7F');
    std::FILE* file = scratch_stream();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
    std::rewind(file);
    return file;
}

// A comparison as vorik-check runs one on two files.
struct CheckRun {
    CheckRun(std::FILE* original, std::FILE* copy, std::int64_t delay, Reading reading) {
        EXPECT_EQ(read_wave_format(original, formats[0]), WaveFormatStatus::pcm_16);
        EXPECT_EQ(read_wave_format(copy, formats[1]), WaveFormatStatus::pcm_16);
        start_channel_measurement(measurement, original, formats[0], copy, formats[1], delay);
        if (reading == Reading::streams) {
            return;
        }
        for (unsigned f = 0; f < 2; ++f) {
            detail::ChannelReading& input = f == 0 ? measurement.original_reading : measurement.copy_reading;
            EXPECT_TRUE(read_from_file(sources[f], input.stream, formats[f].data_offset));
            input.source = file_sample_source(sources[f]);
        }
        summing = start_difference_blocks(*parallel, sources[0], sources[1], measurement.channels,
                                          measurement.sample_rate, UINT64_MAX);
        parallel->threads = reading == Reading::one_thread ? 1 : MAX_THREADS;
    }
    ~CheckRun() {
        stop_parallel_blocks(*parallel);
        finish_channel_measurement(measurement);
    }
    CheckRun(const CheckRun&) = delete;
    CheckRun& operator=(const CheckRun&) = delete;

    bool next() {
        return summing ? detail::measure_next_second(measurement, difference_second_summer(*parallel))
                       : measure_next_second(measurement);
    }

    WaveFormat formats[2]{};
    ChannelMeasurement measurement;
    FileSource sources[2]{};
    std::unique_ptr<DifferenceBlocks> parallel = std::make_unique<DifferenceBlocks>();
    bool summing = false;
};

void expect_record(const ModelChannel& expected, const ChannelDifferences& actual) {
    EXPECT_EQ(actual.squares.high, 0U);
    EXPECT_EQ(actual.squares.low, expected.squares);
    EXPECT_EQ(actual.differing, expected.differing);
    EXPECT_EQ(actual.largest, expected.largest);
    EXPECT_EQ(actual.largest_at, expected.largest_at);
}

TEST(ChannelMeasurement, EverySecondAndTheTotalsAsTheModel) {
    constexpr std::uint32_t RATE = 44100;
    constexpr std::size_t LONG = 3 * SLAB_SAMPLES + 12345;  // several slabs, an odd end
    const Case cases[] = {
        {2, RATE, LONG, LONG, 0, 0, "stereo, equal"},
        {2, RATE, LONG, LONG + 2 * 1105, 1105, 0, "stereo, copy late"},
        {2, RATE, LONG, LONG - 2 * 2112, -2112, 0, "stereo, copy early"},
        {2, RATE, LONG, LONG / 2 + 1, 0, 0, "stereo, copy short, half a frame over"},
        {2, RATE, LONG / 3, LONG, 0, 0, "stereo, copy long"},
        {1, 8000, 40001, 40001, 3, 0, "mono, a block of 8000"},
        {6, 48000, 6 * 150007, 6 * 150007, -7, 0, "six channels"},
        {6, 48000, 6 * 100000, 6 * 100000, 0, 6 * 2 * 70000,
         "six channels, data chunk shorter than the file"},
        // Five channels of 2-byte samples after a 44-byte header: the second
        // second starts at byte 44 + 10 * 209710 = 2^21 - 8, in a frame that
        // crosses the edge of the second 2 MiB slab.
        {5, 209710, 5 * 209710 * 3 + 5 * 1001, 5 * 209710 * 3, 0, 0,
         "five channels, a second across a slab's edge"},
        {2, RATE, 2 * RATE * 3, 2 * RATE * 3, 0, -1, "data size 0: to the end"},
        {2, RATE, 1000, 1000, 2000, 0, "delay past the copy's end"},
        {2, RATE, 0, 0, 0, 0, "no samples"},
    };
    std::mt19937 random(30);
    for (const Case& c : cases) {
        const Samples original = random_samples(random, c.original_samples);
        Samples copy = random_samples(random, c.copy_samples);
        // Mostly close copies, so that the largest difference moves rarely.
        const auto shift = static_cast<std::ptrdiff_t>(c.delay * c.channels);
        for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(copy.size()); ++i) {
            const std::ptrdiff_t source = i - shift;
            if (i % 97 != 0 && source >= 0 && source < static_cast<std::ptrdiff_t>(original.size())) {
                copy[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(
                    original[static_cast<std::size_t>(source)] + copy[static_cast<std::size_t>(i)] / 4096);
            }
        }
        const std::size_t data_samples =
            c.data_size > 0 ? static_cast<std::size_t>(c.data_size) / 2 : SIZE_MAX;
        const ModelComparison model = model_comparison(
            Samples(original.begin(),
                    original.begin() + static_cast<std::ptrdiff_t>(std::min(data_samples, original.size()))),
            Samples(copy.begin(),
                    copy.begin() + static_cast<std::ptrdiff_t>(std::min(data_samples, copy.size()))),
            c.channels, c.sample_rate, c.delay);
        // Through the streams and the threads, with every set of kernels.
        vorik_test::on_every_kernel([&](const vorik::detail::Kernels&) {
            for (const Reading reading : {Reading::streams, Reading::one_thread, Reading::two_threads}) {
                SCOPED_TRACE(testing::Message() << c.what << ", reading " << static_cast<int>(reading));
                std::FILE* original_file = wav_file(original, c.channels, c.sample_rate, c.data_size, 0);
                std::FILE* copy_file = wav_file(copy, c.channels, c.sample_rate, c.data_size, 1);
                {
                    CheckRun run(original_file, copy_file, c.delay, reading);
                    std::size_t second = 0;
                    while (run.next()) {
                        ASSERT_LT(second, model.seconds.size());
                        EXPECT_EQ(run.measurement.second_frames, model.second_frames[second]);
                        for (std::uint16_t ch = 0; ch < c.channels; ++ch) {
                            expect_record(model.seconds[second][ch], run.measurement.second[ch]);
                        }
                        ++second;
                    }
                    EXPECT_EQ(run.measurement.state, ChannelMeasurementState::finished);
                    EXPECT_EQ(second, model.seconds.size());
                    EXPECT_EQ(run.measurement.frames, model.frames);
                    for (std::uint16_t ch = 0; ch < c.channels; ++ch) {
                        expect_record(model.total[ch], run.measurement.total[ch]);
                    }
                    EXPECT_EQ(run.measurement.original.skipped, model.original_skipped);
                    EXPECT_EQ(run.measurement.copy.skipped, model.copy_skipped);
                    EXPECT_EQ(run.measurement.original.left, model.original_left);
                    EXPECT_EQ(run.measurement.copy.left, model.copy_left);
                }
                std::fclose(original_file);
                std::fclose(copy_file);
            }
        });
    }
}

// The data chunk says more than the file holds: what is there is compared,
// and the frames missing are counted.
TEST(ChannelMeasurement, DataChunkLongerThanTheFile) {
    std::mt19937 random(31);
    const Samples original = random_samples(random, 2 * 10000);
    std::FILE* original_file = wav_file(original, 2, 8000, 2 * 2 * 15000, 0);
    std::FILE* copy_file = wav_file(original, 2, 8000, 0, 0);
    {
        CheckRun run(original_file, copy_file, 0, Reading::streams);
        while (run.next()) {
        }
        EXPECT_EQ(run.measurement.state, ChannelMeasurementState::finished);
        EXPECT_EQ(run.measurement.frames, 10000U);
        EXPECT_EQ(run.measurement.original.missing, 5000U);
        EXPECT_EQ(run.measurement.copy.missing, 0U);
    }
    std::fclose(original_file);
    std::fclose(copy_file);
}

}  // namespace
