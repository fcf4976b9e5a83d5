// libFuzzer target: the whole comparison, in process, on two inputs cut from
// one fuzz input.
//
// The first two bytes, little-endian, give the first input's length (modulo
// what is left plus one); the first input follows, and the rest is the
// second. Whatever the inputs, a run must end with exactly one closing
// message and the exit status that goes with it, and standard output must
// hold nothing but well-formed progress lines. Beyond that, the tests' block
// model (tests/block_model.h: the headers read at their fixed places, each
// block whole in memory, the in-order double loop), with the checks of the
// two headers before it, gives the closing message and every progress line,
// and the run must match it byte for byte. A violation aborts, which
// libFuzzer reports as a finding.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "block_model.h"
#include "comparison.h"
#include "messages.h"

namespace {

using namespace vorik;

constexpr std::size_t SPLIT_BYTES = 2;
constexpr unsigned BITS_PER_BYTE = 8;
// The three values of a progress line, read back.
constexpr char PROGRESS_LINE_SCAN[] = "L%lfdB | R%lfdB | LR%lfdB";
constexpr int PROGRESS_LINE_VALUES = 3;
// A PSNR lies between full-scale difference everywhere and no difference at all.
constexpr double LOWEST_DB = 0.0;
constexpr double HIGHEST_DB = 333.0;
// LR is printed from the unrounded mean of L and R, each printed to 0.001.
constexpr double MEAN_TOLERANCE_DB = 0.001;

[[noreturn]] void violated(const char* invariant, const std::string& detail) {
    std::fprintf(stderr, "invariant violated: %s\n%s\n", invariant, detail.c_str());
    std::abort();
}

// The text a stream collected, taken before the stream is closed.
struct CapturedStream {
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* stream = open_memstream(&text, &length);
};

const Message* closing_message(const std::string& err) {
    for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
        if (err == ALL_MESSAGES[i]->shift_jis) {
            return ALL_MESSAGES[i];
        }
    }
    return nullptr;
}

// Checks every progress line; returns how many there are.
std::size_t check_progress_lines(const std::string& out) {
    std::size_t lines = 0;
    for (std::size_t start = 0; start < out.size(); ++lines) {
        const std::size_t end = out.find('\r', start);
        if (end == std::string::npos) {
            violated("standard output ends in a complete progress line", out.substr(start));
        }
        const std::string line = out.substr(start, end + 1 - start);
        double left = 0.0;
        double right = 0.0;
        double mean = 0.0;
        char reprinted[vorik_test::PROGRESS_LINE_CAPACITY];
        if (std::sscanf(line.c_str(), PROGRESS_LINE_SCAN, &left, &right, &mean) != PROGRESS_LINE_VALUES ||
            std::snprintf(reprinted, sizeof reprinted, vorik_test::PROGRESS_LINE_FORMAT, left, right, mean) <
                0 ||
            line != reprinted) {
            violated("progress lines have the documented shape", line);
        }
        const auto in_range = [](double db) { return db >= LOWEST_DB && db <= HIGHEST_DB; };
        if (!in_range(left) || !in_range(right) || std::fabs(mean - (left + right) / 2) > MEAN_TOLERANCE_DB) {
            violated("progress values are PSNRs and LR is their mean", line);
        }
        start = end + 1;
    }
    return lines;
}

// --- The model -------------------------------------------------------------------

// What a run on two inputs must print.
struct ModelRun {
    const Message* closing;
    std::string out;
};

ModelRun model_run(const std::string& first, const std::string& second) {
    const vorik_test::HeaderFields first_header = vorik_test::header_fields(first);
    if (!first_header.recognised) {
        return {&MESSAGE_NOT_WAV, ""};
    }
    const vorik_test::HeaderFields second_header = vorik_test::header_fields(second);
    if (!second_header.recognised) {
        return {&MESSAGE_NOT_WAV, ""};
    }
    if (first_header.sample_rate != second_header.sample_rate) {
        return {&MESSAGE_SAMPLE_RATES_DIFFER, ""};
    }
    if (first_header.bits_per_sample != second_header.bits_per_sample) {
        return {&MESSAGE_SAMPLE_WIDTHS_DIFFER, ""};
    }
    constexpr std::uint16_t MEASURED_BITS = 16;
    if (first_header.bits_per_sample != MEASURED_BITS) {
        return {&MESSAGE_SAMPLE_WIDTH_NOT_16, ""};
    }
    if (first_header.channels != second_header.channels) {
        return {&MESSAGE_CHANNELS_DIFFER, ""};
    }
    const std::uint32_t block = vorik_test::block_samples_of(first_header.channels, first_header.sample_rate);
    if (block == 0) {
        return {&MESSAGE_EMPTY_BLOCK, ""};
    }
    const vorik_test::BlockRun run = vorik_test::run_blocks(vorik_test::samples_after_header(first),
                                                            vorik_test::samples_after_header(second), block);
    return {run.ending == vorik_test::Ending::finished ? &MESSAGE_FINISHED : &MESSAGE_SIZES_DIFFER,
            vorik_test::progress_lines(run)};
}

void check_run(const std::string& first, const std::string& second) {
    // Copies, so that the memory streams have a buffer of their own even when empty.
    std::string first_bytes = first;
    std::string second_bytes = second;
    CapturedStream out;
    CapturedStream err;
    std::FILE* in = std::fopen("/dev/null", "r");
    std::FILE* first_file = fmemopen(first_bytes.data(), first_bytes.size(), "r");
    std::FILE* second_file = fmemopen(second_bytes.data(), second_bytes.size(), "r");
    if (out.stream == nullptr || err.stream == nullptr || in == nullptr || first_file == nullptr ||
        second_file == nullptr) {
        violated("the harness gets its streams", "");
    }
    const int status = compare_streams(first_file, second_file, {out.stream, err.stream, in, false, false});
    std::fclose(in);
    std::fclose(out.stream);
    std::fclose(err.stream);
    const std::string out_text(out.text, out.length);
    const std::string err_text(err.text, err.length);
    std::free(out.text);
    std::free(err.text);

    const Message* closing = closing_message(err_text);
    if (closing == nullptr) {
        violated("standard error holds exactly one closing message", err_text);
    }
    // Memory streams open by construction and never fail a read, and the
    // buffers are small; the usage message belongs to the entry alone.
    if (closing == &MESSAGE_USAGE || closing == &MESSAGE_OPEN_FAILED || closing == &MESSAGE_READ_FAILED ||
        closing == &MESSAGE_OUT_OF_MEMORY) {
        violated("the closing message is one that memory streams can cause", err_text);
    }
    const int expected_status = closing == &MESSAGE_FINISHED ? EXIT_FINISHED : EXIT_NOT_FINISHED;
    if (status != expected_status) {
        violated("the exit status goes with the closing message", std::to_string(status));
    }
    const std::size_t lines = check_progress_lines(out_text);
    const bool measuring_ended = closing == &MESSAGE_FINISHED || closing == &MESSAGE_SIZES_DIFFER;
    if (lines > 0 && !measuring_ended) {
        violated("a run refused before measuring prints no progress", err_text);
    }
    // Every measured block holds at least one sample of each input.
    if (lines > vorik_test::samples_after_header(first).size() ||
        lines > vorik_test::samples_after_header(second).size()) {
        violated("no more progress lines than samples", std::to_string(lines));
    }
    const ModelRun model = model_run(first, second);
    if (closing != model.closing) {
        violated("the closing message is the model's",
                 err_text + " where the model closes with " +
                     (model.closing == nullptr ? "" : model.closing->utf8));
    }
    if (out_text != model.out) {
        const auto differs = static_cast<std::size_t>(
            std::mismatch(out_text.begin(), out_text.end(), model.out.begin(), model.out.end()).first -
            out_text.begin());
        violated("the progress lines are the model's, to the last digit",
                 "from byte " + std::to_string(differs) + ": " +
                     out_text.substr(differs, vorik_test::PROGRESS_LINE_CAPACITY) +
                     " where the model prints " +
                     model.out.substr(differs, vorik_test::PROGRESS_LINE_CAPACITY));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < SPLIT_BYTES) {
        return 0;
    }
    const std::size_t split_value = data[0] | std::size_t{data[1]} << BITS_PER_BYTE;
    const std::size_t rest = size - SPLIT_BYTES;
    const std::size_t first_length = split_value % (rest + 1);
    const char* bytes = reinterpret_cast<const char*>(data + SPLIT_BYTES);
    check_run(std::string(bytes, first_length), std::string(bytes + first_length, rest - first_length));
    return 0;
}
