#include "comparison.h"

#include <vorik/measurement.h>
#include <vorik/wave_header.h>

#include <new>

#include "file_source.h"
#include "messages.h"
#include "platform/console_and_files.h"
#include "psnr_blocks.h"

namespace vorik {
namespace {

// Everything a run acquires, each slot empty until it is, released in one
// place: the files, the measurement's buffers, the threads and their buffers.
struct RunResources {
    std::FILE* first_file;
    std::FILE* second_file;
    Measurement measurement;
    FileSource first_file_source;
    FileSource second_file_source;
    PsnrBlocks* parallel;  // on the heap: its slabs' sums are too large for a stack
    bool summing_in_parallel;
};

void release(RunResources& resources) {
    release_parallel_blocks(resources.parallel);
    finish_measurement(resources.measurement);
    for (std::FILE** file : {&resources.first_file, &resources.second_file}) {
        if (*file != nullptr) {
            std::fclose(*file);
            *file = nullptr;
        }
    }
}

// Reads and checks the header of an opened input; returns the closing message on failure.
const Message* read_input_header(std::FILE* file, WaveHeader& header) {
    if (!read_wave_header(file, header)) {
        return std::ferror(file) != 0 ? &MESSAGE_READ_FAILED : &MESSAGE_NOT_WAV;
    }
    return nullptr;
}

// Opens one input and checks its header; returns the closing message on failure.
const Message* open_input(const char* path, std::FILE*& file, WaveHeader& header) {
    file = open_for_reading(path);
    if (file == nullptr || opened_path_is_directory(file)) {
        return &MESSAGE_OPEN_FAILED;
    }
    // Block reads are large: unbuffered, each goes straight into its buffer
    // in one system call instead of through the stream's buffer.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return read_input_header(file, header);
}

const Message& closing_message(MeasurementState state) {
    switch (state) {
        case MeasurementState::finished:
            return MESSAGE_FINISHED;
        case MeasurementState::sizes_differ:
            return MESSAGE_SIZES_DIFFER;
        case MeasurementState::sample_rates_differ:
            return MESSAGE_SAMPLE_RATES_DIFFER;
        case MeasurementState::sample_widths_differ:
            return MESSAGE_SAMPLE_WIDTHS_DIFFER;
        case MeasurementState::sample_width_not_16:
            return MESSAGE_SAMPLE_WIDTH_NOT_16;
        case MeasurementState::channels_differ:
            return MESSAGE_CHANNELS_DIFFER;
        case MeasurementState::empty_block:
            return MESSAGE_EMPTY_BLOCK;
        case MeasurementState::out_of_memory:
            return MESSAGE_OUT_OF_MEMORY;
        case MeasurementState::not_started:
        case MeasurementState::measuring:
        case MeasurementState::stopped:
        case MeasurementState::read_failed:
            break;
    }
    return MESSAGE_READ_FAILED;
}

// A regular file is read at offsets and watched for a cut. Pipes and
// devices are read as the library reads them. Returns whether the input is
// a regular file.
bool read_regular_file(FileSource& file, detail::StreamInput& stream, detail::SampleSource& source) {
    // The samples lie right after the canonical header, whatever its read
    // left: a file may have grown since it held less than a whole header.
    if (!read_from_file(file, stream, WAVE_HEADER_BYTES)) {
        return false;
    }
    source = file_sample_source(file);
    return true;
}

// Two regular files get worker threads that sum whole blocks ahead of the
// block loop. Without the memory for them, the loop measures alone, as it
// does without their buffers or threads.
void start_summing(RunResources& resources) {
    resources.parallel = new_parallel_blocks<PsnrPieceSumming>();
    resources.summing_in_parallel =
        resources.parallel != nullptr &&
        start_psnr_blocks(*resources.parallel, resources.first_file_source, resources.second_file_source,
                          resources.measurement.reading.block_samples, resources.measurement.accumulator);
}

bool measure_next(RunResources& resources) {
    if (resources.summing_in_parallel) {
        return detail::measure_next_block(resources.measurement, psnr_block_summer(*resources.parallel));
    }
    return measure_next_block(resources.measurement);
}

// The comparison from two recognised headers to the end of the data.
// Returns the closing message.
const Message& measure(const WaveHeader& first_header, const WaveHeader& second_header,
                       const RunStreams& streams, RunResources& resources) {
    Measurement& measurement = resources.measurement;
    start_measurement(measurement, resources.first_file, first_header, resources.second_file, second_header);
    if (measurement.state == MeasurementState::measuring) {
        const bool first_regular = read_regular_file(
            resources.first_file_source, measurement.reading.first_stream, measurement.reading.first);
        const bool second_regular = read_regular_file(
            resources.second_file_source, measurement.reading.second_stream, measurement.reading.second);
        if (first_regular && second_regular) {
            start_summing(resources);
        }
    }
    while (measure_next(resources)) {
        write_progress_line(streams.out, measurement.result);
        if (streams.flush_progress) {
            std::fflush(streams.out);
        }
        // Output that cannot be written loses the result: reading on
        // cannot change that.
        if (std::ferror(streams.out) != 0) {
            return MESSAGE_WRITE_FAILED;
        }
    }
    return closing_message(measurement.state);
}

// Measures the data unless opening or a header check already failed, then
// goes the way every run ends. Returns the exit status.
int finish_run(const Message* failure, const WaveHeader& first_header, const WaveHeader& second_header,
               const RunStreams& streams, RunResources& resources) {
    const Message* closing =
        failure != nullptr ? failure : &measure(first_header, second_header, streams, resources);
    // The progress lines go out before the closing message, whatever the
    // buffering; a run whose result did not reach its destination has not
    // finished. A failure to write the messages themselves changes nothing.
    const bool output_written = std::fflush(streams.out) == 0 && std::ferror(streams.out) == 0;
    if (closing == &MESSAGE_FINISHED && !output_written) {
        closing = &MESSAGE_WRITE_FAILED;
    }
    write_message(streams.err, *closing, streams.unicode_messages);
    release(resources);
    pause_for_one_character(streams.in);
    return closing == &MESSAGE_FINISHED ? EXIT_FINISHED : EXIT_NOT_FINISHED;
}

}  // namespace

int run_comparison(int argc, const char* const* argv) {
    std::fprintf(stderr, BANNER_FORMAT, PROGRAM_NAME, PROGRAM_VERSION);
    const RunStreams streams{stdout, stderr, stdin, terminal_shows_unicode(stderr),
                             stream_is_terminal(stdout)};
    if (argc < 3) {
        write_message(streams.err, MESSAGE_USAGE, streams.unicode_messages);
        pause_for_one_character(streams.in);
        return EXIT_USAGE;
    }
    return compare_paths(argv[1], argv[2], streams);
}

int compare_paths(const char* first_path, const char* second_path, const RunStreams& streams) {
    RunResources resources{};
    WaveHeader first_header{};
    WaveHeader second_header{};
    const Message* failure = open_input(first_path, resources.first_file, first_header);
    if (failure == nullptr) {
        failure = open_input(second_path, resources.second_file, second_header);
    }
    return finish_run(failure, first_header, second_header, streams, resources);
}

int compare_streams(std::FILE* first_file, std::FILE* second_file, const RunStreams& streams) {
    RunResources resources{};
    resources.first_file = first_file;
    resources.second_file = second_file;
    WaveHeader first_header{};
    WaveHeader second_header{};
    const Message* failure = read_input_header(first_file, first_header);
    if (failure == nullptr) {
        failure = read_input_header(second_file, second_header);
    }
    return finish_run(failure, first_header, second_header, streams, resources);
}

void pause_for_one_character(std::FILE* in) { static_cast<void>(std::getc(in)); }

}  // namespace vorik
