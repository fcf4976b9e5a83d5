#include "options.h"

#include <vorik/version.h>

#include <CLI/CLI.hpp>
#include <sstream>

#include "names.h"

namespace vorik::check {
namespace {

// The largest difference two 16-bit samples can have.
constexpr int LARGEST_DIFFERENCE = 65535;

constexpr char DESCRIPTION[] =
    "Compares a copy of a 16-bit PCM WAV file (a codec's decoded output, say) with its original, channel by "
    "channel and second by second: PSNR (peak 65535, 333 dB for no difference), the largest difference "
    "and the differing samples; finds the copy's delay; passes or fails it against limits.\n"
    "Exit status: 0 measured and every limit holds, 1 a limit fails, 2 cannot be measured.";

// The output flags as given, before they are turned into one form.
struct OutputFlags {
    bool json;
    bool jsonl;
    bool csv;
};

OutputForm form_of(const OutputFlags& flags) {
    return flags.json    ? OutputForm::json
           : flags.jsonl ? OutputForm::jsonl
           : flags.csv   ? OutputForm::csv
                         : OutputForm::summary;
}

void add_options(CLI::App& app, CheckOptions& options, OutputFlags& flags) {
    app.add_option("ORIGINAL", options.original_path, "The original WAV file; - for standard input")
        ->required();
    app.add_option("COPY", options.copy_path, "The copy to check; - for standard input")->required();
    CLI::Option* delay = app.add_option("--delay", options.delay,
                                        "The copy's frame N pairs with the original's frame 0 (N < 0: "
                                        "the original's frame -N with the copy's frame 0)")
                             ->type_name("N");
    CLI::Option* align = app.add_flag("--align", options.align, "Find the copy's delay and measure there");
    delay->excludes(align);
    app.add_option("--max-delay", options.max_delay,
                   "Frames searched before and after for the delay (default: one second; at most 60 seconds)")
        ->type_name("FRAMES");
    CLI::Option* json_flag = app.add_flag("--json", flags.json, "Print the summary as one JSON object");
    CLI::Option* jsonl_flag =
        app.add_flag("--jsonl", flags.jsonl, "Print one JSON object per second, then the summary's");
    CLI::Option* csv_flag =
        app.add_flag("--csv", flags.csv, "Print one CSV row per second; the summary goes to standard error");
    json_flag->excludes(jsonl_flag)->excludes(csv_flag);
    jsonl_flag->excludes(csv_flag);
    app.add_option("--min-psnr", options.min_psnr, "Fail unless every channel's PSNR is at least DB")
        ->type_name("DB");
    app.add_option("--min-second-psnr", options.min_second_psnr,
                   "Fail unless every second of every channel has a PSNR of at least DB")
        ->type_name("DB");
    app.add_option("--max-diff", options.max_diff, "Fail if any sample differs by more than LSB (0 to 65535)")
        ->type_name("LSB")
        ->check(CLI::Range(0, LARGEST_DIFFERENCE).description(""));
    app.add_flag("--bit-exact", options.bit_exact, "Fail if any compared sample differs");
    app.add_option("--plot", options.plot_path,
                   "Also draw each second's PSNR into FILE, an SVG picture, once the measurement succeeds; "
                   "- writes it to standard output and the report to standard error (not with --csv)")
        ->type_name("FILE");
}

// What the parser cannot see in each option alone: --plot - and --csv both
// want standard output, and a picture must not replace a file it measures.
std::string conflict(const CheckOptions& options) {
    if (!options.plot_path) {
        return {};
    }
    if (options.plot_path->empty()) {
        return "--plot needs a file name, or - for standard output";
    }
    if (plot_to_standard_output(options) && options.form == OutputForm::csv) {
        return "--plot - excludes --csv: both write to standard output";
    }
    if (*options.plot_path == options.original_path || *options.plot_path == options.copy_path) {
        return "--plot " + *options.plot_path + " would write over a file it measures";
    }
    return {};
}

}  // namespace

ParseOutcome parse_options(int argc, const char* const* argv, CheckOptions& options, std::FILE* out,
                           std::FILE* err) {
    CLI::App app(DESCRIPTION, CHECK_PROGRAM_NAME);
    // Options start with "-" on every system: on Windows a path may start
    // with "/", which CLI11 would take for an option there.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string(CHECK_PROGRAM_NAME) + " version " + VORIK_VERSION);
    OutputFlags flags{};
    add_options(app, options, flags);
    std::ostringstream answer;
    std::ostringstream reason;
    int status = 0;
    // CLI11 reports through exceptions; none leaves this function.
    try {
        app.parse(argc, argv);
        options.form = form_of(flags);
        const std::string why = conflict(options);
        if (why.empty()) {
            return ParseOutcome::run;
        }
        std::fputs((why + "\nRun with --help for more information.\n").c_str(), err);
        return ParseOutcome::refused;
    } catch (const CLI::ParseError& error) {
        status = app.exit(error, answer, reason);
    }
    std::fputs(answer.str().c_str(), out);
    std::fputs(reason.str().c_str(), err);
    return status == 0 ? ParseOutcome::done : ParseOutcome::refused;
}

bool plot_to_standard_output(const CheckOptions& options) {
    return options.plot_path && *options.plot_path == STANDARD_STREAM;
}

bool has_criteria(const CheckOptions& options) {
    return options.min_psnr.has_value() || options.min_second_psnr.has_value() ||
           options.max_diff.has_value() || options.bit_exact;
}

}  // namespace vorik::check
