#!/usr/bin/env python3
"""Writes what the library's own log10 rests on, worked out with mpmath.

  decimal_log_reference.py table [FILE]   the fast path's table and the slow
      path's constants, as the C++ header src/library/decimal_log_table.h
  decimal_log_reference.py cases [FILE]   the reference values the test reads
      (tests/decimal_log_cases.txt)

With --check, FILE is compared with what would be written, and the exit
status says whether they are the same. The output depends on nothing but this
script and mpmath: the arguments come from a seeded generator, and every
value is mpmath's, at far more precision than a double, rounded to nearest.
--random N, --meter N and --seed S give other or more random arguments, for a longer run
than the committed file holds (the test reads a file named in
VORIK_DECIMAL_LOG_CASES in place of its own).
"""

import argparse
import math
import random
import struct
import sys

from mpmath import mp, mpf
from mpmath.libmp import to_float

mp.prec = 400

# --- Shared with src/library/decimal_log.cpp ---------------------------------
INDEX_BITS = 7
INTERVALS = 1 << INDEX_BITS
# Significands 1 + i/128 from this index on lie past sqrt(2) (or in the
# interval that holds it) and are halved.
FIRST_HALVED_INDEX = 53
# The reciprocals' spacing: 2^-8 for significands in [1, 2), 2^-7 for halved
# ones in [1/2, 1): the product with the significand is then a multiple of
# 2^-60, and its distance from 1, below 2^-7, fits a double exactly.
RECIPROCAL_BITS = {False: 8, True: 7}
LARGEST_REMAINDER = mpf(2) ** -7
# log10(1 + z) = sum of (-1)^(k+1) z^k / (k ln 10) for k = 1..DEGREE; the
# first DOUBLE_DOUBLE_TERMS coefficients as double-doubles.
DEGREE = 10
DOUBLE_DOUBLE_TERMS = 4
# The slow path's fixed point: 32-bit limbs, FRACTION_LIMBS of them after
# the point and one before it.
LIMB_BITS = 32
FRACTION_LIMBS = 11
LIMBS = FRACTION_LIMBS + 1
# The most an exponent of two can be: |e| <= 1074, and 1024 for a halved one.
EXPONENT_BITS = 11


def nearest_double(value):
    return to_float(mpf(value)._mpf_, rnd='n')


def double_double(value):
    high = nearest_double(value)
    return high, nearest_double(mpf(value) - high)


def cut_to_bits(value, bits):
    """The double nearest value with at most `bits` significant bits."""
    mantissa, exponent = math.frexp(nearest_double(value))
    scale = 2 ** bits
    return math.ldexp(round(mantissa * scale), exponent - bits)


def fixed_limbs(value):
    """value * 2^(32 * FRACTION_LIMBS), to nearest, as LIMBS 32-bit limbs, least first."""
    scaled = int(mp.nint(mpf(value) * mpf(2) ** (LIMB_BITS * FRACTION_LIMBS)))
    assert 0 <= scaled < 2 ** (LIMB_BITS * LIMBS)
    return [(scaled >> (LIMB_BITS * k)) & 0xFFFFFFFF for k in range(LIMBS)]


def hex_double(value):
    return float(value).hex()


# --- The table -----------------------------------------------------------------

def interval_rows():
    """For each index: the reciprocal r, -log10(r) and the figures the error bound uses."""
    rows = []
    for index in range(INTERVALS):
        halved = index >= FIRST_HALVED_INDEX
        low = 1 + mpf(index) / INTERVALS
        high = 1 + mpf(index + 1) / INTERVALS
        if halved:
            low, high = low / 2, high / 2
        scale = 2 ** RECIPROCAL_BITS[halved]
        # The intervals on either side of 1 keep the significand as it is, so
        # that near 1 the result is the series alone, to its relative accuracy.
        if index in (0, INTERVALS - 1):
            reciprocal = mpf(1)
        else:
            reciprocal = mpf(int(mp.nint(scale * 2 / (low + high)))) / scale
        # Both ends: the interval holds its low end only, so |z| stays below this.
        remainder = max(abs(low * reciprocal - 1), abs(high * reciprocal - 1))
        assert remainder <= LARGEST_REMAINDER, index
        log_reciprocal = -mp.log10(reciprocal)
        # With the exponent 0: how large the table's term and the series'
        # term get against the result, which is log10 of the significand.
        if reciprocal == 1:
            table_ratio = mpf(0)
            series_ratio = mpf(1)
        else:
            least_result = min(abs(mp.log10(low)), abs(mp.log10(high)))
            table_ratio = abs(log_reciprocal) / least_result
            series_ratio = abs(mp.log10(1 + remainder)) / least_result
        rows.append((reciprocal, log_reciprocal, remainder, table_ratio, series_ratio))
    return rows


def table_text():
    rows = interval_rows()
    largest_remainder = max(row[2] for row in rows)
    largest_table_ratio = max(row[3] for row in rows)
    largest_series_ratio = max(row[4] for row in rows)
    log10_2_high = cut_to_bits(mp.log10(2), 53 - EXPONENT_BITS)
    log10_2_low = nearest_double(mp.log10(2) - log10_2_high)
    lines = [
        '// The tables of the library\'s log10 (decimal_log.cpp), worked out with mpmath',
        '// by tools/decimal_log_reference.py table; do not edit. A test compares it',
        '// with the script\'s output where mpmath is installed.',
        '//',
        '// Over all intervals: |z| < 2^%.4f; with the exponent 0, |-log10 r| is at' % float(mp.log(largest_remainder, 2)),
        '// most %.6f |log10 x| and |log10(1 + z)| at most %.6f |log10 x|.' % (
            float(largest_table_ratio), float(largest_series_ratio)),
        '#pragma once',
        '',
        '#include <array>',
        '#include <cstdint>',
        '',
        'namespace vorik::detail::decimal_log_table {',
        '',
        '// The script lays the tables out, one value or one row a line.',
        '// clang-format off',
        '',
        '// Significands in the interval of an index are multiplied by `reciprocal`,',
        '// a short number near the interval\'s own reciprocal; -log10(reciprocal) is',
        '// log_high + log_low, within 2^-106 of it.',
        'struct Interval {',
        '    double reciprocal;',
        '    double log_high;',
        '    double log_low;',
        '};',
        '',
        'inline constexpr std::array<Interval, %d> INTERVALS = {{' % INTERVALS,
    ]
    for reciprocal, log_reciprocal, _, _, _ in rows:
        high, low = double_double(log_reciprocal)
        lines.append('    {%s, %s, %s},' % (hex_double(reciprocal), hex_double(high), hex_double(low)))
    lines += [
        '}};',
        '',
        '// log10(2): the high part has %d significant bits, so that its product with' % (53 - EXPONENT_BITS),
        '// any exponent of two is exact.',
        'inline constexpr double LOG10_2_HIGH = %s;' % hex_double(log10_2_high),
        'inline constexpr double LOG10_2_LOW = %s;' % hex_double(log10_2_low),
        '',
        '// (-1)^(k+1) / (k ln 10) for k = 1..%d: double-doubles, then doubles.' % DEGREE,
        'inline constexpr std::array<std::array<double, 2>, %d> SERIES_HEAD = {{' % DOUBLE_DOUBLE_TERMS,
    ]
    coefficients = [(-1) ** (k + 1) / (k * mp.log(10)) for k in range(1, DEGREE + 1)]
    for coefficient in coefficients[:DOUBLE_DOUBLE_TERMS]:
        high, low = double_double(coefficient)
        lines.append('    {%s, %s},' % (hex_double(high), hex_double(low)))
    lines += ['}};', 'inline constexpr std::array<double, %d> SERIES_TAIL = {' % (DEGREE - DOUBLE_DOUBLE_TERMS)]
    for coefficient in coefficients[DOUBLE_DOUBLE_TERMS:]:
        lines.append('    %s,' % hex_double(nearest_double(coefficient)))
    lines += [
        '};',
        '',
        '// ln 2 and 1 / ln 10 in fixed point: %d limbs of %d bits, least first, the last' % (LIMBS, LIMB_BITS),
        '// one before the point; to nearest, so within 2^-%d.' % (LIMB_BITS * FRACTION_LIMBS + 1),
    ]
    limbs_per_line = 6
    for name, value in (('LN2', mp.log(2)), ('INVERSE_LN10', 1 / mp.log(10))):
        limbs = ['0x%08X' % limb for limb in fixed_limbs(value)]
        lines.append('inline constexpr std::array<std::uint32_t, %d> %s = {' % (LIMBS, name))
        for start in range(0, LIMBS, limbs_per_line):
            lines.append('    ' + ', '.join(limbs[start:start + limbs_per_line]) + ',')
        lines.append('};')
    lines += ['', '// clang-format on', '', '}  // namespace vorik::detail::decimal_log_table', '']
    return '\n'.join(lines)


# --- The reference cases ----------------------------------------------------------

def from_bits(bits):
    return struct.unpack('<d', struct.pack('<Q', bits))[0]


def to_bits(value):
    return struct.unpack('<Q', struct.pack('<d', value))[0]


def next_up(value):
    return from_bits(to_bits(value) + 1)


def next_down(value):
    return from_bits(to_bits(value) - 1)


LARGEST_FINITE_BITS = 0x7FEFFFFFFFFFFFFF
SMALLEST_NORMAL_BITS = 0x0010000000000000


def ulp_of(value):
    """The spacing of the doubles at |value|, a nonzero double that is not subnormal."""
    exponent = math.frexp(abs(value))[1] - 1
    return mpf(2) ** (exponent - 52)


def distance_from_midpoint(y):
    """How far y lies from the nearest midpoint between doubles, in ulps of its rounding."""
    rounded = nearest_double(y)
    unit = ulp_of(rounded)
    offset = (y - rounded) / unit
    # A power of two has the finer spacing below it.
    if rounded != 0 and abs(y) < abs(rounded) and abs(rounded) == 2.0 ** (math.frexp(abs(rounded))[1] - 1):
        offset *= 2
    return mpf(0.5) - abs(offset)


def reference_line(x, extra=''):
    y = mp.log10(mpf(x))
    # At 400 bits the rounding is certain unless y lies within about 2^-340
    # of an ulp of a midpoint; log10 of a double lies nowhere near as close.
    assert x == 1.0 or distance_from_midpoint(y) > mpf(2) ** -300, x
    high, low = double_double(y)
    line = '%016x %016x %016x' % (to_bits(x), to_bits(high), to_bits(low))
    return line + (' ' + extra if extra else '')


def random_doubles(generator, count):
    """Positive finite doubles with uniformly random bit patterns: every binade alike."""
    return [from_bits(generator.randint(1, LARGEST_FINITE_BITS)) for _ in range(count)]


def powers_and_neighbours(powers, steps):
    """Each power and the `steps` positive finite doubles on either side of it."""
    values = []
    for power in powers:
        bits = to_bits(power)
        values += [from_bits(b) for b in range(max(1, bits - steps), min(LARGEST_FINITE_BITS, bits + steps) + 1)]
    return values


def powers_of_ten():
    powers = []
    for exponent in range(-323, 309):
        value = nearest_double(mpf(10) ** exponent)
        if value > 0:
            powers.append(value)
    return powers_and_neighbours(powers, 3)


def powers_of_two():
    return powers_and_neighbours([math.ldexp(1.0, e) for e in range(-1074, 1024)], 1)


def near_one():
    values = [1.0]
    up = down = 1.0
    for _ in range(64):
        up = next_up(up)
        down = next_down(down)
        values += [up, down]
    for shift in range(1, 53):
        values += [1.0 + 2.0 ** -shift, 1.0 - 2.0 ** -(shift + 1)]
    return values


def subnormals(generator, count):
    values = [from_bits(bits) for bits in (1, 2, 3, SMALLEST_NORMAL_BITS - 1)]
    values += [from_bits(generator.randint(1, SMALLEST_NORMAL_BITS - 1)) for _ in range(count)]
    return values + [from_bits(SMALLEST_NORMAL_BITS), from_bits(LARGEST_FINITE_BITS)]


# --- Arguments near midpoints --------------------------------------------------------
#
# Over N consecutive doubles x_k the result in ulps, F(k) = log10(x_k) / ulp,
# is nearly linear: the line through its ends is within eta = N^2 max|F''| / 8.
# The k where the line lies within a window of a midpoint are found by a
# Euclid-like search on (A k + B) mod 2^P, without visiting the others; each
# is then checked at full precision.

SEARCH_PRECISION_BITS = 128


def first_multiple_in(a, m, low, high):
    """Smallest k >= 0 with low <= (a k) mod m <= high, or None; 0 <= low <= high < m."""
    a %= m
    if low == 0:
        return 0
    if a == 0:
        return None
    k = -(-low // a)
    if a * k <= high:
        return k
    # No multiple of a lies in [low, high]: a k - m t lands there for the
    # least t with (m t) mod a in [(-high) mod a, (-low) mod a].
    t = first_multiple_in(m % a, a, (-high) % a, (-low) % a)
    if t is None:
        return None
    k = -(-(low + m * t) // a)
    return k if a * k - m * t <= high else None


def first_in_window(a, b, m, width):
    """Smallest k >= 0 with (a k + b) mod m < width, or None; 0 < width <= m."""
    start = (-b) % m  # a k mod m must lie in [start, start + width) mod m
    end = start + width - 1
    if end < m:
        return first_multiple_in(a, m, start, end)
    found = [k for k in (first_multiple_in(a, m, start, m - 1), first_multiple_in(a, m, 0, end - m))
             if k is not None]
    return min(found) if found else None


def midpoint_candidates(first, count, window):
    """Indices k < count where the line through F(first), F(first + count) lies
    within `window` ulps of a midpoint; F in ulps of the ends' binade."""
    x_first, x_last = mpf(first), mpf(from_bits(to_bits(first) + count))
    y_first, y_last = mp.log10(x_first), mp.log10(x_last)
    unit = ulp_of(nearest_double(y_first))
    if unit != ulp_of(nearest_double(y_last)):
        return []
    modulus = 2 ** SEARCH_PRECISION_BITS
    f_first = y_first / unit
    slope = (y_last / unit - f_first) / count
    a = int(mp.nint(slope * modulus)) % modulus
    b = int(mp.nint((f_first - mpf(0.5) + window) * modulus)) % modulus
    width = int(mp.nint(2 * window * modulus))
    found = []
    start = 0
    while start < count:
        k = first_in_window(a, (b + a * start) % modulus, modulus, width)
        if k is None or start + k >= count:
            break
        found.append(start + k)
        start += k + 1
    return found


def span_for(x, threshold):
    """How many doubles from x on the line may span: eta at most threshold / 2."""
    unit_x = ulp_of(x)
    y = mp.log10(mpf(x))
    unit_y = ulp_of(nearest_double(y))
    # |F''| = ulp(x)^2 / (x^2 ln 10) / ulp(y), largest at the smallest x.
    curvature = unit_x ** 2 / (mpf(x) ** 2 * mp.log(10)) / unit_y
    return max(2, min(2 ** 22, int(mp.sqrt(4 * threshold / curvature))))


def near_midpoints(generator, wanted, threshold, exponents):
    """`wanted` doubles whose log10 lies within threshold ulps of a midpoint,
    from normal binades 2^e, e drawn from `exponents`."""
    found = []
    seen = set()
    while len(found) < wanted:
        exponent = generator.choice(exponents)
        start_bits = to_bits(math.ldexp(1.0 + generator.random(), exponent))
        binade_end_bits = (exponent + 1024) << 52  # the bits of 2^(exponent + 1)
        count = min(span_for(from_bits(start_bits), threshold), binade_end_bits - 1 - start_bits)
        if count < 1 or from_bits(start_bits) == 1.0:
            continue
        # The line's own error, a half plus the integer rounding of A k.
        window = threshold + threshold / 2 + mpf(count) / 2 ** SEARCH_PRECISION_BITS
        for k in midpoint_candidates(from_bits(start_bits), count, window):
            x = from_bits(start_bits + k)
            if x not in seen and distance_from_midpoint(mp.log10(mpf(x))) < threshold:
                seen.add(x)
                found.append(x)
    return found[:wanted]


# --- The meter's arguments --------------------------------------------------------------

PSNR_PEAK = 65535.0
DECIBEL_STEP = 0.001  # the printed resolution, "%8.3f"


def meter_argument(total, frames):
    """PSNR_PEAK / sqrt(total / frames), in doubles as the meter has it."""
    return PSNR_PEAK / math.sqrt(float(total) / float(frames))


def meter_cases(generator, count):
    """(total, frames) pairs: random, and near the printed rounding boundaries."""
    cases = [(108464501781, 47851)]
    largest_mean_square = PSNR_PEAK * PSNR_PEAK
    for _ in range(count):
        frames = int(2 ** generator.uniform(0, 32))
        mean_square = 2 ** generator.uniform(-20, math.log2(largest_mean_square))
        cases.append((max(1, round(frames * mean_square)), frames))
    for _ in range(count):
        frames = int(2 ** generator.uniform(10, 32))
        boundary = (generator.randrange(0, 150000) + mpf(0.5)) * mpf(DECIBEL_STEP)
        total = int(mp.nint(frames * mpf(PSNR_PEAK) ** 2 * mpf(10) ** (-boundary / 10)))
        cases += [(t, frames) for t in (total - 1, total, total + 1) if t > 0]
    return [(t, f) for t, f in cases if float(t) == t]


def cases_text(random_count, meter_count, seed):
    generator = random.Random(seed)
    sections = [
        ('random doubles, every binade alike', random_doubles(generator, random_count)),
        ('powers of ten, 3 neighbours each side', powers_of_ten()),
        ('powers of two and their neighbours', powers_of_two()),
        ('near one', near_one()),
        ('subnormals, smallest and largest', subnormals(generator, 1000)),
        ('within 2^-24 ulp of a midpoint, arguments from 1 to 2^48',
         near_midpoints(generator, 100, mpf(2) ** -24, list(range(0, 48)))),
        ('within 2^-24 ulp of a midpoint, every binade',
         near_midpoints(generator, 100, mpf(2) ** -24, list(range(-1022, 1024)))),
        ('within 2^-30 ulp of a midpoint, |log10| past 256',
         near_midpoints(generator, 12, mpf(2) ** -30, list(range(-1022, -851)) + list(range(851, 1024)))),
    ]
    lines = [
        '# log10 of doubles, rounded to nearest, worked out with mpmath at 400 bits by',
        '# tools/decimal_log_reference.py cases --random %d --meter %d --seed %d; do not edit.' % (
            random_count, meter_count, seed),
        '# Each line: the argument, the rounded log10, and the rest of log10 rounded',
        '# to nearest, as hexadecimal bit patterns of doubles; the meter\'s lines add',
        '# the total and the pair count the argument comes from.',
        '# A line "# section: NAME" starts a section.',
    ]
    for name, values in sections:
        lines.append('# section: ' + name)
        lines += [reference_line(x) for x in values]
    lines.append('# section: the meter\'s arguments, 65535 / sqrt(total / pairs)')
    for total, frames in meter_cases(generator, meter_count):
        lines.append(reference_line(meter_argument(total, frames), '%d %d' % (total, frames)))
    return '\n'.join(lines) + '\n'


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('what', choices=['table', 'cases'])
    parser.add_argument('file', nargs='?', help='where to write (standard output if left out)')
    parser.add_argument('--check', action='store_true', help='compare FILE with the output instead')
    parser.add_argument('--random', type=int, default=8000, help='random arguments in the cases')
    parser.add_argument('--meter', type=int, default=2000,
                        help='random totals and pair counts, and as many near printed rounding boundaries')
    parser.add_argument('--seed', type=int, default=21, help='seed of the random arguments')
    options = parser.parse_intermixed_args()
    text = table_text() if options.what == 'table' else cases_text(options.random, options.meter, options.seed)
    if options.check:
        with open(options.file, encoding='ascii') as existing:
            if existing.read() != text:
                sys.exit('%s differs from what %s %s writes' % (options.file, sys.argv[0], options.what))
        return
    if options.file:
        with open(options.file, 'w', encoding='ascii') as out:
            out.write(text)
    else:
        sys.stdout.write(text)


if __name__ == '__main__':
    main()
