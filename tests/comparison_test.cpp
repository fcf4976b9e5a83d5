// The run flow in process, through its stream entry: the same run as by
// path, and read errors injected at every byte of the header and the data.
#include "comparison.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "block_model.h"
#include "failing_stream.h"
#include "messages.h"
#include "scratch_stream.h"
#include "wav_writer.h"

// Where a test sets it, memory asked for without exceptions is refused: the
// threads' record, which is the one thing the run asks for so.
bool refuse_memory_without_exceptions = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (refuse_memory_without_exceptions) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

using namespace vorik;
using vorik_test::failing_stream;
using vorik_test::FailingSource;
using vorik_test::noise;
using vorik_test::Samples;
using vorik_test::WavFormat;

constexpr std::size_t HEADER_BYTES = vorik_test::WAV_HEADER_SIZE;
constexpr std::size_t BYTES_PER_SAMPLE = 2;
const WavFormat STEREO_8_HZ{};  // blocks of 16 samples, 32 bytes
constexpr std::size_t BLOCK_BYTES = 16 * BYTES_PER_SAMPLE;

std::FILE* stream_holding(const std::string& bytes) {
    std::FILE* file = vorik_test::scratch_stream();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

struct Outcome {
    std::string out;
    std::string err;
    int status;
    long input_taken;  // characters the pause took from the input
};

// Output streams as a pipe would give them: buffered, Shift_JIS messages.
template <typename Run>
Outcome capture(Run run) {
    std::FILE* out = vorik_test::scratch_stream();
    std::FILE* err = vorik_test::scratch_stream();
    std::FILE* in = stream_holding("ab");
    const int status = run(RunStreams{out, err, in, false, false});
    Outcome outcome{vorik_test::contents(out), vorik_test::contents(err), status, std::ftell(in)};
    std::fclose(out);
    std::fclose(err);
    std::fclose(in);
    return outcome;
}

Outcome compare_bytes(const std::string& first, const std::string& second) {
    return capture([&](const RunStreams& streams) {
        return compare_streams(stream_holding(first), stream_holding(second), streams);
    });
}

// Without the memory for the threads' record, the loop measures alone, as it
// does on pipes: the same lines, finished.
TEST(Comparison, WithoutTheThreadsRecordTheLoopMeasuresAlone) {
    // Blocks of a second of 44.1 kHz stereo, over several slabs.
    const WavFormat cd_stereo{2, 44100, 16, vorik_test::FORMAT_PCM};
    const std::string first = vorik_test::wav_bytes(cd_stereo, noise(3 * 44100 * 2 * 2, 11));
    const std::string second = vorik_test::wav_bytes(cd_stereo, noise(3 * 44100 * 2 * 2, 12));
    const Outcome with_threads = compare_bytes(first, second);
    refuse_memory_without_exceptions = true;
    const Outcome alone = compare_bytes(first, second);
    refuse_memory_without_exceptions = false;
    EXPECT_EQ(with_threads.status, EXIT_FINISHED);
    EXPECT_EQ(alone.status, EXIT_FINISHED);
    EXPECT_EQ(alone.out, with_threads.out);
    EXPECT_EQ(alone.err, with_threads.err);
}

TEST(Comparison, StreamsGiveTheSameRunAsPaths) {
    const Samples samples = noise(40, 1);
    Samples other = noise(40, 2);
    const std::string good = vorik_test::wav_bytes(STEREO_8_HZ, samples);
    other.pop_back();
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {good, vorik_test::wav_bytes(STEREO_8_HZ, noise(40, 2))},
        {good, vorik_test::wav_bytes(STEREO_8_HZ, other)},
        {"not a wave file, but long enough to hold a header", good},
        {good, good.substr(0, HEADER_BYTES - 5)},
    };
    const vorik_test::ScratchDir dir;
    for (const auto& [first, second] : pairs) {
        const std::string first_path = dir.write("first.wav", first);
        const std::string second_path = dir.write("second.wav", second);
        const Outcome by_path = capture([&](const RunStreams& streams) {
            return compare_paths(first_path.c_str(), second_path.c_str(), streams);
        });
        const Outcome by_stream = compare_bytes(first, second);
        EXPECT_EQ(by_stream.out, by_path.out);
        EXPECT_EQ(by_stream.err, by_path.err);
        EXPECT_EQ(by_stream.status, by_path.status);
        EXPECT_EQ(by_stream.input_taken, 1);
        EXPECT_EQ(by_path.input_taken, 1);
    }
    const Outcome finished = compare_bytes(good, good);
    EXPECT_EQ(finished.err, MESSAGE_FINISHED.shift_jis);
    EXPECT_EQ(finished.status, EXIT_FINISHED);
    EXPECT_EQ(std::count(finished.out.begin(), finished.out.end(), '\r'), 3);
}

#ifdef __GLIBC__
// Progress lines of the blocks that lie wholly before byte `failing_at`.
std::string lines_before(const std::string& all_lines, std::size_t failing_at) {
    const std::size_t whole_blocks =
        failing_at < HEADER_BYTES ? 0 : (failing_at - HEADER_BYTES) / BLOCK_BYTES;
    std::size_t end = 0;
    for (std::size_t i = 0; i < whole_blocks; ++i) end = all_lines.find('\r', end) + 1;
    return all_lines.substr(0, end);
}

TEST(Comparison, ReadFailureAtEveryByteIsReported) {
    // Three whole blocks, so a failure at the very end is one at the start
    // of the fourth block's read, where a plain end would finish the run.
    const Samples samples = noise(48, 3);
    const std::string first = vorik_test::wav_bytes(STEREO_8_HZ, samples);
    const std::string second = vorik_test::wav_bytes(STEREO_8_HZ, noise(48, 4));
    const Outcome healthy = compare_bytes(first, second);
    ASSERT_EQ(healthy.err, MESSAGE_FINISHED.shift_jis);
    for (const bool buffered : {false, true}) {
        for (const bool second_fails : {false, true}) {
            for (std::size_t failing_at = 0; failing_at <= first.size(); ++failing_at) {
                SCOPED_TRACE(testing::Message() << (second_fails ? "second" : "first") << " fails at byte "
                                                << failing_at << (buffered ? ", buffered" : ", unbuffered"));
                FailingSource source{second_fails ? second : first, failing_at};
                std::FILE* failing = failing_stream(source, buffered);
                const Outcome outcome = capture([&](const RunStreams& streams) {
                    return second_fails ? compare_streams(stream_holding(first), failing, streams)
                                        : compare_streams(failing, stream_holding(second), streams);
                });
                EXPECT_EQ(outcome.err, MESSAGE_READ_FAILED.shift_jis);
                EXPECT_EQ(outcome.status, EXIT_NOT_FINISHED);
                EXPECT_EQ(outcome.out, lines_before(healthy.out, failing_at));
                EXPECT_EQ(outcome.input_taken, 1);
            }
        }
    }
}

TEST(Comparison, ReadFailureWinsOverTheOtherFilesEnd) {
    // The second file ends on a block boundary while the first fails in
    // the same pass: a plain end of the second would finish the run, but
    // the failure must not be passed off as a finished calculation.
    const std::string first = vorik_test::wav_bytes(STEREO_8_HZ, noise(48, 5));
    const std::string second = vorik_test::wav_bytes(STEREO_8_HZ, noise(32, 6));
    const std::size_t inside_third_block = HEADER_BYTES + 2 * BLOCK_BYTES + 6;
    FailingSource source{first, inside_third_block};
    const Outcome outcome = capture([&](const RunStreams& streams) {
        return compare_streams(failing_stream(source, false), stream_holding(second), streams);
    });
    EXPECT_EQ(outcome.err, MESSAGE_READ_FAILED.shift_jis);
    EXPECT_EQ(outcome.status, EXIT_NOT_FINISHED);
    EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\r'), 2);
}

// Output whose writes all fail, as on a full disk or a closed descriptor.
ssize_t refuse_write(void*, const char*, std::size_t) { return -1; }

std::FILE* unwritable_stream(bool buffered) {
    const cookie_io_functions_t functions{nullptr, refuse_write, nullptr, nullptr};
    std::FILE* file = fopencookie(nullptr, "wb", functions);
    if (!buffered) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

TEST(Comparison, ResultThatCannotBeWrittenIsNoFinishedRun) {
    const std::string good = vorik_test::wav_bytes(STEREO_8_HZ, noise(48, 7));
    const std::string other = vorik_test::wav_bytes(STEREO_8_HZ, noise(48, 8));
    const std::string ends_inside_a_block = vorik_test::wav_bytes(STEREO_8_HZ, noise(44, 9));
    constexpr std::size_t NEVER = std::string::npos;
    // Flushed after every line, the failure shows at the first line and the
    // run stops there; buffered, it shows only at the end, where it takes
    // the place of the finished message alone.
    struct Case {
        const char* label;
        std::string first;
        std::string second;
        std::size_t first_fails_at;  // the first file's reads fail from this byte on
        const Message* buffered;
        const Message* flushed_per_line;
    };
    const Case cases[] = {
        {"would finish", good, other, NEVER, &MESSAGE_WRITE_FAILED, &MESSAGE_WRITE_FAILED},
        {"reads fail in the third block", good, other, HEADER_BYTES + 2 * BLOCK_BYTES + 2,
         &MESSAGE_READ_FAILED, &MESSAGE_WRITE_FAILED},
        {"sizes differ", good, ends_inside_a_block, NEVER, &MESSAGE_SIZES_DIFFER, &MESSAGE_WRITE_FAILED},
        {"not a WAV file", "not a wave file, but long enough to hold a header", good, NEVER, &MESSAGE_NOT_WAV,
         &MESSAGE_NOT_WAV},
    };
    for (const Case& c : cases) {
        for (const bool flushed_per_line : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << c.label << (flushed_per_line ? ", flushed per line" : ", buffered"));
            FailingSource source{c.first, c.first_fails_at};
            std::FILE* first =
                c.first_fails_at == NEVER ? stream_holding(c.first) : failing_stream(source, false);
            std::FILE* out = unwritable_stream(!flushed_per_line);
            std::FILE* err = vorik_test::scratch_stream();
            std::FILE* in = stream_holding("ab");
            const int status = compare_streams(first, stream_holding(c.second),
                                               RunStreams{out, err, in, false, flushed_per_line});
            const Message& expected = *(flushed_per_line ? c.flushed_per_line : c.buffered);
            EXPECT_EQ(vorik_test::contents(err), expected.shift_jis);
            EXPECT_EQ(status, EXIT_NOT_FINISHED);
            EXPECT_EQ(std::ftell(in), 1);
            std::fclose(out);
            std::fclose(err);
            std::fclose(in);
        }
    }
}
#endif

}  // namespace
