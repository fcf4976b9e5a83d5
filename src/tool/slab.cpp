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

// What one taking of a slab works with.
struct Taking {
    SlabArena& arena;
    SlabFiles& files;
    SlabSums& sums;
    std::uint64_t slab_offset;               // the slab's first byte
    const unsigned char* mapped[FILES];      // where the slab of each file is mapped, if it is
};

// Adds the pieces of the samples from `start` to `end` (one read's worth, or
// less), which lie at `first` and `second`: one for each part of a block.
void add_pieces(Taking& taking, std::uint64_t start, std::uint64_t end, const std::int16_t* first,
                const std::int16_t* second) {
    SlabSums& sums = taking.sums;
    const std::uint32_t block = taking.files.block_samples;
    for (std::uint64_t at = start; at < end;) {
        const std::uint64_t piece_end = std::min(end, (at / block + 1) * block);
        const auto count = static_cast<std::uint32_t>(piece_end - at);
        sums.pieces[sums.piece_count++] = {
            piece_end, detail::sum_psnr_piece(sums.plan, first + (at - start), second + (at - start), count)};
        at = piece_end;
    }
}

// Sums the slab one read at a time, from the windows where it is mapped and
// from reads into the buffers otherwise. False where a read comes short or
// fails, as for a file cut short.
bool sum_slab(Taking& taking) {
    const SlabSums& sums = taking.sums;
    const std::uint64_t slab_end = offset_of(sums.end_sample);
    for (std::uint64_t read_offset = taking.slab_offset; read_offset < slab_end; read_offset += READ_BYTES) {
        const std::uint64_t read_end = std::min(slab_end, read_offset + READ_BYTES);
        // The first read holds the header, whose bytes are no samples.
        const std::uint64_t start = std::max(sums.first_sample, sample_from(read_offset));
        const std::int16_t* samples[FILES] = {};
        for (unsigned file = 0; file < FILES; ++file) {
            const unsigned char* bytes = taking.mapped[file];
            if (bytes != nullptr) {
                bytes += read_offset - taking.slab_offset;
            } else {
                const auto asked = static_cast<std::size_t>(read_end - read_offset);
                unsigned char* buffer = arena_buffer(taking.arena, file);
                if (read_file_at(taking.files.files[file], read_offset, buffer, asked) !=
                    static_cast<std::int64_t>(asked)) {
                    return false;
                }
                bytes = buffer;
            }
            // Aligned: windows and buffers start on a page, samples on an even byte.
            samples[file] = reinterpret_cast<const std::int16_t*>(bytes + (offset_of(start) - read_offset));
        }
        add_pieces(taking, start, sample_from(read_end), samples[0], samples[1]);
    }
    return true;
}

void sum_mapped_slab(void* taking) {
    Taking& mapped = *static_cast<Taking*>(taking);
    mapped.sums.failed = !sum_slab(mapped);
}

// Maps the slab of both files; false where the system refuses.
bool map_slab(Taking& taking) {
    const auto bytes = static_cast<std::size_t>(offset_of(taking.sums.end_sample) - taking.slab_offset);
    for (unsigned file = 0; file < FILES; ++file) {
        taking.mapped[file] =
            map_into_arena(taking.arena, file, taking.files.files[file], taking.slab_offset, bytes);
        if (taking.mapped[file] == nullptr) {
            return false;
        }
    }
    return true;
}

// A mapping of a file cut short reads as zeros past its new end, up to the
// end of the page it ends in: the files must still hold the whole slab once
// it was summed.
bool files_hold(const SlabFiles& files, std::uint64_t end_sample) {
    for (std::FILE* file : files.files) {
        std::uint64_t file_bytes = 0;
        if (!regular_file_size(file, file_bytes) || file_bytes < offset_of(end_sample)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::uint64_t slab_of(std::uint64_t sample) { return offset_of(sample) / SLAB_BYTES; }

std::uint64_t slab_start(std::uint64_t slab) { return sample_from(slab * SLAB_BYTES); }

bool reserve_slab_reader(SlabArena& arena) { return reserve_slab_arena(arena, FILES, SLAB_BYTES, READ_BYTES); }

void take_slab(SlabArena& arena, SlabFiles& files, std::uint64_t slab, SlabSums& sums) {
    sums.first_sample = slab_start(slab);
    sums.end_sample = std::max(sums.first_sample, std::min(files.end_sample, slab_start(slab + 1)));
    sums.piece_count = 0;
    Taking taking{arena, files, sums, slab * SLAB_BYTES, {}};
    if (files.map_files && !files.mapping_failed.load(std::memory_order_relaxed)) {
        if (map_slab(taking)) {
            // A page that vanishes under the sums (the file was cut short) fails the slab.
            sums.failed = !guard_mapped_reads(sum_mapped_slab, &taking) || sums.failed ||
                          !files_hold(files, sums.end_sample);
            return;
        }
        // Some file systems read a file but cannot map it: read it from now on.
        files.mapping_failed.store(true, std::memory_order_relaxed);
        taking.mapped[0] = nullptr;
        taking.mapped[1] = nullptr;
    }
    sums.failed = !sum_slab(taking);
}

}  // namespace vorik
