#include <vorik/wave_format.h>

#include <algorithm>
#include <iterator>

namespace vorik {
namespace {

constexpr FourCc RIFF_TAG = {'R', 'I', 'F', 'F'};
constexpr FourCc RF64_TAG = {'R', 'F', '6', '4'};
constexpr FourCc BW64_TAG = {'B', 'W', '6', '4'};
constexpr FourCc WAVE_TAG = {'W', 'A', 'V', 'E'};
constexpr FourCc DS64_TAG = {'d', 's', '6', '4'};
constexpr FourCc FORMAT_CHUNK_TAG = {'f', 'm', 't', ' '};
constexpr FourCc DATA_TAG = {'d', 'a', 't', 'a'};

constexpr unsigned BITS_PER_BYTE = 8;
constexpr std::size_t U16_BYTES = 2;
constexpr std::size_t U32_BYTES = 4;
constexpr std::size_t U64_BYTES = 8;

// The file starts with the RIFF chunk's id and size, then its form. The size
// is not read: writers to a pipe leave 0 or 0xFFFFFFFF there, and some leave
// garbage.
constexpr std::size_t RIFF_ID_AT = 0;
constexpr std::size_t FORM_AT = 8;
constexpr std::size_t RIFF_HEADER_BYTES = 12;

// Every chunk starts with its id and the size of its body.
constexpr std::size_t CHUNK_ID_AT = 0;
constexpr std::size_t CHUNK_SIZE_AT = 4;
constexpr std::size_t CHUNK_HEADER_BYTES = 8;

// The ds64 body starts with three 64-bit sizes: of the RIFF chunk, of the
// data chunk and the count of sample frames. A table of other chunks' sizes
// may follow; the walk needs none of it.
constexpr std::size_t DS64_DATA_SIZE_AT = 8;
constexpr std::size_t DS64_SIZES_BYTES = 24;

// The format chunk's body. The plain one holds the fields up to
// bits_per_sample; WAVE_FORMAT_EXTENSIBLE adds the size of its extension, the
// valid bits, the speaker mask and the sub-format.
constexpr std::size_t FORMAT_TAG_AT = 0;
constexpr std::size_t CHANNELS_AT = 2;
constexpr std::size_t SAMPLE_RATE_AT = 4;
constexpr std::size_t BLOCK_ALIGN_AT = 12;
constexpr std::size_t BITS_PER_SAMPLE_AT = 14;
constexpr std::size_t EXTENSION_SIZE_AT = 16;
constexpr std::size_t VALID_BITS_AT = 18;
constexpr std::size_t SUB_FORMAT_AT = 24;
constexpr std::size_t PLAIN_FORMAT_BYTES = 16;
constexpr std::size_t EXTENSIBLE_FORMAT_BYTES = 40;
constexpr std::uint16_t EXTENSIBLE_EXTENSION_BYTES = 22;

// A sub-format is a GUID whose first two bytes are a format tag and whose
// other fourteen are the same for every tag. Another GUID names a format of
// its own, which is not PCM.
constexpr std::size_t SUB_FORMAT_BASE_AT = SUB_FORMAT_AT + U16_BYTES;
constexpr unsigned char SUB_FORMAT_BASE[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                             0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr std::uint16_t MEASURED_BITS = 16;
constexpr std::uint32_t MEASURED_BYTES = MEASURED_BITS / BITS_PER_BYTE;

// Data sizes that a writer leaves when it does not know the size, as it
// cannot when it writes to a pipe. 0xFFFFFFFF in a data chunk of RF64 or
// BW64 says that the size is in ds64 instead.
constexpr std::uint64_t SIZE_NOT_KNOWN = 0;
constexpr std::uint32_t SIZE_NOT_KNOWN_32 = 0xFFFFFFFF;
constexpr std::uint64_t SIZE_NOT_KNOWN_64 = 0xFFFFFFFFFFFFFFFF;

// Chunk bodies are skipped through a buffer of this size: a chunk may be
// gigabytes long, and the walk never seeks.
constexpr std::size_t SKIP_BUFFER_BYTES = 16384;

// The `width` bytes at `offset`, least significant first.
std::uint64_t little_endian_at(const unsigned char* bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i > 0; --i) {
        value = value << BITS_PER_BYTE | bytes[offset + i - 1];
    }
    return value;
}

std::uint16_t u16_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(little_endian_at(bytes, offset, U16_BYTES));
}

std::uint32_t u32_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(little_endian_at(bytes, offset, U32_BYTES));
}

FourCc tag_at(const unsigned char* bytes, std::size_t offset) {
    FourCc tag{};
    std::copy_n(bytes + offset, tag.size(), tag.begin());
    return tag;
}

// Whether the first `length` bytes of a RIFF header agree with `tag` at
// `offset`: a file cut inside its RIFF header is truncated only if the bytes
// it has could start a WAVE file.
bool agrees_so_far(const unsigned char* bytes, std::size_t length, std::size_t offset, const FourCc& tag) {
    for (std::size_t i = 0; i < tag.size(); ++i) {
        if (offset + i < length && bytes[offset + i] != static_cast<unsigned char>(tag[i])) {
            return false;
        }
    }
    return true;
}

// The stream as the walk reads it: in order, every byte counted, so that the
// walk knows where the samples start without asking the stream.
struct Walk {
    std::FILE* file;
    std::uint64_t consumed;
};

// Reads `length` bytes; false if the stream ended or failed first.
bool read_exactly(Walk& walk, unsigned char* bytes, std::size_t length) {
    const std::size_t read = std::fread(bytes, 1, length, walk.file);
    walk.consumed += read;
    return read == length;
}

bool skip(Walk& walk, std::uint64_t length) {
    unsigned char buffer[SKIP_BUFFER_BYTES];
    while (length > 0) {
        const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof buffer));
        if (!read_exactly(walk, buffer, part)) {
            return false;
        }
        length -= part;
    }
    return true;
}

// Why a read came short: the stream failed, or the file ended.
WaveFormatStatus short_read(const Walk& walk) {
    return std::ferror(walk.file) ? WaveFormatStatus::read_failed : WaveFormatStatus::truncated;
}

// Reads the RIFF header into `format.riff_id` and judges it; pcm_16 when it
// is one of a WAVE file, and the walk goes on.
WaveFormatStatus read_riff_header(Walk& walk, WaveFormat& format) {
    unsigned char riff[RIFF_HEADER_BYTES] = {};
    const bool whole = read_exactly(walk, riff, sizeof riff);
    if (!whole && std::ferror(walk.file)) {
        return WaveFormatStatus::read_failed;
    }
    format.riff_id = tag_at(riff, RIFF_ID_AT);
    const auto length = static_cast<std::size_t>(walk.consumed);
    const bool known_id = agrees_so_far(riff, length, RIFF_ID_AT, RIFF_TAG) ||
                          agrees_so_far(riff, length, RIFF_ID_AT, RF64_TAG) ||
                          agrees_so_far(riff, length, RIFF_ID_AT, BW64_TAG);
    if (!known_id || !agrees_so_far(riff, length, FORM_AT, WAVE_TAG)) {
        return WaveFormatStatus::not_wave;
    }
    return whole ? WaveFormatStatus::pcm_16 : WaveFormatStatus::truncated;
}

struct ChunkHeader {
    FourCc id;
    std::uint32_t size;
};

// The bytes a chunk's body takes in the file: its size, and the pad byte
// after a body of odd size.
std::uint64_t padded(const ChunkHeader& chunk) { return std::uint64_t{chunk.size} + (chunk.size & 1U); }

WaveFormatStatus bad_chunk(const ChunkHeader& chunk, WaveFormat& format) {
    format.chunk_id = chunk.id;
    format.chunk_size = chunk.size;
    return WaveFormatStatus::bad_chunk;
}

// Decodes the first bytes of a format chunk of `size` bytes (as many as
// `body` holds, the rest 0), and judges them: first the encoding of the
// samples, then their width, then the layout.
WaveFormatStatus decode_format(const unsigned char* body, std::uint32_t size, WaveFormat& format) {
    if (size < PLAIN_FORMAT_BYTES) {
        return WaveFormatStatus::bad_chunk;
    }
    format.format_tag = u16_at(body, FORMAT_TAG_AT);
    format.channels = u16_at(body, CHANNELS_AT);
    format.sample_rate = u32_at(body, SAMPLE_RATE_AT);
    format.block_align = u16_at(body, BLOCK_ALIGN_AT);
    format.bits_per_sample = u16_at(body, BITS_PER_SAMPLE_AT);
    format.valid_bits = format.bits_per_sample;
    if (format.format_tag == WAVE_FORMAT_EXTENSIBLE) {
        format.extensible = true;
        if (size < EXTENSIBLE_FORMAT_BYTES || u16_at(body, EXTENSION_SIZE_AT) < EXTENSIBLE_EXTENSION_BYTES) {
            return WaveFormatStatus::bad_chunk;
        }
        format.valid_bits = u16_at(body, VALID_BITS_AT);
        const bool tag_in_guid =
            std::equal(std::begin(SUB_FORMAT_BASE), std::end(SUB_FORMAT_BASE), body + SUB_FORMAT_BASE_AT);
        format.format_tag = tag_in_guid ? u16_at(body, SUB_FORMAT_AT) : WAVE_FORMAT_EXTENSIBLE;
    }
    if (format.format_tag != WAVE_FORMAT_PCM) {
        return WaveFormatStatus::not_pcm;
    }
    if (format.bits_per_sample != MEASURED_BITS || format.valid_bits != MEASURED_BITS) {
        return WaveFormatStatus::not_16_bit;
    }
    if (format.channels == 0 || format.sample_rate == 0 ||
        format.block_align != MEASURED_BYTES * format.channels) {
        return WaveFormatStatus::bad_layout;
    }
    return WaveFormatStatus::pcm_16;
}

}  // namespace

WaveFormatStatus read_wave_format(std::FILE* file, WaveFormat& format) {
    format = WaveFormat{};
    Walk walk{file, 0};
    const WaveFormatStatus riff_status = read_riff_header(walk, format);
    if (riff_status != WaveFormatStatus::pcm_16) {
        return riff_status;
    }

    // RF64 and BW64 give the sizes that do not fit 32 bits in ds64, their
    // first chunk.
    const bool sizes_in_ds64 = format.riff_id == RF64_TAG || format.riff_id == BW64_TAG;
    std::uint64_t ds64_data_size = 0;
    bool format_read = false;
    for (bool first_chunk = true;; first_chunk = false) {
        unsigned char header[CHUNK_HEADER_BYTES];
        if (!read_exactly(walk, header, sizeof header)) {
            return short_read(walk);
        }
        const ChunkHeader chunk{tag_at(header, CHUNK_ID_AT), u32_at(header, CHUNK_SIZE_AT)};

        if (sizes_in_ds64 && first_chunk) {
            if (chunk.id != DS64_TAG || chunk.size < DS64_SIZES_BYTES) {
                return bad_chunk(chunk, format);
            }
            unsigned char sizes[DS64_SIZES_BYTES];
            if (!read_exactly(walk, sizes, sizeof sizes) || !skip(walk, padded(chunk) - sizeof sizes)) {
                return short_read(walk);
            }
            ds64_data_size = little_endian_at(sizes, DS64_DATA_SIZE_AT, U64_BYTES);
        } else if (chunk.id == FORMAT_CHUNK_TAG) {
            // Two format chunks contradict each other or say the same
            // thing twice; which one the writer meant cannot be told.
            if (format_read) {
                return bad_chunk(chunk, format);
            }
            unsigned char body[EXTENSIBLE_FORMAT_BYTES] = {};
            const std::size_t kept = std::min<std::size_t>(chunk.size, sizeof body);
            if (!read_exactly(walk, body, kept)) {
                return short_read(walk);
            }
            // Judged before the rest is skipped: a file that cannot be
            // measured is not read further.
            const WaveFormatStatus status = decode_format(body, chunk.size, format);
            if (status == WaveFormatStatus::bad_chunk) {
                return bad_chunk(chunk, format);
            }
            if (status != WaveFormatStatus::pcm_16) {
                return status;
            }
            if (!skip(walk, padded(chunk) - kept)) {
                return short_read(walk);
            }
            format_read = true;
        } else if (chunk.id == DATA_TAG) {
            if (!format_read) {
                return WaveFormatStatus::data_before_format;
            }
            const std::uint64_t size =
                sizes_in_ds64 && chunk.size == SIZE_NOT_KNOWN_32 ? ds64_data_size : chunk.size;
            format.data_to_end =
                size == SIZE_NOT_KNOWN || size == SIZE_NOT_KNOWN_32 || size == SIZE_NOT_KNOWN_64;
            format.data_bytes = format.data_to_end ? 0 : size;
            format.data_offset = walk.consumed;
            return WaveFormatStatus::pcm_16;
        } else if (!skip(walk, padded(chunk))) {
            return short_read(walk);
        }
    }
}

}  // namespace vorik
