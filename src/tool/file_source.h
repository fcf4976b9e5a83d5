// A regular file's samples: taken where they lie, straight from a read-only
// mapping of the file, one window of it at a time, where that pays, and read
// through the file's stream where it does not. Either way the file is
// watched: one cut short while it is measured fails the read, rather than
// pass for a file that ended, and no byte past its end is ever measured.
//
// A mapping pays where the page cache holds the file in large folios, as it
// does files read back from disk: a window then takes a fault or two and no
// copy. In small pages (a memory file system, a file just written) a mapping
// costs more than the copy; after a few such windows in a row the file is
// read on through its stream from there. A file truncated under its window
// raises SIGBUS where the window is read: measure under
// run_guarded_against_vanished_pages.
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

struct FileSource {
    StreamInput* stream;           // the input's stream: read from the start, or from where the mapping stops
    MappedInput mapped;            // the current window; none while the file is read through `stream`
    std::uint64_t next_offset;     // where the next sample starts in the file
    std::uint64_t bytes_at_start;  // the file's size when the measurement started: it must not end before
    std::size_t window_bytes;      // how much a window spans, 4 bytes or more; 0: never mapped
    unsigned costly_windows;       // windows in small pages in a row, just now
};

// Sets `source` up to take the samples of `stream`'s file from where its
// stream stands on, if it is a regular file: in place, in windows of
// `window_bytes`, where the file allows it (no holes, a system that maps it,
// a little-endian host, as samples are taken as they lie), and through the
// stream otherwise. Returns whether it is a regular file; a measurement then
// takes its samples through file_sample_source.
bool take_from_file(FileSource& source, StreamInput& stream, std::size_t window_bytes);

// Where a measurement takes the samples of a FileSource set up by take_from_file.
SampleSource file_sample_source(FileSource& source);

// Unmaps the window, if there is one.
void release_file_source(FileSource& source);

}  // namespace vorik
