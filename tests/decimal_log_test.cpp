// The library's log10 against mpmath's, rounded to nearest: the reference
// values in decimal_log_cases.txt come from tools/decimal_log_reference.py.
// VORIK_DECIMAL_LOG_CASES names another such file, for a longer run.
#include "decimal_log.h"

#include <gtest/gtest.h>
#include <vorik/psnr_meter.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using namespace vorik;
using namespace vorik::detail;

namespace {

struct Case {
    double x;
    double rounded;    // log10(x) rounded to nearest
    double remainder;  // log10(x) - rounded, rounded to nearest
    bool from_meter;
    double total;  // for the meter's: the total and pairs that x comes from
    std::uint64_t pairs;
};

struct Section {
    std::string name;
    std::vector<Case> cases;
};

double from_hex_bits(const std::string& word) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(word, nullptr, 16)));
}

std::vector<Section> read_cases(const std::string& path) {
    const std::string section_mark = "# section: ";
    std::vector<Section> sections;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(section_mark, 0) == 0) {
            sections.push_back({line.substr(section_mark.size()), {}});
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string x, rounded, remainder;
        words >> x >> rounded >> remainder;
        Case c{from_hex_bits(x), from_hex_bits(rounded), from_hex_bits(remainder), false, 0.0, 0};
        std::uint64_t total = 0;
        if (words >> total >> c.pairs) {
            c.from_meter = true;
            c.total = static_cast<double>(total);
        }
        if (sections.empty()) sections.push_back({"unnamed", {}});
        sections.back().cases.push_back(c);
    }
    return sections;
}

std::string cases_path() {
    const char* chosen = std::getenv("VORIK_DECIMAL_LOG_CASES");
    return chosen != nullptr ? chosen : VORIK_DECIMAL_LOG_CASES;
}

std::string hex(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%a", value);
    return text;
}

TEST(DecimalLog, RoundsAsMpmathDoesOnEveryReferenceArgument) {
    const std::vector<Section> sections = read_cases(cases_path());
    ASSERT_FALSE(sections.empty()) << "no cases read from " << cases_path();
    std::size_t checked = 0;
    std::size_t precise = 0;
    double largest_error = 0.0;  // of the estimate, relative
    for (const Section& section : sections) {
        SCOPED_TRACE(section.name);
        EXPECT_FALSE(section.cases.empty());
        // Within 2^-24 ulp of a midpoint and nearer: far below what the
        // estimate's bound can tell apart, so each must go to the precise path.
        const bool near_midpoints = section.name.rfind("within", 0) == 0;
        std::size_t section_precise = 0;
        for (const Case& c : section.cases) {
            ++checked;
            const double result = decimal_log(c.x);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(result), std::bit_cast<std::uint64_t>(c.rounded))
                << "log10(" << hex(c.x) << ") = " << hex(result) << ", not " << hex(c.rounded);
            if (c.x == 1.0) continue;
            EXPECT_EQ(decimal_log_precise(c.x), c.rounded) << "precise log10(" << hex(c.x) << ")";
            const DoubleDouble estimate = decimal_log_estimate(c.x);
            // The highs are within a factor 2 of each other: their difference is exact.
            const double error = (estimate.high - c.rounded) + (estimate.low - c.remainder);
            const double relative_error = std::abs(error / c.rounded);
            EXPECT_LE(relative_error, DECIMAL_LOG_ESTIMATE_ERROR) << "estimate of log10(" << hex(c.x) << ")";
            largest_error = std::max(largest_error, relative_error);
            if (settles_rounding(estimate)) {
                EXPECT_EQ(estimate.high, c.rounded) << "settled log10(" << hex(c.x) << ")";
            } else {
                ++section_precise;
            }
            EXPECT_TRUE(!near_midpoints || !settles_rounding(estimate)) << "log10(" << hex(c.x) << ")";
            if (c.from_meter) {
                EXPECT_EQ(PSNR_PEAK / std::sqrt(c.total / static_cast<double>(c.pairs)), c.x)
                    << "argument of " << c.total << " over " << c.pairs;
                const PsnrResult psnr = compute_psnr({c.pairs, c.total, c.total});
                EXPECT_EQ(psnr.left_db, 20.0 * c.rounded) << c.total << " over " << c.pairs;
                EXPECT_EQ(psnr.right_db, 20.0 * c.rounded) << c.total << " over " << c.pairs;
            }
        }
        precise += section_precise;
        std::printf("%-60s %6zu arguments, %4zu to the precise path\n", section.name.c_str(),
                    section.cases.size(), section_precise);
    }
    std::printf("%zu arguments as mpmath has them; %zu to the precise path; estimate within 2^%.2f\n",
                checked, precise, std::log2(largest_error));
    EXPECT_GT(precise, 0U) << "the precise path was never taken";
}

TEST(DecimalLog, ValuesKnownExactly) {
    double power = 1.0;
    for (int exponent = 0; exponent <= 22; ++exponent) {  // 10^22 is the last power of ten a double holds
        EXPECT_EQ(decimal_log(power), exponent);
        power *= 10.0;
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(decimal_log(1.0)), std::bit_cast<std::uint64_t>(0.0));
    constexpr double INFINITE = std::numeric_limits<double>::infinity();
    EXPECT_EQ(decimal_log(0.0), -INFINITE);
    EXPECT_EQ(decimal_log(-0.0), -INFINITE);
    EXPECT_EQ(decimal_log(INFINITE), INFINITE);
    EXPECT_TRUE(std::isnan(decimal_log(-1.0)));
    EXPECT_TRUE(std::isnan(decimal_log(-INFINITE)));
    EXPECT_TRUE(std::isnan(decimal_log(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(decimal_log(-std::numeric_limits<double>::denorm_min())));
}

}  // namespace
