#include <vorik/channel_measurement.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "channel_measurement_detail.h"

namespace vorik {
namespace {

using detail::ChannelReading;

// data_left of an input whose data chunk runs to the end of the file.
constexpr std::uint64_t TO_THE_END = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);
// The most a source is asked for at once, in samples, before it is cut to
// whole frames.
constexpr std::uint64_t LARGEST_REQUEST = std::numeric_limits<std::uint32_t>::max();

std::uint64_t data_samples(const WaveFormat& format, std::uint16_t channels) {
    if (format.data_to_end) {
        return TO_THE_END;
    }
    // Whole frames only: a partial frame at the end of the chunk is no frame.
    return format.data_bytes / format.block_align * channels;
}

// Whether read_wave_format accepted the format as 16-bit PCM in a sound layout.
bool pcm_16(const WaveFormat& format) {
    return format.format_tag == WAVE_FORMAT_PCM && format.bits_per_sample == 16 && format.valid_bits == 16 &&
           format.channels > 0 && format.sample_rate > 0 &&
           format.block_align == format.channels * BYTES_PER_SAMPLE;
}

bool refused(const WaveFormat& original, const WaveFormat& copy, ChannelMeasurementState& refusal) {
    if (!pcm_16(original) || !pcm_16(copy)) {
        refusal = ChannelMeasurementState::not_16_bit_pcm;
    } else if (original.sample_rate != copy.sample_rate) {
        refusal = ChannelMeasurementState::sample_rates_differ;
    } else if (original.channels != copy.channels) {
        refusal = ChannelMeasurementState::channels_differ;
    } else {
        return false;
    }
    return true;
}

bool start_input(ChannelReading& input, std::FILE* file, const WaveFormat& format) {
    // Whole frames, so that a read that is not short ends on a frame.
    const std::uint32_t capacity = detail::CHUNK_SAMPLES / format.channels * format.channels;
    input.stream.file = file;
    input.stream.capacity = capacity;
    input.stream.buffer =
        static_cast<std::int16_t*>(std::malloc(std::size_t{capacity} * sizeof(std::int16_t)));
    input.source = {detail::read_stream_samples, &input.stream};
    input.data_left = data_samples(format, format.channels);
    return input.stream.buffer != nullptr;
}

// Makes samples of `input` ready, at most `wanted` (whole frames), unless
// some are ready or the input has ended. False where the read failed.
bool make_ready(ChannelReading& input, std::uint64_t wanted, std::uint16_t channels) {
    if (input.ready.count > 0 || input.ended) {
        return true;
    }
    const std::uint64_t largest = LARGEST_REQUEST / channels * channels;
    const std::uint64_t asked = std::min({wanted, input.data_left, largest});
    if (asked == 0) {
        // The data chunk is done.
        input.ended = true;
        return true;
    }
    input.ready = input.source.next(input.source.state, static_cast<std::uint32_t>(asked));
    if (input.data_left != TO_THE_END) {
        input.data_left -= input.ready.count;
    }
    input.ended = input.ready.ended;
    return !input.ready.failed;
}

// Moves past `samples` made ready.
void consume(ChannelReading& input, std::uint64_t samples) {
    input.ready.samples += samples;
    input.ready.count -= static_cast<std::uint32_t>(samples);
}

// Reads `input` on for up to `frames` frames and drops them; returns the
// frames it dropped, or false where a read failed.
bool drop_frames(ChannelReading& input, std::uint64_t frames, std::uint16_t channels,
                 std::uint64_t& dropped) {
    dropped = 0;
    while (dropped < frames) {
        if (!make_ready(input, (frames - dropped) * channels, channels)) {
            return false;
        }
        const std::uint64_t whole = std::min<std::uint64_t>(input.ready.count / channels, frames - dropped);
        if (whole == 0) {
            // Ended, with at most a partial frame.
            return true;
        }
        consume(input, whole * channels);
        dropped += whole;
    }
    return true;
}

// Frames of the input after the last one compared, read to its end, and
// those its data chunk gives that the file did not hold.
bool count_what_is_left(ChannelReading& input, InputFrames& frames, std::uint16_t channels) {
    if (!drop_frames(input, TO_THE_END / channels, channels, frames.left)) {
        return false;
    }
    if (input.data_left != TO_THE_END) {
        frames.missing = input.data_left / channels;
    }
    return true;
}

// The frames before the pairing: `delay` frames of the copy, or -delay of the original.
bool skip_to_pairing(ChannelMeasurement& measurement) {
    const bool copy_ahead = measurement.delay >= 0;
    ChannelReading& ahead = copy_ahead ? measurement.copy_reading : measurement.original_reading;
    InputFrames& ahead_frames = copy_ahead ? measurement.copy : measurement.original;
    // Two's complement: -delay fits 64 unsigned bits even for the lowest delay.
    const std::uint64_t frames = measurement.delay >= 0 ? static_cast<std::uint64_t>(measurement.delay)
                                                        : 0 - static_cast<std::uint64_t>(measurement.delay);
    return drop_frames(ahead, frames, measurement.channels, ahead_frames.skipped);
}

void clear(ChannelDifferences* records, std::uint16_t channels) {
    std::fill(records, records + channels, ChannelDifferences{});
}

// Reads the next second from both inputs and compares every whole frame both
// hold. False where a read failed.
bool read_second(ChannelMeasurement& measurement) {
    const std::uint16_t channels = measurement.channels;
    ChannelReading& original = measurement.original_reading;
    ChannelReading& copy = measurement.copy_reading;
    while (measurement.second_frames < measurement.sample_rate) {
        const std::uint64_t wanted =
            std::uint64_t{measurement.sample_rate - measurement.second_frames} * channels;
        measurement.original.failed = !make_ready(original, wanted, channels);
        measurement.copy.failed = !measurement.original.failed && !make_ready(copy, wanted, channels);
        if (measurement.original.failed || measurement.copy.failed) {
            return false;
        }
        const std::uint32_t frames = std::min(original.ready.count, copy.ready.count) / channels;
        if (frames == 0) {
            // An input has ended.
            return true;
        }
        add_channel_differences(measurement.second, channels, original.ready.samples, copy.ready.samples,
                                frames, measurement.frames + measurement.second_frames);
        consume(original, std::uint64_t{frames} * channels);
        consume(copy, std::uint64_t{frames} * channels);
        measurement.second_frames += frames;
    }
    return true;
}

// Whether the summer may be asked for the next second: both inputs stand at
// its start with nothing ready, and both data chunks hold all of it.
bool summer_may_sum(const ChannelMeasurement& measurement) {
    const std::uint64_t second_samples = std::uint64_t{measurement.sample_rate} * measurement.channels;
    for (const ChannelReading* input : {&measurement.original_reading, &measurement.copy_reading}) {
        if (input->ended || input->ready.count > 0 || input->data_left < second_samples) {
            return false;
        }
    }
    return true;
}

bool next_second(ChannelMeasurement& measurement, const detail::SecondSummer* summer) {
    if (measurement.state != ChannelMeasurementState::measuring) {
        return false;
    }
    // The first call is the only one that finds nothing measured yet.
    if (measurement.seconds == 0 && !skip_to_pairing(measurement)) {
        measurement.state = ChannelMeasurementState::read_failed;
        return false;
    }
    clear(measurement.second, measurement.channels);
    measurement.second_frames = 0;
    if (summer != nullptr && summer_may_sum(measurement) &&
        summer->add_next_second(summer->state, measurement.second, measurement.frames)) {
        const std::uint64_t second_samples = std::uint64_t{measurement.sample_rate} * measurement.channels;
        for (ChannelReading* input : {&measurement.original_reading, &measurement.copy_reading}) {
            if (input->data_left != TO_THE_END) {
                input->data_left -= second_samples;
            }
        }
        measurement.second_frames = measurement.sample_rate;
    } else if (!read_second(measurement)) {
        measurement.state = ChannelMeasurementState::read_failed;
        return false;
    }
    if (measurement.second_frames == 0) {
        measurement.original.failed =
            !count_what_is_left(measurement.original_reading, measurement.original, measurement.channels);
        measurement.copy.failed =
            !measurement.original.failed &&
            !count_what_is_left(measurement.copy_reading, measurement.copy, measurement.channels);
        const bool counted = !measurement.original.failed && !measurement.copy.failed;
        measurement.state =
            counted ? ChannelMeasurementState::finished : ChannelMeasurementState::read_failed;
        return false;
    }
    for (std::uint16_t c = 0; c < measurement.channels; ++c) {
        merge_channel_differences(measurement.total[c], measurement.second[c]);
    }
    measurement.frames += measurement.second_frames;
    ++measurement.seconds;
    return true;
}

}  // namespace

void start_channel_measurement(ChannelMeasurement& measurement, std::FILE* original,
                               const WaveFormat& original_format, std::FILE* copy,
                               const WaveFormat& copy_format, std::int64_t delay) {
    finish_channel_measurement(measurement);
    measurement.channels = 0;
    measurement.sample_rate = 0;
    measurement.delay = delay;
    measurement.seconds = 0;
    measurement.frames = 0;
    measurement.second_frames = 0;
    measurement.original = {};
    measurement.copy = {};
    measurement.original_reading = {};
    measurement.copy_reading = {};
    if (refused(original_format, copy_format, measurement.state)) {
        return;
    }
    measurement.channels = original_format.channels;
    measurement.sample_rate = original_format.sample_rate;
    measurement.second =
        static_cast<ChannelDifferences*>(std::calloc(measurement.channels, sizeof(ChannelDifferences)));
    measurement.total =
        static_cast<ChannelDifferences*>(std::calloc(measurement.channels, sizeof(ChannelDifferences)));
    if (measurement.second == nullptr || measurement.total == nullptr ||
        !start_input(measurement.original_reading, original, original_format) ||
        !start_input(measurement.copy_reading, copy, copy_format)) {
        measurement.state = ChannelMeasurementState::out_of_memory;
        return;
    }
    measurement.state = ChannelMeasurementState::measuring;
}

bool measure_next_second(ChannelMeasurement& measurement) { return next_second(measurement, nullptr); }

bool detail::measure_next_second(ChannelMeasurement& measurement, const SecondSummer& summer) {
    return next_second(measurement, &summer);
}

void finish_channel_measurement(ChannelMeasurement& measurement) {
    for (void* memory : {static_cast<void*>(measurement.second), static_cast<void*>(measurement.total),
                         static_cast<void*>(measurement.original_reading.stream.buffer),
                         static_cast<void*>(measurement.copy_reading.stream.buffer)}) {
        std::free(memory);
    }
    measurement.second = nullptr;
    measurement.total = nullptr;
    measurement.original_reading.stream.buffer = nullptr;
    measurement.copy_reading.stream.buffer = nullptr;
    if (measurement.state == ChannelMeasurementState::measuring) {
        measurement.state = ChannelMeasurementState::stopped;
    }
}

}  // namespace vorik
