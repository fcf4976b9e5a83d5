// The library's own log10, rounded to nearest for every double, so that the
// meter's figures are the same bits on every platform, whatever its libm.
//
// A double-double estimate settles almost every argument; the few that lie
// too near a midpoint between two doubles for its error bound are worked out
// again in 352-bit fixed point.
#pragma once

namespace vorik::detail {

// A value as the unevaluated sum high + low, |low| at most half an ulp of high.
struct DoubleDouble {
    double high;
    double low;
};

// decimal_log_estimate is within this much of log10(x), relatively.
inline constexpr double DECIMAL_LOG_ESTIMATE_ERROR = 0x1p-73;

// log10(x) for a positive finite x other than 1, within
// DECIMAL_LOG_ESTIMATE_ERROR * |log10(x)|.
DoubleDouble decimal_log_estimate(double x);

// Whether the estimate's high part is log10(x) rounded to nearest, given the
// estimate's error bound; when not, log10(x) may lie on either side of a
// midpoint.
bool settles_rounding(DoubleDouble estimate);

// log10(x) rounded to nearest for a positive finite x other than 1, from
// fixed-point arithmetic of 352 bits after the point: slow, for the arguments
// the estimate does not settle.
double decimal_log_precise(double x);

// log10(x) rounded to nearest: 0 at 1, -infinity at 0, +infinity at
// +infinity, NaN for NaN and below 0.
double decimal_log(double x);

}  // namespace vorik::detail
