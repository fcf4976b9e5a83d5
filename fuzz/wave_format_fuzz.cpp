// libFuzzer target: the chunk walk on any bytes, as a file in memory.
//
// Whatever the bytes, the walk must end without reading out of bounds, and
// what it returns must hold together: a status of pcm_16 has a sound layout
// of 16 bits, its stream stands at `data_offset`, the last bytes before it
// are a data chunk's header, a file cut one byte short of it is truncated
// and one cut right there gives the same record. The same walk on an
// unbuffered stream must give the same record. A violation aborts, which
// libFuzzer reports as a finding.
#include <vorik/wave_format.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace vorik;

constexpr FourCc RIFF_TAG = {'R', 'I', 'F', 'F'};
constexpr FourCc RF64_TAG = {'R', 'F', '6', '4'};
constexpr FourCc BW64_TAG = {'B', 'W', '6', '4'};
constexpr FourCc FORMAT_CHUNK_TAG = {'f', 'm', 't', ' '};
constexpr FourCc NO_TAG = {};
constexpr char WAVE_TAG[] = "WAVE";
constexpr char DATA_TAG[] = "data";
constexpr std::size_t TAG_BYTES = 4;
constexpr std::size_t FORM_AT = 8;
constexpr std::size_t CHUNK_HEADER_BYTES = 8;
constexpr std::size_t RIFF_HEADER_BYTES = 12;
constexpr unsigned BITS_PER_BYTE = 8;
constexpr std::uint16_t MEASURED_BITS = 16;
constexpr unsigned BYTES_PER_SAMPLE = 2;
// The RIFF header, the smallest format chunk and the data chunk's header.
constexpr std::uint64_t SMALLEST_DATA_OFFSET = 44;

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "invariant violated: %s\n", invariant);
    std::abort();
}

void check(bool holds, const char* invariant) {
    if (!holds) {
        violated(invariant);
    }
}

struct Walked {
    WaveFormatStatus status;
    WaveFormat format;
    long position;  // where the stream stands after the walk
};

Walked walk(std::vector<unsigned char> bytes, bool buffered) {
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    check(file != nullptr, "the harness opens its memory stream");
    if (!buffered) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    Walked walked{};
    walked.status = read_wave_format(file, walked.format);
    walked.position = std::ftell(file);
    std::fclose(file);
    return walked;
}

auto fields(const WaveFormat& f) {
    return std::tie(f.riff_id, f.format_tag, f.extensible, f.channels, f.sample_rate, f.block_align,
                    f.bits_per_sample, f.valid_bits, f.data_offset, f.data_bytes, f.data_to_end, f.chunk_id,
                    f.chunk_size);
}

std::uint32_t u32_at(const std::vector<unsigned char>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < TAG_BYTES; ++i) {
        value |= std::uint32_t{bytes[at + i]} << (BITS_PER_BYTE * i);
    }
    return value;
}

void check_pcm_16(const std::vector<unsigned char>& bytes, const Walked& walked) {
    const WaveFormat& f = walked.format;
    check(walked.position >= 0 && static_cast<std::uint64_t>(walked.position) == f.data_offset,
          "pcm_16: the stream stands at data_offset");
    check(f.data_offset >= SMALLEST_DATA_OFFSET && f.data_offset <= bytes.size(),
          "pcm_16: the first sample lies after a whole header, within the file");
    const auto data_header = static_cast<std::size_t>(f.data_offset) - CHUNK_HEADER_BYTES;
    check(std::string(bytes.begin() + static_cast<long>(data_header),
                      bytes.begin() + static_cast<long>(data_header + TAG_BYTES)) == DATA_TAG,
          "pcm_16: a data chunk's header comes right before the first sample");
    check(f.riff_id == RIFF_TAG || f.riff_id == RF64_TAG || f.riff_id == BW64_TAG, "pcm_16: a known RIFF id");
    check(f.format_tag == WAVE_FORMAT_PCM && f.bits_per_sample == MEASURED_BITS &&
              f.valid_bits == MEASURED_BITS,
          "pcm_16: 16-bit PCM");
    check(f.channels > 0 && f.sample_rate > 0 && f.block_align == BYTES_PER_SAMPLE * f.channels,
          "pcm_16: a sound layout");
    check(f.data_to_end ? f.data_bytes == 0 : f.data_bytes > 0, "pcm_16: a size, or data to the end");
    const std::uint32_t chunk_size = u32_at(bytes, data_header + TAG_BYTES);
    if (f.riff_id == RIFF_TAG) {
        check(f.data_to_end == (chunk_size == 0 || chunk_size == UINT32_MAX) &&
                  (f.data_to_end || f.data_bytes == chunk_size),
              "pcm_16: a RIFF file's data size is its data chunk's");
    }

    const std::vector<unsigned char> cut_short(bytes.begin(),
                                               bytes.begin() + static_cast<long>(f.data_offset) - 1);
    check(walk(cut_short, true).status == WaveFormatStatus::truncated,
          "a file that ends before the first sample is truncated");
    const std::vector<unsigned char> cut_there(bytes.begin(),
                                               bytes.begin() + static_cast<long>(f.data_offset));
    const Walked there = walk(cut_there, true);
    check(there.status == WaveFormatStatus::pcm_16 && fields(there.format) == fields(f),
          "the walk needs no byte past the data chunk's header");
}

void check_walk(const std::vector<unsigned char>& bytes) {
    const Walked walked = walk(bytes, true);
    const Walked unbuffered = walk(bytes, false);
    check(unbuffered.status == walked.status && fields(unbuffered.format) == fields(walked.format),
          "an unbuffered stream gives the same record");
    const WaveFormat& f = walked.format;
    check(walked.status != WaveFormatStatus::read_failed, "a memory stream never fails");
    if (walked.status == WaveFormatStatus::pcm_16) {
        check_pcm_16(bytes, walked);
        return;
    }
    check(f.data_offset == 0 && f.data_bytes == 0 && !f.data_to_end, "only pcm_16 gives the data");
    if (walked.status == WaveFormatStatus::bad_chunk) {
        check(f.chunk_id == FORMAT_CHUNK_TAG || f.riff_id == RF64_TAG || f.riff_id == BW64_TAG,
              "bad_chunk: a format chunk, or where RF64 and BW64 need ds64");
    } else {
        check(f.chunk_id == NO_TAG && f.chunk_size == 0, "only bad_chunk names a chunk");
    }
    if (!f.extensible) {
        check(f.valid_bits == f.bits_per_sample, "valid bits are the bits but in WAVE_FORMAT_EXTENSIBLE");
    }
    switch (walked.status) {
        case WaveFormatStatus::not_pcm:
            check(f.format_tag != WAVE_FORMAT_PCM, "not_pcm: another format tag");
            break;
        case WaveFormatStatus::not_16_bit:
            check(f.format_tag == WAVE_FORMAT_PCM &&
                      (f.bits_per_sample != MEASURED_BITS || f.valid_bits != MEASURED_BITS),
                  "not_16_bit: PCM of another width");
            break;
        case WaveFormatStatus::bad_layout:
            check(
                f.format_tag == WAVE_FORMAT_PCM && f.bits_per_sample == MEASURED_BITS &&
                    f.valid_bits == MEASURED_BITS &&
                    (f.channels == 0 || f.sample_rate == 0 || f.block_align != BYTES_PER_SAMPLE * f.channels),
                "bad_layout: 16-bit PCM of an unsound layout");
            break;
        default:
            break;
    }
    // A RIFF header of a WAVE file as far as the file goes: each byte it has
    // is that of one of the three ids, and of the form.
    const auto agrees = [&bytes](std::size_t at, const char* tag) {
        for (std::size_t i = 0; i < TAG_BYTES && at + i < bytes.size(); ++i) {
            if (bytes[at + i] != static_cast<unsigned char>(tag[i])) return false;
        }
        return true;
    };
    const bool wave_so_far =
        (agrees(0, RIFF_TAG.data()) || agrees(0, RF64_TAG.data()) || agrees(0, BW64_TAG.data())) &&
        agrees(FORM_AT, WAVE_TAG);
    check(wave_so_far == (walked.status != WaveFormatStatus::not_wave), "not_wave: exactly another header");
    check(bytes.size() >= RIFF_HEADER_BYTES || walked.status == WaveFormatStatus::not_wave ||
              walked.status == WaveFormatStatus::truncated,
          "a file cut inside its RIFF header is not_wave or truncated");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_walk(std::vector<unsigned char>(data, data + size));
    return 0;
}
