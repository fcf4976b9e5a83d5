// A regular file measured where it lies: the samples are taken straight from
// a read-only mapping of the file, one window of it at a time, with no copy
// at all, where reading would have the kernel copy every byte first.
//
// That pays where the page cache holds the file in large folios, as it does
// files read back from disk: a window then takes a fault or two. In small
// pages (a memory file system, a file just written) a mapping costs more than
// the copy; after a few such windows in a row the file is read on through its
// stream from there. A file truncated under its window raises SIGBUS where
// the window is read: measure under run_guarded_against_vanished_pages.
#pragma once

#include <vorik/measurement.h>

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace vorik {

// Bytes of a file one window spans. Where the page cache holds large
// folios, a window of this size is faulted in a few large steps and ends on
// one; windows of 1 MiB were twice as slow as reading, 2 MiB a few percent
// slower than this; two windows of this size keep the resident memory well
// below 16 MiB.
constexpr std::size_t WINDOW_BYTES = std::size_t{4} << 20;

struct MappedSource {
    StreamInput* stream;        // the input read through its stream, from where the mapping stops
    MappedInput mapped;         // the current window; once released, the samples are read through `stream`
    std::uint64_t next_offset;  // where the next sample starts in the file
    std::size_t window_bytes;   // how much a window spans, 4 bytes or more
    unsigned costly_windows;    // windows in small pages in a row, just now
};

// Sets `source` up to take the samples of `stream`'s file in place, from
// where its stream stands on, in windows of `window_bytes`, if the file
// allows it: a regular file with no holes that the system maps, on a
// little-endian host (samples are taken as they lie in the file). Returns
// whether it does; a measurement then takes them through next_mapped_samples.
bool measure_in_place(MappedSource& source, StreamInput& stream, std::size_t window_bytes);

// A SampleSource's `next` for a MappedSource set up by measure_in_place.
SampleRun next_mapped_samples(void* mapped_source, std::uint32_t wanted);

// Unmaps the window, if there is one.
void release_mapped_source(MappedSource& source);

}  // namespace vorik
