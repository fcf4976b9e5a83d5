#include "output.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace vorik::check {
namespace {

constexpr std::uint16_t STEREO = 2;

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::pass:
            return "pass";
        case Verdict::fail:
            return "fail";
        case Verdict::none:
            break;
    }
    return "none";
}

const char* origin_name(DelayOrigin origin) {
    switch (origin) {
        case DelayOrigin::given:
            return "given";
        case DelayOrigin::found:
            return "found";
        case DelayOrigin::zero:
            break;
    }
    return "zero";
}

const char* finding_name(DelayFinding finding) {
    switch (finding) {
        case DelayFinding::found:
            return "found";
        case DelayFinding::no_signal:
            return "no_signal";
        case DelayFinding::ambiguous:
            return "ambiguous";
        case DelayFinding::out_of_memory:
            break;
    }
    return "out_of_memory";
}

// A JSON string: UTF-8 as it is, bytes that are not UTF-8 replaced.
std::string json_string(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string json_bool(bool value) { return value ? "true" : "false"; }

// The members of one JSON object, in the order they are added.
struct JsonObject {
    std::string text;

    JsonObject& add(const char* key, const std::string& value) {
        text += text.empty() ? "{" : ",";
        text += json_string(key) + ":" + value;
        return *this;
    }
    std::string close() const { return text.empty() ? "{}" : text + "}"; }
};

template <typename Values, typename Format>
std::string json_array(const Values& values, Format format) {
    std::string text = "[";
    for (const auto& value : values) {
        if (text.size() > 1) {
            text += ',';
        }
        text += format(value);
    }
    return text + "]";
}

template <typename Integer>
std::string integer(Integer value) {
    return std::to_string(value);
}

std::string delay_search_json(const DelayReport& delay) {
    if (!delay.searched) {
        return "null";
    }
    const DelayEstimate& estimate = delay.estimate;
    return JsonObject{}
        .add("finding", json_string(finding_name(estimate.finding)))
        .add("delay", integer(estimate.delay))
        .add("frames", integer(estimate.frames))
        .add("delay_db", estimate.frames > 0 ? shortest_number(estimate.delay_db) : "null")
        .add("zero_db", estimate.frames > 0 ? shortest_number(estimate.zero_db) : "null")
        .close();
}

std::string worst_second_json(const CheckReport& report) {
    if (!report.has_worst) {
        return "null";
    }
    return JsonObject{}
        .add("second", integer(report.worst_second))
        .add("channel", integer(report.worst_channel))
        .add("psnr_db", shortest_number(report.worst_db))
        .close();
}

template <typename Field>
std::string per_channel(const CheckReport& report, Field field) {
    return json_array(report.channel, field);
}

std::string text_line(const std::string& name, const std::string& value) {
    return name + ": " + value + "\n";
}

std::string fixed(double value, const char* format) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string frames_and_time(std::uint64_t frames, std::uint32_t sample_rate) {
    return integer(frames) + " frames (" + fixed(static_cast<double>(frames) / sample_rate, "%.3f") + " s)";
}

std::string delay_text(const CheckReport& report) {
    const DelayReport& delay = report.delay;
    const std::string frames = integer(delay.delay) + " frames";
    switch (delay.origin) {
        case DelayOrigin::given:
            return frames + " (given)";
        case DelayOrigin::found:
            return frames + " (found by the search)";
        case DelayOrigin::zero:
            break;
    }
    if (!delay.searched) {
        return frames;
    }
    const DelayEstimate& estimate = delay.estimate;
    if (estimate.finding != DelayFinding::found) {
        return frames + " (the search could not tell the delay: " + finding_name(estimate.finding) + ")";
    }
    if (estimate.delay == 0) {
        return frames + " (the search agrees)";
    }
    return frames + " (the search found " + integer(estimate.delay) + ", " +
           fixed(estimate.delay_db - estimate.zero_db, "%.3f") + " dB better" +
           (delay.misaligned ? "; misaligned: use --align)" : ")");
}

std::string psnr_text(const CheckReport& report, double db) {
    return report.frames > 0 ? fixed(db, "%.3f") + " dB" : "none (no frames compared)";
}

}  // namespace

std::string shortest_number(double value) {
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end.ptr);
}

std::string summary_text(const CheckReport& report) {
    std::string text = text_line("original", report.original) + text_line("copy", report.copy) +
                       text_line("sample rate", integer(report.sample_rate) + " Hz") +
                       text_line("channels", integer(report.channels)) +
                       text_line("delay", delay_text(report)) +
                       text_line("frames compared", frames_and_time(report.frames, report.sample_rate));
    if (report.original_left > 0) {
        text += text_line("original frames after the copy's end",
                          frames_and_time(report.original_left, report.sample_rate));
    }
    if (report.copy_left > 0) {
        text += text_line("copy frames after the original's end (ignored)",
                          frames_and_time(report.copy_left, report.sample_rate));
    }
    for (std::size_t c = 0; c < report.channel.size(); ++c) {
        const ChannelReport& channel = report.channel[c];
        const std::string name = "channel " + integer(c + 1);
        text += text_line(name + " psnr", psnr_text(report, channel.psnr_db));
        if (report.seconds > 0) {
            text += text_line(name + " worst second", integer(channel.worst_second) + " (" +
                                                          fixed(channel.worst_second_db, "%.3f") + " dB)");
        }
        text +=
            text_line(name + " largest difference",
                      integer(channel.max_diff) + " LSB" +
                          (channel.max_diff > 0 ? " at " + fixed(channel.max_diff_at_s, "%.6f") + " s" : ""));
        text += text_line(name + " differing samples", integer(channel.differing));
    }
    text += text_line("mean psnr", psnr_text(report, report.mean_db));
    if (report.has_worst) {
        text += text_line("worst second", integer(report.worst_second) + ", channel " +
                                              integer(report.worst_channel) + " (" +
                                              fixed(report.worst_db, "%.3f") + " dB)");
    }
    text += text_line("bit exact", report.bit_exact ? "yes" : "no");
    if (report.channels == STEREO && report.frames > 0) {
        text += text_line("vorik", vorik_line(report));
    }
    for (const std::string& failure : report.failures) {
        text += text_line("failure", failure);
    }
    return text + text_line("verdict", verdict_name(report.verdict));
}

std::string summary_json(const CheckReport& report) {
    const bool measured = report.frames > 0;
    const auto db = [measured](const ChannelReport& channel) {
        return measured ? shortest_number(channel.psnr_db) : "null";
    };
    const DelayReport& delay = report.delay;
    const bool best_known = delay.searched && delay.estimate.finding == DelayFinding::found;
    const auto text = [](const std::string& line) { return json_string(line); };
    return JsonObject{}
               .add("original", json_string(report.original))
               .add("copy", json_string(report.copy))
               .add("sample_rate", integer(report.sample_rate))
               .add("channels", integer(report.channels))
               .add("delay", integer(delay.delay))
               .add("delay_origin", json_string(origin_name(delay.origin)))
               .add("best_delay", best_known ? integer(delay.estimate.delay) : "null")
               .add("delay_search", delay_search_json(delay))
               .add("misaligned", json_bool(delay.misaligned))
               .add("frames", integer(report.frames))
               .add("seconds", integer(report.seconds))
               .add("original_skipped", integer(report.original_skipped))
               .add("copy_skipped", integer(report.copy_skipped))
               .add("original_left", integer(report.original_left))
               .add("copy_left", integer(report.copy_left))
               .add("original_missing", integer(report.original_missing))
               .add("copy_missing", integer(report.copy_missing))
               .add("psnr_db", per_channel(report, db))
               .add("mean_db", measured ? shortest_number(report.mean_db) : "null")
               .add("max_diff",
                    per_channel(report, [](const ChannelReport& c) { return integer(c.max_diff); }))
               .add("max_diff_at_s",
                    per_channel(report,
                                [](const ChannelReport& c) { return shortest_number(c.max_diff_at_s); }))
               .add("differing_samples",
                    per_channel(report, [](const ChannelReport& c) { return integer(c.differing); }))
               .add("bit_exact", json_bool(report.bit_exact))
               .add("worst_second", worst_second_json(report))
               .add("vorik", report.channels == STEREO && measured ? json_string(vorik_line(report)) : "null")
               .add("verdict", json_string(verdict_name(report.verdict)))
               .add("failures", json_array(report.failures, text))
               .add("warnings", json_array(report.warnings, text))
               .close() +
           "\n";
}

std::string second_json(const SecondRow& row) {
    const auto number = [](double value) { return shortest_number(value); };
    return JsonObject{}
               .add("second", integer(row.second))
               .add("start_s", shortest_number(row.start_s))
               .add("frames", integer(row.frames))
               .add("psnr_db", json_array(row.psnr_db, number))
               .add("total_db", json_array(row.total_db, number))
               .add("max_diff", json_array(row.max_diff, [](std::uint32_t value) { return integer(value); }))
               .close() +
           "\n";
}

std::string csv_header(std::uint16_t channels) {
    std::string header = "second,start_s,frames";
    for (const char* column : {"psnr_db_", "total_db_", "max_diff_"}) {
        for (std::uint16_t c = 1; c <= channels; ++c) {
            header += std::string(",") + column + integer(c);
        }
    }
    return header + "\n";
}

std::string second_csv(const SecondRow& row) {
    std::string line = integer(row.second) + "," + shortest_number(row.start_s) + "," + integer(row.frames);
    const auto column = [&line](const std::string& value) {
        line += ',';
        line += value;
    };
    for (const double db : row.psnr_db) {
        column(shortest_number(db));
    }
    for (const double db : row.total_db) {
        column(shortest_number(db));
    }
    for (const std::uint32_t diff : row.max_diff) {
        column(integer(diff));
    }
    return line + "\n";
}

}  // namespace vorik::check
