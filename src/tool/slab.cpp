#include "slab.h"

#include <vorik/wave_header.h>

#include <algorithm>

#include "platform/console_and_files.h"

namespace vorik {
namespace {

// The samples of both files start right after the canonical header.
constexpr std::uint64_t SAMPLES_START = WAVE_HEADER_BYTES;
constexpr std::uint64_t BYTES_PER_SAMPLE = sizeof(std::int16_t);
constexpr unsigned FILES = 2;

std::uint64_t offset_of(std::uint64_t sample) { return SAMPLES_START + sample * BYTES_PER_SAMPLE; }

// The first sample that starts at or after `offset`, at or after the first.
std::uint64_t sample_from(std::uint64_t offset) {
    return offset > SAMPLES_START ? (offset - SAMPLES_START + BYTES_PER_SAMPLE - 1) / BYTES_PER_SAMPLE : 0;
}

// Adds the pieces of the samples from `start` to `end`, which lie at `first`
// and `second`: one for each part of a block.
void add_pieces(SlabSums& sums, std::uint32_t block, std::uint64_t start, std::uint64_t end,
                const std::int16_t* first, const std::int16_t* second) {
    for (std::uint64_t at = start; at < end;) {
        const std::uint64_t piece_end = std::min(end, (at / block + 1) * block);
        const auto count = static_cast<std::uint32_t>(piece_end - at);
        sums.pieces[sums.piece_count++] = {
            piece_end, detail::sum_psnr_piece(sums.plan, first + (at - start), second + (at - start), count)};
        at = piece_end;
    }
}

}  // namespace

std::uint64_t slab_of(std::uint64_t sample) { return offset_of(sample) / SLAB_BYTES; }

void take_slab(const SlabFiles& files, std::uint64_t slab, unsigned char* buffers, SlabSums& sums) {
    const std::uint64_t slab_offset = slab * SLAB_BYTES;
    sums.first_sample = sample_from(slab_offset);
    sums.end_sample = std::max(sums.first_sample, std::min(files.end_sample, sample_from(slab_offset + SLAB_BYTES)));
    sums.piece_count = 0;
    sums.failed = false;
    const std::uint64_t slab_end = offset_of(sums.end_sample);
    for (std::uint64_t read_offset = slab_offset; read_offset < slab_end; read_offset += READ_BYTES) {
        const auto asked = static_cast<std::size_t>(std::min(slab_end, read_offset + READ_BYTES) - read_offset);
        // The first read holds the header, whose bytes are no samples.
        const std::uint64_t start = std::max(sums.first_sample, sample_from(read_offset));
        const std::int16_t* samples[FILES] = {};
        for (unsigned file = 0; file < FILES; ++file) {
            unsigned char* buffer = buffers + file * READ_BYTES;
            if (read_file_at(files.files[file], read_offset, buffer, asked) != static_cast<std::int64_t>(asked)) {
                sums.failed = true;
                return;
            }
            // Aligned: samples start on an even byte of the file and of the buffer.
            samples[file] = reinterpret_cast<const std::int16_t*>(buffer + (offset_of(start) - read_offset));
        }
        add_pieces(sums, files.block_samples, start, sample_from(read_offset + asked), samples[0], samples[1]);
    }
}

}  // namespace vorik
