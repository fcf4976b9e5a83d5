// Two WAV files measured block by block, as the vorik tool measures them.
//
// A block is one second of audio of the first file's layout: its `channels`
// times its `sample_rate` samples, a 32-bit product. Each block is taken from
// both inputs at once; while both give the same number of samples, it is
// measured and the running result updated. The first block that one input
// cannot give ends the measurement: finished when an input has ended, sizes
// differ when both gave samples but not as many (that block is left out),
// and a failed read is told apart from an end. Memory stays bounded whatever
// a header claims: the library reads each input in chunks of 256 KiB.
//
// The caller drives the loop, so it can show each block's result as it comes
// (see <vorik/vorik.h> for an example), and it owns the two files.
#pragma once

#include <vorik/detail/reading.h>
#include <vorik/psnr_meter.h>
#include <vorik/wave_header.h>

#include <cstdint>
#include <cstdio>

namespace vorik {

// Where a measurement stands. Only `measuring` goes on; the refusals measure
// nothing at all.
enum class MeasurementState {
    not_started,           // a record never given to start_measurement: nothing to measure
    measuring,             // measure_next_block takes the next block
    finished,              // an input ended: `result` is the comparison's result
    sizes_differ,          // both inputs gave samples for a block, not as many; it was left out
    read_failed,           // reading an input failed, or it changed under the measurement;
                           // `result` covers the blocks before
    stopped,               // finish_measurement came before the end; `result` covers the blocks before
    sample_rates_differ,   // refused: the headers' sample rates differ
    sample_widths_differ,  // refused: their bits per sample differ
    sample_width_not_16,   // refused: the samples are not 16 bits wide, which is all the meter reads
    channels_differ,       // refused: the channel counts differ, so the samples would not line up
    empty_block,           // refused: the first header's channels times sample rate is 0 in 32 bits
    out_of_memory,         // the buffers could not be allocated
};

// One measurement of two inputs. A record just made (`Measurement m;` or
// `Measurement m{};`) is `not_started`, with 333 dB on both sides. Once
// started it holds buffers, and a reading that points into the record
// itself, so it can be neither copied nor moved (the compiler refuses both):
// keep it where it was made until finish_measurement.
struct Measurement {
    Measurement() = default;
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;

    MeasurementState state{};
    PsnrResult result{PSNR_IDENTICAL, PSNR_IDENTICAL};  // over the blocks measured so far; 333 before any
    std::uint64_t blocks{};                             // blocks measured so far
    PsnrAccumulator accumulator{};                      // the totals `result` is worked out from
    detail::BlockReading reading{};                     // the library's own
};

// Starts to measure two inputs whose headers were read and recognised by
// read_wave_header; each stream stands where that left it, at its samples.
// A record that was started before is finished first: what it held is
// released, and it starts afresh. Compares the sample rates, then the sample
// widths, then requires 16-bit samples and the same channel count in both,
// and works out the block; on a refusal `measurement.state` says which, and
// nothing else happens. Otherwise it allocates the two chunk buffers and the
// state is `measuring`. Always call finish_measurement afterwards.
void start_measurement(Measurement& measurement, std::FILE* first, const WaveHeader& first_header,
                       std::FILE* second, const WaveHeader& second_header);

// Takes the next block of both inputs. Returns true when it was measured:
// `result` and `blocks` then count it. Returns false, and measures nothing,
// when the measurement has ended (or had already), with the reason in
// `state`, and for a record that is not measuring: one never started, or
// finished.
bool measure_next_block(Measurement& measurement);

// Releases the buffers; a measurement still going on is `stopped`, and
// measure_next_block takes no block of it any more. The state of one that
// ended stays as it was. Calling it twice, or on a record never started, is
// harmless. The caller closes its files.
void finish_measurement(Measurement& measurement);

}  // namespace vorik
