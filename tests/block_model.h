// A plain model of the measurement, apart from the tool's code: what the
// unit tests, the end-to-end tests and the comparison fuzz target expect a
// run to give. Both inputs are read in blocks of channels times rate
// samples; the first block where either gives no sample ends the run as
// finished, and one where they give unequal counts ends it as sizes
// differing. Within a block the samples are paired, a lone last one in no
// pair, and each pair's squared differences are added, in order, to double
// totals, which is the definition of the results to the last bit.
//
// It uses neither the library nor GoogleTest, so that the tests that only
// run the built tool and the fuzz target can use it too; the functions are
// inline, so that every test program has them without a source file more.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "wav_writer.h"

namespace vorik_test {

using Samples = std::vector<std::int16_t>;

// Samples spread evenly over the whole 16-bit range.
inline Samples random_samples(std::mt19937& random, std::size_t count) {
    std::uniform_int_distribution<int> sample(-32768, 32767);
    Samples samples(count);
    for (std::int16_t& s : samples) {
        s = static_cast<std::int16_t>(sample(random));
    }
    return samples;
}

// The same from a generator of their own, which `seed` starts.
inline Samples noise(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    return random_samples(random, count);
}

// --- Blocks -----------------------------------------------------------------

// The squared differences of the pairs added so far.
struct Totals {
    double sum_left = 0.0;
    double sum_right = 0.0;
    std::uint64_t pairs = 0;
};

enum class Ending { finished, sizes_differ };

struct BlockRun {
    std::vector<Totals> after_block;  // the totals after each block measured, one line each
    Ending ending = Ending::finished;
};

// A header's block size: an unsigned 32-bit product, which wraps.
inline std::uint32_t block_samples_of(std::uint16_t channels, std::uint32_t sample_rate) {
    return static_cast<std::uint32_t>(std::uint64_t{channels} * sample_rate);
}

// Measures `first` against `second` in blocks of `block_samples`, adding to
// `start`.
inline BlockRun run_blocks(const Samples& first, const Samples& second, std::uint32_t block_samples,
                           const Totals& start = {}) {
    const auto count_at = [block_samples](const Samples& samples, std::uint64_t at) {
        return at < samples.size() ? std::min<std::uint64_t>(block_samples, samples.size() - at) : 0;
    };
    BlockRun run;
    Totals totals = start;
    for (std::uint64_t at = 0;; at += block_samples) {
        const std::uint64_t count = count_at(first, at);
        const std::uint64_t other_count = count_at(second, at);
        if (count == 0 || other_count == 0) {
            return run;
        }
        if (count != other_count) {
            run.ending = Ending::sizes_differ;
            return run;
        }
        // Both counts are not 0, so `at` lies within both inputs.
        for (auto k = static_cast<std::size_t>(at); k + 1 < at + count; k += 2) {
            const double left = first[k] - second[k];
            const double right = first[k + 1] - second[k + 1];
            totals.sum_left += left * left;
            totals.sum_right += right * right;
            ++totals.pairs;
        }
        run.after_block.push_back(totals);
    }
}

// --- Progress lines -----------------------------------------------------------

constexpr char PROGRESS_LINE_FORMAT[] = "L%8.3fdB | R%8.3fdB | LR%8.3fdB\r";
constexpr std::size_t PROGRESS_LINE_CAPACITY = 128;

inline std::string progress_line(const Totals& totals) {
    constexpr double NO_ERROR_PSNR = 333.0;
    constexpr double FULL_SCALE = 65535.0;
    constexpr double DECIBELS_PER_DECADE = 20.0;
    const auto psnr = [&totals](double sum) {
        return sum == 0.0 ? NO_ERROR_PSNR
                          : DECIBELS_PER_DECADE *
                                std::log10(FULL_SCALE / std::sqrt(sum / static_cast<double>(totals.pairs)));
    };
    const double left = psnr(totals.sum_left);
    const double right = psnr(totals.sum_right);
    char line[PROGRESS_LINE_CAPACITY];
    std::snprintf(line, sizeof line, PROGRESS_LINE_FORMAT, left, right, (left + right) * 0.5);
    return line;
}

// Every line that a run prints.
inline std::string progress_lines(const BlockRun& run) {
    std::string lines;
    for (const Totals& totals : run.after_block) {
        lines += progress_line(totals);
    }
    return lines;
}

// --- The bytes of a file --------------------------------------------------------

// The header's fields that a run looks at, read at their fixed places.
struct HeaderFields {
    bool recognised = false;
    std::uint16_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t bits_per_sample = 0;
};

inline std::uint32_t little_endian_at(const std::string& bytes, std::size_t at, std::size_t width) {
    constexpr unsigned BITS_PER_BYTE = 8;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= std::uint32_t{static_cast<unsigned char>(bytes[at + i])} << (BITS_PER_BYTE * i);
    }
    return value;
}

inline HeaderFields header_fields(const std::string& bytes) {
    // The four tags lie in the first 40 bytes; a shorter file is not a WAV file.
    constexpr std::size_t TAGGED_BYTES = 40;
    constexpr std::size_t TAG_BYTES = 4;
    constexpr std::size_t CHANNELS_AT = 22;
    constexpr std::size_t SAMPLE_RATE_AT = 24;
    constexpr std::size_t BITS_PER_SAMPLE_AT = 34;
    constexpr std::size_t U16 = 2;
    constexpr std::size_t U32 = 4;
    const std::pair<std::size_t, const char*> tags[] = {{0, "RIFF"}, {8, "WAVE"}, {12, "fmt "}, {36, "data"}};
    if (bytes.size() < TAGGED_BYTES) {
        return {};
    }
    for (const auto& [at, tag] : tags) {
        if (bytes.compare(at, TAG_BYTES, tag) != 0) {
            return {};
        }
    }
    return {true, static_cast<std::uint16_t>(little_endian_at(bytes, CHANNELS_AT, U16)),
            little_endian_at(bytes, SAMPLE_RATE_AT, U32),
            static_cast<std::uint16_t>(little_endian_at(bytes, BITS_PER_SAMPLE_AT, U16))};
}

// The whole samples after the header; an odd last byte is none.
inline Samples samples_after_header(const std::string& bytes) {
    constexpr std::size_t SAMPLE_BYTES = 2;
    const std::size_t count =
        bytes.size() > WAV_HEADER_SIZE ? (bytes.size() - WAV_HEADER_SIZE) / SAMPLE_BYTES : 0;
    Samples samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(
            little_endian_at(bytes, WAV_HEADER_SIZE + SAMPLE_BYTES * i, SAMPLE_BYTES));
    }
    return samples;
}

}  // namespace vorik_test
