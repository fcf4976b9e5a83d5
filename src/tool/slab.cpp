#include "slab.h"

#include <algorithm>

#include "file_source.h"
#include "platform/console_and_files.h"

namespace vorik {
namespace {

constexpr unsigned FILES = 2;

// Where a sample of the first file lies.
std::uint64_t first_file_offset(const SlabFiles& files, std::uint64_t sample) {
    return offset_of(sample, files.first_offsets[0]);
}

// The first sample that starts a unit at or after `offset` of the first file.
std::uint64_t unit_from(const SlabFiles& files, std::uint64_t offset) {
    const std::uint64_t unit_bytes = std::uint64_t{files.unit_samples} * BYTES_PER_SAMPLE;
    const std::uint64_t start = files.first_offsets[0];
    const std::uint64_t units = offset > start ? (offset - start + unit_bytes - 1) / unit_bytes : 0;
    return units * files.unit_samples;
}

// The first file's offset where slab 0 begins.
std::uint64_t slabs_origin(const SlabFiles& files) {
    return files.first_offsets[0] / SLAB_BYTES * SLAB_BYTES;
}

// Hands on the samples from `start` to `end`, which lie at `first` and
// `second`: one piece for each part of a block.
void visit_pieces(const SlabFiles& files, std::uint64_t start, std::uint64_t end, const std::int16_t* first,
                  const std::int16_t* second, PieceVisitor visit, void* context) {
    const std::uint32_t block = files.block_samples;
    for (std::uint64_t at = start; at < end;) {
        const std::uint64_t piece_end = std::min(end, (at / block + 1) * block);
        visit(context, at, first + (at - start), second + (at - start),
              static_cast<std::uint32_t>(piece_end - at));
        at = piece_end;
    }
}

}  // namespace

std::uint64_t slab_of(const SlabFiles& files, std::uint64_t sample) {
    return (first_file_offset(files, sample) - slabs_origin(files)) / SLAB_BYTES;
}

SlabSpan slab_span(const SlabFiles& files, std::uint64_t slab) {
    const std::uint64_t slab_offset = slabs_origin(files) + slab * SLAB_BYTES;
    const std::uint64_t first = std::min(files.end_sample, unit_from(files, slab_offset));
    return {first, std::max(first, std::min(files.end_sample, unit_from(files, slab_offset + SLAB_BYTES)))};
}

bool read_slab(const SlabFiles& files, std::uint64_t slab, unsigned char* buffers, PieceVisitor visit,
               void* context) {
    const SlabSpan span = slab_span(files, slab);
    const std::uint64_t slab_offset = slabs_origin(files) + slab * SLAB_BYTES;
    for (std::uint64_t read_offset = slab_offset; read_offset < slab_offset + SLAB_BYTES;
         read_offset += READ_BYTES) {
        const std::uint64_t start =
            std::clamp(unit_from(files, read_offset), span.first_sample, span.end_sample);
        const std::uint64_t end =
            std::clamp(unit_from(files, read_offset + READ_BYTES), start, span.end_sample);
        if (start == end) {
            continue;
        }
        const std::size_t bytes = static_cast<std::size_t>((end - start) * BYTES_PER_SAMPLE);
        const std::size_t place =
            static_cast<std::size_t>(first_file_offset(files, start) % BUFFER_ALIGNMENT);
        const std::int16_t* samples[FILES] = {};
        for (unsigned file = 0; file < FILES; ++file) {
            unsigned char* buffer = buffers + file * READ_BUFFER_BYTES + place;
            const std::uint64_t offset = offset_of(start, files.first_offsets[file]);
            if (read_file_at(files.files[file], offset, buffer, bytes) != static_cast<std::int64_t>(bytes)) {
                return false;
            }
            // Aligned for samples: `place` is even, as every sample's offset in the first file is.
            samples[file] = reinterpret_cast<const std::int16_t*>(buffer);
        }
        visit_pieces(files, start, end, samples[0], samples[1], visit, context);
    }
    return true;
}

}  // namespace vorik
