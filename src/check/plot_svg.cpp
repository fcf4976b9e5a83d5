#include "plot_svg.h"

#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "plot_axes.h"
#include "progress.h"
#include "svg_text.h"

namespace vorik::check {
namespace {

// The layout around the plot area, in pixels.
constexpr double PICTURE_WIDTH = 1000.0;
constexpr double TITLE_Y = 26.0;
constexpr double NAMES_Y = 46.0;
constexpr double LINE_HEIGHT = 16.0;
constexpr double TICK_LENGTH = 5.0;
constexpr double TICK_LABEL_GAP = 8.0;
constexpr double X_LABELS_Y = PLOT_BOTTOM + 20.0;
constexpr double X_TITLE_Y = PLOT_BOTTOM + 40.0;
constexpr double Y_TITLE_X = 24.0;
constexpr double NOTES_Y = PLOT_BOTTOM + 62.0;
constexpr double LEGEND_GAP = 12.0;
constexpr double LEGEND_ENTRY_WIDTH = 220.0;
constexpr int LEGEND_ENTRIES_PER_ROW = 4;
constexpr double LEGEND_SWATCH = 28.0;
constexpr double LEGEND_TEXT_GAP = 6.0;
constexpr double BOTTOM_MARGIN = 12.0;
constexpr double MARKER_RADIUS = 4.5;
constexpr double MARKER_LABEL_GAP = 10.0;
constexpr double LIMIT_LABEL_GAP = 4.0;

// Room for rounding where a tick's value is worked out from its step.
constexpr double ROUNDING_SLACK = 1e-9;
constexpr double SECONDS_PER_HOUR = 3600.0;

constexpr double SECOND_LINE_WIDTH = 1.6;
constexpr double RUNNING_LINE_WIDTH = 0.8;
constexpr double GUIDE_LINE_WIDTH = 1.0;
constexpr char WHOLE_FILE_DASHES[] = "1 3";
constexpr char LIMIT_DASHES[] = "6 4";
// Channels past the palette repeat its colours with dashes.
constexpr char REPEAT_DASHES[] = "7 3";
constexpr const char* PALETTE[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7",
                                   "#e69f00", "#56b4e9", "#882255", "#6b6b00"};
constexpr std::size_t PALETTE_SIZE = sizeof PALETTE / sizeof PALETTE[0];
constexpr char INK[] = "#222222";
constexpr char GRID[] = "#dddddd";
constexpr char BAND_FILL[] = "#ececec";
constexpr char LIMIT_INK[] = "#444444";

// A rectangle as wide as the plot area.
std::string rect(double y, double height, const std::string& style) {
    return "<rect x=\"" + coordinate(PLOT_LEFT) + "\" y=\"" + coordinate(y) + "\" width=\"" +
           coordinate(PLOT_WIDTH) + "\" height=\"" + coordinate(height) + "\" " + style + "/>\n";
}

const char* colour_of(std::uint16_t channel) { return PALETTE[channel % PALETTE_SIZE]; }

const char* dashes_of(std::uint16_t channel) { return channel / PALETTE_SIZE % 2 == 1 ? REPEAT_DASHES : ""; }

// The points of one channel's line through `figures`: a level step for each
// second, or where the seconds outnumber the columns, a stroke in each
// column from the highest to the lowest of the seconds it spans.
std::string points_of(const PlotSeries& series, const std::vector<double>& figures, std::uint16_t channel,
                      const Axes& axes) {
    const std::size_t seconds = figures.size() / series.channels;
    std::string points;
    const auto point = [&points](double x, double y) {
        if (!points.empty()) {
            points += ' ';
        }
        points += coordinate(x);
        points += ',';
        points += coordinate(y);
    };
    if (!axes.columned) {
        for (std::size_t s = 0; s < seconds; ++s) {
            const double y = y_of(axes, figures[s * series.channels + channel]);
            const double start = axes.start_s + static_cast<double>(s);
            point(x_of(axes, start), y);
            point(x_of(axes, second_end(axes, start)), y);
        }
        return points;
    }
    int column = 0;
    double lowest = 0.0;
    double highest = 0.0;
    bool open = false;
    const auto put_column = [&] {
        const double x = PLOT_LEFT + column + 0.5;
        point(x, y_of(axes, highest));
        point(x, y_of(axes, lowest));
    };
    for (std::size_t s = 0; s < seconds; ++s) {
        const int at = std::min(PLOT_COLUMNS - 1,
                                static_cast<int>(static_cast<double>(s) / axes.duration_s * PLOT_WIDTH));
        const double db = figures[s * series.channels + channel];
        if (open && at != column) {
            put_column();
            open = false;
        }
        lowest = open ? std::min(lowest, db) : db;
        highest = open ? std::max(highest, db) : db;
        column = at;
        open = true;
    }
    if (open) {
        put_column();
    }
    return points;
}

std::string grid_and_ticks(const Axes& axes) {
    std::string svg = "<g class=\"y-ticks\" text-anchor=\"end\" dominant-baseline=\"middle\">\n";
    const int decimals =
        std::max(0, -static_cast<int>(std::floor(std::log10(axes.db_step) + ROUNDING_SLACK)));
    const std::string label_format = "%." + std::to_string(decimals) + "f";
    const auto first = static_cast<long>(std::ceil(axes.low_db / axes.db_step - ROUNDING_SLACK));
    const auto last = static_cast<long>(std::floor(axes.high_db / axes.db_step + ROUNDING_SLACK));
    for (long k = first; k <= last; ++k) {
        const double db = static_cast<double>(k) * axes.db_step;
        const double y = y_of(axes, db);
        svg += line(PLOT_LEFT, y, PLOT_RIGHT, y, stroke(GRID, GUIDE_LINE_WIDTH));
        svg += line(PLOT_LEFT - TICK_LENGTH, y, PLOT_LEFT, y, stroke(INK, GUIDE_LINE_WIDTH));
        svg += text(PLOT_LEFT - TICK_LABEL_GAP, y, printed(label_format.c_str(), db));
    }
    svg += "</g>\n<g class=\"x-ticks\" text-anchor=\"middle\">\n";
    const double end_s = axes.start_s + axes.duration_s;
    for (auto k = static_cast<long>(std::ceil(axes.start_s / axes.time_step));
         static_cast<double>(k) * axes.time_step <= end_s; ++k) {
        const double t = static_cast<double>(k) * axes.time_step;
        const double x = x_of(axes, t);
        svg += line(x, PLOT_TOP, x, PLOT_BOTTOM, stroke(GRID, GUIDE_LINE_WIDTH));
        svg += line(x, PLOT_BOTTOM, x, PLOT_BOTTOM + TICK_LENGTH, stroke(INK, GUIDE_LINE_WIDTH));
        svg += text(x, X_LABELS_Y, clock_time(t));
    }
    svg += "</g>\n";
    svg += rect(PLOT_TOP, PLOT_HEIGHT, "fill=\"none\" " + stroke(INK, GUIDE_LINE_WIDTH));
    svg += text(PLOT_LEFT + PLOT_WIDTH / 2, X_TITLE_Y,
                end_s >= SECONDS_PER_HOUR ? "time in the original (h:mm:ss)" : "time in the original (m:ss)",
                "text-anchor=\"middle\"");
    const std::string middle = coordinate(PLOT_TOP + PLOT_HEIGHT / 2);
    svg += "<text x=\"" + coordinate(Y_TITLE_X) + "\" y=\"" + middle + "\" transform=\"rotate(-90 " +
           coordinate(Y_TITLE_X) + " " + middle + ")\" text-anchor=\"middle\">PSNR (dB)</text>\n";
    if (axes.clipped) {
        svg += rect(BAND_TOP, BAND_HEIGHT, std::string("class=\"identical\" fill=\"") + BAND_FILL + "\"");
        svg += text(PLOT_LEFT - TICK_LABEL_GAP, BAND_TOP + BAND_HEIGHT / 2, "identical",
                    "text-anchor=\"end\" dominant-baseline=\"middle\"");
    }
    return svg;
}

std::string limit_line(const Axes& axes, double db, const std::string& label, bool label_left) {
    const double y = y_of(axes, db);
    return line(PLOT_LEFT, y, PLOT_RIGHT, y,
                "class=\"limit\" " + stroke(LIMIT_INK, GUIDE_LINE_WIDTH, LIMIT_DASHES)) +
           text(label_left ? PLOT_LEFT + LIMIT_LABEL_GAP : PLOT_RIGHT - LIMIT_LABEL_GAP, y - LIMIT_LABEL_GAP,
                label + " " + printed("%g", db) + " dB",
                std::string("fill=\"") + LIMIT_INK + "\" text-anchor=\"" + (label_left ? "start" : "end") +
                    "\"");
}

std::string channel_lines(const PlotSeries& series, const Axes& axes) {
    std::string svg;
    for (std::uint16_t c = 0; c < series.channels; ++c) {
        const std::string which = " data-channel=\"" + std::to_string(c + 1) + "\" fill=\"none\" ";
        if (c < series.whole_db.size()) {
            const double y = y_of(axes, series.whole_db[c]);
            svg += line(
                PLOT_LEFT, y, PLOT_RIGHT, y,
                "class=\"whole-file\"" + which + stroke(colour_of(c), GUIDE_LINE_WIDTH, WHOLE_FILE_DASHES));
        }
        svg += "<polyline class=\"running\"" + which +
               stroke(colour_of(c), RUNNING_LINE_WIDTH, dashes_of(c)) + " points=\"" +
               points_of(series, series.running_db, c, axes) + "\"/>\n";
        svg += "<polyline class=\"second\"" + which + stroke(colour_of(c), SECOND_LINE_WIDTH, dashes_of(c)) +
               " stroke-linejoin=\"round\" points=\"" + points_of(series, series.second_db, c, axes) +
               "\"/>\n";
    }
    return svg;
}

std::string decibels(double db) {
    return db >= PSNR_IDENTICAL ? "identical (333 dB)" : printed("%.3f", db) + " dB";
}

std::string worst_mark(const PlotSeries& series, const Axes& axes) {
    const double start = axes.start_s + static_cast<double>(series.worst_second);
    const double x = x_of(axes, (start + second_end(axes, start)) / 2);
    const double y = y_of(axes, series.worst_db);
    const bool right_half = x > PLOT_LEFT + PLOT_WIDTH / 2;
    const double label_y = y + MARKER_LABEL_GAP > PLOT_BOTTOM - LINE_HEIGHT
                               ? y - MARKER_LABEL_GAP
                               : y + MARKER_LABEL_GAP + LINE_HEIGHT / 2;
    return "<circle class=\"worst\" cx=\"" + coordinate(x) + "\" cy=\"" + coordinate(y) + "\" r=\"" +
           coordinate(MARKER_RADIUS) + "\" fill=\"none\" " + stroke(INK, SECOND_LINE_WIDTH) + "/>\n" +
           text(right_half ? x - MARKER_LABEL_GAP : x + MARKER_LABEL_GAP, label_y,
                "worst: second " + std::to_string(series.worst_second) + " (" + clock_time(start) +
                    "), channel " + std::to_string(series.worst_channel) + ", " + decibels(series.worst_db),
                std::string("class=\"worst\" font-weight=\"bold\" text-anchor=\"") +
                    (right_half ? "end" : "start") + "\"");
}

std::string notes(const PlotSeries& series, const Axes& axes, double& y) {
    std::string svg;
    const auto note = [&](const std::string& line_text) {
        svg += text(PLOT_LEFT, y, line_text, "class=\"note\"");
        y += LINE_HEIGHT;
    };
    if (series.frames == 0) {
        note("No frames were compared.");
    }
    if (axes.clipped) {
        note(
            "The axis is clipped: a second with no difference at all (333 dB) is drawn in the band marked "
            "identical.");
    }
    if (axes.columned) {
        note("Each column of pixels spans about " + printed("%.0f", std::ceil(axes.duration_s / PLOT_WIDTH)) +
             " seconds: the lines there run from the lowest to the highest of them.");
    }
    return svg;
}

// A short line in the legend, of a channel's colour or of the ink.
std::string swatch(double x, double y, const std::string& style) {
    return line(x, y, x + LEGEND_SWATCH, y, style);
}

std::string legend(const PlotSeries& series, double& y) {
    y += LEGEND_GAP;
    std::string svg = "<g class=\"legend\" dominant-baseline=\"middle\">\n";
    const std::pair<std::string, std::string> keys[] = {
        {stroke(INK, SECOND_LINE_WIDTH), "each second"},
        {stroke(INK, RUNNING_LINE_WIDTH), "from the start to that second"},
        {stroke(INK, GUIDE_LINE_WIDTH, WHOLE_FILE_DASHES), "the whole file"},
        {stroke(LIMIT_INK, GUIDE_LINE_WIDTH, LIMIT_DASHES), "a limit given"},
    };
    double x = PLOT_LEFT;
    for (const auto& [style, name] : keys) {
        svg += swatch(x, y, style) + text(x + LEGEND_SWATCH + LEGEND_TEXT_GAP, y, name);
        x += LEGEND_ENTRY_WIDTH;
    }
    for (std::uint16_t c = 0; c < series.channels; ++c) {
        if (c % LEGEND_ENTRIES_PER_ROW == 0) {
            y += LINE_HEIGHT + LEGEND_TEXT_GAP;
        }
        x = PLOT_LEFT + (c % LEGEND_ENTRIES_PER_ROW) * LEGEND_ENTRY_WIDTH;
        std::string name = "channel " + std::to_string(c + 1);
        if (c < series.whole_db.size()) {
            name += ": " + decibels(series.whole_db[c]);
        }
        svg += swatch(x, y, stroke(colour_of(c), SECOND_LINE_WIDTH, dashes_of(c))) +
               text(x + LEGEND_SWATCH + LEGEND_TEXT_GAP, y, name);
    }
    return svg + "</g>\n";
}

}  // namespace

std::string plot_svg(const PlotSeries& series) {
    const Axes axes = axes_of(series);
    std::string body = text(PLOT_LEFT, TITLE_Y, "PSNR of the copy, second by second",
                            "font-size=\"18\" font-weight=\"bold\"") +
                       text(PLOT_LEFT, NAMES_Y, "original: " + series.original) +
                       text(PLOT_LEFT, NAMES_Y + LINE_HEIGHT, "copy: " + series.copy) + grid_and_ticks(axes);
    if (series.min_second_psnr && drawn(*series.min_second_psnr)) {
        body += limit_line(axes, *series.min_second_psnr, "--min-second-psnr", true);
    }
    if (series.min_psnr && drawn(*series.min_psnr)) {
        body += limit_line(axes, *series.min_psnr, "--min-psnr", false);
    }
    body += channel_lines(series, axes);
    if (series.has_worst) {
        body += worst_mark(series, axes);
    }
    double y = NOTES_Y;
    body += notes(series, axes, y);
    body += legend(series, y);
    const std::string height = coordinate(y + LINE_HEIGHT / 2 + BOTTOM_MARGIN);
    const std::string width = coordinate(PICTURE_WIDTH);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
           "\" font-family=\"sans-serif\" font-size=\"12\" fill=\"" + INK + "\">\n<title>" +
           xml_text("PSNR of " + series.copy + " against " + series.original + ", second by second") +
           "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" + body + "</svg>\n";
}

}  // namespace vorik::check
