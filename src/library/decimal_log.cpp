#include "decimal_log.h"

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "decimal_log_table.h"

// Every step below counts on each operation being rounded to double once: no
// wider intermediate values (as the x87 unit keeps them; 32-bit x86 builds use
// SSE2) and no fused multiply-adds (CMakeLists.txt compiles this file with
// -ffp-contract=off).
static_assert(std::numeric_limits<double>::is_iec559);
static_assert(FLT_EVAL_METHOD == 0, "double operations must round to double");
#ifdef __FAST_MATH__
#error "the library's log10 needs IEEE arithmetic: build it without -ffast-math"
#endif

namespace vorik::detail {
namespace {

namespace table = decimal_log_table;

// --- The parts of a double ------------------------------------------------------

constexpr int STORED_SIGNIFICAND_BITS = std::numeric_limits<double>::digits - 1;
constexpr std::uint64_t FRACTION_MASK = (std::uint64_t{1} << STORED_SIGNIFICAND_BITS) - 1;
constexpr int EXPONENT_BIAS = std::numeric_limits<double>::max_exponent - 1;
constexpr std::uint64_t SIGN_BIT = std::uint64_t{1} << 63;
// A significand with its leading one at the hidden bit's place, in 64 bits.
constexpr int SIGNIFICAND_LEADING_ZEROS = 64 - std::numeric_limits<double>::digits;
// The table's intervals: the top INDEX_BITS stored bits of the significand.
constexpr int INDEX_BITS = 7;
// Significands from 1 + FIRST_HALVED_INDEX / 128 on (just below sqrt(2)) are
// halved and the exponent raised by one: the significand then lies within
// [0.707, 1.414), and log10 of it never meets a log10(2) of the opposite sign
// near 1, where their difference would lose the result's relative accuracy.
constexpr unsigned FIRST_HALVED_INDEX = 53;

// x = 2^exponent * significand, exactly.
struct Reduced {
    int exponent;
    unsigned index;      // the significand's interval in the table
    double significand;  // in [1, 1 + 53/128), or halved in [(1 + 53/128) / 2, 1)
};

Reduced reduce(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const auto biased_exponent = static_cast<int>(bits >> STORED_SIGNIFICAND_BITS);
    std::uint64_t fraction = bits & FRACTION_MASK;
    int exponent = biased_exponent - EXPONENT_BIAS;
    if (biased_exponent == 0) {
        // Subnormal: x = fraction * 2^-1074. The leading one moves up to the
        // hidden bit's place.
        const int shift = std::countl_zero(fraction) - SIGNIFICAND_LEADING_ZEROS;
        fraction = (fraction << shift) & FRACTION_MASK;
        exponent = 1 - EXPONENT_BIAS - shift;
    }
    const auto index = static_cast<unsigned>(fraction >> (STORED_SIGNIFICAND_BITS - INDEX_BITS));
    const bool halved = index >= FIRST_HALVED_INDEX;
    const auto significand_exponent = static_cast<std::uint64_t>(halved ? EXPONENT_BIAS - 1 : EXPONENT_BIAS);
    return {exponent + (halved ? 1 : 0), index,
            std::bit_cast<double>(significand_exponent << STORED_SIGNIFICAND_BITS | fraction)};
}

// --- Exact steps in double -------------------------------------------------------

// a + b as the rounded sum and its error, exactly (Knuth's two-sum).
DoubleDouble two_sum(double a, double b) {
    const double sum = a + b;
    const double b_share = sum - a;
    return {sum, (a - (sum - b_share)) + (b - b_share)};
}

// The same where |a| >= |b| or a is 0 (Dekker's fast two-sum).
DoubleDouble fast_two_sum(double a, double b) {
    const double sum = a + b;
    return {sum, b - (sum - a)};
}

// a as a high part of 26 significant bits and a low part of at most 26
// (Veltkamp's splitting).
constexpr double SPLITTER = 0x1p27 + 1.0;

DoubleDouble split(double a) {
    const double scaled = SPLITTER * a;
    const double high = scaled - (scaled - a);
    return {high, a - high};
}

// a * b as the rounded product and its error, exactly (Dekker), for products
// far from overflow and underflow, as all of them here are.
DoubleDouble two_product(double a, double b) {
    const double product = a * b;
    const DoubleDouble a_parts = split(a);
    const DoubleDouble b_parts = split(b);
    const double error =
        ((a_parts.high * b_parts.high - product) + a_parts.high * b_parts.low + a_parts.low * b_parts.high) +
        a_parts.low * b_parts.low;
    return {product, error};
}

// c + z * s, where |z * s| is below |c| / 64: no cancellation.
DoubleDouble plus_product(DoubleDouble c, double z, DoubleDouble s) {
    DoubleDouble product = two_product(z, s.high);
    product.low += z * s.low;
    const DoubleDouble sum = two_sum(c.high, product.high);
    return fast_two_sum(sum.high, sum.low + (c.low + product.low));
}

// --- The estimate ----------------------------------------------------------------------
//
// log10(x) = e log10(2) + T + log10(1 + z), where x = 2^e m, T = -log10(r) for
// the reciprocal r of m's interval, and z = m r - 1, |z| < 2^-7 (the table's
// figures). The series is sum (-1)^(k+1) z^k / (k ln 10) for k = 1..10; its
// terms from k = 5 on are summed in double, those before in double-double.
//
// Its error, relative to log10(x); u = 2^-53:
// - the series' truncation: below |z|^10 / (11 (1 - |z|) (1 - |z|/2)) of
//   log10(1 + z), < 2^-73.45 at |z| = 2^-7;
// - its tail in double, q = c5 + z (c6 + ... + z c10): the coefficients are
//   rounded (u each) and every Horner step rounds twice, with |z q'| below
//   |c| / 64, so q is within 12u (1 + 2^-5) < 2^-49.4 of its value; z^5 q is
//   below |z|^4 / 5 (1 + 2^-6) of log10(1 + z), so this adds < 2^-79.6;
// - the double-double steps, each within a few u^2 of its value, and the
//   constants, within u^2 / 2: < 2^-100 together;
// - log10(1 + z) is at most |log10(x)|, and the table's term and
//   e log10(2) at most 2 |log10(x)| (the table's figures for e = 0; for any
//   other e, |log10(x)| >= 0.301 |e| - 0.151); so the table, within 2^-106,
//   log10(2), within 2^-96 with e * LOG10_2_LOW rounded once, and the two
//   additions add < 2^-93.
// Together < 2^-73.4, below DECIMAL_LOG_ESTIMATE_ERROR = 2^-73.

// z = m r - 1 exactly: r has at most 9 significant bits, so m r is a multiple
// of 2^-60, and m r - 1, below 2^-7, has at most 53 bits. The rounded product
// lies within [1/2, 2], where subtracting 1 is exact, and the sum of two
// doubles that a double holds is exact.
double remainder_from(double significand, double reciprocal) {
    const DoubleDouble product = two_product(significand, reciprocal);
    return (product.high - 1.0) + product.low;
}

// log10(1 + z) for |z| < 2^-7.
DoubleDouble decimal_log_of_one_plus(double z) {
    double tail = table::SERIES_TAIL.back();
    for (auto coefficient = table::SERIES_TAIL.rbegin() + 1; coefficient != table::SERIES_TAIL.rend();
         ++coefficient) {
        tail = *coefficient + z * tail;
    }
    DoubleDouble series{tail, 0.0};
    for (auto coefficient = table::SERIES_HEAD.rbegin(); coefficient != table::SERIES_HEAD.rend();
         ++coefficient) {
        series = plus_product({(*coefficient)[0], (*coefficient)[1]}, z, series);
    }
    DoubleDouble result = two_product(z, series.high);
    result.low += z * series.low;
    return fast_two_sum(result.high, result.low);
}

// --- Fixed point of 352 bits after the point --------------------------------------------
//
// A nonnegative value as 32-bit limbs, least first, the last one before the
// point. Products and quotients are cut (rounded down) at the last limb.

constexpr int LIMB_BITS = 32;
constexpr std::size_t FRACTION_LIMBS = 11;
constexpr std::size_t LIMBS = FRACTION_LIMBS + 1;
constexpr int FRACTION_BITS = LIMB_BITS * static_cast<int>(FRACTION_LIMBS);
using Fixed = std::array<std::uint32_t, LIMBS>;
static_assert(table::LN2.size() == LIMBS && table::INVERSE_LN10.size() == LIMBS);

struct SignedFixed {
    Fixed magnitude;
    bool negative;
};

std::uint32_t low_limb(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

Fixed sum(const Fixed& a, const Fixed& b) {
    Fixed result{};
    std::uint64_t carry = 0;
    for (std::size_t k = 0; k < LIMBS; ++k) {
        carry += std::uint64_t{a[k]} + b[k];
        result[k] = low_limb(carry);
        carry >>= LIMB_BITS;
    }
    return result;
}

// a - b for a >= b.
Fixed difference(const Fixed& a, const Fixed& b) {
    Fixed result{};
    std::uint64_t borrow = 0;
    for (std::size_t k = 0; k < LIMBS; ++k) {
        const std::uint64_t limb = std::uint64_t{a[k]} - b[k] - borrow;
        result[k] = low_limb(limb);
        borrow = limb >> (2 * LIMB_BITS - 1);  // 1 where it wrapped
    }
    return result;
}

bool less(const Fixed& a, const Fixed& b) {
    for (std::size_t k = LIMBS; k-- > 0;) {
        if (a[k] != b[k]) {
            return a[k] < b[k];
        }
    }
    return false;
}

SignedFixed signed_sum(const SignedFixed& a, const SignedFixed& b) {
    if (a.negative == b.negative) {
        return {sum(a.magnitude, b.magnitude), a.negative};
    }
    return less(a.magnitude, b.magnitude) ? SignedFixed{difference(b.magnitude, a.magnitude), b.negative}
                                          : SignedFixed{difference(a.magnitude, b.magnitude), a.negative};
}

// a * b, cut; the product must stay below 2^32.
Fixed product(const Fixed& a, const Fixed& b) {
    std::array<std::uint32_t, 2 * LIMBS> full{};
    for (std::size_t i = 0; i < LIMBS; ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < LIMBS; ++j) {
            // At most (2^32 - 1)^2 + 2 (2^32 - 1) = 2^64 - 1.
            carry += std::uint64_t{a[i]} * b[j] + full[i + j];
            full[i + j] = low_limb(carry);
            carry >>= LIMB_BITS;
        }
        full[i + LIMBS] = low_limb(carry);
    }
    Fixed result{};
    for (std::size_t k = 0; k < LIMBS; ++k) {
        result[k] = full[k + FRACTION_LIMBS];
    }
    return result;
}

// a * factor exactly; the product must stay below 2^32.
Fixed multiple(const Fixed& a, std::uint32_t factor) {
    Fixed result{};
    std::uint64_t carry = 0;
    for (std::size_t k = 0; k < LIMBS; ++k) {
        carry += std::uint64_t{a[k]} * factor;
        result[k] = low_limb(carry);
        carry >>= LIMB_BITS;
    }
    return result;
}

// a / divisor, cut.
Fixed quotient(const Fixed& a, std::uint32_t divisor) {
    Fixed result{};
    std::uint64_t remainder = 0;
    for (std::size_t k = LIMBS; k-- > 0;) {
        const std::uint64_t dividend = remainder << LIMB_BITS | a[k];
        result[k] = low_limb(dividend / divisor);
        remainder = dividend % divisor;
    }
    return result;
}

// numerator / denominator, cut, for numerator < denominator < 2^62; bit by bit.
Fixed ratio(std::uint64_t numerator, std::uint64_t denominator) {
    Fixed result{};
    std::uint64_t remainder = numerator;
    for (int bit = FRACTION_BITS - 1; bit >= 0; --bit) {
        remainder <<= 1;
        if (remainder >= denominator) {
            remainder -= denominator;
            result[static_cast<std::size_t>(bit / LIMB_BITS)] |= std::uint32_t{1} << (bit % LIMB_BITS);
        }
    }
    return result;
}

bool bit_at(const Fixed& value, int position) {
    return (value[static_cast<std::size_t>(position / LIMB_BITS)] >> (position % LIMB_BITS) & 1U) != 0;
}

// The double nearest a nonzero value of at least 2^-1022 (halfway rounds up).
double nearest_double(const SignedFixed& value) {
    std::size_t top = LIMBS - 1;
    while (value.magnitude[top] == 0) {
        --top;
    }
    const int highest_bit =
        static_cast<int>(top) * LIMB_BITS + LIMB_BITS - 1 - std::countl_zero(value.magnitude[top]);
    // The 53 significant bits and the one after them: floor(2q) for the value
    // q 2^(highest_bit - 52), q in [2^52, 2^53); then (floor(2q) + 1) / 2, cut,
    // is q rounded to nearest.
    constexpr int KEPT_BITS = std::numeric_limits<double>::digits + 1;
    std::uint64_t doubled = 0;
    for (int k = 0; k < KEPT_BITS; ++k) {
        doubled = doubled << 1 | (bit_at(value.magnitude, highest_bit - k) ? 1U : 0U);
    }
    std::uint64_t significand = (doubled + 1) >> 1;
    int exponent = highest_bit - FRACTION_BITS;
    if (significand >> std::numeric_limits<double>::digits != 0) {  // rounded up to 2^53
        significand >>= 1;
        ++exponent;
    }
    const auto biased_exponent = static_cast<std::uint64_t>(exponent + EXPONENT_BIAS);
    return std::bit_cast<double>((value.negative ? SIGN_BIT : 0) |
                                 biased_exponent << STORED_SIGNIFICAND_BITS | (significand & FRACTION_MASK));
}

}  // namespace

DoubleDouble decimal_log_estimate(double x) {
    const Reduced reduced = reduce(x);
    const table::Interval& interval = table::INTERVALS[reduced.index];
    const DoubleDouble of_remainder =
        decimal_log_of_one_plus(remainder_from(reduced.significand, interval.reciprocal));
    // e LOG10_2_HIGH is exact: its factors have 11 and 42 significant bits.
    const auto exponent = static_cast<double>(reduced.exponent);
    const DoubleDouble head = two_sum(exponent * table::LOG10_2_HIGH, interval.log_high);
    const DoubleDouble of_scale =
        fast_two_sum(head.high, head.low + (interval.log_low + exponent * table::LOG10_2_LOW));
    const DoubleDouble total = two_sum(of_scale.high, of_remainder.high);
    return fast_two_sum(total.high, total.low + (of_scale.low + of_remainder.low));
}

// With the error bound e, log10(x) lies within e |log10(x)| < 2e |high|
// (exact, 2e being a power of two) of high + low. Where that keeps it within
// half the gap from high to its neighbours on both sides (the one below is
// half as far at a power of two), no midpoint lies between: high is
// log10(x) rounded. (A sum of doubles that reaches a double rounds to at
// least that double, so the test in double never passes where the exact one
// would not.)
bool settles_rounding(DoubleDouble estimate) {
    const double magnitude = std::abs(estimate.high);
    const auto magnitude_bits = std::bit_cast<std::uint64_t>(magnitude);
    const double half_gap_above = (std::bit_cast<double>(magnitude_bits + 1) - magnitude) * 0.5;
    const double half_gap_below = (magnitude - std::bit_cast<double>(magnitude_bits - 1)) * 0.5;
    // low as it lies from the magnitude.
    const double beyond = estimate.high < 0.0 ? -estimate.low : estimate.low;
    const double error = magnitude * (2.0 * DECIMAL_LOG_ESTIMATE_ERROR);
    return beyond + error < half_gap_above && error - beyond < half_gap_below;
}

// log10(x) = (e ln 2 + ln m) / ln 10, ln m = 2 atanh(s), s = (m - 1) / (m + 1),
// and atanh(s) = sum s^(2j+1) / (2j+1) over j >= 0; |s| < 0.172, so about
// 70 terms reach 2^-352. In units of 2^-352: s is cut once (error < 1),
// s^2 then within 1.35, every power within 1.3 (earlier errors shrink by
// s^2 < 0.03), every term within 2.3 and the sum of at most 70 terms, and
// of the tail past the last nonzero power, within 165; ln m within 330;
// e ln 2 within |e| / 2 <= 538; their sum times 1 / ln 10 within 869 * 0.44
// + 745 / 2 + 1 < 2^11. So the value is within 2^-341 of log10(x), which is
// at least 2^-54.2 (at 1 - 2^-53): within 2^-286 relatively, or 2^-233 of an
// ulp. Counting suggests the nearest any of the 2^63 arguments comes to a
// midpoint is about 2^-63 of an ulp; the rounding of this value is that of
// log10(x) unless it lies within 2^-233.
double decimal_log_precise(double x) {
    const Reduced reduced = reduce(x);
    // m as an integer over 2^53, exactly.
    constexpr std::uint64_t ONE = std::uint64_t{1} << std::numeric_limits<double>::digits;
    const auto significand = static_cast<std::uint64_t>(reduced.significand * static_cast<double>(ONE));
    const bool below_one = significand < ONE;
    const Fixed s = ratio(below_one ? ONE - significand : significand - ONE, significand + ONE);
    const Fixed s_squared = product(s, s);
    Fixed series = s;
    Fixed power = product(s, s_squared);
    for (std::uint32_t odd = 3; power != Fixed{}; odd += 2) {
        series = sum(series, quotient(power, odd));
        power = product(power, s_squared);
    }
    const SignedFixed log_of_significand{sum(series, series), below_one};
    const auto exponent_size =
        static_cast<std::uint32_t>(reduced.exponent < 0 ? -reduced.exponent : reduced.exponent);
    const SignedFixed log_of_scale{multiple(table::LN2, exponent_size), reduced.exponent < 0};
    const SignedFixed natural_log = signed_sum(log_of_scale, log_of_significand);
    return nearest_double({product(natural_log.magnitude, table::INVERSE_LN10), natural_log.negative});
}

double decimal_log(double x) {
    if (x == 1.0) {
        return 0.0;
    }
    if (x == 0.0) {
        return -std::numeric_limits<double>::infinity();
    }
    if (!(x > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (x == std::numeric_limits<double>::infinity()) {
        return x;
    }
    const DoubleDouble estimate = decimal_log_estimate(x);
    return settles_rounding(estimate) ? estimate.high : decimal_log_precise(x);
}

}  // namespace vorik::detail
