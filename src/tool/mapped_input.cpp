#include "mapped_input.h"

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

// Leaves the mapping for the stream, from the next sample on.
SampleRun read_on_through_stream(MappedSource& source, std::uint32_t wanted) {
    release_mapped_input(source.mapped);
    if (!seek_stream(source.stream->file, source.next_offset)) {
        return FAILED_RUN;
    }
    return read_stream_samples(source.stream, wanted);
}

std::uint64_t samples_before_end(const MappedSource& source) {
    const MappedInput& mapped = source.mapped;
    return mapped.file_bytes > source.next_offset
               ? (mapped.file_bytes - source.next_offset) / BYTES_PER_SAMPLE
               : 0;
}

bool window_holds(const MappedSource& source, std::uint64_t samples) {
    const MappedInput& mapped = source.mapped;
    return mapped.window != nullptr && source.next_offset >= mapped.window_offset &&
           source.next_offset + samples * BYTES_PER_SAMPLE <= mapped.window_offset + mapped.window_bytes;
}

}  // namespace

bool measure_in_place(MappedSource& source, StreamInput& stream, std::size_t window_bytes) {
    source = {};
    source.stream = &stream;
    if constexpr (std::endian::native != std::endian::little) {
        return false;
    }
    const long samples_start = std::ftell(stream.file);
    if (samples_start < 0) {
        return false;
    }
    source.next_offset = static_cast<std::uint64_t>(samples_start);
    source.window_bytes = window_bytes;
    return start_mapped_input(stream.file, source.next_offset, window_bytes, source.mapped);
}

SampleRun next_mapped_samples(void* mapped_source, std::uint32_t wanted) {
    MappedSource& source = *static_cast<MappedSource*>(mapped_source);
    if (!source.mapped.started) {
        return read_stream_samples(source.stream, wanted);
    }
    MappedInput& mapped = source.mapped;
    // At the end of the file as last seen, look again: a read would find
    // what was written since. A file that shrank below what was measured
    // has lost data under its window.
    if (samples_before_end(source) < wanted &&
        (!look_again_at_size(mapped) || mapped.file_bytes < source.next_offset)) {
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

void release_mapped_source(MappedSource& source) { release_mapped_input(source.mapped); }

}  // namespace vorik
