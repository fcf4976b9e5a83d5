#include "file_source.h"

#include <algorithm>

#include "measurement_detail.h"
#include "platform/console_and_files.h"

namespace vorik {
namespace {

// Samples before the one at `offset`.
std::uint64_t samples_before(const FileSource& source, std::uint64_t offset) {
    return samples_in(offset, source.first_offset);
}

// A read never gives bytes past the end of the file, but it cannot tell an
// end from a cut: at the end, the file's size does, counted in whole samples
// (a single byte left at the end is not a sample). A file that now holds
// fewer samples than at the start was cut short while it was measured; so
// was one that was seen to grow and now holds fewer than were read of it. A size
// that never changed tells nothing of what was read: some file systems give
// every file a size of 0, or less than its data (procfs, some FUSE file
// systems), and such a file is read as a pipe is, to its end.
bool cut_while_read(const FileSource& source) {
    std::uint64_t file_bytes = 0;
    if (!regular_file_size(source.input->file, file_bytes)) {
        return true;
    }
    const std::uint64_t now = samples_in(file_bytes, source.first_offset);
    return now < samples_in(source.bytes_at_start, source.first_offset) ||
           (source.grew && now < samples_before(source, source.next_offset));
}

// Whether the file's size says it holds more than the bytes up to `offset`.
bool size_says_more(const FileSource& source, std::uint64_t offset) {
    std::uint64_t file_bytes = 0;
    return regular_file_size(source.input->file, file_bytes) && file_bytes > offset;
}

// Notes whether a file read past its size at the start has grown, or only
// tells less than it holds.
void note_growth(FileSource& source, std::uint64_t read_to) {
    if (!source.grew && read_to > source.bytes_at_start) {
        source.grew = size_says_more(source, source.bytes_at_start);
    }
}

detail::SampleRun next_file_samples(void* file_source, std::uint32_t wanted) {
    FileSource& source = *static_cast<FileSource*>(file_source);
    detail::StreamInput& input = *source.input;
    const std::uint32_t asked = std::min(input.capacity, wanted);
    const std::size_t asked_bytes = std::size_t{asked} * BYTES_PER_SAMPLE;
    auto* buffer = reinterpret_cast<unsigned char*>(input.buffer);
    std::size_t got = 0;
    // A read that comes short has found the end as the file system gives
    // it. Some give a read the data only after they tell its size (a FUSE
    // file system passing on a file that grows): read again while the size
    // says there is more, and a read again gives some.
    for (bool again = false;; again = true) {
        const std::int64_t bytes =
            source.read_at(input.file, source.next_offset + got, buffer + got, asked_bytes - got);
        if (bytes < 0) {
            return {input.buffer, 0, true, true};
        }
        got += static_cast<std::size_t>(bytes);
        if (got == asked_bytes || (again && bytes == 0) ||
            !size_says_more(source, source.next_offset + got)) {
            break;
        }
    }
    // A single byte left at the end is not a sample: the next read reads it again.
    const auto count = static_cast<std::uint32_t>(got / BYTES_PER_SAMPLE);
    detail::samples_from_little_endian(input.buffer, count);
    source.next_offset += count * BYTES_PER_SAMPLE;
    note_growth(source, source.next_offset);
    const bool ended = count < asked;
    return {input.buffer, count, ended, ended && cut_while_read(source)};
}

}  // namespace

bool read_from_file(FileSource& source, detail::StreamInput& input, std::uint64_t first_offset) {
    source = {&input, first_offset, first_offset, 0, false, read_file_at};
    return regular_file_size(input.file, source.bytes_at_start);
}

detail::SampleSource file_sample_source(FileSource& source) { return {next_file_samples, &source}; }

void skip_file_samples(FileSource& source, std::uint64_t samples) {
    source.next_offset += samples * BYTES_PER_SAMPLE;
    note_growth(source, source.next_offset);
}

}  // namespace vorik
