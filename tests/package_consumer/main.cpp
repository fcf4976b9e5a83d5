// A program of its own that uses the installed vorik package, the way another
// project would. With two WAV files it runs the README's example on them;
// without, it checks a header it builds and small blocks whose
// figures are worked out by hand, prints every check that fails and exits 1
// if any did. Like much audio code, it has a WaveHeader and a compute_psnr of
// its own, beside the library's.
#include <vorik/vorik.h>
#ifdef VORIK_CONSUMER_ALIGNMENT
#include <vorik/alignment.h>
#endif

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The program's own names, which the library's must leave alone.
struct WaveHeader {
    std::uint32_t sample_rate;
    std::uint16_t channels;
};

double compute_psnr(double mean_square, double peak) { return 10.0 * std::log10(peak * peak / mean_square); }

// The README's example, taken out of README.md as it stands there.
#include VORIK_README_EXAMPLE

namespace {

using vorik::PsnrAccumulator;
using vorik::PsnrResult;

constexpr std::uint16_t PCM = 1;
constexpr std::uint16_t CHANNELS = 2;
constexpr std::uint32_t SAMPLE_RATE = 8000;
constexpr std::uint16_t BITS_PER_SAMPLE = 16;
constexpr std::uint16_t FRAME_BYTES = CHANNELS * BITS_PER_SAMPLE / 8;
constexpr std::uint32_t FORMAT_CHUNK_BYTES = 16;
// The RIFF size counts everything after its own field: the header's last 36 bytes.
constexpr std::uint32_t RIFF_SIZE_OF_NO_SAMPLES = 36;
constexpr std::size_t DATA_TAG_OFFSET = 36;
constexpr std::size_t TAG_BYTES = 4;

int failures = 0;
int checks = 0;

void expect(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

void put_u16(std::vector<unsigned char>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<unsigned char>(value & 0xFF));
    bytes.push_back(static_cast<unsigned char>(value >> 8));
}

void put_u32(std::vector<unsigned char>& bytes, std::uint32_t value) {
    put_u16(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
    put_u16(bytes, static_cast<std::uint16_t>(value >> 16));
}

void put_tag(std::vector<unsigned char>& bytes, const char* tag) {
    bytes.insert(bytes.end(), tag, tag + TAG_BYTES);
}

// A canonical header for 16-bit stereo at 8000 Hz with `data_bytes` of samples.
std::vector<unsigned char> stereo_header(std::uint32_t data_bytes) {
    std::vector<unsigned char> bytes;
    put_tag(bytes, "RIFF");
    put_u32(bytes, RIFF_SIZE_OF_NO_SAMPLES + data_bytes);
    put_tag(bytes, "WAVE");
    put_tag(bytes, "fmt ");
    put_u32(bytes, FORMAT_CHUNK_BYTES);
    put_u16(bytes, PCM);
    put_u16(bytes, CHANNELS);
    put_u32(bytes, SAMPLE_RATE);
    put_u32(bytes, SAMPLE_RATE * FRAME_BYTES);
    put_u16(bytes, FRAME_BYTES);
    put_u16(bytes, BITS_PER_SAMPLE);
    put_tag(bytes, "data");
    put_u32(bytes, data_bytes);
    return bytes;
}

std::string three_decimals(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

void check_headers() {
    const std::vector<unsigned char> bytes = stereo_header(8);
    expect(bytes.size() == vorik::WAVE_HEADER_BYTES, "the built header is WAVE_HEADER_BYTES long");

    vorik::WaveHeader header{};
    expect(vorik::decode_wave_header(bytes.data(), bytes.size(), header), "a canonical header is recognised");
    expect(header.channels == CHANNELS && header.sample_rate == SAMPLE_RATE &&
               header.bits_per_sample == BITS_PER_SAMPLE && header.block_align == FRAME_BYTES,
           "channels, rate, width and frame size are decoded");
    expect(header.format_tag == PCM && header.data_size == 8 && header.riff_size == 44,
           "format tag and sizes are decoded");

    std::vector<unsigned char> wrong_tag = bytes;
    std::memcpy(wrong_tag.data() + DATA_TAG_OFFSET, "DATA", TAG_BYTES);
    expect(!vorik::decode_wave_header(wrong_tag.data(), wrong_tag.size(), header),
           "a misplaced data tag is refused");

    std::FILE* file = std::tmpfile();
    expect(file != nullptr, "a temporary file opens");
    if (file == nullptr) return;
    const unsigned char samples[8] = {1, 0, 2, 0, 3, 0, 4, 0};
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fwrite(samples, 1, sizeof samples, file);
    std::rewind(file);
    expect(vorik::read_wave_header(file, header), "a header read from a file is recognised");
    expect(std::ftell(file) == static_cast<long>(vorik::WAVE_HEADER_BYTES),
           "reading leaves the file at the samples");
    std::fclose(file);
}

void check_meter() {
    // Two pairs: left differs by 1 in the first, right by 2 in the second.
    // The fifth sample has no partner and must not count.
    const std::int16_t first[] = {0, 0, 0, 0, 7};
    const std::int16_t second[] = {1, 0, 0, 2, -7};
    PsnrAccumulator accumulator{};
    vorik::accumulate_block(accumulator, first, second, 5);
    expect(accumulator.pairs == 2, "two pairs counted");
    expect(accumulator.sum_sq_left == 1.0 && accumulator.sum_sq_right == 4.0, "squared differences summed");
    // 20 log10(65535 / sqrt(1/2)) and 20 log10(65535 / sqrt(2)).
    const PsnrResult result = vorik::compute_psnr(accumulator);
    expect(three_decimals(result.left_db) == "99.340",
           "left PSNR is 99.340, got " + three_decimals(result.left_db));
    expect(three_decimals(result.right_db) == "93.319",
           "right PSNR is 93.319, got " + three_decimals(result.right_db));

    // Full scale on the left (mean square 65535^2 gives exactly 0 dB), none on the right.
    const std::int16_t low[] = {-32768, 5};
    const std::int16_t high[] = {32767, 5};
    PsnrAccumulator extremes{};
    vorik::accumulate_block(extremes, low, high, 2);
    const PsnrResult extreme_result = vorik::compute_psnr(extremes);
    expect(extreme_result.left_db == 0.0, "a full-scale difference is 0 dB");
    expect(extreme_result.right_db == vorik::PSNR_IDENTICAL, "no difference is PSNR_IDENTICAL");
}

// vorik-check's parts: the chunk walk of the same header, and channels
// compared in exact sums worked out by hand.
void check_channels() {
    const std::vector<unsigned char> bytes = stereo_header(8);
    std::FILE* file = std::tmpfile();
    expect(file != nullptr, "a temporary file opens");
    if (file == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    vorik::WaveFormat format{};
    expect(vorik::read_wave_format(file, format) == vorik::WaveFormatStatus::pcm_16,
           "the chunk walk takes it");
    expect(format.data_offset == vorik::WAVE_HEADER_BYTES && format.data_bytes == 8 &&
               format.channels == CHANNELS,
           "the chunk walk finds the data");
    std::fclose(file);

    // Frame 1 differs by 3 on channel 1; frame 2 by 1 on channel 2.
    const std::int16_t original[] = {0, 0, 3, 0, 0, 1};
    const std::int16_t copy[] = {0, 0, 0, 0, 0, 0};
    vorik::ChannelDifferences channels[CHANNELS] = {};
    vorik::add_channel_differences(channels, CHANNELS, original, copy, 3, 10);
    expect(channels[0].squares.low == 9 && channels[0].largest == 3 && channels[0].largest_at == 11,
           "channel 1: sum 9, largest 3 at frame 11");
    expect(channels[1].squares.low == 1 && channels[1].differing == 1 && channels[1].largest_at == 12,
           "channel 2: sum 1, one differing sample at frame 12");
    // 20 log10(65535 / sqrt(1/3)).
    expect(
        three_decimals(vorik::channel_psnr_db(channels[1].squares, 3)) == "101.101",
        "channel 2's PSNR is 101.101, got " + three_decimals(vorik::channel_psnr_db(channels[1].squares, 3)));
#ifdef VORIK_CONSUMER_ALIGNMENT
    const std::vector<std::int16_t> silence(CHANNELS * SAMPLE_RATE, 0);
    const vorik::DelayEstimate estimate = vorik::find_delay(silence.data(), SAMPLE_RATE, silence.data(),
                                                            SAMPLE_RATE, CHANNELS, SAMPLE_RATE, 100);
    expect(estimate.finding == vorik::DelayFinding::no_signal, "no delay is told in silence");
#endif
}

// The program's own WaveHeader and compute_psnr, used beside the library's.
void check_own_names() {
    const WaveHeader own{44100, 2};
    expect(own.sample_rate == 44100 && own.channels == 2, "the program's own WaveHeader");
    expect(three_decimals(compute_psnr(1.0, 65535.0)) == "96.329", "the program's own compute_psnr");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        std::FILE* original = std::fopen(argv[1], "rb");
        std::FILE* copy = std::fopen(argv[2], "rb");
        const bool opened = original != nullptr && copy != nullptr;
        if (opened) {
            print_psnr(original, copy);
        }
        for (std::FILE* file : {original, copy}) {
            if (file != nullptr) std::fclose(file);
        }
        return opened ? 0 : 1;
    }
    check_headers();
    check_meter();
    check_channels();
    check_own_names();
    std::printf("%d of %d checks passed\n", checks - failures, checks);
    return failures == 0 ? 0 : 1;
}
