#include "file_source.h"

#include "platform.h"

namespace vorik {
namespace {

constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);

// A read never gives bytes past the end of the file, but it cannot tell an
// end from a cut: at the end, the file's size does. A file that now ends
// before its size at the start, or before what was read of it, was cut short
// while it was measured.
SampleRun next_file_samples(void* file_source, std::uint32_t wanted) {
    FileSource& source = *static_cast<FileSource*>(file_source);
    SampleRun run = read_stream_samples(source.stream, wanted);
    source.next_offset += run.count * BYTES_PER_SAMPLE;
    std::uint64_t file_bytes = 0;
    if (run.ended && !run.failed &&
        !(regular_file_size(source.stream->file, file_bytes) && file_bytes >= source.bytes_at_start &&
          file_bytes >= source.next_offset)) {
        run.failed = true;
    }
    return run;
}

}  // namespace

bool take_from_file(FileSource& source, StreamInput& stream) {
    source = {&stream, 0, 0};
    return regular_file_size(stream.file, source.bytes_at_start) &&
           stream_position(stream.file, source.next_offset);
}

SampleSource file_sample_source(FileSource& source) { return {next_file_samples, &source}; }

}  // namespace vorik
