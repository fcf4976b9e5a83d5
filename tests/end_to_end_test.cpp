// Runs the built tool on files written here and compares its stdout, stderr
// and exit status byte for byte. Expected progress lines come from the block
// model (block_model.h), and a few from values worked out by hand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>

#include "block_model.h"
#include "child_process.h"
#include "scratch_stream.h"
#include "text_encoding.h"
#include "wav_writer.h"

namespace vorik_test {
namespace {

constexpr char BANNER[] = "vorik version 0.10\n";
constexpr int FINISHED_STATUS = 0;
constexpr int FAILURE_STATUS = 1;
constexpr int USAGE_STATUS = 255;

constexpr char USAGE[] = "引数にwavファイルを2つ指定してください。\n";
constexpr char OPEN_FAILED[] = "ファイルと開けません\n";
constexpr char NOT_WAV[] = "wavファイルと認識できないため計算できません\n";
constexpr char RATES_DIFFER[] = "サンプリングレートが異なるため計算できません\n";
constexpr char WIDTHS_DIFFER[] = "量子化ビット数が異なるため計算できません\n";
constexpr char NOT_16_BITS[] = "量子化ビット数が16ビットではないため計算できません\n";
constexpr char CHANNELS_DIFFER[] = "チャンネル数が異なるため計算できません\n";
constexpr char EMPTY_BLOCK[] = "サンプリングレートまたはチャンネル数が正しくないため計算できません\n";
constexpr char SIZES_DIFFER[] = "\nファイルサイズが異なるため計算を中断します。\n";
constexpr char FINISHED[] = "\n計算終了。\n";

constexpr char UTF8_LOCALE[] = "C.UTF-8";
constexpr long RSS_LIMIT_KIB = 16 * 1024;
// Under the sanitizers the tool's resident size is mostly their own shadow
// memory and allocator, so the bound holds in the plain build only.
#ifdef VORIK_SANITIZED
constexpr bool RSS_LIMIT_APPLIES = false;
#else
constexpr bool RSS_LIMIT_APPLIES = true;
#endif

// Header fields at fixed offsets.
constexpr std::size_t RIFF_TAG = 0;
constexpr std::size_t WAVE_TAG = 8;
constexpr std::size_t FMT_TAG = 12;
constexpr std::size_t FMT_SIZE = 16;
constexpr std::size_t DATA_TAG = 36;
constexpr std::size_t TAG_LENGTH = 4;
constexpr std::size_t SHORTEST_HEADER = 40;
constexpr std::uint16_t SIXTEEN_BITS = 16;
constexpr std::uint16_t FORMAT_UNKNOWN = 0;
constexpr std::uint16_t FORMAT_ADPCM = 2;
constexpr std::uint16_t FORMAT_FLOAT = 3;
constexpr std::uint16_t FORMAT_EXTENSIBLE = 0xFFFE;
constexpr std::uint64_t EXTENDED_FMT_SIZE = 18;  // a fmt chunk with a cbSize field
constexpr std::size_t CB_SIZE_LENGTH = 2;

const std::string SILENT_LINE = "L 333.000dB | R 333.000dB | LR 333.000dB\r";
const std::string LEFT_OFF_BY_ONE_LINE = "L  96.329dB | R 333.000dB | LR 214.665dB\r";
const std::string RIGHT_OFF_BY_ONE_LINE = "L 333.000dB | R  96.329dB | LR 214.665dB\r";
const std::string LEFT_FULL_SCALE_LINE = "L   0.000dB | R 333.000dB | LR 166.500dB\r";
// Off by one in the first block only, exact in the second: mean square 1/2.
const std::string LEFT_HALVED_ERROR_LINE = "L  99.340dB | R 333.000dB | LR 216.170dB\r";

std::string piped_stderr(const char* message) { return as_written(BANNER + to_cp932(message)); }

std::string repeat(const std::string& line, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += line;
    return text;
}

std::size_t line_count(const std::string& out) {
    return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\r'));
}

// `original` with a small deterministic error added to every sample.
Samples degraded(const Samples& original, std::uint32_t seed) {
    constexpr unsigned SPREAD = 9;
    std::mt19937 generator(seed);
    Samples copy;
    for (const std::int16_t sample : original) {
        const int offset = static_cast<int>(generator() % SPREAD) - static_cast<int>(SPREAD / 2);
        copy.push_back(static_cast<std::int16_t>(std::clamp(sample + offset,
                                                            int{std::numeric_limits<std::int16_t>::min()},
                                                            int{std::numeric_limits<std::int16_t>::max()})));
    }
    return copy;
}

std::size_t samples_for(const WavFormat& format, double seconds) {
    return static_cast<std::size_t>(format.channels * format.sample_rate * seconds);
}

std::uint32_t block_of(const WavFormat& format) {
    return block_samples_of(format.channels, format.sample_rate);
}

bool utf8_locale_available() {
    locale_t locale = newlocale(LC_CTYPE_MASK, UTF8_LOCALE, nullptr);
    if (locale == nullptr) return false;
    const bool utf8 = std::string(nl_langinfo_l(CODESET, locale)) == "UTF-8";
    freelocale(locale);
    return utf8;
}

// Runs the tool over pipes and checks stdout, stderr and exit status; the
// run is returned for any further checks.
PipedRun expect_run(const std::string& label, const Args& args, const std::string& out, const char* message,
                    int status, const EnvAdditions& env = {}) {
    SCOPED_TRACE(label);
    PipedRun run = run_piped(args, env);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, piped_stderr(message));
    EXPECT_EQ(run.status, status);
    return run;
}

// The tool's memory must not follow what a header claims. Under an emulator
// the resident size is the emulator's, so there is nothing to check.
void expect_small_memory(const PipedRun& run, const std::string& label) {
    if (!tool_runs_directly()) return;
    EXPECT_GT(run.peak_rss_kib, 0) << label;
    if (RSS_LIMIT_APPLIES) {
        EXPECT_LT(run.peak_rss_kib, RSS_LIMIT_KIB) << label;
    }
}

// What a run is expected to leave: progress lines, closing message, status.
struct Outcome {
    std::string out;
    const char* message;
    int status;
};

Outcome refused(const char* message) { return {"", message, FAILURE_STATUS}; }

Outcome measured(const Samples& first, const Samples& second, std::uint32_t block) {
    const BlockRun expected = run_blocks(first, second, block);
    const bool finished = expected.ending == Ending::finished;
    return {progress_lines(expected), finished ? FINISHED : SIZES_DIFFER,
            finished ? FINISHED_STATUS : FAILURE_STATUS};
}

PipedRun expect_outcome(const std::string& label, const Args& args, const Outcome& expected) {
    return expect_run(label, args, expected.out, expected.message, expected.status);
}

// The bytes of `format` and `samples` as a big-endian RIFX file would hold them.
std::string rifx_bytes(const WavFormat& format, const Samples& samples) {
    constexpr std::size_t U16 = 2;
    constexpr std::size_t U32 = 4;
    constexpr std::uint64_t FMT_CHUNK_BYTES = 16;
    constexpr std::uint64_t TAG_AND_SIZE_BYTES = 8;  // counted in no chunk's size
    constexpr std::uint64_t BITS_PER_BYTE = 8;
    const auto big_endian = [](std::uint64_t value, std::size_t width) {
        std::string bytes = little_endian(value, width);
        std::reverse(bytes.begin(), bytes.end());
        return bytes;
    };
    const std::uint64_t data_size = samples.size() * U16;
    const std::uint64_t block_align = std::uint64_t{format.channels} * format.bits_per_sample / BITS_PER_BYTE;
    std::string bytes = "RIFX" + big_endian(WAV_HEADER_SIZE - TAG_AND_SIZE_BYTES + data_size, U32) +
                        "WAVEfmt " + big_endian(FMT_CHUNK_BYTES, U32) + big_endian(format.format_tag, U16) +
                        big_endian(format.channels, U16) + big_endian(format.sample_rate, U32) +
                        big_endian(block_align * format.sample_rate, U32) + big_endian(block_align, U16) +
                        big_endian(format.bits_per_sample, U16) + "data" + big_endian(data_size, U32);
    for (const std::int16_t sample : samples) bytes += big_endian(static_cast<std::uint16_t>(sample), U16);
    return bytes;
}

class EndToEnd : public testing::Test {
   protected:
    std::string file(const std::string& bytes) {
        return dir_.write(std::to_string(next_file_++) + ".wav", bytes);
    }
    std::string wav(const WavFormat& format, const Samples& samples) {
        return file(wav_bytes(format, samples));
    }

    // Runs the tool on the two files, checking the model against hand-counted
    // lines and ending first, then the tool against the model.
    void expect_measured(const std::string& label, const WavFormat& first_format, const Samples& first,
                         const WavFormat& second_format, const Samples& second, std::size_t lines,
                         Ending ending) {
        SCOPED_TRACE(label);
        const BlockRun expected = run_blocks(first, second, block_of(first_format));
        ASSERT_EQ(expected.after_block.size(), lines);
        ASSERT_EQ(expected.ending, ending);
        expect_outcome(label, {wav(first_format, first), wav(second_format, second)},
                       measured(first, second, block_of(first_format)));
    }
    void expect_measured(const std::string& label, const WavFormat& format, const Samples& first,
                         const Samples& second, std::size_t lines, Ending ending = Ending::finished) {
        expect_measured(label, format, first, format, second, lines, ending);
    }

    ScratchDir dir_;
    int next_file_ = 0;
    const WavFormat stereo_{};  // 2 channels at 8 Hz: blocks of 16 samples
};

TEST(ShiftJis, ConversionGivesKnownBytes) {
    EXPECT_EQ(to_cp932(FINISHED), std::string("\x0A\x8C\x76\x8E\x5A\x8F\x49\x97\xB9\x81\x42\x0A"));
}

TEST_F(EndToEnd, ArgumentCount) {
    const std::string a = wav(stereo_, noise(16, 1));
    expect_run("no arguments", {}, "", USAGE, USAGE_STATUS);
    expect_run("one argument", {a}, "", USAGE, USAGE_STATUS);
    expect_run("third argument ignored", {a, a, dir_.path() + "/missing.wav"}, SILENT_LINE, FINISHED,
               FINISHED_STATUS);
}

TEST_F(EndToEnd, PausesForInputBeforeExiting) {
    const std::string a = wav(stereo_, noise(16, 33));
    for (const Args& args : {Args{}, Args{a, a}, Args{a, dir_.path()}}) {
        const PipedRun run = run_piped(args, {}, "\n");
        EXPECT_GT(run.input_consumed, 0) << args.size() << " arguments, exit status " << run.status;
    }
}

TEST_F(EndToEnd, OpenFailures) {
    const Samples samples = noise(16, 1);
    const std::string good = wav(stereo_, samples);
    const std::string missing = dir_.path() + "/missing.wav";
    const std::string not_wav = file("plain text, not a wave file at all, longer than the header");
    expect_run("first missing", {missing, good}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("both missing", {missing, missing}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("second missing", {good, missing}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("first directory", {dir_.path(), good}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("second directory", {good, dir_.path()}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("empty path", {"", good}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("first missing, second not WAV", {missing, not_wav}, "", OPEN_FAILED, FAILURE_STATUS);
    expect_run("first not WAV, second missing", {not_wav, missing}, "", NOT_WAV, FAILURE_STATUS);

    // Paths that must open: the same file twice, and a name that no ANSI
    // code page of Windows spells.
    expect_outcome("same path twice", {good, good}, measured(samples, samples, block_of(stereo_)));
    const Samples other = degraded(samples, 41);
    const std::string beyond_code_pages = dir_.write("和音 ü€🎵.wav", wav_bytes(stereo_, samples));
    expect_outcome("name beyond any code page", {beyond_code_pages, wav(stereo_, other)},
                   measured(samples, other, block_of(stereo_)));
}

TEST_F(EndToEnd, UnrecognisedHeaders) {
    const Samples samples = noise(16, 2);
    const std::string good_bytes = wav_bytes(stereo_, samples);
    const std::string good = file(good_bytes);
    std::vector<std::pair<std::string, std::string>> variants;  // label and path
    // Each tag wrong, and wrong in case only.
    const std::pair<std::size_t, std::string> wrong_tags[] = {
        {RIFF_TAG, "RIFX"}, {RIFF_TAG, "Riff"}, {RIFF_TAG, "riff"}, {WAVE_TAG, "AVI "}, {WAVE_TAG, "wave"},
        {FMT_TAG, "fmt\t"}, {FMT_TAG, "FMT "},  {DATA_TAG, "fact"}, {DATA_TAG, "Data"}, {DATA_TAG, "DATA"}};
    for (const auto& [offset, tag] : wrong_tags) {
        variants.emplace_back("tag " + tag, file(std::string(good_bytes).replace(offset, TAG_LENGTH, tag)));
    }
    std::string long_fmt =
        std::string(good_bytes).replace(FMT_SIZE, TAG_LENGTH, little_endian(EXTENDED_FMT_SIZE, TAG_LENGTH));
    long_fmt.insert(DATA_TAG, little_endian(0, CB_SIZE_LENGTH));
    variants.emplace_back("18-byte fmt chunk", file(long_fmt));
    variants.emplace_back(
        "LIST chunk before data",
        file(std::string(good_bytes)
                 .insert(DATA_TAG, "LIST" + little_endian(TAG_LENGTH, TAG_LENGTH) + "INFO")));
    variants.emplace_back("big-endian RIFX file", file(rifx_bytes(stereo_, samples)));
    variants.emplace_back("/dev/null", "/dev/null");
    // Every length too short to hold the four tags, the empty file first.
    for (std::size_t size = 0; size < SHORTEST_HEADER; ++size) {
        variants.emplace_back("cut to " + std::to_string(size) + " bytes", file(good_bytes.substr(0, size)));
    }
    for (const auto& [label, bad] : variants) {
        expect_run(label + " twice", {bad, bad}, "", NOT_WAV, FAILURE_STATUS);
        expect_run(label + " first", {bad, good}, "", NOT_WAV, FAILURE_STATUS);
        expect_run(label + " second", {good, bad}, "", NOT_WAV, FAILURE_STATUS);
    }
}

TEST_F(EndToEnd, ShortRecognisedFilesHaveNoSamples) {
    const std::string full = wav_bytes(stereo_, noise(16, 3));
    const std::string with_samples = file(full);
    // The four tags and more of the header, up to a whole header and a lone
    // byte, which is no sample.
    for (std::size_t size = SHORTEST_HEADER; size <= WAV_HEADER_SIZE + 1; ++size) {
        const std::string header_only = file(full.substr(0, size));
        const std::string label = std::to_string(size) + " bytes";
        expect_run(label, {header_only, header_only}, "", FINISHED, FINISHED_STATUS);
        expect_run(label + " first", {header_only, with_samples}, "", FINISHED, FINISHED_STATUS);
        expect_run(label + " second", {with_samples, header_only}, "", FINISHED, FINISHED_STATUS);
    }
}

TEST_F(EndToEnd, FormatChecks) {
    WavFormat other_rate = stereo_;
    other_rate.sample_rate = 16;
    other_rate.bits_per_sample = 8;
    WavFormat other_width = stereo_;
    other_width.bits_per_sample = 24;
    const std::string a = wav(stereo_, noise(32, 4));
    expect_run("rates and widths differ", {a, wav(other_rate, noise(32, 4))}, "", RATES_DIFFER,
               FAILURE_STATUS);
    expect_run("widths differ", {a, wav(other_width, noise(32, 4))}, "", WIDTHS_DIFFER, FAILURE_STATUS);

    // Only 16-bit samples in the same layout are measured: bytes of other
    // widths paired as 16-bit samples, or samples of other channels and
    // instants paired up, would give figures that measure nothing.
    for (const std::uint16_t bits : std::initializer_list<std::uint16_t>{8, 24, 32}) {
        WavFormat width = stereo_;
        width.bits_per_sample = bits;
        WavFormat mono_width = width;
        mono_width.channels = 1;
        const std::string label = std::to_string(bits) + " bits in both";
        expect_run(label, {wav(width, noise(32, 4)), wav(width, noise(32, 5))}, "", NOT_16_BITS,
                   FAILURE_STATUS);
        expect_run(label + ", channels differ", {wav(width, noise(32, 4)), wav(mono_width, noise(32, 5))}, "",
                   NOT_16_BITS, FAILURE_STATUS);
    }
    WavFormat mono = stereo_;
    mono.channels = 1;
    WavFormat no_channels = stereo_;
    no_channels.channels = 0;
    const std::vector<std::pair<std::string, std::pair<WavFormat, WavFormat>>> layouts = {
        {"mono then stereo", {mono, stereo_}},
        {"stereo then mono", {stereo_, mono}},
        {"second without channels", {stereo_, no_channels}},
        {"first without channels", {no_channels, stereo_}}};
    for (const auto& [label, formats] : layouts) {
        expect_run(label, {wav(formats.first, noise(32, 6)), wav(formats.second, noise(32, 6))}, "",
                   CHANNELS_DIFFER, FAILURE_STATUS);
    }

    // Format tags other than PCM are read as 16-bit samples all the same.
    const Samples first = noise(40, 5);
    const Samples second = degraded(first, 6);
    for (const std::uint16_t tag : {FORMAT_UNKNOWN, FORMAT_ADPCM, FORMAT_FLOAT, FORMAT_EXTENSIBLE}) {
        WavFormat tagged = stereo_;
        tagged.format_tag = tag;
        expect_measured("format tag " + std::to_string(tag), tagged, first, second, 3);
    }
}

// Channel counts and sample rates, each product of which is a block size,
// 2 x 2^31 one that wraps to 0: the blocks up to HUGE_BLOCK are measured in
// BlockSizeFromChannelsTimesRate, the larger ones, with files large enough
// to show a block held whole, in HugeClaimedBlockKeepsMemorySmall.
constexpr std::uint16_t CHANNEL_COUNTS[] = {0, 1, 2, 65535};
constexpr std::uint32_t SAMPLE_RATES[] = {0,     1,        7,
                                          44101, 1u << 31, std::numeric_limits<std::uint32_t>::max()};
constexpr std::uint32_t HUGE_BLOCK = 1u << 20;

std::string layout_label(const WavFormat& format) {
    return std::to_string(format.channels) + " channels at " + std::to_string(format.sample_rate) + " Hz";
}

TEST_F(EndToEnd, BlockSizeFromChannelsTimesRate) {
    const Samples samples = noise(40, 7);
    const Samples other = degraded(samples, 8);
    for (const std::uint16_t channels : CHANNEL_COUNTS) {
        for (const std::uint32_t rate : SAMPLE_RATES) {
            const WavFormat format{channels, rate, SIXTEEN_BITS, FORMAT_PCM};
            const std::uint32_t block = block_of(format);
            if (block >= HUGE_BLOCK) continue;
            expect_outcome(layout_label(format), {wav(format, samples), wav(format, other)},
                           block == 0 ? refused(EMPTY_BLOCK) : measured(samples, other, block));
        }
    }
    const std::string no_channels = wav({0, 8, SIXTEEN_BITS, FORMAT_PCM}, samples);
    expect_run("no channels, the same file twice", {no_channels, no_channels}, "", EMPTY_BLOCK,
               FAILURE_STATUS);
    // 2 x (2^31 + 4) wraps to a block of 8 samples.
    const WavFormat wrapped{2, (1u << 31) + 4, SIXTEEN_BITS, FORMAT_PCM};
    expect_measured("product wraps to 8", wrapped, samples, degraded(samples, 8), 5);
}

TEST_F(EndToEnd, HandWorkedValues) {
    const Samples original = noise(48, 9);
    Samples left_off = original;
    Samples right_off = original;
    Samples left_full_scale = original;
    Samples left_negated_scale = original;
    Samples first_block_off = original;
    const auto nudge = [](std::int16_t v) { return static_cast<std::int16_t>(v < 0 ? v + 1 : v - 1); };
    for (std::size_t k = 0; k < original.size(); k += 2) {
        left_off[k] = nudge(original[k]);
        right_off[k + 1] = nudge(original[k + 1]);
        left_full_scale[k] = std::numeric_limits<std::int16_t>::min();
        left_negated_scale[k] = std::numeric_limits<std::int16_t>::max();
        if (k < block_of(stereo_)) first_block_off[k] = left_off[k];
    }
    const std::size_t blocks = 3;
    const auto expect_lines = [&](const std::string& label, const Samples& a, const Samples& b,
                                  const std::string& out) {
        ASSERT_EQ(progress_lines(run_blocks(a, b, block_of(stereo_))), out) << label;
        expect_run(label, {wav(stereo_, a), wav(stereo_, b)}, out, FINISHED, FINISHED_STATUS);
    };
    expect_lines("identical", original, original, repeat(SILENT_LINE, blocks));
    expect_lines("left off by one", original, left_off, repeat(LEFT_OFF_BY_ONE_LINE, blocks));
    expect_lines("right off by one", right_off, original, repeat(RIGHT_OFF_BY_ONE_LINE, blocks));
    expect_lines("left full scale", left_full_scale, left_negated_scale,
                 repeat(LEFT_FULL_SCALE_LINE, blocks));
    expect_lines("left full scale, swapped", left_negated_scale, left_full_scale,
                 repeat(LEFT_FULL_SCALE_LINE, blocks));
    const auto two_blocks = [this](const Samples& s) {
        return Samples(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(2 * block_of(stereo_)));
    };
    expect_lines("cumulative", two_blocks(first_block_off), two_blocks(original),
                 LEFT_OFF_BY_ONE_LINE + LEFT_HALVED_ERROR_LINE);
}

TEST_F(EndToEnd, TotalPastTwoToThe53RoundsAfterEveryAddition) {
    // The left squares of the first block make exactly 2^53; four million
    // differences of 1 follow in the next two blocks. From 2^53 on doubles lie
    // two apart and 2^53 + 1 is a tie that rounds to the even 2^53, so each
    // later square leaves the total at 2^53. The pair count puts the last L
    // just above 4.8675: a total that kept the ones would print 4.867.
    constexpr std::uint64_t FULL_SPAN = 65535;
    constexpr std::size_t FULL_SPAN_PAIRS = 2097215;
    constexpr std::uint64_t LAST_DIFFERENCES[] = {54944, 35809};
    constexpr std::uint64_t TWO_TO_THE_53 = std::uint64_t{1} << 53;
    static_assert(FULL_SPAN_PAIRS * FULL_SPAN * FULL_SPAN + LAST_DIFFERENCES[0] * LAST_DIFFERENCES[0] +
                      LAST_DIFFERENCES[1] * LAST_DIFFERENCES[1] ==
                  TWO_TO_THE_53);
    constexpr std::size_t ONES = 4'000'000;
    constexpr std::uint32_t PAIRS_PER_BLOCK = 2432698;
    const WavFormat stereo{2, PAIRS_PER_BLOCK, SIXTEEN_BITS, FORMAT_PCM};
    constexpr std::size_t PAIRS = PAIRS_PER_BLOCK + ONES;

    // Where the left samples differ, the second file is at the lowest level
    // and the first the difference above it; all else is silence.
    constexpr std::int16_t LOWEST = std::numeric_limits<std::int16_t>::min();
    std::string first_path;
    std::string second_path;
    {
        Samples first(2 * PAIRS, 0);
        Samples second(2 * PAIRS, 0);
        const auto set_left = [&](std::size_t pair, std::uint64_t difference) {
            first[2 * pair] = static_cast<std::int16_t>(LOWEST + static_cast<int>(difference));
            second[2 * pair] = LOWEST;
        };
        for (std::size_t pair = 0; pair < FULL_SPAN_PAIRS; ++pair) set_left(pair, FULL_SPAN);
        set_left(FULL_SPAN_PAIRS, LAST_DIFFERENCES[0]);
        set_left(FULL_SPAN_PAIRS + 1, LAST_DIFFERENCES[1]);
        for (std::size_t pair = PAIRS_PER_BLOCK; pair < PAIRS; ++pair) set_left(pair, 1);
        first_path = wav(stereo, first);
        second_path = wav(stereo, second);
    }

    constexpr auto TOTAL = static_cast<double>(TWO_TO_THE_53);
    const std::string last_line = progress_line({TOTAL, 0.0, PAIRS});
    ASSERT_EQ(last_line, "L   4.868dB | R 333.000dB | LR 168.934dB\r");
    ASSERT_NE(last_line, progress_line({TOTAL + ONES, 0.0, PAIRS}));
    expect_run("2^53, then ones", {first_path, second_path},
               progress_line({TOTAL, 0.0, PAIRS_PER_BLOCK}) +
                   progress_line({TOTAL, 0.0, 2 * PAIRS_PER_BLOCK}) + last_line,
               FINISHED, FINISHED_STATUS);
}

TEST_F(EndToEnd, DecibelsOnARoundingBoundaryPrintAlikeEverywhere) {
    // A left total of 108,464,501,781 over 47,851 pairs: 20 log10(65535 /
    // sqrt(M)) lies within an ulp of 32.7755. With log10 rounded to nearest
    // (worked out with mpmath) L is the double nearest 32.7755, a little
    // above it, printed 32.776; a log10 one ulp low, as x86-64 glibc's is
    // here, gives the double below, printed 32.775. So the line is written
    // out rather than taken from the model.
    constexpr std::uint32_t PAIRS = 47851;
    constexpr std::size_t SMALLER_PAIRS = 23923;
    constexpr std::size_t LARGER_PAIRS = 23926;
    constexpr std::uint64_t SMALLER = 1505;
    constexpr std::uint64_t LARGER = 1506;
    constexpr std::uint64_t LAST_DIFFERENCES[] = {2861, 2257};
    static_assert(SMALLER_PAIRS + LARGER_PAIRS + 2 == PAIRS);
    static_assert(SMALLER_PAIRS * SMALLER * SMALLER + LARGER_PAIRS * LARGER * LARGER +
                      LAST_DIFFERENCES[0] * LAST_DIFFERENCES[0] + LAST_DIFFERENCES[1] * LAST_DIFFERENCES[1] ==
                  108'464'501'781);
    const WavFormat stereo{2, PAIRS, SIXTEEN_BITS, FORMAT_PCM};
    Samples second = noise(2 * PAIRS, 21);
    constexpr int LOW_LEVEL = -1500;  // where the left samples of the second file lie
    std::vector<std::uint64_t> differences(SMALLER_PAIRS, SMALLER);
    differences.insert(differences.end(), LARGER_PAIRS, LARGER);
    differences.insert(differences.end(), std::begin(LAST_DIFFERENCES), std::end(LAST_DIFFERENCES));
    Samples first = second;
    for (std::size_t pair = 0; pair < PAIRS; ++pair) {
        second[2 * pair] = LOW_LEVEL;
        first[2 * pair] = static_cast<std::int16_t>(LOW_LEVEL + static_cast<int>(differences[pair]));
    }
    expect_run("left total 108464501781 over 47851 pairs", {wav(stereo, first), wav(stereo, second)},
               "L  32.776dB | R 333.000dB | LR 182.888dB\r", FINISHED, FINISHED_STATUS);
}

TEST_F(EndToEnd, BlockBoundaries) {
    const auto seconds = [this](double s, std::uint32_t seed) {
        return noise(samples_for(stereo_, s), seed);
    };
    const Samples two_and_a_half = seconds(2.5, 10);
    expect_measured("equal, partial last block", stereo_, two_and_a_half, degraded(two_and_a_half, 11), 3);
    const Samples three = seconds(3, 12);
    const Samples two(three.begin(), three.begin() + static_cast<std::ptrdiff_t>(samples_for(stereo_, 2)));
    expect_measured("first 2 s, second 3 s", stereo_, two, degraded(three, 13), 2);
    expect_measured("first 3 s, second 2 s", stereo_, three, degraded(two, 14), 2);
    const Samples two_and_a_quarter = seconds(2.25, 15);
    expect_measured("first 2.5 s, second 2.25 s", stereo_, two_and_a_half, two_and_a_quarter, 2,
                    Ending::sizes_differ);
    expect_measured("differ in the first block", stereo_, seconds(0.5, 16), seconds(1, 17), 0,
                    Ending::sizes_differ);
    // The shorter file first, and an odd byte after the longer one.
    const Samples two_and_an_eighth = seconds(2.125, 34);
    const Outcome first_shorter = measured(two_and_an_eighth, two_and_a_half, block_of(stereo_));
    ASSERT_EQ(line_count(first_shorter.out), 2u);
    ASSERT_EQ(first_shorter.message, SIZES_DIFFER);
    expect_outcome("first 2.125 s, second 2.5 s and an odd byte",
                   {wav(stereo_, two_and_an_eighth), file(wav_bytes(stereo_, two_and_a_half) + '\x7F')},
                   first_shorter);

    // Files cut within their first pair of samples, against themselves and
    // against a whole file: the lone sample is in no pair.
    const std::string whole_bytes = wav_bytes(stereo_, two_and_a_half);
    const std::string whole = file(whole_bytes);
    for (std::size_t size = WAV_HEADER_SIZE + 2; size <= WAV_HEADER_SIZE + 4; ++size) {
        const std::string cut = file(whole_bytes.substr(0, size));
        const std::string label = "cut to " + std::to_string(size) + " bytes";
        expect_run(label + ", twice", {cut, cut}, SILENT_LINE, FINISHED, FINISHED_STATUS);
        expect_run(label + ", first", {cut, whole}, "", SIZES_DIFFER, FAILURE_STATUS);
        expect_run(label + ", second", {whole, cut}, "", SIZES_DIFFER, FAILURE_STATUS);
    }
}

TEST_F(EndToEnd, OddCounts) {
    // Mono 7 Hz: in each block of 7, samples 0-5 are paired and 6 is left out.
    WavFormat mono_odd{1, 7, SIXTEEN_BITS, FORMAT_PCM};
    const Samples silence(14, 0);
    Samples off{1, 0, 1, 0, 1, 0, 1000, 1, 0, 1, 0, 1, 0, 1000};
    const std::string hand_worked = repeat(LEFT_OFF_BY_ONE_LINE, 2);
    ASSERT_EQ(progress_lines(run_blocks(silence, off, block_of(mono_odd))), hand_worked);
    expect_run("lone samples ignored", {wav(mono_odd, silence), wav(mono_odd, off)}, hand_worked, FINISHED,
               FINISHED_STATUS);
    mono_odd.sample_rate = 11;
    const Samples first = noise(samples_for(mono_odd, 5.5), 18);
    expect_measured("mono 11 Hz noise", mono_odd, first, degraded(first, 19), 6);

    const Samples forty = noise(40, 20);
    Samples forty_one = degraded(forty, 21);
    const std::string odd_tail = wav_bytes(stereo_, forty) + '\x7F';
    const std::string three_lines = progress_lines(run_blocks(forty, forty_one, block_of(stereo_)));
    expect_run("trailing odd byte", {file(odd_tail), wav(stereo_, forty_one)}, three_lines, FINISHED,
               FINISHED_STATUS);
    expect_run("trailing odd bytes in both", {file(odd_tail), file(wav_bytes(stereo_, forty_one) + '\x01')},
               three_lines, FINISHED, FINISHED_STATUS);
    forty_one.push_back(0);
    const std::string two_lines = progress_lines(run_blocks(forty, forty_one, block_of(stereo_)));
    ASSERT_EQ(line_count(two_lines), 2u);
    expect_run("odd byte is not a sample", {file(odd_tail), wav(stereo_, forty_one)}, two_lines, SIZES_DIFFER,
               FAILURE_STATUS);
}

TEST_F(EndToEnd, BlocksLargerThanOneReadChunk) {
    const WavFormat high_rate{2, 96000, SIXTEEN_BITS, FORMAT_PCM};  // 192000 samples a block, over 128 Ki
    const Samples first = noise(samples_for(high_rate, 3.5), 22);
    const Samples second = degraded(first, 23);
    expect_measured("3.5 s of noise", high_rate, first, second, 4);
    const Samples shorter(first.begin(),
                          first.begin() + static_cast<std::ptrdiff_t>(samples_for(high_rate, 2.5)));
    const Samples longer(second.begin(),
                         second.begin() + static_cast<std::ptrdiff_t>(samples_for(high_rate, 2.75)));
    expect_measured("differ within third block", high_rate, shorter, high_rate, longer, 2,
                    Ending::sizes_differ);
    const Samples half(first.begin(),
                       first.begin() + static_cast<std::ptrdiff_t>(samples_for(high_rate, 0.5)));
    expect_measured("differ within first block", high_rate, half, high_rate, longer, 0, Ending::sizes_differ);
    const WavFormat odd_mono{1, 300001, SIXTEEN_BITS, FORMAT_PCM};  // last sample of each block left out
    const Samples mono = noise(samples_for(odd_mono, 2.5), 31);
    expect_measured("odd block over several chunks", odd_mono, mono, degraded(mono, 32), 3);
}

TEST_F(EndToEnd, HugeClaimedBlockKeepsMemorySmall) {
    // 65535 x 65537 = 2^32 - 1 samples a block: the whole file is one block.
    const WavFormat huge{65535, 65537, SIXTEEN_BITS, FORMAT_PCM};
    // 9 MB a file: together more than the limit, so holding a block whole would show.
    constexpr std::size_t SAMPLES = 4'500'000;
    struct Case {
        std::string label;
        Args args;
        Outcome expected;
    };
    std::vector<Case> cases;
    {  // Samples are released before the tool runs, so they do not count in its RSS.
        const Samples first = noise(SAMPLES, 24);
        Samples second = degraded(first, 25);
        const Outcome one_block = measured(first, second, block_of(huge));
        ASSERT_EQ(line_count(one_block.out), 1u);
        const std::string first_path = wav(huge, first);
        cases.push_back({"equal sizes", {first_path, wav(huge, second)}, one_block});
        second.push_back(0);
        second.push_back(0);
        cases.push_back(
            {"sizes differ", {first_path, wav(huge, second)}, {"", SIZES_DIFFER, FAILURE_STATUS}});
        second.resize(first.size());
        for (const std::uint16_t channels : CHANNEL_COUNTS) {
            for (const std::uint32_t rate : SAMPLE_RATES) {
                const WavFormat format{channels, rate, SIXTEEN_BITS, FORMAT_PCM};
                if (block_of(format) < HUGE_BLOCK) continue;
                cases.push_back({layout_label(format),
                                 {wav(format, first), wav(format, second)},
                                 measured(first, second, block_of(format))});
            }
        }
    }
    for (const Case& c : cases) {
        const PipedRun run = expect_outcome(c.label, c.args, c.expected);
        expect_small_memory(run, c.label);
    }
}

// Where two long outputs first differ, rather than both in full.
std::string first_difference(const std::string& expected, const std::string& actual) {
    const auto differ = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    const auto at = static_cast<std::size_t>(differ.first - expected.begin());
    constexpr std::size_t SHOWN = 120;
    return "lengths " + std::to_string(expected.size()) + " and " + std::to_string(actual.size()) +
           ", first difference at byte " + std::to_string(at) + ":\n  " + expected.substr(at, SHOWN) +
           "\n  " + actual.substr(at, SHOWN);
}

// An input of a run: its bytes, in a file or through a named pipe.
struct Input {
    std::string bytes;
    bool through_pipe;
};

// Runs the tool on two inputs, each pipe fed by a writer of its own, which
// gives up where the tool stops reading.
PipedRun run_on_inputs(const ScratchDir& dir, const Input& first, const Input& second,
                       const ChildSetup& setup = {}) {
    std::vector<std::string> paths;
    std::vector<std::thread> writers;
    for (const Input* input : {&first, &second}) {
        const std::string path = dir.path() + "/input" + std::to_string(paths.size()) + ".wav";
        paths.push_back(path);
        if (!input->through_pipe) {
            dir.write(path.substr(dir.path().size() + 1), input->bytes);
            continue;
        }
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        writers.emplace_back([path, input] {
            // A reader that stops early fails the write rather than end the tests.
            sigset_t broken_pipe;
            sigemptyset(&broken_pipe);
            sigaddset(&broken_pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
            const int fd = open(path.c_str(), O_WRONLY);  // waits for a reader
            for (std::size_t done = 0; fd >= 0 && done < input->bytes.size();) {
                const ssize_t written = write(fd, input->bytes.data() + done, input->bytes.size() - done);
                if (written <= 0) break;
                done += static_cast<std::size_t>(written);
            }
            if (fd >= 0) close(fd);
        });
    }
    const PipedRun run = run_piped({paths[0], paths[1]}, {}, nullptr, setup);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        // A reader of our own, should the tool not have opened the pipe.
        const int release_writer = open(paths[i].c_str(), O_RDONLY | O_NONBLOCK);
        if (release_writer >= 0) close(release_writer);
    }
    for (std::thread& writer : writers) writer.join();
    for (const std::string& path : paths) unlink(path.c_str());
    return run;
}

TEST_F(EndToEnd, FifoIsReadLikeAFile) {
    // A careful user can feed the tool through a named pipe: the header and
    // the samples arrive as from a file, and the run ends at the writer's end.
    const Samples samples = noise(40, 44);
    const std::string bytes = wav_bytes(stereo_, samples);
    for (const bool fifo_first : {true, false}) {
        const PipedRun run = run_on_inputs(dir_, {bytes, fifo_first}, {bytes, !fifo_first});
        SCOPED_TRACE(fifo_first ? "fifo first" : "fifo second");
        EXPECT_EQ(run.out, progress_lines(run_blocks(samples, samples, block_of(stereo_))));
        EXPECT_EQ(run.err, piped_stderr(FINISHED));
        EXPECT_EQ(run.status, FINISHED_STATUS);
    }
}

// A first file caught with its header cut short, that grows to a whole
// file before the second input opens (a named pipe holds the open back):
// its samples start where the header ends, at byte 44, whatever the header's
// read left.
TEST_F(EndToEnd, FirstFileCaughtInItsHeaderIsReadFromItsSamples) {
    if (!tool_runs_directly()) GTEST_SKIP() << "the pipe's open would be the emulator's";
    const WavFormat format{2, 2048};
    const Samples first = noise(static_cast<std::size_t>(3 * block_of(format)), 61);
    const Samples second = degraded(first, 62);
    const std::string first_bytes = wav_bytes(format, first);
    const std::string second_bytes = wav_bytes(format, second);
    for (const std::size_t caught : {SHORTEST_HEADER, WAV_HEADER_SIZE - 1}) {
        SCOPED_TRACE(testing::Message() << caught << " bytes of the first header");
        const std::string first_path = file(first_bytes.substr(0, caught));
        const std::string fifo = dir_.path() + "/second" + std::to_string(caught) + ".wav";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::thread writer([&] {
            // The open waits for the tool, which opens the second input only
            // once it has read the first header.
            const int fd = open(fifo.c_str(), O_WRONLY);
            std::FILE* grown = std::fopen(first_path.c_str(), "ab");
            std::fwrite(first_bytes.data() + caught, 1, first_bytes.size() - caught, grown);
            std::fclose(grown);
            for (std::size_t done = 0; fd >= 0 && done < second_bytes.size();) {
                const ssize_t written = write(fd, second_bytes.data() + done, second_bytes.size() - done);
                if (written <= 0) break;
                done += static_cast<std::size_t>(written);
            }
            if (fd >= 0) close(fd);
        });
        const PipedRun run = run_piped({first_path, fifo});
        writer.join();
        EXPECT_EQ(run.out, progress_lines(run_blocks(first, second, block_of(format))));
        EXPECT_EQ(run.status, FINISHED_STATUS);
    }
}

// A process whose /proc/PID/cmdline holds `bytes`, a file that a read gives
// in full though its size reads 0: the tool itself, given the bytes cut at
// their NULs for its arguments, held in its closing pause until destroyed.
class CommandLineFile {
   public:
    explicit CommandLineFile(const std::string& bytes) {
        int input[2];
        if (bytes.empty() || bytes.back() != '\0' || pipe(input) != 0) return;
        std::vector<std::string> arguments(1);
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
            if (bytes[i] == '\0') {
                arguments.emplace_back();
            } else {
                arguments.back() += bytes[i];
            }
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY);
            if (dup2(input[0], STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 ||
                dup2(null, STDERR_FILENO) < 0) {
                _exit(1);
            }
            close(input[1]);
            execv(tool_under_test().path.c_str(), argv.data());
            _exit(1);
        }
        close(input[0]);
        pause_input_ = input[1];
        // Until exec has put the arguments in place.
        for (int tries = 0; tries < 1000 && contents() != bytes; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~CommandLineFile() {
        if (pause_input_ >= 0) close(pause_input_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    CommandLineFile(const CommandLineFile&) = delete;
    CommandLineFile& operator=(const CommandLineFile&) = delete;

    std::string path() const { return "/proc/" + std::to_string(pid_) + "/cmdline"; }
    std::string contents() const {
        std::FILE* file = std::fopen(path().c_str(), "rb");
        if (file == nullptr) return "";
        const std::string text = vorik_test::contents(file);
        std::fclose(file);
        return text;
    }

   private:
    pid_t pid_ = -1;
    int pause_input_ = -1;
};

// Regular files are summed by threads, pipes read one block at a time: the
// same pairs must give the same bytes and status either way, whatever the
// files do: files that grow from an odd count of samples while measured
// (the threads had summed to the old end), a total past 2^53, a file whose
// size reads 0.
TEST_F(EndToEnd, RegularFilesAndPipesGiveTheSameBytes) {
    enum class Regular { plain, grown_while_held, first_size_reads_0 };
    const WavFormat threads_format{2, 2048};  // blocks of 4096 samples, the smallest summed by threads
    const auto block = static_cast<std::size_t>(block_of(threads_format));
    const Samples close_first = noise(600 * block + 1234, 50);
    const Samples close_second = degraded(close_first, 51);
    const Samples shorter(close_second.begin(), close_second.end() - static_cast<std::ptrdiff_t>(block / 3));
    // Differences of the full span on the left make 2^53 within the fifth
    // block of 2^20 samples; unrelated noise follows.
    const WavFormat large_block{2, 1U << 19};
    constexpr std::size_t PAIRS_TO_2_53 = 2097216;
    Samples lowest = noise(2 * PAIRS_TO_2_53 + 3 * (std::size_t{1} << 20), 52);
    Samples highest = noise(lowest.size(), 53);
    for (std::size_t pair = 0; pair < PAIRS_TO_2_53; ++pair) {
        lowest[2 * pair] = std::numeric_limits<std::int16_t>::min();
        highest[2 * pair] = std::numeric_limits<std::int16_t>::max();
    }
    // Two recordings of the same odd count of samples when the run starts,
    // alike but in their left samples; then both grow.
    const Samples grown_first = noise(450 * block + 2000, 54);
    Samples grown_second = grown_first;
    for (std::size_t i = 0; i < grown_second.size(); i += 2)
        grown_second[i] = static_cast<std::int16_t>(grown_second[i] / 3);
    const std::size_t at_start = 300 * block + 1001;
    // Small enough for the arguments of a process; its last byte a NUL.
    Samples small_first = noise(5 * block + 100, 55);
    small_first.back() = 1;
    const Samples small_second = degraded(small_first, 56);

    struct Case {
        std::string label;
        WavFormat format;
        const Samples* first;
        const Samples* second;
        Regular regular;
    };
    const Case cases[] = {
        {"close copies", threads_format, &close_first, &close_second, Regular::plain},
        {"the copy ends within a block", threads_format, &close_first, &shorter, Regular::plain},
        {"a total past 2^53", large_block, &lowest, &highest, Regular::plain},
        {"files that grow from an odd count", threads_format, &grown_first, &grown_second,
         Regular::grown_while_held},
        {"a first file whose size reads 0", threads_format, &small_first, &small_second,
         Regular::first_size_reads_0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.regular == Regular::first_size_reads_0 && !tool_runs_directly()) continue;
        const std::string first_bytes = wav_bytes(c.format, *c.first);
        const std::string second_bytes = wav_bytes(c.format, *c.second);
        const PipedRun piped = run_on_inputs(dir_, {first_bytes, true}, {second_bytes, true});
        const std::string expected = progress_lines(run_blocks(*c.first, *c.second, block_of(c.format)));
        ASSERT_TRUE(piped.out == expected) << first_difference(expected, piped.out);
        PipedRun regular;
        if (c.regular == Regular::plain) {
            regular = run_on_inputs(dir_, {first_bytes, false}, {second_bytes, false});
        } else if (c.regular == Regular::first_size_reads_0) {
            const CommandLineFile command_line(first_bytes);
            ASSERT_EQ(command_line.contents(), first_bytes);
            regular = run_piped({command_line.path(), file(second_bytes)});
        } else {
            const std::size_t bytes_at_start = WAV_HEADER_SIZE + 2 * at_start;
            const std::string first_path = file(first_bytes.substr(0, bytes_at_start));
            const std::string second_path = file(second_bytes.substr(0, bytes_at_start));
            regular = run_held_up({first_path, second_path}, [&](pid_t) {
                for (const auto& [path, bytes] :
                     {std::pair{first_path, &first_bytes}, {second_path, &second_bytes}}) {
                    std::FILE* grown = std::fopen(path.c_str(), "ab");
                    ASSERT_NE(grown, nullptr);
                    std::fwrite(bytes->data() + bytes_at_start, 1, bytes->size() - bytes_at_start, grown);
                    std::fclose(grown);
                }
            });
        }
        EXPECT_TRUE(regular.out == piped.out) << first_difference(piped.out, regular.out);
        EXPECT_EQ(regular.err, piped.err);
        EXPECT_EQ(regular.status, piped.status);
    }
}

// Threads of the tool are not woken while its output is held up, as by a
// paused terminal or a pager left open: none of them runs meanwhile.
TEST_F(EndToEnd, IdleWhileOutputIsHeldUp) {
    if (!tool_runs_directly()) GTEST_SKIP() << "the threads would be the emulator's";
    const WavFormat format{2, 2048};
    const Samples first = noise(static_cast<std::size_t>(1200 * block_of(format)), 57);
    const Samples second = degraded(first, 58);
    // Context switches of all the tool's threads so far.
    const auto switches = [](pid_t pid) {
        long total = 0;
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            std::FILE* status = std::fopen((task.path() / "status").c_str(), "r");
            char line[256];
            while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
                long count = 0;
                if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &count) == 1 ||
                    std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &count) == 1) {
                    total += count;
                }
            }
            if (status != nullptr) std::fclose(status);
        }
        return total;
    };
    constexpr auto HELD = std::chrono::milliseconds(500);
    // A thread that waits a little at a time would switch thousands of times.
    constexpr long MOST_SWITCHES = 20;
    long switched = -1;
    const PipedRun run = run_held_up({wav(format, first), wav(format, second)}, [&](pid_t pid) {
        const long before = switches(pid);
        std::this_thread::sleep_for(HELD);
        switched = switches(pid) - before;
    });
    EXPECT_GE(switched, 0);
    EXPECT_LE(switched, MOST_SWITCHES);
    const std::string expected = progress_lines(run_blocks(first, second, block_of(format)));
    EXPECT_TRUE(run.out == expected) << first_difference(expected, run.out);
    EXPECT_EQ(run.status, FINISHED_STATUS);
}

// Threads and all, the tool runs within a stack of 64 KiB and an address
// space of 256 MiB.
TEST_F(EndToEnd, RunsWithinASmallStackAndAddressSpace) {
    if (!tool_runs_directly()) GTEST_SKIP() << "the limits would be the emulator's";
    if (!RSS_LIMIT_APPLIES) GTEST_SKIP() << "the sanitizers' runtimes need more";
    constexpr unsigned long STACK_BYTES = 64 * 1024;
    constexpr unsigned long ADDRESS_SPACE_BYTES = 256 * 1024 * 1024;
    const WavFormat format{2, 44100};
    const Samples first = noise(samples_for(format, 40.5), 59);
    const Samples second = degraded(first, 60);
    const PipedRun run =
        run_piped({wav(format, first), wav(format, second)}, {}, nullptr, {STACK_BYTES, ADDRESS_SPACE_BYTES});
    const std::string expected = progress_lines(run_blocks(first, second, block_of(format)));
    EXPECT_TRUE(run.out == expected) << first_difference(expected, run.out);
    EXPECT_EQ(run.err, piped_stderr(FINISHED));
    EXPECT_EQ(run.status, FINISHED_STATUS);
}

TEST_F(EndToEnd, TerminalOutputUnderUtf8Locale) {
    if (!tool_runs_directly()) GTEST_SKIP() << "the terminal would be the emulator's";
    if (!utf8_locale_available()) GTEST_SKIP() << UTF8_LOCALE << " locale is not installed";
    const Samples first = noise(samples_for(stereo_, 2.5), 26);
    const Samples second = degraded(first, 27);
    const std::string lines = progress_lines(run_blocks(first, second, block_of(stereo_)));
    const std::string a = wav(stereo_, first);
    const std::string b = wav(stereo_, second);
    const Samples cut(second.begin(), second.end() - 2);
    const BlockRun cut_expected = run_blocks(first, cut, block_of(stereo_));
    ASSERT_EQ(cut_expected.ending, Ending::sizes_differ);

    TerminalRun run = run_on_terminal({a, b}, {{"LC_ALL", UTF8_LOCALE}});
    EXPECT_EQ(run.output, BANNER + lines + FINISHED);
    EXPECT_EQ(run.status, FINISHED_STATUS);
    run = run_on_terminal({a, wav(stereo_, cut)}, {{"LC_ALL", UTF8_LOCALE}});
    EXPECT_EQ(run.output, BANNER + progress_lines(cut_expected) + SIZES_DIFFER);
    EXPECT_EQ(run.status, FAILURE_STATUS);
    run = run_on_terminal({}, {{"LC_ALL", UTF8_LOCALE}});
    EXPECT_EQ(run.output, std::string(BANNER) + USAGE);
    EXPECT_EQ(run.status, USAGE_STATUS);
}

TEST_F(EndToEnd, TerminalOutputUnderCLocale) {
    if (!tool_runs_directly()) GTEST_SKIP() << "the terminal would be the emulator's";
    const Samples first = noise(samples_for(stereo_, 2), 28);
    const Samples second = degraded(first, 29);
    const std::string a = wav(stereo_, first);
    TerminalRun run = run_on_terminal({a, wav(stereo_, second)}, {{"LC_ALL", "C"}});
    EXPECT_EQ(run.output,
              BANNER + progress_lines(run_blocks(first, second, block_of(stereo_))) + to_cp932(FINISHED));
    EXPECT_EQ(run.status, FINISHED_STATUS);
    run = run_on_terminal({a, file("not a wave file, but long enough to hold a header")}, {{"LC_ALL", "C"}});
    EXPECT_EQ(run.output, BANNER + to_cp932(NOT_WAV));
    EXPECT_EQ(run.status, FAILURE_STATUS);
}

// A terminal's locale may be named without being installed, or by its
// codeset alone: the name still tells whether the terminal expects UTF-8.
TEST_F(EndToEnd, TerminalEncodingFollowsALocaleNamedButMissing) {
    if (!tool_runs_directly()) GTEST_SKIP() << "the terminal would be the emulator's";
    constexpr char MISSING_UTF8[] = "vorik_MISSING.UTF-8";
    locale_t missing = newlocale(LC_CTYPE_MASK, MISSING_UTF8, nullptr);
    ASSERT_EQ(missing, nullptr) << MISSING_UTF8 << " must not be installed";
    const std::string not_wav = file("not a wave file, but long enough to hold a header");
    struct Case {
        EnvAdditions env;
        bool utf8;
    };
    const Case cases[] = {{{{"LC_ALL", MISSING_UTF8}}, true},
                          {{{"LC_ALL", ""}, {"LC_CTYPE", "UTF-8"}, {"LANG", ""}}, true},
                          {{{"LC_ALL", ""}, {"LC_CTYPE", ""}, {"LANG", "vorik_MISSING.utf8@euro"}}, true},
                          // The first variable set wins, as in the C library.
                          {{{"LC_ALL", "C"}, {"LANG", MISSING_UTF8}}, false},
                          {{{"LC_ALL", "vorik_MISSING.ISO-8859-1"}, {"LANG", MISSING_UTF8}}, false},
                          {{{"LC_ALL", "vorik_MISSING.UTF-16"}}, false}};
    for (const Case& c : cases) {
        const TerminalRun run = run_on_terminal({not_wav, not_wav}, c.env);
        EXPECT_EQ(run.output, BANNER + (c.utf8 ? std::string(NOT_WAV) : to_cp932(NOT_WAV)))
            << c.env.front().first << "=" << c.env.front().second << ", " << c.env.back().first << "="
            << c.env.back().second;
        EXPECT_EQ(run.status, FAILURE_STATUS);
    }
}

TEST_F(EndToEnd, RedirectedStderrIsShiftJisUnderUtf8Locale) {
    if (!utf8_locale_available()) GTEST_SKIP() << UTF8_LOCALE << " locale is not installed";
    const Samples samples = noise(samples_for(stereo_, 1), 30);
    const std::string a = wav(stereo_, samples);
    const EnvAdditions utf8_locale = {{"LC_ALL", UTF8_LOCALE}};
    expect_run("finished", {a, a}, SILENT_LINE, FINISHED, FINISHED_STATUS, utf8_locale);
    expect_run("open failed", {a, dir_.path() + "/missing.wav"}, "", OPEN_FAILED, FAILURE_STATUS,
               utf8_locale);
}

}  // namespace
}  // namespace vorik_test
