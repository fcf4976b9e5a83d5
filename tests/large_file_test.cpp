// Two sparse files of more than 2^32 sample pairs (over 16 GiB each, almost
// no disk), silent but for a few samples of the second. The pair count must
// not wrap at 32 bits: the printed PSNR is checked against the value worked
// out here from the true count. Slow, so it carries its own label.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "block_model.h"
#include "child_process.h"
#include "wav_writer.h"

namespace vorik_test {
namespace {

constexpr std::uint64_t TWO_TO_THE_32 = std::uint64_t{1} << 32;
constexpr std::uint64_t PAIRS = TWO_TO_THE_32 + 1000;  // the last block is a partial one
constexpr std::uint64_t BYTES_PER_PAIR = 4;
constexpr std::uint64_t BYTES_PER_SAMPLE = 2;
const WavFormat STEREO_48K{2, 48000};
constexpr std::uint64_t PAIRS_PER_BLOCK = 48000;
// Holes in a memory file system read as the shared zero page, which is
// several times faster than a disk file system's zero-filled page cache.
constexpr char MEMORY_FILE_SYSTEM[] = "/dev/shm";
// More than this on disk means the file system wrote the holes out.
constexpr long long MOST_ALLOCATED_BYTES = 16 * 1024 * 1024;

constexpr char FINISHED_CP932[] = "\n\x8C\x76\x8E\x5A\x8F\x49\x97\xB9\x81\x42\n";
constexpr int FINISHED_STATUS = 0;

// The samples of the second file that are not silent.
struct Difference {
    std::uint64_t pair;
    bool right;
    std::int16_t value;
};
constexpr Difference DIFFERENCES[] = {
    {7, false, 1000},                 // in the first block
    {TWO_TO_THE_32 + 3, true, 2000},  // past the pair that a 32-bit count would wrap at
    {PAIRS - 1, false, -300},         // the very last pair
};

// Squared differences of the pairs before `end`, left and right.
std::pair<double, double> squared_sums_before(std::uint64_t end) {
    double left = 0.0;
    double right = 0.0;
    for (const Difference& d : DIFFERENCES) {
        if (d.pair >= end) continue;
        (d.right ? right : left) += static_cast<double>(d.value) * d.value;
    }
    return {left, right};
}

// A header and PAIRS silent pairs as one hole, plus `differences`; returns
// whether the file system kept the hole.
bool write_sparse(const std::string& path, bool with_differences) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    // The header's size fields cannot hold the length; the tool ignores them.
    const std::string header = wav_bytes(STEREO_48K, {});
    bool ok = write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size()) &&
              ftruncate(fd, static_cast<off_t>(header.size() + PAIRS * BYTES_PER_PAIR)) == 0;
    for (const Difference& d : DIFFERENCES) {
        if (!with_differences) break;
        const std::string sample = little_endian(static_cast<std::uint16_t>(d.value), BYTES_PER_SAMPLE);
        const auto at = static_cast<off_t>(header.size() + d.pair * BYTES_PER_PAIR + (d.right ? 2 : 0));
        ok = ok && pwrite(fd, sample.data(), sample.size(), at) == static_cast<ssize_t>(sample.size());
    }
    struct stat status {};
    ok = ok && fstat(fd, &status) == 0 &&
         static_cast<long long>(status.st_blocks) * 512 < MOST_ALLOCATED_BYTES;
    return close(fd) == 0 && ok;
}

TEST(LargeFiles, PairCountPastTwoToThe32DoesNotWrap) {
    std::error_code ignored;
    const ScratchDir dir = std::filesystem::is_directory(MEMORY_FILE_SYSTEM, ignored)
                               ? ScratchDir(MEMORY_FILE_SYSTEM)
                               : ScratchDir();
    const std::string first = dir.path() + "/silent.wav";
    const std::string second = dir.path() + "/few_differences.wav";
    if (!write_sparse(first, false) || !write_sparse(second, true)) {
        GTEST_SKIP() << "no room for two sparse files of 16 GiB in " << dir.path();
    }

    const PipedRun run = run_piped({first, second});
    EXPECT_EQ(run.err, as_written(std::string("vorik version 0.10\n") + FINISHED_CP932));
    EXPECT_EQ(run.status, FINISHED_STATUS);
    const std::uint64_t blocks = (PAIRS + PAIRS_PER_BLOCK - 1) / PAIRS_PER_BLOCK;
    ASSERT_EQ(static_cast<std::uint64_t>(std::count(run.out.begin(), run.out.end(), '\r')), blocks);

    const auto [first_left, first_right] = squared_sums_before(PAIRS_PER_BLOCK);
    const std::string first_line = progress_line({first_left, first_right, PAIRS_PER_BLOCK});
    const auto [left, right] = squared_sums_before(PAIRS);
    const std::string last_line = progress_line({left, right, PAIRS});
    // What a count wrapped to 32 bits would print instead.
    ASSERT_NE(last_line, progress_line({left, right, PAIRS - TWO_TO_THE_32}));
    EXPECT_EQ(run.out.substr(0, first_line.size()), first_line);
    ASSERT_GE(run.out.size(), last_line.size());
    EXPECT_EQ(run.out.substr(run.out.size() - last_line.size()), last_line);
}

}  // namespace
}  // namespace vorik_test
