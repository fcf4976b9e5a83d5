#include "file_source.h"

#include <algorithm>
#include <bit>

namespace vorik {
namespace {

constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);
// A file read back from disk starts in the small pages of the first, short
// read-ahead steps, for a few windows; only this many windows in small pages
// in a row tell that its page cache holds it so, as on a memory file system
// or for a file just written.
constexpr unsigned COSTLY_WINDOWS_BEFORE_READING = 4;
// A window must hold at least one pair, whatever the block's size.
constexpr std::uint64_t SAMPLES_PER_PAIR = 2;

constexpr SampleRun FAILED_RUN{nullptr, 0, false, true};
constexpr SampleRun ENDED_RUN{nullptr, 0, true, false};

// Whether the file, `file_bytes` long now, still holds all it held when the
// measurement started and all that was taken of it. A file that ends before
// was cut short while it was measured.
bool kept_its_bytes(const FileSource& source, std::uint64_t file_bytes) {
    return file_bytes >= source.bytes_at_start && file_bytes >= source.next_offset;
}

// A read never gives bytes past the end of the file, but it cannot tell an
// end from a cut: at the end, the file's size does.
SampleRun read_samples(FileSource& source, std::uint32_t wanted) {
    SampleRun run = read_stream_samples(source.stream, wanted);
    source.next_offset += run.count * BYTES_PER_SAMPLE;
    std::uint64_t file_bytes = 0;
    if (run.ended && !run.failed &&
        !(regular_file_size(source.stream->file, file_bytes) && kept_its_bytes(source, file_bytes))) {
        run.failed = true;
    }
    return run;
}

// Leaves the mapping for the stream, from the next sample on.
SampleRun read_on_through_stream(FileSource& source, std::uint32_t wanted) {
    release_mapped_input(source.mapped);
    if (!seek_stream(source.stream->file, source.next_offset)) {
        return FAILED_RUN;
    }
    return read_samples(source, wanted);
}

std::uint64_t samples_before_end(const FileSource& source) {
    const MappedInput& mapped = source.mapped;
    return mapped.file_bytes > source.next_offset
               ? (mapped.file_bytes - source.next_offset) / BYTES_PER_SAMPLE
               : 0;
}

bool window_holds(const FileSource& source, std::uint64_t samples) {
    const MappedInput& mapped = source.mapped;
    return mapped.window != nullptr && source.next_offset >= mapped.window_offset &&
           source.next_offset + samples * BYTES_PER_SAMPLE <= mapped.window_offset + mapped.window_bytes;
}

SampleRun next_file_samples(void* file_source, std::uint32_t wanted) {
    FileSource& source = *static_cast<FileSource*>(file_source);
    if (!source.mapped.started) {
        return read_samples(source, wanted);
    }
    MappedInput& mapped = source.mapped;
    // At the end of the file as last seen, look again: a read would find
    // what was written since.
    if (samples_before_end(source) < wanted && !(regular_file_size(source.stream->file, mapped.file_bytes) &&
                                                 kept_its_bytes(source, mapped.file_bytes))) {
        return FAILED_RUN;
    }
    const std::uint64_t left = samples_before_end(source);
    if (left == 0) {
        return ENDED_RUN;
    }
    std::uint64_t count = std::min<std::uint64_t>(wanted, left);
    if (!window_holds(source, std::min(count, SAMPLES_PER_PAIR))) {
        if (!move_window(mapped, source.next_offset, source.window_bytes)) {
            return FAILED_RUN;
        }
        source.costly_windows = window_maps_cheaply(mapped) ? 0 : source.costly_windows + 1;
        if (source.costly_windows == COSTLY_WINDOWS_BEFORE_READING) {
            return read_on_through_stream(source, wanted);
        }
    }
    const std::uint64_t in_window =
        (mapped.window_offset + mapped.window_bytes - source.next_offset) / BYTES_PER_SAMPLE;
    if (in_window < count) {
        // The window, not the block or the file, ends here: stop on a whole
        // pair, so that no pair straddles two runs.
        count = in_window - in_window % SAMPLES_PER_PAIR;
    }
    // Alignment holds: windows start on a page, samples on an even offset.
    const auto* samples =
        reinterpret_cast<const std::int16_t*>(mapped.window + (source.next_offset - mapped.window_offset));
    // A measurement takes every sample of a run before it asks for more.
    source.next_offset += count * BYTES_PER_SAMPLE;
    return {samples, static_cast<std::uint32_t>(count), count == left && left < wanted, false};
}

// A file cut short under its window raises SIGBUS on the pages wholly past
// its new end, but the rest of the page the end now lies in reads as zeros:
// those must not pass for samples. What was read through the stream never
// lay past the end.
bool file_samples_still_there(void* file_source) {
    FileSource& source = *static_cast<FileSource*>(file_source);
    MappedInput& mapped = source.mapped;
    if (!mapped.started || window_shows_bytes_before(mapped, source.next_offset)) {
        return true;
    }
    return regular_file_size(source.stream->file, mapped.file_bytes) &&
           mapped.file_bytes >= source.next_offset;
}

}  // namespace

bool take_from_file(FileSource& source, StreamInput& stream, std::size_t window_bytes) {
    source = {};
    source.stream = &stream;
    source.window_bytes = window_bytes;
    if (!regular_file_size(stream.file, source.bytes_at_start) ||
        !stream_position(stream.file, source.next_offset)) {
        return false;
    }
    if (std::endian::native == std::endian::little && window_bytes > 0) {
        start_mapped_input(stream.file, source.next_offset, window_bytes, source.mapped);
    }
    return true;
}

SampleSource file_sample_source(FileSource& source) {
    return {next_file_samples, &source, file_samples_still_there};
}

void release_file_source(FileSource& source) { release_mapped_input(source.mapped); }

}  // namespace vorik
