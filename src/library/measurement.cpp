#include <vorik/measurement.h>

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "measurement_detail.h"

namespace vorik {

void detail::samples_from_little_endian(std::int16_t* samples, std::uint32_t count) {
    if constexpr (std::endian::native == std::endian::big) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(samples[i]);
            samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8 | bits >> 8));
        }
    }
}

namespace {

using detail::SampleRun;
using detail::SampleSource;
using detail::StreamInput;

// One input's progress through the current block.
struct BlockSide {
    SampleSource source;
    std::uint32_t count;  // samples of this block consumed so far
    SampleRun ready;      // made ready and not consumed yet
};

// Makes samples ready unless some are, or the side is done with the block.
void make_ready(BlockSide& side, std::uint32_t block_samples) {
    if (side.ready.count > 0 || side.ready.ended || side.ready.failed || side.count == block_samples) {
        return;
    }
    side.ready = side.source.next(side.source.state, block_samples - side.count);
}

// Moves past `count` samples made ready.
void consume(BlockSide& side, std::uint32_t count) {
    side.ready.samples += count;
    side.ready.count -= count;
    side.count += count;
}

// Both inputs are read to the end of the block even once they disagree, so
// the counts and any failure are those of the whole block. While both give
// samples they give the same number, so every piece measured starts on a
// pair of the block; an odd one is the last either input gives. Measured into
// `totals`, which the caller keeps only if the block is whole on both sides.
void read_block(BlockSide& first, BlockSide& second, std::uint32_t block_samples, PsnrAccumulator& totals) {
    for (;;) {
        make_ready(first, block_samples);
        make_ready(second, block_samples);
        const std::uint32_t first_count = first.ready.count;
        const std::uint32_t second_count = second.ready.count;
        if (first_count == 0 && second_count == 0) {
            return;
        }
        if (first_count > 0 && second_count > 0) {
            const std::uint32_t count = std::min(first_count, second_count);
            accumulate_block(totals, first.ready.samples, second.ready.samples, count);
            consume(first, count);
            consume(second, count);
        } else {
            // One input has ended: the counts differ, and only counting is left.
            consume(first, first_count);
            consume(second, second_count);
        }
    }
}

SampleSource stream_source(StreamInput& input) { return {detail::read_stream_samples, &input}; }

bool allocate_stream(StreamInput& input, std::FILE* file, std::uint32_t capacity) {
    input.file = file;
    input.capacity = capacity;
    input.buffer = static_cast<std::int16_t*>(std::malloc(std::size_t{capacity} * sizeof(std::int16_t)));
    return input.buffer != nullptr;
}

}  // namespace

SampleRun detail::read_stream_samples(void* stream_input, std::uint32_t wanted) {
    StreamInput& input = *static_cast<StreamInput*>(stream_input);
    const std::uint32_t asked = std::min(input.capacity, wanted);
    const auto got =
        static_cast<std::uint32_t>(std::fread(input.buffer, sizeof *input.buffer, asked, input.file));
    detail::samples_from_little_endian(input.buffer, got);
    return {input.buffer, got, got < asked, std::ferror(input.file) != 0};
}

namespace {

// The sample width the meter reads: every sample is a 16-bit integer.
constexpr std::uint16_t MEASURED_BITS_PER_SAMPLE = 16;

// Why two headers cannot be measured together, if they cannot.
bool refused(const WaveHeader& first, const WaveHeader& second, MeasurementState& refusal) {
    if (first.sample_rate != second.sample_rate) {
        refusal = MeasurementState::sample_rates_differ;
    } else if (first.bits_per_sample != second.bits_per_sample) {
        refusal = MeasurementState::sample_widths_differ;
    } else if (first.bits_per_sample != MEASURED_BITS_PER_SAMPLE) {
        // Bytes of 8-, 24- or 32-bit samples taken two at a time pair up
        // parts of different samples: the figure would measure nothing.
        refusal = MeasurementState::sample_width_not_16;
    } else if (first.channels != second.channels) {
        // Pairs follow the first file's layout: in the second file they
        // would take samples of other channels and other instants.
        refusal = MeasurementState::channels_differ;
    } else {
        return false;
    }
    return true;
}

}  // namespace

void start_measurement(Measurement& measurement, std::FILE* first, const WaveHeader& first_header,
                       std::FILE* second, const WaveHeader& second_header) {
    // A record started before gives back what it held; then every field
    // starts afresh, as in a record just made.
    finish_measurement(measurement);
    measurement.blocks = 0;
    measurement.reading = {};
    measurement.accumulator = {};
    measurement.result = compute_psnr(measurement.accumulator);
    if (refused(first_header, second_header, measurement.state)) {
        return;
    }
    // One second of the files' layout; the product wraps like the header's
    // 32-bit fields.
    detail::BlockReading& reading = measurement.reading;
    reading.block_samples = std::uint32_t{first_header.channels} * first_header.sample_rate;
    if (reading.block_samples == 0) {
        measurement.state = MeasurementState::empty_block;
        return;
    }
    // Even, so that pairs never straddle two chunks, unless a chunk holds the whole block.
    const std::uint32_t capacity = std::min(reading.block_samples, detail::CHUNK_SAMPLES);
    if (!allocate_stream(reading.first_stream, first, capacity) ||
        !allocate_stream(reading.second_stream, second, capacity)) {
        measurement.state = MeasurementState::out_of_memory;
        return;
    }
    reading.first = stream_source(reading.first_stream);
    reading.second = stream_source(reading.second_stream);
    measurement.state = MeasurementState::measuring;
}

namespace {

// Measures the next block of both inputs, summed by the summer where it has it.
bool next_block(Measurement& measurement, const detail::BlockSummer* summer) {
    if (measurement.state != MeasurementState::measuring) {
        return false;
    }
    PsnrAccumulator totals = measurement.accumulator;
    if (summer == nullptr || !summer->add_next_block(summer->state, totals)) {
        BlockSide first{measurement.reading.first, 0, {}};
        BlockSide second{measurement.reading.second, 0, {}};
        read_block(first, second, measurement.reading.block_samples, totals);
        if (first.ready.failed || second.ready.failed) {
            measurement.state = MeasurementState::read_failed;
            return false;
        }
        if (first.count == 0 || second.count == 0) {
            measurement.state = MeasurementState::finished;
            return false;
        }
        if (first.count != second.count) {
            measurement.state = MeasurementState::sizes_differ;
            return false;
        }
    }
    measurement.accumulator = totals;
    measurement.result = compute_psnr(totals);
    ++measurement.blocks;
    return true;
}

}  // namespace

bool measure_next_block(Measurement& measurement) { return next_block(measurement, nullptr); }

bool detail::measure_next_block(Measurement& measurement, const BlockSummer& summer) {
    return next_block(measurement, &summer);
}

void finish_measurement(Measurement& measurement) {
    std::free(measurement.reading.first_stream.buffer);
    std::free(measurement.reading.second_stream.buffer);
    measurement.reading.first_stream.buffer = nullptr;
    measurement.reading.second_stream.buffer = nullptr;
    if (measurement.state == MeasurementState::measuring) {
        measurement.state = MeasurementState::stopped;
    }
}

}  // namespace vorik
