#include "file_source.h"

#include <algorithm>

#include "measurement_detail.h"
#include "platform/console_and_files.h"

namespace vorik {
namespace {

constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);

// A read never gives bytes past the end of the file, but it cannot tell an
// end from a cut: at the end, the file's size does. A file that now ends
// before its size at the start was cut short while it was measured; so was
// one whose size has changed since and now ends before what was read of it.
// A size that has not changed tells nothing of what was read: some file
// systems give every file a size of 0, or less than its data (procfs, some
// FUSE file systems), and such a file is read as a pipe is, to its end.
bool cut_while_read(const FileSource& source) {
    std::uint64_t file_bytes = 0;
    if (!regular_file_size(source.input->file, file_bytes)) {
        return true;
    }
    return file_bytes < source.bytes_at_start ||
           (file_bytes != source.bytes_at_start && file_bytes < source.next_offset);
}

SampleRun next_file_samples(void* file_source, std::uint32_t wanted) {
    FileSource& source = *static_cast<FileSource*>(file_source);
    StreamInput& input = *source.input;
    const std::uint32_t asked = std::min(input.capacity, wanted);
    const std::int64_t bytes =
        read_file_at(input.file, source.next_offset, input.buffer, asked * BYTES_PER_SAMPLE);
    if (bytes < 0) {
        return {input.buffer, 0, true, true};
    }
    // A lone last byte is no sample.
    const auto count = static_cast<std::uint32_t>(static_cast<std::uint64_t>(bytes) / BYTES_PER_SAMPLE);
    detail::samples_from_little_endian(input.buffer, count);
    source.next_offset += count * BYTES_PER_SAMPLE;
    const bool ended = count < asked;
    return {input.buffer, count, ended, ended && cut_while_read(source)};
}

}  // namespace

bool take_from_file(FileSource& source, StreamInput& input) {
    source = {&input, 0, 0};
    return regular_file_size(input.file, source.bytes_at_start) &&
           stream_position(input.file, source.next_offset);
}

SampleSource file_sample_source(FileSource& source) { return {next_file_samples, &source}; }

void skip_file_samples(FileSource& source, std::uint64_t samples) {
    source.next_offset += samples * BYTES_PER_SAMPLE;
}

}  // namespace vorik
