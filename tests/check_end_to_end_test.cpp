// Runs the built vorik-check as a child process on files written here, and
// holds what it prints and its exit status against the plain model of
// channel_model.h, values worked out by hand, and vorik's own last line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "channel_model.h"
#include "child_process.h"
#include "wav_writer.h"

namespace vorik_test {
namespace {

using Samples = std::vector<std::int16_t>;
using nlohmann::json;

constexpr int PASSED = 0;
constexpr int FAILED = 1;
constexpr int NOT_MEASURED = 2;
constexpr std::uint32_t RATE = 8000;
// A PSNR printed from a double, read back and held against the model in
// long double: both round 20 log10 of the same exact mean.
constexpr double DB_TOLERANCE = 1e-9;
constexpr std::uint32_t ALL_ONES_32 = 0xFFFFFFFF;
constexpr std::uint16_t EXTENSIBLE = 0xFFFE;
constexpr std::uint16_t FLOAT = 3;
constexpr std::uint16_t ALAW = 6;

const ToolUnderTest& check_tool() {
    static const ToolUnderTest tool = tool_from_environment("VORIK_CHECK_TOOL", VORIK_CHECK_BINARY);
    return tool;
}

PipedRun run_check(const Args& args) {
    ChildSetup setup;
    setup.program = &check_tool();
    return run_piped(args, {}, nullptr, setup);
}

// Runs a shell line in which `check` stands for the program, as the
// emulator runs it where there is one. Pipes and redirections of standard input are
// what the shell is for.
PipedRun run_in_shell(const std::string& line) {
    const ToolUnderTest& tool = check_tool();
    const std::string program =
        (tool.emulator.empty() ? "" : "'" + tool.emulator + "' ") + "'" + tool.path + "'";
    static const ToolUnderTest shell{"/bin/sh", "", false};
    ChildSetup setup;
    setup.program = &shell;
    return run_piped({"-c", "check() { " + program + " \"$@\"; }; " + line}, {}, nullptr, setup);
}

std::string text_lines(const std::string& text) {
    std::string lines;
    for (const char c : text) {
        if (c != '\r') lines += c;
    }
    return lines;
}

Samples music_like(std::size_t frames, std::uint16_t channels, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 300.0);
    Samples samples(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            const double t = static_cast<double>(f) / RATE;
            const double tone =
                8000.0 * std::sin(2 * 3.14159265358979 * (220.0 + 40.0 * c) * t) +
                3000.0 * std::sin(2 * 3.14159265358979 * 1375.0 * t * (1.0 + 0.1 * std::sin(t)));
            samples[f * channels + c] =
                static_cast<std::int16_t>(std::clamp(tone + noise(random), -32768.0, 32767.0));
        }
    }
    return samples;
}

// `original` with small errors, and with none at every seventh sample.
Samples degraded(const Samples& original, std::uint32_t seed, int spread = 9) {
    std::mt19937 random(seed);
    Samples copy = original;
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const int error = static_cast<int>(random() % static_cast<unsigned>(spread)) - spread / 2;
        copy[i] =
            i % 7 == 0 ? copy[i] : static_cast<std::int16_t>(std::clamp(copy[i] + error, -32768, 32767));
    }
    return copy;
}

// A format chunk's body: plain, or WAVE_FORMAT_EXTENSIBLE with a sub-format.
std::string format_body(std::uint16_t channels, std::uint16_t tag = FORMAT_PCM, std::uint16_t bits = 16,
                        std::uint16_t valid_bits = 16, std::uint16_t sub_format = FORMAT_PCM) {
    std::string body = format_chunk_body({channels, RATE, bits, tag});
    if (tag == EXTENSIBLE) {
        constexpr char PCM_GUID_TAIL[] = "\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71";
        body += little_endian(22, 2) + little_endian(valid_bits, 2) + little_endian(3, 4) +
                little_endian(sub_format, 2) + std::string(PCM_GUID_TAIL, sizeof PCM_GUID_TAIL - 1);
    }
    return body;
}

std::string plain_wav(const Samples& samples, std::uint16_t channels) {
    return wav_bytes({channels, RATE}, samples);
}

// The layouts writers produce, each holding the same samples.
std::vector<std::pair<std::string, std::string>> layouts(const Samples& samples, std::uint16_t channels) {
    const std::string data = samples_bytes(samples);
    const std::string fmt = chunk("fmt ", format_body(channels));
    const std::string list =
        chunk("LIST", "INFOISFT" + little_endian(5, 4) + "ffmp");  // odd body: a pad byte
    const std::string ds64 =
        chunk("ds64", little_endian(0, 8) + little_endian(data.size(), 8) +
                          little_endian(samples.size() / channels, 8) + little_endian(0, 4));
    return {
        {"canonical", plain_wav(samples, channels)},
        {"LIST first, fact and JUNK",
         riff(list + chunk("JUNK", "xx") + fmt + chunk("fact", little_endian(1, 4)) + chunk("data", data))},
        {"LIST after the data", riff(fmt + chunk("data", data) + list)},
        {"extensible", riff(chunk("fmt ", format_body(channels, EXTENSIBLE)) + chunk("data", data))},
        {"RF64", "RF64" + little_endian(ALL_ONES_32, 4) + "WAVE" + ds64 + fmt + "data" +
                     little_endian(ALL_ONES_32, 4) + data},
        {"data size 0", riff(fmt) + "data" + little_endian(0, 4) + data},
        {"data size 0xFFFFFFFF", riff(fmt) + "data" + little_endian(ALL_ONES_32, 4) + data},
    };
}

class CheckEndToEnd : public testing::Test {
   protected:
    std::string file(const std::string& bytes) {
        return dir_.write(std::to_string(next_file_++) + ".wav", bytes);
    }

    json checked(const Args& args, int status = PASSED) {
        const PipedRun run = run_check(args);
        EXPECT_EQ(run.status, status) << run.err;
        try {
            return json::parse(text_lines(run.out));
        } catch (const json::exception& error) {
            ADD_FAILURE() << "not JSON: " << run.out << " (" << error.what() << ")";
            return {};
        }
    }

    // The JSON summary's figures against the model's.
    static void expect_model(const json& summary, const ModelComparison& model) {
        ASSERT_TRUE(summary.is_object());
        EXPECT_EQ(summary["frames"], model.frames);
        EXPECT_EQ(summary["original_left"], model.original_left);
        EXPECT_EQ(summary["copy_left"], model.copy_left);
        for (std::size_t c = 0; c < model.total.size(); ++c) {
            SCOPED_TRACE(testing::Message() << "channel " << c + 1);
            const ModelChannel& channel = model.total[c];
            EXPECT_NEAR(summary["psnr_db"][c].get<double>(), model_psnr_db(channel.squares, model.frames),
                        DB_TOLERANCE);
            EXPECT_EQ(summary["max_diff"][c], channel.largest);
            EXPECT_EQ(summary["differing_samples"][c], channel.differing);
            EXPECT_DOUBLE_EQ(summary["max_diff_at_s"][c].get<double>(),
                             static_cast<double>(model.original_skipped + channel.largest_at) / RATE);
        }
    }

    ScratchDir dir_;
    int next_file_ = 0;
};

// Every layout of 1 holds the same samples and gives the same figures as the
// model, for the copy read from a file, from a pipe and from a redirected
// file on standard input.
TEST_F(CheckEndToEnd, LayoutsGiveTheModelsFigures) {
    const Samples original = music_like(3 * RATE + 77, 2, 1);
    const Samples copy = degraded(original, 2);
    const ModelComparison model = model_comparison(original, copy, 2, RATE, 0);
    const std::string original_path = file(plain_wav(original, 2));
    for (const auto& [name, bytes] : layouts(copy, 2)) {
        SCOPED_TRACE(name);
        const std::string copy_path = file(bytes);
        expect_model(checked({"--json", original_path, copy_path}), model);
        expect_model(checked({"--json", copy_path, original_path}),
                     model_comparison(copy, original, 2, RATE, 0));
        for (const std::string& line : {"cat '" + copy_path + "' | check --json '" + original_path + "' -",
                                        "check --json '" + original_path + "' - < '" + copy_path + "'"}) {
            const PipedRun run = run_in_shell(line);
            EXPECT_EQ(run.status, PASSED) << line << "\n" << run.err;
            expect_model(json::parse(text_lines(run.out), nullptr, false), model);
        }
    }
}

// Mono, stereo and six channels at delays either way, against the model;
// per second too.
TEST_F(CheckEndToEnd, ChannelsDelaysAndSecondsAsTheModel) {
    struct Case {
        std::uint16_t channels;
        std::size_t original_frames;
        std::size_t copy_frames;
        std::int64_t delay;
    };
    for (const Case& c : {Case{1, 5 * RATE / 2, 5 * RATE / 2, 0}, Case{2, 3 * RATE, 3 * RATE + 1105, 1105},
                          Case{6, 4 * RATE + 3, 4 * RATE - 500, -37}, Case{2, 3 * RATE, RATE, 0}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, delay " << c.delay);
        const Samples original = music_like(c.original_frames, c.channels, 3);
        // The copy at the delay: its frame `delay` is the original's frame 0.
        Samples copy = degraded(music_like(c.copy_frames, c.channels, 4), 5);
        const Samples near = degraded(original, 6);
        for (std::size_t f = 0; f < c.copy_frames; ++f) {
            const auto source = static_cast<std::int64_t>(f) - c.delay;
            if (source >= 0 && static_cast<std::size_t>(source) < c.original_frames) {
                std::copy_n(near.begin() + static_cast<std::ptrdiff_t>(source * c.channels), c.channels,
                            copy.begin() + static_cast<std::ptrdiff_t>(f * c.channels));
            }
        }
        const ModelComparison model = model_comparison(original, copy, c.channels, RATE, c.delay);
        const std::string original_path = file(plain_wav(original, c.channels));
        const std::string copy_path = file(plain_wav(copy, c.channels));
        const std::string delay = "--delay=" + std::to_string(c.delay);
        expect_model(checked({"--json", delay, original_path, copy_path}), model);

        const PipedRun rows = run_check({"--jsonl", delay, original_path, copy_path});
        std::istringstream lines(text_lines(rows.out));
        std::string line;
        for (std::size_t second = 0; second < model.seconds.size(); ++second) {
            ASSERT_TRUE(std::getline(lines, line));
            const json row = json::parse(line);
            EXPECT_EQ(row["second"], second);
            EXPECT_EQ(row["frames"], model.second_frames[second]);
            EXPECT_DOUBLE_EQ(row["start_s"].get<double>(),
                             static_cast<double>(model.original_skipped + second * RATE) / RATE);
            for (std::uint16_t ch = 0; ch < c.channels; ++ch) {
                EXPECT_NEAR(row["psnr_db"][ch].get<double>(),
                            model_psnr_db(model.seconds[second][ch].squares, model.second_frames[second]),
                            DB_TOLERANCE);
                EXPECT_EQ(row["max_diff"][ch], model.seconds[second][ch].largest);
            }
        }
        ASSERT_TRUE(std::getline(lines, line));
        expect_model(json::parse(line), model);
        EXPECT_FALSE(std::getline(lines, line));
    }
}

// The stereo summary's vorik line is vorik's last progress line on the same
// files, wherever vorik measures them all.
TEST_F(CheckEndToEnd, StereoLineIsVoriksLastLine) {
    const std::pair<std::size_t, int> pairs[] = {
        {3 * RATE, 9}, {5 * RATE / 2, 3}, {RATE / 3, 1001}, {7 * RATE, 2}};
    for (const auto& [frames, spread] : pairs) {
        const Samples original = music_like(frames, 2, 7);
        const Samples copy = degraded(original, 8, spread);
        const std::string original_path = file(plain_wav(original, 2));
        const std::string copy_path = file(plain_wav(copy, 2));
        const json summary = checked({"--json", original_path, copy_path});
        const PipedRun vorik = run_piped({original_path, copy_path});
        const std::string out = vorik.out;
        const std::size_t last = out.rfind('\r', out.size() - 2);
        EXPECT_EQ(summary["vorik"].get<std::string>() + "\r",
                  out.substr(last == std::string::npos ? 0 : last + 1));
    }
}

TEST_F(CheckEndToEnd, RefusalsSayWhatAndWhy) {
    const Samples samples = music_like(RATE, 2, 9);
    const std::string good = file(plain_wav(samples, 2));
    const std::string data = samples_bytes(samples);
    const std::string missing = dir_.path() + "/missing.wav";
    const std::pair<std::string, std::string> files[] = {
        {riff(chunk("fmt ", format_body(2, FORMAT_PCM, 24)) + chunk("data", data)),
         "24-bit PCM; vorik-check measures 16-bit PCM"},
        {riff(chunk("fmt ", format_body(2, FLOAT, 32)) + chunk("data", data)),
         "32-bit float; vorik-check measures 16-bit PCM"},
        {riff(chunk("fmt ", format_body(2, ALAW, 8)) + chunk("data", data)),
         "A-law; vorik-check measures 16-bit PCM"},
        {riff(chunk("fmt ", format_body(2, EXTENSIBLE, 32, 32, FLOAT)) + chunk("data", data)),
         "32-bit float; vorik-check measures 16-bit PCM"},
        {riff(chunk("fmt ", format_body(2, EXTENSIBLE, 24, 20)) + chunk("data", data)),
         "20-bit PCM in 24-bit samples; vorik-check measures 16-bit PCM"},
        {riff(chunk("fmt ", format_body(2).substr(0, 12)) + chunk("data", data)),
         "the 'fmt ' chunk has a size of 12 bytes, which cannot be right"},
        {plain_wav(samples, 2).substr(0, 30), "the file ends within its header, before the first sample"},
        {riff(chunk("data", data) + chunk("fmt ", format_body(2))),
         "the data chunk comes before the format chunk"},
        {"RIFX" + plain_wav(samples, 2).substr(4), "not a RIFF/WAVE file"},
        {riff(chunk("fmt ", format_body(0)) + chunk("data", data)), "no channels"},
    };
    for (const auto& [bytes, why] : files) {
        const std::string bad = file(bytes);
        for (const Args& args : {Args{bad, good}, Args{good, bad}}) {
            const PipedRun run = run_check(args);
            EXPECT_EQ(run.status, NOT_MEASURED);
            EXPECT_EQ(text_lines(run.err), "vorik-check: " + bad + ": " + why + "\n");
            EXPECT_EQ(run.out, "");
        }
    }
    const std::string mono = file(plain_wav(music_like(RATE, 1, 9), 1));
    const std::pair<Args, std::string> runs[] = {
        {{good, mono}, good + " and " + mono + " have different channel counts (2 and 1)"},
        {{missing, good}, missing + ": cannot open: No such file or directory"},
        {{"-", "-"}, "only one of ORIGINAL and COPY can be - (standard input)"},
        {{"--max-delay", "480001", good, good}, "--max-delay 480001 is more than 60 seconds"},
    };
    for (const auto& [args, why] : runs) {
        const PipedRun run = run_check(args);
        EXPECT_EQ(run.status, NOT_MEASURED);
        EXPECT_EQ(text_lines(run.err), "vorik-check: " + why + "\n");
    }
    for (const Args& args : {Args{good}, Args{"--delay", "3", "--align", good, good},
                             Args{"--json", "--csv", good, good}, Args{"--no-such-option", good, good},
                             Args{"--max-diff", "70000", good, good}, Args{good, dir_.path()}}) {
        const PipedRun run = run_check(args);
        EXPECT_EQ(run.status, NOT_MEASURED) << args.front();
        EXPECT_NE(run.err, "") << args.front();
    }
    for (const char* answered : {"--help", "--version"}) {
        const PipedRun run = run_check({answered});
        EXPECT_EQ(run.status, PASSED);
        EXPECT_NE(run.out.find("vorik-check"), std::string::npos);
    }
}

// Each limit passes where it holds and fails, naming the channel, where it
// does not. The copy breaks down for one second of three on its right
// channel.
TEST_F(CheckEndToEnd, VerdictsAgainstTheLimits) {
    const Samples original = music_like(3 * RATE, 2, 10);
    Samples copy = degraded(original, 11);
    for (std::size_t f = RATE; f < 2 * RATE; ++f)
        copy[2 * f + 1] = static_cast<std::int16_t>(copy[2 * f + 1] / 2);
    const ModelComparison model = model_comparison(original, copy, 2, RATE, 0);
    const double right_db = model_psnr_db(model.total[1].squares, model.frames);
    const double worst_db = model_psnr_db(model.seconds[1][1].squares, RATE);
    const std::string original_path = file(plain_wav(original, 2));
    const std::string copy_path = file(plain_wav(copy, 2));
    const std::string twin = file(plain_wav(original, 2));
    const std::string short_copy = file(plain_wav(Samples(copy.begin(), copy.begin() + 4 * RATE), 2));
    const auto text = [](double value) { return std::to_string(value); };
    struct Case {
        Args limits;
        std::string copy;
        int status;
        std::string failure;  // the failure line that must be there
    };
    const Case cases[] = {
        {{"--min-psnr", text(right_db - 0.01)}, copy_path, PASSED, ""},
        {{"--min-psnr", text(right_db + 0.01)}, copy_path, FAILED, "channel 2: PSNR"},
        {{"--min-second-psnr", text(worst_db - 0.01)}, copy_path, PASSED, ""},
        {{"--min-second-psnr", text(worst_db + 0.01)}, copy_path, FAILED, "channel 2: 1 second(s) below"},
        {{"--max-diff", std::to_string(model.total[1].largest)}, copy_path, PASSED, ""},
        {{"--max-diff", std::to_string(model.total[1].largest - 1)},
         copy_path,
         FAILED,
         "channel 2: a difference of"},
        {{"--bit-exact"}, twin, PASSED, ""},
        {{"--bit-exact"}, copy_path, FAILED, "channel 1: "},
        {{"--min-psnr", "0"}, short_copy, FAILED, "the copy is short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limits.front() + " " + c.limits.back());
        Args args = c.limits;
        args.insert(args.end(), {"--json", original_path, c.copy});
        const json summary = checked(args, c.status);
        EXPECT_EQ(summary["verdict"], c.status == PASSED ? "pass" : "fail");
        EXPECT_EQ(summary["failures"].empty(), c.failure.empty());
        if (!c.failure.empty()) {
            EXPECT_EQ(summary["failures"][0].get<std::string>().rfind(c.failure, 0), 0U)
                << summary["failures"];
        }
    }
    const json none = checked({"--json", original_path, copy_path});
    EXPECT_EQ(none["verdict"], "none");
    EXPECT_EQ(none["worst_second"]["second"], 1);
    EXPECT_EQ(none["worst_second"]["channel"], 2);
}

// A copy that lies late is measured at delay 0 unless told otherwise, with a
// warning; under a limit that is a failure, and --align measures it where
// it lies.
TEST_F(CheckEndToEnd, MisalignedCopies) {
    const Samples original = music_like(4 * RATE, 2, 12);
    Samples late(2 * 1105, 0);
    const Samples near = degraded(original, 13);
    late.insert(late.end(), near.begin(), near.end());
    const std::string original_path = file(plain_wav(original, 2));
    const std::string late_path = file(plain_wav(late, 2));
    const json at_zero = checked({"--json", original_path, late_path});
    EXPECT_EQ(at_zero["delay"], 0);
    EXPECT_EQ(at_zero["best_delay"], 1105);
    EXPECT_TRUE(at_zero["misaligned"].get<bool>());
    const json failed = checked({"--json", "--min-psnr", "10", original_path, late_path}, FAILED);
    EXPECT_EQ(failed["failures"][0].get<std::string>().rfind("misaligned", 0), 0U);
    const json aligned = checked({"--json", "--align", "--min-psnr", "40", original_path, late_path});
    EXPECT_EQ(aligned["delay"], 1105);
    EXPECT_EQ(aligned["delay_origin"], "found");
    expect_model(aligned, model_comparison(original, late, 2, RATE, 1105));
}

// Per-second CSV rows: a header, then one row a second with the model's
// figures; the summary goes to standard error.
TEST_F(CheckEndToEnd, CsvRows) {
    const Samples original = music_like(5 * RATE / 2, 2, 14);
    const Samples copy = degraded(original, 15);
    const ModelComparison model = model_comparison(original, copy, 2, RATE, 0);
    const PipedRun run = run_check({"--csv", file(plain_wav(original, 2)), file(plain_wav(copy, 2))});
    EXPECT_EQ(run.status, PASSED);
    std::istringstream lines(text_lines(run.out));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "second,start_s,frames,psnr_db_1,psnr_db_2,total_db_1,total_db_2,max_diff_1,max_diff_2");
    for (std::size_t second = 0; second < model.seconds.size(); ++second) {
        ASSERT_TRUE(std::getline(lines, line));
        std::istringstream cells(line);
        std::string cell;
        std::vector<std::string> row;
        while (std::getline(cells, cell, ',')) row.push_back(cell);
        ASSERT_EQ(row.size(), 9U);
        EXPECT_EQ(row[0], std::to_string(second));
        EXPECT_EQ(row[2], std::to_string(model.second_frames[second]));
        EXPECT_NEAR(std::stod(row[3]),
                    model_psnr_db(model.seconds[second][0].squares, model.second_frames[second]),
                    DB_TOLERANCE);
        EXPECT_EQ(row[8], std::to_string(model.seconds[second][1].largest));
    }
    EXPECT_FALSE(std::getline(lines, line));
    EXPECT_NE(run.err.find("verdict: none"), std::string::npos);
}

std::string file_bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// --plot writes the picture once the copy is measured: under its name, in
// place of an older file, or on standard output with the report on
// standard error. A run that fails leaves no file and an older one as it was.
// What the picture shows is the test of plot_test.py.
TEST_F(CheckEndToEnd, PlotWrittenWholeOrNotAtAll) {
    const Samples original = music_like(2 * RATE, 2, 16);
    const std::string original_path = file(plain_wav(original, 2));
    const std::string copy_path = file(plain_wav(degraded(original, 17), 2));
    const std::string refused_copy =
        file(riff(chunk("fmt ", format_body(2, FORMAT_PCM, 24)) + chunk("data", samples_bytes(original))));
    const std::string folder = dir_.path() + "/pictures";
    std::filesystem::create_directory(folder);
    const std::string older = folder + "/older.svg";
    const std::string kept = folder + "/kept.svg";
    std::ofstream(older) << "older";
    std::ofstream(kept) << "kept";

    const PipedRun to_stdout = run_check({"--json", "--plot", "-", original_path, copy_path});
    EXPECT_EQ(to_stdout.status, PASSED) << to_stdout.err;
    const std::string picture = text_lines(to_stdout.out);
    EXPECT_EQ(picture.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg ", 0), 0U) << picture;
    EXPECT_EQ(picture.substr(picture.size() - 7), "</svg>\n");
    const json report = json::parse(text_lines(to_stdout.err), nullptr, false);
    EXPECT_EQ(report["frames"], 2 * RATE) << to_stdout.err;

    // The picture replaces an older file, and takes a name beyond any code page.
    for (const std::string& path : {older, folder + "/図 ü€🎵.svg"}) {
        const json summary = checked({"--json", "--plot", path, original_path, copy_path});
        EXPECT_EQ(summary, report);
        EXPECT_EQ(file_bytes(path), picture) << path;
    }
    const std::vector<std::string> written = names_in(folder);
    EXPECT_EQ(written.size(), 3U);

    const std::pair<Args, std::string> failures[] = {
        {{"--plot", kept, original_path, refused_copy},
         refused_copy + ": 24-bit PCM; vorik-check measures 16-bit PCM"},
        {{"--plot", kept, original_path, dir_.path() + "/missing.wav"},
         dir_.path() + "/missing.wav: cannot open: No such file or directory"},
        // Refused after the check that the picture can be written.
        {{"--plot", kept, "--max-delay", "480001", original_path, copy_path},
         "--max-delay 480001 is more than 60 seconds"},
        {{"--plot", folder + "/missing/new.svg", original_path, copy_path},
         folder + "/missing/new.svg: cannot write: No such file or directory"},
        {{"--plot", "-", "--csv", original_path, copy_path},
         "--plot - excludes --csv: both write to standard output"},
        {{"--plot", copy_path, original_path, copy_path},
         "--plot " + copy_path + " would write over a file it measures"},
    };
    for (const auto& [args, why] : failures) {
        const PipedRun run = run_check(args);
        EXPECT_EQ(run.status, NOT_MEASURED) << args[1];
        EXPECT_NE(text_lines(run.err).find(why + "\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(names_in(folder), written);
        EXPECT_EQ(file_bytes(kept), "kept");
    }
}

}  // namespace
}  // namespace vorik_test
