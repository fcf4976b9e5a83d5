// What vorik-check is asked to do, from its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorik::check {

// How the figures go out.
enum class OutputForm : unsigned char {
    summary,  // the summary as text, one fact a line
    json,     // the summary as one JSON object
    jsonl,    // one JSON object per second, then the summary's
    csv,      // one CSV row per second; the summary as text on standard error
};

struct CheckOptions {
    std::string original_path;  // "-": standard input
    std::string copy_path;
    std::optional<std::int64_t> delay;  // --delay: the copy's frame that pairs with the original's frame 0
    bool align = false;                 // --align: find the delay and measure there
    std::optional<std::uint64_t> max_delay;  // --max-delay in frames; one second when not given
    OutputForm form = OutputForm::summary;
    std::optional<double> min_psnr;         // --min-psnr, dB, every channel over the whole file
    std::optional<double> min_second_psnr;  // --min-second-psnr, dB, every second of every channel
    std::optional<std::uint32_t> max_diff;  // --max-diff, LSB
    bool bit_exact = false;                 // --bit-exact
    // --plot: where the SVG picture goes; "-": standard output, and the report to standard error.
    std::optional<std::string> plot_path;
};

// How the command line was read.
enum class ParseOutcome : unsigned char {
    run,      // measure with the options
    done,     // --help or --version was answered
    refused,  // the command line is wrong: the reason was written
};

// Reads the command line; on --help, --version or a wrong command line,
// writes the answer or the reason to `out` or `err`.
ParseOutcome parse_options(int argc, const char* const* argv, CheckOptions& options, std::FILE* out,
                           std::FILE* err);

// Whether the picture goes to standard output.
bool plot_to_standard_output(const CheckOptions& options);

// Whether any pass-or-fail criterion was given.
bool has_criteria(const CheckOptions& options);

}  // namespace vorik::check
