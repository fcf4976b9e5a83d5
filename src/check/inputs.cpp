#include "inputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "measurement_detail.h"
#include "names.h"
#include "platform/console_and_files.h"

namespace vorik::check {
namespace {

// The samples of the input's data chunk in whole frames, or `wanted` where
// the chunk runs to the end of the file.
std::uint64_t data_samples_within(const WaveFormat& format, std::uint64_t wanted) {
    return format.data_to_end ? wanted
                              : std::min(wanted, format.data_bytes / format.block_align * format.channels);
}

detail::SampleRun next_kept_start_samples(void* state, std::uint32_t wanted) {
    KeptStartSource& source = *static_cast<KeptStartSource*>(state);
    const SampleStart& start = *source.start;
    if (source.given < start.count) {
        const auto count =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, start.count - source.given));
        const std::int16_t* samples = start.samples + source.given;
        source.given += count;
        return {samples, count, start.at_end && source.given == start.count, false};
    }
    if (start.at_end) {
        return {start.samples, 0, true, false};
    }
    return detail::read_stream_samples(source.stream, wanted);
}

std::string encoding_name(const WaveFormat& format) {
    const std::string bits = std::to_string(format.bits_per_sample) + "-bit ";
    switch (format.format_tag) {
        case WAVE_FORMAT_IEEE_FLOAT:
            return bits + "float";
        case WAVE_FORMAT_ALAW:
            return "A-law";
        case WAVE_FORMAT_MULAW:
            return "mu-law";
        default:
            break;
    }
    char tag[sizeof "format tag 0xFFFF"];
    std::snprintf(tag, sizeof tag, "format tag 0x%04X", static_cast<unsigned>(format.format_tag));
    return format.extensible ? std::string("WAVE_FORMAT_EXTENSIBLE with sub-") + tag : tag;
}

std::string layout_problem(const WaveFormat& format) {
    if (format.channels == 0) {
        return "no channels";
    }
    if (format.sample_rate == 0) {
        return "a sample rate of 0 Hz";
    }
    return "a block align of " + std::to_string(format.block_align) + " bytes for " +
           std::to_string(format.channels) + " channels of 16 bits (it must be " +
           std::to_string(std::uint32_t{format.channels} * BYTES_PER_SAMPLE) + ")";
}

std::string chunk_name(const FourCc& id) {
    std::string name;
    for (const char c : id) {
        // Tags are printable ASCII; anything else is shown as a question mark.
        name += c >= ' ' && c <= '~' ? c : '?';
    }
    return "'" + name + "'";
}

}  // namespace

std::string format_refusal(const char* path, WaveFormatStatus status, const WaveFormat& format) {
    const std::string file = std::string(path) + ": ";
    const std::string measured = "; vorik-check measures 16-bit PCM";
    switch (status) {
        case WaveFormatStatus::pcm_16:
            break;
        case WaveFormatStatus::read_failed:
            return file + "cannot be read";
        case WaveFormatStatus::not_wave:
            return file + "not a RIFF/WAVE file";
        case WaveFormatStatus::truncated:
            return file + "the file ends within its header, before the first sample";
        case WaveFormatStatus::bad_chunk:
            return file + "the " + chunk_name(format.chunk_id) + " chunk has a size of " +
                   std::to_string(format.chunk_size) + " bytes, which cannot be right";
        case WaveFormatStatus::data_before_format:
            return file + "the data chunk comes before the format chunk";
        case WaveFormatStatus::not_pcm:
            return file + encoding_name(format) + measured;
        case WaveFormatStatus::not_16_bit:
            if (format.valid_bits != format.bits_per_sample) {
                return file + std::to_string(format.valid_bits) + "-bit PCM in " +
                       std::to_string(format.bits_per_sample) + "-bit samples" + measured;
            }
            return file + std::to_string(format.bits_per_sample) + "-bit PCM" + measured;
        case WaveFormatStatus::bad_layout:
            return file + layout_problem(format);
    }
    return {};
}

std::string open_check_input(CheckInput& input) {
    if (std::strcmp(input.path, STANDARD_STREAM) == 0) {
        input.file = stdin;
        input.owned = false;
        read_in_binary_mode(stdin);
    } else {
        errno = 0;
        input.file = open_for_reading(input.path);
        input.owned = input.file != nullptr;
        if (input.file == nullptr) {
            const int error = errno;
            return std::string(input.path) + ": cannot open" +
                   (error != 0 ? std::string(": ") + std::strerror(error) : "");
        }
        if (opened_path_is_directory(input.file)) {
            return std::string(input.path) + ": cannot open: it is a folder";
        }
    }
    // Reads of samples are large: unbuffered, each goes straight into its buffer.
    std::setvbuf(input.file, nullptr, _IONBF, 0);
    const WaveFormatStatus status = read_wave_format(input.file, input.format);
    if (status != WaveFormatStatus::pcm_16) {
        return format_refusal(input.path, status, input.format);
    }
    std::uint64_t bytes = 0;
    input.regular = regular_file_size(input.file, bytes);
    if (!input.regular) {
        let_pipe_hold_more(input.file);
    }
    return {};
}

bool read_sample_start(CheckInput& input, std::uint64_t frames, std::string& error) {
    const WaveFormat& format = input.format;
    const std::uint64_t wanted = data_samples_within(format, frames * format.channels);
    SampleStart& start = input.start;
    start.samples = static_cast<std::int16_t*>(
        std::malloc(static_cast<std::size_t>(std::max<std::uint64_t>(wanted, 1)) * sizeof(std::int16_t)));
    if (start.samples == nullptr) {
        error = "out of memory for the delay search";
        return false;
    }
    const std::size_t bytes = static_cast<std::size_t>(wanted * BYTES_PER_SAMPLE);
    std::int64_t got = 0;
    if (input.regular) {
        got = read_file_at(input.file, format.data_offset, start.samples, bytes);
    } else {
        got = static_cast<std::int64_t>(std::fread(start.samples, 1, bytes, input.file));
        if (std::ferror(input.file) != 0) {
            got = -1;
        }
    }
    if (got < 0) {
        error = std::string(input.path) + ": cannot be read";
        return false;
    }
    start.count = static_cast<std::uint64_t>(got) / BYTES_PER_SAMPLE;
    // A pipe that gave less than asked has ended; a regular file is read on
    // at offsets, where its end is found as it is measured.
    start.at_end = !input.regular && static_cast<std::size_t>(got) < bytes;
    detail::samples_from_little_endian(start.samples, static_cast<std::uint32_t>(start.count));
    return true;
}

void read_input_through(CheckInput& input, detail::ChannelReading& measured) {
    // Sizes as the measurement starts: the file is watched for a cut from here.
    if (input.regular && read_from_file(input.file_source, measured.stream, input.format.data_offset)) {
        measured.source = file_sample_source(input.file_source);
    } else if (input.start.samples != nullptr) {
        input.kept_start = {&input.start, 0, &measured.stream};
        measured.source = {next_kept_start_samples, &input.kept_start};
    }
}

void release_check_input(CheckInput& input) {
    if (input.owned && input.file != nullptr) {
        std::fclose(input.file);
    }
    input.file = nullptr;
    input.owned = false;
    std::free(input.start.samples);
    input.start.samples = nullptr;
}

}  // namespace vorik::check
