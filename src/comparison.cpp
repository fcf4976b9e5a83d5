#include "comparison.h"

#include <cstdint>
#include <cstdlib>

#include "block_reader.h"
#include "messages.h"
#include "platform.h"
#include "psnr_meter.h"
#include "wave_header.h"

namespace {

// Everything a run acquires, each slot empty until it is, released in one place.
struct RunResources {
    SampleInput first;
    SampleInput second;
};

void release_input(SampleInput& input) {
    release_mapped_input(input.mapped);
    if (input.file != nullptr) {
        std::fclose(input.file);
    }
    std::free(input.buffer);
}

void release(RunResources& resources) {
    release_input(resources.first);
    release_input(resources.second);
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

// The comparison from two recognised headers to the end of the data.
// Returns the closing message.
const Message& measure(const WaveHeader& first_header, const WaveHeader& second_header,
                       const RunStreams& streams, RunResources& resources) {
    if (first_header.sample_rate != second_header.sample_rate) {
        return MESSAGE_SAMPLE_RATES_DIFFER;
    }
    if (first_header.bits_per_sample != second_header.bits_per_sample) {
        return MESSAGE_SAMPLE_WIDTHS_DIFFER;
    }
    // One second of the first file's layout; the product wraps like the
    // header's 32-bit fields. The second file's channel count is not used.
    const std::uint32_t block_samples = std::uint32_t{first_header.channels} * first_header.sample_rate;
    if (block_samples == 0) {
        return MESSAGE_EMPTY_BLOCK;
    }

    const std::uint32_t buffer_samples = block_samples < CHUNK_SAMPLES ? block_samples : CHUNK_SAMPLES;
    for (SampleInput* input : {&resources.first, &resources.second}) {
        input->buffer =
            static_cast<std::int16_t*>(std::malloc(std::size_t{buffer_samples} * sizeof(std::int16_t)));
        input->capacity = buffer_samples;
        if (input->buffer == nullptr) {
            return MESSAGE_OUT_OF_MEMORY;
        }
    }
    for (SampleInput* input : {&resources.first, &resources.second}) {
        measure_in_place(*input, WINDOW_BYTES);
    }

    PsnrAccumulator accumulator{};
    for (;;) {
        const BlockCounts counts =
            read_and_accumulate_block(resources.first, resources.second, block_samples, accumulator);
        if (counts.read_failed) {
            return MESSAGE_READ_FAILED;
        }
        if (counts.first == 0 || counts.second == 0) {
            return MESSAGE_FINISHED;
        }
        if (counts.first != counts.second) {
            return MESSAGE_SIZES_DIFFER;
        }
        write_progress_line(streams.out, compute_psnr(accumulator));
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
    const Message* failure = open_input(first_path, resources.first.file, first_header);
    if (failure == nullptr) {
        failure = open_input(second_path, resources.second.file, second_header);
    }
    return finish_run(failure, first_header, second_header, streams, resources);
}

int compare_streams(std::FILE* first_file, std::FILE* second_file, const RunStreams& streams) {
    RunResources resources{};
    resources.first.file = first_file;
    resources.second.file = second_file;
    WaveHeader first_header{};
    WaveHeader second_header{};
    const Message* failure = read_input_header(first_file, first_header);
    if (failure == nullptr) {
        failure = read_input_header(second_file, second_header);
    }
    return finish_run(failure, first_header, second_header, streams, resources);
}

void pause_for_one_character(std::FILE* in) { static_cast<void>(std::getc(in)); }
