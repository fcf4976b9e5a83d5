// Two WAV files compared second by second and channel by channel, at a
// delay, as vorik-check compares them.
//
// The copy's frame `delay` pairs with the original's frame 0 (a negative
// delay pairs the original's frame -delay with the copy's frame 0); the
// frames before that pairing are skipped. From there both inputs are read
// one second of audio (sample_rate frames) at a time, to the end of the
// data chunk of each, or of the file where the chunk's size is not given.
// Every frame that both inputs hold is compared, the last second too when
// it is shorter; when one input ends, the frames the other holds after it
// are counted, not compared. A partial frame at the end of an input is no
// frame.
//
// Every sum is an exact integer (see <vorik/channel_differences.h>), so the
// figures do not depend on how the reading is cut.
#pragma once

#include <vorik/channel_differences.h>
#include <vorik/detail/reading.h>
#include <vorik/wave_format.h>

#include <cstdint>
#include <cstdio>

namespace vorik {

// Where a channel measurement stands. Only `measuring` goes on.
enum class ChannelMeasurementState : unsigned char {
    not_started,          // a record never given to start_channel_measurement
    measuring,            // measure_next_second takes the next second
    finished,             // an input ended; the counts of frames left are set
    read_failed,          // reading an input failed, or it changed under the measurement
    stopped,              // finish_channel_measurement came before the end
    not_16_bit_pcm,       // refused: a format that read_wave_format did not accept as 16-bit PCM
    sample_rates_differ,  // refused
    channels_differ,      // refused
    out_of_memory,        // the buffers could not be allocated
};

// What became of one input's frames.
struct InputFrames {
    std::uint64_t skipped;  // frames skipped before the pairing began
    std::uint64_t left;     // once finished: frames after the last one compared
    std::uint64_t missing;  // once finished: frames its data chunk gives that the file did not hold
    bool failed;            // reading it failed, or it changed under the measurement
};

// One comparison of two inputs, second by second. A record just made is
// `not_started`. Once started it holds buffers, and a reading that points
// into the record itself, so it can be neither copied nor moved: keep it where it
// was made until finish_channel_measurement.
struct ChannelMeasurement {
    ChannelMeasurement() = default;
    ChannelMeasurement(const ChannelMeasurement&) = delete;
    ChannelMeasurement& operator=(const ChannelMeasurement&) = delete;

    ChannelMeasurementState state{};
    std::uint16_t channels{};
    std::uint32_t sample_rate{};
    std::int64_t delay{};
    std::uint64_t seconds{};        // seconds measured so far
    std::uint64_t frames{};         // frames compared so far
    std::uint32_t second_frames{};  // frames of the last second measured: sample_rate, or fewer at the end
    ChannelDifferences* second{};   // the last second measured: one record for each channel
    ChannelDifferences* total{};    // every frame compared so far: one record for each channel
    InputFrames original{};
    InputFrames copy{};
    detail::ChannelReading original_reading{};  // the library's own
    detail::ChannelReading copy_reading{};
};

// Starts to compare two inputs whose formats read_wave_format accepted as
// 16-bit PCM; each stream stands where that left it, at its first sample.
// A record that was started before is finished first. Refuses formats of
// other sample rates or channel counts (the state says which); otherwise
// allocates the buffers and the records, and the state is `measuring`.
// Reads nothing. Always call finish_channel_measurement afterwards.
void start_channel_measurement(ChannelMeasurement& measurement, std::FILE* original,
                               const WaveFormat& original_format, std::FILE* copy,
                               const WaveFormat& copy_format, std::int64_t delay);

// Compares the next second of both inputs. Returns true when there was at
// least one frame to compare: `second`, `second_frames`, `total`, `frames`
// and `seconds` then count it. Returns false when the comparison has ended
// (or had already), with the reason in `state`.
bool measure_next_second(ChannelMeasurement& measurement);

// Releases the buffers and records; a comparison still going on is
// `stopped`. Harmless twice, or on a record never started. The caller
// closes its files.
void finish_channel_measurement(ChannelMeasurement& measurement);

}  // namespace vorik
