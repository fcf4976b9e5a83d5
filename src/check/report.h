// What vorik-check found: the figures of every second as they come, the
// summary of the whole comparison, and the verdict against the limits.
#pragma once

#include <vorik/alignment.h>
#include <vorik/channel_measurement.h>

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace vorik::check {

// How the delay measured at was chosen.
enum class DelayOrigin : unsigned char {
    given,  // --delay
    found,  // --align, and the search found it
    zero,   // delay 0: no --align, or the search could not tell
};

struct DelayReport {
    DelayOrigin origin;
    std::int64_t delay;  // the delay measured at
    bool searched;       // the delay search ran: `estimate` holds its answer
    DelayEstimate estimate;
    bool misaligned;  // measured at delay 0 where another delay is clearly better
};

// One second's figures, channel by channel.
struct SecondRow {
    std::uint64_t second;  // counted from 0, the first second compared
    double start_s;        // where it starts in the original, in seconds
    std::uint32_t frames;
    std::vector<double> psnr_db;   // the second's own
    std::vector<double> total_db;  // from the first frame compared to the second's end
    std::vector<std::uint32_t> max_diff;
};

struct ChannelReport {
    double psnr_db;           // over every frame compared
    std::uint32_t max_diff;   // LSB
    double max_diff_at_s;     // where it first occurs in the original, in seconds
    std::uint64_t differing;  // samples
    double worst_second_db;   // the channel's lowest second
    std::uint64_t worst_second;
    std::uint64_t seconds_below;  // seconds under --min-second-psnr
};

enum class Verdict : unsigned char {
    none,  // no limit was given
    pass,
    fail,
};

struct CheckReport {
    std::string original;
    std::string copy;
    std::uint32_t sample_rate = 0;
    std::uint16_t channels = 0;
    DelayReport delay{};
    std::uint64_t frames = 0;            // compared
    std::uint64_t seconds = 0;           // with frames compared
    std::uint64_t original_skipped = 0;  // frames before the pairing
    std::uint64_t copy_skipped = 0;
    std::uint64_t original_left = 0;     // frames after the last compared: the copy is short
    std::uint64_t copy_left = 0;         // the copy's frames past the original's end, ignored
    std::uint64_t original_missing = 0;  // frames the data chunk gives that the file does not hold
    std::uint64_t copy_missing = 0;
    std::vector<ChannelReport> channel;
    double mean_db = 0.0;  // the mean of the channels' dB
    bool bit_exact = false;
    bool has_worst = false;  // a second was measured: the worst of any channel follows
    std::uint64_t worst_second = 0;
    std::uint16_t worst_channel = 0;  // counted from 1
    double worst_db = 0.0;
    std::vector<std::string> warnings;
    std::vector<std::string> failures;
    Verdict verdict = Verdict::none;
};

// The figures of the second just measured.
void take_second(SecondRow& row, const ChannelMeasurement& measurement, std::uint64_t original_skipped);

// Counts a second into the report: the worst seconds, and those under
// `min_second_psnr` where it is given.
void note_second(CheckReport& report, const SecondRow& row, const CheckOptions& options);

// The whole comparison's figures, once it has finished.
void take_totals(CheckReport& report, const ChannelMeasurement& measurement);

// Judges the report against the limits of `options`: failures, warnings and the verdict.
void judge(CheckReport& report, const CheckOptions& options);

// vorik's line for a stereo comparison: "L%8.3fdB | R%8.3fdB | LR%8.3fdB".
std::string vorik_line(const CheckReport& report);

}  // namespace vorik::check
