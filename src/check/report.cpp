#include "report.h"

#include <cstdio>

namespace vorik::check {
namespace {

// A delay that beats delay 0 by this much over the searched frames is
// taken as the copy's own: far beyond what noise moves a PSNR, well within
// what a shift of even one frame costs music.
constexpr double MISALIGNED_DB = 3.0;

double seconds_at(std::uint64_t frame, std::uint32_t sample_rate) {
    return static_cast<double>(frame) / static_cast<double>(sample_rate);
}

std::string decibels(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f dB", db);
    return text;
}

std::string duration(std::uint64_t frames, std::uint32_t sample_rate) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu frames (%.3f s)", static_cast<unsigned long long>(frames),
                  seconds_at(frames, sample_rate));
    return text;
}

std::string channel_name(std::size_t c) { return "channel " + std::to_string(c + 1); }

void judge_delay(CheckReport& report) {
    const DelayReport& delay = report.delay;
    if (!delay.searched) {
        return;
    }
    const DelayEstimate& estimate = delay.estimate;
    const std::string best = std::to_string(estimate.delay);
    if (delay.misaligned) {
        report.warnings.push_back("the copy seems misaligned: delay " + best + " gives " +
                                  decibels(estimate.delay_db - estimate.zero_db) +
                                  " more than delay 0 over the frames searched; use --align or --delay " +
                                  best);
    } else if (delay.origin == DelayOrigin::zero && estimate.finding != DelayFinding::found) {
        const char* why = estimate.finding == DelayFinding::no_signal ? "too little sound to compare"
                                                                      : "several delays fit about as well";
        report.warnings.push_back(std::string("the copy's delay cannot be told (") + why +
                                  "); measured at delay 0");
    }
}

void judge_lengths(CheckReport& report, bool with_criteria) {
    if (report.copy_left > 0) {
        report.warnings.push_back("the copy goes on " + duration(report.copy_left, report.sample_rate) +
                                  " past the original's end; not compared");
    }
    if (report.original_missing > 0) {
        report.warnings.push_back("the original's data chunk promises " +
                                  duration(report.original_missing, report.sample_rate) +
                                  " more than the file holds");
    }
    if (report.copy_missing > 0) {
        report.warnings.push_back("the copy's data chunk promises " +
                                  duration(report.copy_missing, report.sample_rate) +
                                  " more than the file holds");
    }
    if (report.original_left > 0) {
        const std::string line = "the copy is short: it ends " +
                                 duration(report.original_left, report.sample_rate) + " before the original";
        (with_criteria ? report.failures : report.warnings).push_back(line);
    }
}

void judge_limits(CheckReport& report, const CheckOptions& options) {
    if (report.frames == 0) {
        report.failures.push_back("no frames were compared");
        return;
    }
    for (std::size_t c = 0; c < report.channel.size(); ++c) {
        const ChannelReport& channel = report.channel[c];
        if (options.min_psnr && !(channel.psnr_db >= *options.min_psnr)) {
            report.failures.push_back(channel_name(c) + ": PSNR " + decibels(channel.psnr_db) +
                                      " is below --min-psnr " + decibels(*options.min_psnr));
        }
        if (options.min_second_psnr && channel.seconds_below > 0) {
            report.failures.push_back(channel_name(c) + ": " + std::to_string(channel.seconds_below) +
                                      " second(s) below --min-second-psnr " +
                                      decibels(*options.min_second_psnr) + "; the worst is second " +
                                      std::to_string(channel.worst_second) + " with " +
                                      decibels(channel.worst_second_db));
        }
        char at[32];
        std::snprintf(at, sizeof at, "%.6f s", channel.max_diff_at_s);
        if (options.max_diff && channel.max_diff > *options.max_diff) {
            report.failures.push_back(channel_name(c) + ": a difference of " +
                                      std::to_string(channel.max_diff) + " LSB at " + at +
                                      " is above --max-diff " + std::to_string(*options.max_diff));
        }
        if (options.bit_exact && channel.differing > 0) {
            report.failures.push_back(channel_name(c) + ": " + std::to_string(channel.differing) +
                                      " samples differ (the largest by " + std::to_string(channel.max_diff) +
                                      " LSB, first at " + at + "); --bit-exact");
        }
    }
}

}  // namespace

void take_second(SecondRow& row, const ChannelMeasurement& measurement, std::uint64_t original_skipped) {
    const std::uint16_t channels = measurement.channels;
    row.second = measurement.seconds - 1;
    row.frames = measurement.second_frames;
    row.start_s = seconds_at(original_skipped + measurement.frames - measurement.second_frames,
                             measurement.sample_rate);
    row.psnr_db.resize(channels);
    row.total_db.resize(channels);
    row.max_diff.resize(channels);
    for (std::uint16_t c = 0; c < channels; ++c) {
        row.psnr_db[c] = channel_psnr_db(measurement.second[c].squares, measurement.second_frames);
        row.total_db[c] = channel_psnr_db(measurement.total[c].squares, measurement.frames);
        row.max_diff[c] = measurement.second[c].largest;
    }
}

void note_second(CheckReport& report, const SecondRow& row, const CheckOptions& options) {
    report.channel.resize(row.psnr_db.size());
    for (std::size_t c = 0; c < row.psnr_db.size(); ++c) {
        ChannelReport& channel = report.channel[c];
        const double db = row.psnr_db[c];
        if (row.second == 0 || db < channel.worst_second_db) {
            channel.worst_second_db = db;
            channel.worst_second = row.second;
        }
        if (options.min_second_psnr && !(db >= *options.min_second_psnr)) {
            ++channel.seconds_below;
        }
        if (!report.has_worst || db < report.worst_db) {
            report.has_worst = true;
            report.worst_db = db;
            report.worst_second = row.second;
            report.worst_channel = static_cast<std::uint16_t>(c + 1);
        }
    }
}

void take_totals(CheckReport& report, const ChannelMeasurement& measurement) {
    const std::uint16_t channels = measurement.channels;
    report.frames = measurement.frames;
    report.seconds = measurement.seconds;
    report.original_skipped = measurement.original.skipped;
    report.copy_skipped = measurement.copy.skipped;
    report.original_left = measurement.original.left;
    report.copy_left = measurement.copy.left;
    report.original_missing = measurement.original.missing;
    report.copy_missing = measurement.copy.missing;
    report.channel.resize(channels);
    double sum_db = 0.0;
    bool identical = true;
    for (std::uint16_t c = 0; c < channels; ++c) {
        const ChannelDifferences& total = measurement.total[c];
        ChannelReport& channel = report.channel[c];
        channel.psnr_db = channel_psnr_db(total.squares, measurement.frames);
        channel.max_diff = total.largest;
        channel.max_diff_at_s =
            seconds_at(report.original_skipped + total.largest_at, measurement.sample_rate);
        channel.differing = total.differing;
        sum_db += channel.psnr_db;
        identical = identical && total.differing == 0;
    }
    // For two channels, (L + R) / 2: vorik's LR to the last bit.
    report.mean_db = sum_db / channels;
    report.bit_exact = identical && report.original_left == 0;
}

void judge(CheckReport& report, const CheckOptions& options) {
    const bool with_criteria = has_criteria(options);
    DelayReport& delay = report.delay;
    delay.misaligned = delay.searched && delay.origin == DelayOrigin::zero &&
                       delay.estimate.finding == DelayFinding::found && delay.estimate.delay != 0 &&
                       delay.estimate.delay_db - delay.estimate.zero_db >= MISALIGNED_DB;
    judge_delay(report);
    if (with_criteria && delay.misaligned) {
        report.failures.push_back("misaligned: delay " + std::to_string(delay.estimate.delay) +
                                  " fits far better than delay 0");
    }
    judge_lengths(report, with_criteria);
    if (with_criteria) {
        judge_limits(report, options);
        report.verdict = report.failures.empty() ? Verdict::pass : Verdict::fail;
    }
}

std::string vorik_line(const CheckReport& report) {
    char line[64];
    std::snprintf(line, sizeof line, "L%8.3fdB | R%8.3fdB | LR%8.3fdB", report.channel[0].psnr_db,
                  report.channel[1].psnr_db, report.mean_db);
    return line;
}

}  // namespace vorik::check
