// Where figures lie in a picture of a comparison: the plot area's place in
// pixels, and the span of decibels and seconds its edges stand for.
#pragma once

#include "plot_svg.h"

namespace vorik::check {

// The plot area, in pixels. It has a fixed number of columns of pixels,
// which bounds the picture's size for any length of comparison.
constexpr int PLOT_COLUMNS = 880;
constexpr double PLOT_WIDTH = PLOT_COLUMNS;
constexpr double PLOT_LEFT = 80.0;
constexpr double PLOT_RIGHT = PLOT_LEFT + PLOT_WIDTH;
// Identical seconds (333 dB) are drawn in a band above the plot area, so
// that they do not squash every other figure at the bottom.
constexpr double BAND_TOP = 82.0;
constexpr double BAND_HEIGHT = 14.0;
constexpr double PLOT_TOP = 104.0;
constexpr double PLOT_HEIGHT = 360.0;
constexpr double PLOT_BOTTOM = PLOT_TOP + PLOT_HEIGHT;

// What the plot area's edges stand for.
struct Axes {
    double low_db;
    double high_db;
    double db_step;
    double start_s;
    double duration_s;
    double time_step;
    bool clipped;   // some figure is 333 dB: drawn in the band
    bool columned;  // more seconds than columns: each column spans several
};

// Axes that hold every figure of `series` below 333 dB and every limit drawn.
Axes axes_of(const PlotSeries& series);

// Whether a limit is drawn: one below 0 dB holds for any copy, and one
// that is no number means nothing on the axis. One of 333 dB or more is
// drawn in the band.
bool drawn(double limit);

double x_of(const Axes& axes, double seconds);

// Where the second that starts at `start` seconds ends: a second later, or
// at the end of what was compared.
double second_end(const Axes& axes, double start);

double y_of(const Axes& axes, double db);

}  // namespace vorik::check
