#include "plot_axes.h"

#include <vorik/psnr_meter.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace vorik::check {
namespace {

// The dB axis: a little room beyond the figures, and about this many ticks.
constexpr double MARGIN_PART = 0.05;
constexpr double LEAST_MARGIN_DB = 1.0;
constexpr double TICKS_WANTED = 6.0;
// The axis where there is no figure below 333 dB to fit it to.
constexpr double EMPTY_LOW_DB = 0.0;
constexpr double EMPTY_HIGH_DB = 100.0;
// Tick steps of the time axis, in seconds; past the last, whole multiples of it.
constexpr double TIME_STEPS[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600};
constexpr double MOST_TIME_TICKS = 10.0;

// 1, 2 or 5 times a power of ten: the step that gives about `ticks` ticks over `span`.
double round_step(double span, double ticks) {
    const double rough = span / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (rough <= factor * power) {
            return factor * power;
        }
    }
    return 10.0 * power;
}

}  // namespace

bool drawn(double limit) { return limit >= 0.0; }

Axes axes_of(const PlotSeries& series) {
    double low = PSNR_IDENTICAL;
    double high = -PSNR_IDENTICAL;
    bool clipped = false;
    const auto take = [&](double db) {
        if (db >= PSNR_IDENTICAL) {
            clipped = true;
            return;
        }
        low = std::min(low, db);
        high = std::max(high, db);
    };
    for (const std::vector<double>* figures : {&series.second_db, &series.running_db, &series.whole_db}) {
        std::for_each(figures->begin(), figures->end(), take);
    }
    for (const std::optional<double>& limit : {series.min_psnr, series.min_second_psnr}) {
        if (limit && drawn(*limit)) {
            take(*limit);
        }
    }
    if (low > high) {
        low = EMPTY_LOW_DB;
        high = EMPTY_HIGH_DB;
    }
    const double margin = std::max(LEAST_MARGIN_DB, (high - low) * MARGIN_PART);
    const double step = round_step(high - low + 2 * margin, TICKS_WANTED);
    Axes axes{};
    axes.low_db = std::floor((low - margin) / step) * step;
    axes.high_db = std::ceil((high + margin) / step) * step;
    axes.db_step = step;
    axes.clipped = clipped;
    axes.start_s = series.start_s;
    const double rate = series.sample_rate > 0 ? series.sample_rate : 1.0;
    axes.duration_s = series.frames > 0 ? static_cast<double>(series.frames) / rate : 1.0;
    const std::size_t seconds = series.channels > 0 ? series.second_db.size() / series.channels : 0;
    axes.columned = seconds > static_cast<std::size_t>(PLOT_COLUMNS);
    axes.time_step = 0.0;
    for (const double step_s : TIME_STEPS) {
        if (axes.time_step == 0.0 && axes.duration_s / step_s <= MOST_TIME_TICKS) {
            axes.time_step = step_s;
        }
    }
    if (axes.time_step == 0.0) {
        const double longest = TIME_STEPS[std::size(TIME_STEPS) - 1];
        axes.time_step = std::ceil(axes.duration_s / MOST_TIME_TICKS / longest) * longest;
    }
    return axes;
}

double x_of(const Axes& axes, double seconds) {
    return PLOT_LEFT + (seconds - axes.start_s) / axes.duration_s * PLOT_WIDTH;
}

double second_end(const Axes& axes, double start) {
    return std::min(start + 1.0, axes.start_s + axes.duration_s);
}

double y_of(const Axes& axes, double db) {
    if (db >= PSNR_IDENTICAL) {
        return BAND_TOP + BAND_HEIGHT / 2;
    }
    return PLOT_BOTTOM - (db - axes.low_db) / (axes.high_db - axes.low_db) * PLOT_HEIGHT;
}

}  // namespace vorik::check
