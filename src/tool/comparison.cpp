#include "comparison.h"

#include <vorik/measurement.h>
#include <vorik/wave_header.h>

#include "mapped_input.h"
#include "messages.h"
#include "platform.h"

namespace vorik {
namespace {

// Everything a run acquires, each slot empty until it is, released in one
// place: the files, the measurement's buffers, the mappings.
struct RunResources {
    std::FILE* first_file;
    std::FILE* second_file;
    Measurement measurement;
    MappedSource first_mapped;
    MappedSource second_mapped;
};

void release(RunResources& resources) {
    release_mapped_source(resources.first_mapped);
    release_mapped_source(resources.second_mapped);
    finish_measurement(resources.measurement);
    for (std::FILE* file : {resources.first_file, resources.second_file}) {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    resources = {};
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
        case MeasurementState::empty_block:
            return MESSAGE_EMPTY_BLOCK;
        case MeasurementState::out_of_memory:
            return MESSAGE_OUT_OF_MEMORY;
        case MeasurementState::measuring:
        case MeasurementState::read_failed:
            break;
    }
    return MESSAGE_READ_FAILED;
}

// Regular files are measured where they lie, through mappings.
void measure_in_place_where_possible(RunResources& resources) {
    Measurement& measurement = resources.measurement;
    if (measure_in_place(resources.first_mapped, measurement.first_stream, WINDOW_BYTES)) {
        measurement.first = {next_mapped_samples, &resources.first_mapped};
    }
    if (measure_in_place(resources.second_mapped, measurement.second_stream, WINDOW_BYTES)) {
        measurement.second = {next_mapped_samples, &resources.second_mapped};
    }
}

struct BlockStep {
    Measurement* measurement;
    bool measured;
};

void measure_block(void* step) {
    auto& block = *static_cast<BlockStep*>(step);
    block.measured = measure_next_block(*block.measurement);
}

// The comparison from two recognised headers to the end of the data.
// Returns the closing message.
const Message& measure(const WaveHeader& first_header, const WaveHeader& second_header,
                       const RunStreams& streams, RunResources& resources) {
    Measurement& measurement = resources.measurement;
    start_measurement(measurement, resources.first_file, first_header, resources.second_file, second_header);
    if (measurement.state == MeasurementState::measuring) {
        measure_in_place_where_possible(resources);
    }
    for (BlockStep step{&measurement, false};;) {
        // A mapped file truncated under its window loses the block.
        if (!run_guarded_against_vanished_pages(measure_block, &step)) {
            return MESSAGE_READ_FAILED;
        }
        if (!step.measured) {
            return closing_message(measurement.state);
        }
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
}

// Measures the data unless opening or a header check already failed, then
// takes the path every run ends on. Returns the exit status.
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
    write_message(streams.err, *closing, streams.utf8_messages);
    release(resources);
    pause_for_one_character(streams.in);
    return closing == &MESSAGE_FINISHED ? EXIT_FINISHED : EXIT_NOT_FINISHED;
}

}  // namespace

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
