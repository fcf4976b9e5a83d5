#include "check_run.h"

#include <vorik/alignment.h>
#include <vorik/channel_measurement.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "difference_blocks.h"
#include "inputs.h"
#include "names.h"
#include "output.h"
#include "plot_svg.h"
#include "progress.h"
#include "report.h"
#include "whole_file.h"

namespace vorik::check {
namespace {

constexpr std::uint64_t NO_END = std::numeric_limits<std::uint64_t>::max();
// The delay search looks at most this far either way, in seconds.
constexpr std::uint64_t LONGEST_MAX_DELAY_SECONDS = 60;
// Samples of each input kept for the delay search at most: 64 MiB.
constexpr std::uint64_t MOST_SEARCH_SAMPLES = std::uint64_t{32} << 20;

// Everything a run acquires, each slot empty until it is, released in one place.
struct CheckResources {
    CheckInput original;
    CheckInput copy;
    ChannelMeasurement measurement;
    DifferenceBlocks* parallel;  // on the heap: its slabs' sums are too large for a stack
    bool summing_in_parallel;
};

void release(CheckResources& resources) {
    release_parallel_blocks(resources.parallel);
    finish_channel_measurement(resources.measurement);
    release_check_input(resources.original);
    release_check_input(resources.copy);
}

void say(std::FILE* err, const std::string& line) {
    std::fprintf(err, "%s: %s\n", CHECK_PROGRAM_NAME, line.c_str());
}

std::string mismatch(const CheckResources& resources) {
    const WaveFormat& original = resources.original.format;
    const WaveFormat& copy = resources.copy.format;
    const std::string names = std::string(resources.original.path) + " and " + resources.copy.path;
    if (original.sample_rate != copy.sample_rate) {
        return names + " have different sample rates (" + std::to_string(original.sample_rate) + " and " +
               std::to_string(copy.sample_rate) + " Hz)";
    }
    if (original.channels != copy.channels) {
        return names + " have different channel counts (" + std::to_string(original.channels) + " and " +
               std::to_string(copy.channels) + ")";
    }
    return {};
}

// Frames of an input's data from where the measurement starts in it, as far
// as its header or its size tells; NO_END where neither does.
std::uint64_t frames_known(const CheckInput& input, std::uint64_t skipped) {
    const WaveFormat& format = input.format;
    std::uint64_t frames = NO_END;
    if (!format.data_to_end) {
        frames = format.data_bytes / format.block_align;
    }
    if (input.regular) {
        const FileSource& source = input.file_source;
        const std::uint64_t bytes =
            source.bytes_at_start > format.data_offset ? source.bytes_at_start - format.data_offset : 0;
        frames = std::min(frames, bytes / format.block_align);
    }
    return frames == NO_END ? NO_END : frames - std::min(frames, skipped);
}

std::uint64_t skip_of(std::int64_t delay, bool copy) {
    const bool ahead = copy ? delay > 0 : delay < 0;
    // Two's complement: -delay fits 64 unsigned bits even for the lowest delay.
    return !ahead ? 0 : delay > 0 ? static_cast<std::uint64_t>(delay) : 0 - static_cast<std::uint64_t>(delay);
}

// Frames both inputs hold from the delay on, as far as headers and sizes
// tell; NO_END where neither input's do.
std::uint64_t frames_to_compare(const CheckResources& resources) {
    const std::int64_t delay = resources.measurement.delay;
    return std::min(frames_known(resources.original, skip_of(delay, false)),
                    frames_known(resources.copy, skip_of(delay, true)));
}

// Searches the delay between the two inputs' first frames.
std::string search_delay(CheckResources& resources, std::uint64_t max_delay, DelayEstimate& estimate) {
    const WaveFormat& format = resources.original.format;
    const std::uint64_t frames =
        std::min(delay_search_frames(max_delay, format.sample_rate), MOST_SEARCH_SAMPLES / format.channels);
    std::string error;
    if (!read_sample_start(resources.original, frames, error) ||
        !read_sample_start(resources.copy, frames, error)) {
        return error;
    }
    const SampleStart& original = resources.original.start;
    const SampleStart& copy = resources.copy.start;
    estimate = find_delay(original.samples, original.count / format.channels, copy.samples,
                          copy.count / format.channels, format.channels, format.sample_rate, max_delay);
    return {};
}

// Chooses the delay to measure at, searching it unless it was given.
std::string choose_delay(CheckResources& resources, const CheckOptions& options, DelayReport& delay) {
    const std::uint32_t sample_rate = resources.original.format.sample_rate;
    const std::uint64_t max_delay = options.max_delay.value_or(sample_rate);
    if (max_delay > LONGEST_MAX_DELAY_SECONDS * sample_rate) {
        return "--max-delay " + std::to_string(max_delay) + " is more than " +
               std::to_string(LONGEST_MAX_DELAY_SECONDS) + " seconds";
    }
    delay = {};
    if (options.delay) {
        delay.origin = DelayOrigin::given;
        delay.delay = *options.delay;
        return {};
    }
    delay.searched = true;
    const std::string error = search_delay(resources, max_delay, delay.estimate);
    if (delay.estimate.finding == DelayFinding::out_of_memory) {
        return "out of memory for the delay search";
    }
    const bool found = delay.estimate.finding == DelayFinding::found;
    delay.origin = options.align && found ? DelayOrigin::found : DelayOrigin::zero;
    delay.delay = delay.origin == DelayOrigin::found ? delay.estimate.delay : 0;
    return error;
}

// Two regular files get worker threads that sum whole seconds ahead of the
// loop. Without the memory for them, the loop measures alone.
void start_summing(CheckResources& resources) {
    if (!resources.original.regular || !resources.copy.regular) {
        return;
    }
    resources.parallel = new_parallel_blocks<DifferencePieceSumming>();
    if (resources.parallel == nullptr) {
        return;
    }
    const ChannelMeasurement& measurement = resources.measurement;
    const std::uint64_t end_frame = frames_to_compare(resources);
    resources.summing_in_parallel = start_difference_blocks(
        *resources.parallel, resources.original.file_source, resources.copy.file_source, measurement.channels,
        measurement.sample_rate, end_frame);
}

bool measure_next(CheckResources& resources) {
    if (resources.summing_in_parallel) {
        return detail::measure_next_second(resources.measurement,
                                           difference_second_summer(*resources.parallel));
    }
    return measure_next_second(resources.measurement);
}

Progress start_progress(const CheckResources& resources, const CheckStreams& streams) {
    const ChannelMeasurement& measurement = resources.measurement;
    const std::uint64_t total = frames_to_compare(resources);
    const auto now = std::chrono::steady_clock::now();
    return {streams.show_progress ? streams.err : nullptr,
            measurement.sample_rate,
            total == NO_END ? 0 : total,
            now,
            now,
            0};
}

// Keeps a second's figures for the picture.
void keep_second(PlotSeries& series, const SecondRow& row) {
    series.second_db.insert(series.second_db.end(), row.psnr_db.begin(), row.psnr_db.end());
    series.running_db.insert(series.running_db.end(), row.total_db.begin(), row.total_db.end());
}

// Measures every second, writing its row where the form asks for one, and
// keeping its figures in `series` where there is one. Returns an empty
// string, or why the measurement did not finish.
std::string measure(CheckResources& resources, const CheckOptions& options, const CheckStreams& streams,
                    CheckReport& report, PlotSeries* series) {
    ChannelMeasurement& measurement = resources.measurement;
    if (options.form == OutputForm::csv) {
        std::fputs(csv_header(measurement.channels).c_str(), streams.out);
    }
    Progress progress = start_progress(resources, streams);
    SecondRow row;
    while (measure_next(resources)) {
        take_second(row, measurement, measurement.original.skipped);
        note_second(report, row, options);
        if (series != nullptr) {
            keep_second(*series, row);
        }
        if (options.form == OutputForm::jsonl) {
            std::fputs(second_json(row).c_str(), streams.out);
        } else if (options.form == OutputForm::csv) {
            std::fputs(second_csv(row).c_str(), streams.out);
        }
        if (std::ferror(streams.out) != 0) {
            clear_progress(progress);
            return "cannot write the output";
        }
        show_progress(progress, measurement.frames);
    }
    clear_progress(progress);
    if (measurement.state == ChannelMeasurementState::finished) {
        return {};
    }
    if (measurement.state == ChannelMeasurementState::out_of_memory) {
        return "out of memory";
    }
    const char* path = measurement.copy.failed ? resources.copy.path : resources.original.path;
    return std::string(path) + ": reading failed, or the file was cut short while it was measured";
}

// Writes the summary where the form puts it. False where the report could not be written.
bool write_summary(const CheckReport& report, const CheckOptions& options, const CheckStreams& streams) {
    for (const std::string& warning : report.warnings) {
        say(streams.err, "warning: " + warning);
    }
    switch (options.form) {
        case OutputForm::summary:
            std::fputs(summary_text(report).c_str(), streams.out);
            break;
        case OutputForm::json:
        case OutputForm::jsonl:
            std::fputs(summary_json(report).c_str(), streams.out);
            break;
        case OutputForm::csv:
            std::fputs(summary_text(report).c_str(), streams.err);
            break;
    }
    return std::fflush(streams.out) == 0 && std::ferror(streams.out) == 0;
}

// Opens, checks and measures both inputs, keeping each second's figures in
// `series` where there is one. Returns an empty string, or why the copy
// cannot be measured.
std::string check(CheckResources& resources, const CheckOptions& options, const CheckStreams& streams,
                  CheckReport& report, PlotSeries* series) {
    if (std::strcmp(options.original_path.c_str(), STANDARD_STREAM) == 0 &&
        std::strcmp(options.copy_path.c_str(), STANDARD_STREAM) == 0) {
        return "only one of ORIGINAL and COPY can be - (standard input)";
    }
    resources.original.path = options.original_path.c_str();
    resources.copy.path = options.copy_path.c_str();
    std::string error = open_check_input(resources.original);
    if (error.empty()) {
        error = open_check_input(resources.copy);
    }
    if (error.empty()) {
        error = mismatch(resources);
    }
    if (error.empty() && options.plot_path && !plot_to_standard_output(options)) {
        error = check_can_write(*options.plot_path);
    }
    if (!error.empty()) {
        return error;
    }
    report.original = options.original_path;
    report.copy = options.copy_path;
    report.sample_rate = resources.original.format.sample_rate;
    report.channels = resources.original.format.channels;
    error = choose_delay(resources, options, report.delay);
    if (!error.empty()) {
        return error;
    }
    ChannelMeasurement& measurement = resources.measurement;
    start_channel_measurement(measurement, resources.original.file, resources.original.format,
                              resources.copy.file, resources.copy.format, report.delay.delay);
    if (measurement.state != ChannelMeasurementState::measuring) {
        return "out of memory";
    }
    read_input_through(resources.original, measurement.original_reading);
    read_input_through(resources.copy, measurement.copy_reading);
    start_summing(resources);
    error = measure(resources, options, streams, report, series);
    if (error.empty()) {
        take_totals(report, measurement);
        judge(report, options);
    }
    return error;
}

// The whole comparison's figures for the picture, beside its seconds.
void finish_series(PlotSeries& series, const CheckReport& report, const CheckOptions& options) {
    series.original = report.original;
    series.copy = report.copy;
    series.sample_rate = report.sample_rate;
    series.channels = report.channels;
    series.start_s = static_cast<double>(report.original_skipped) / report.sample_rate;
    series.frames = report.frames;
    if (report.frames > 0) {
        for (const ChannelReport& channel : report.channel) {
            series.whole_db.push_back(channel.psnr_db);
        }
    }
    series.min_psnr = options.min_psnr;
    series.min_second_psnr = options.min_second_psnr;
    series.has_worst = report.has_worst;
    series.worst_second = report.worst_second;
    series.worst_channel = report.worst_channel;
    series.worst_db = report.worst_db;
}

// Writes the picture where --plot says. Returns an empty string, or why it could not.
std::string write_plot(const PlotSeries& series, const CheckOptions& options, std::FILE* out) {
    const std::string svg = plot_svg(series);
    if (!plot_to_standard_output(options)) {
        return write_whole_file(*options.plot_path, svg);
    }
    std::fputs(svg.c_str(), out);
    return std::fflush(out) == 0 && std::ferror(out) == 0 ? "" : "cannot write the picture";
}

}  // namespace

int run_check(int argc, const char* const* argv, const CheckStreams& streams) {
    CheckOptions options;
    switch (parse_options(argc, argv, options, streams.out, streams.err)) {
        case ParseOutcome::run:
            break;
        case ParseOutcome::done:
            return EXIT_PASSED;
        case ParseOutcome::refused:
            return EXIT_NOT_MEASURED;
    }
    // With the picture on standard output, the report goes to standard
    // error; rows written there as they come leave no room for a progress line.
    const CheckStreams report_streams =
        plot_to_standard_output(options)
            ? CheckStreams{streams.err, streams.err,
                           streams.show_progress && options.form != OutputForm::jsonl}
            : streams;
    CheckResources resources{};
    CheckReport report;
    PlotSeries series;
    PlotSeries* plot = options.plot_path ? &series : nullptr;
    std::string error = check(resources, options, report_streams, report, plot);
    if (error.empty() && plot != nullptr) {
        finish_series(series, report, options);
        error = write_plot(series, options, streams.out);
    }
    if (error.empty() && !write_summary(report, options, report_streams)) {
        error = "cannot write the report";
    }
    release(resources);
    if (!error.empty()) {
        say(streams.err, error);
        return EXIT_NOT_MEASURED;
    }
    return report.verdict == Verdict::fail ? EXIT_FAILED : EXIT_PASSED;
}

}  // namespace vorik::check
