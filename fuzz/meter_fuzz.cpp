// libFuzzer target: the meter's fast path, with every set of kernels the CPU
// can run, against the in-order double loop that defines its results, bit
// for bit.
//
// The input gives, for the left and then the right side, a starting total:
// eight bytes whose top 53 bits, little-endian, are scaled by 2 to the power
// of the next byte modulo 28, so any whole number from 0 to about 2^80 that a
// double holds. Then two bytes, little-endian, give the first block's share
// of the samples (modulo what there is plus one); the rest is the samples, a
// sample of the first input and one of the second in turn, cut into two
// blocks that are measured one after the other.
//
// The same bytes also give every rounded-sum kernel the CPU can run a spacing
// 2^(1 + exponent byte modulo 32) and the parity of the starting multiple (the
// total's lowest bit) on each side, and check what it returns against the
// same squares added in double one by one. Any difference aborts.
#include <vorik/psnr_meter.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernel_list.h"
#include "square_sums/square_sums.h"

namespace {

using namespace vorik;
using namespace vorik::detail;

constexpr std::size_t TOTAL_BYTES = 9;
constexpr std::size_t SPLIT_BYTES = 2;
constexpr std::size_t HEADER_BYTES = 2 * TOTAL_BYTES + SPLIT_BYTES;
constexpr std::size_t RECORD_BYTES = 4;  // a sample of each input
constexpr unsigned BITS_PER_BYTE = 8;
constexpr unsigned UNUSED_LOW_BITS = 11;      // of the eight bytes, below the 53 a double holds
constexpr unsigned LARGEST_EXTRA_SCALE = 28;  // totals up to 2^(53 + 27)
// The smallest multiple N of the spacing a total past 2^53 is: 2^52.
constexpr double SMALLEST_MULTIPLE = 4503599627370496.0;

using Samples = std::vector<std::int16_t>;

std::uint64_t little_endian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value |= std::uint64_t{bytes[i]} << (BITS_PER_BYTE * i);
    }
    return value;
}

struct SideInput {
    double total;       // a starting total for the meter
    RoundingSide side;  // a spacing and parity for the kernels
};

SideInput side_input(const std::uint8_t* bytes) {
    const std::uint64_t bits = little_endian(bytes, TOTAL_BYTES - 1);
    const std::uint8_t scale = bytes[TOTAL_BYTES - 1];
    return {std::ldexp(static_cast<double>(bits >> UNUSED_LOW_BITS), scale % LARGEST_EXTRA_SCALE),
            {1 + scale % LAST_ROUNDING_EXPONENT, (bits & 1) != 0}};
}

[[noreturn]] void differ(const char* kernels, const char* what, double fast, double reference) {
    std::fprintf(stderr, "%s kernels, %s: %.17g where the in-order loop gives %.17g\n", kernels, what, fast,
                 reference);
    std::abort();
}

void check_meter(const Kernels& kernels, const SideInput& left, const SideInput& right,
                 const Samples (&first)[2], const Samples (&second)[2]) {
    use_kernels(kernels);
    PsnrAccumulator fast{{0}, left.total, right.total};
    PsnrAccumulator reference = fast;
    for (std::size_t block = 0; block < 2; ++block) {
        const auto count = static_cast<std::uint32_t>(first[block].size());
        accumulate_block(fast, first[block].data(), second[block].data(), count);
        accumulate_block_in_order(reference, first[block].data(), second[block].data(), count);
    }
    if (fast.pairs != reference.pairs) {
        differ(kernels.name, "pairs", static_cast<double>(fast.pairs), static_cast<double>(reference.pairs));
    }
    if (std::memcmp(&fast.sum_sq_left, &reference.sum_sq_left, sizeof(double)) != 0) {
        differ(kernels.name, "left total", fast.sum_sq_left, reference.sum_sq_left);
    }
    if (std::memcmp(&fast.sum_sq_right, &reference.sum_sq_right, sizeof(double)) != 0) {
        differ(kernels.name, "right total", fast.sum_sq_right, reference.sum_sq_right);
    }
}

// The squares of one side (0 left, 1 right) added in double, one by one,
// from N * 2^s with N = 2^52 or 2^52 + 1, in multiples of 2^s: far below
// 2^(53 + s), as the kernels need.
double moved_in_double(RoundingSide side, const Samples& first, const Samples& second, std::size_t which) {
    const int exponent = static_cast<int>(side.spacing_exponent);
    const double start = std::ldexp(SMALLEST_MULTIPLE + side.odd_multiple, exponent);
    double total = start;
    for (std::size_t pair = 0; pair < first.size() / 2; ++pair) {
        const double difference = first[2 * pair + which] - second[2 * pair + which];
        total += difference * difference;
    }
    return std::ldexp(total - start, -exponent);
}

void check_kernels(RoundingSide left, RoundingSide right, const Samples& first, const Samples& second) {
    const auto pairs = static_cast<std::uint32_t>(first.size() / 2);
    const double left_moved = moved_in_double(left, first, second, 0);
    const double right_moved = moved_in_double(right, first, second, 1);
    for (const Kernels& kernels : runnable_kernels()) {
        const RoundedSums sums = kernels.sum_rounded_squares(first.data(), second.data(), pairs, left, right);
        if (static_cast<double>(sums.left) != left_moved || static_cast<double>(sums.right) != right_moved) {
            std::fprintf(stderr, "spacings 2^%u and 2^%u: %.17g and %.17g spacings\n", left.spacing_exponent,
                         right.spacing_exponent, left_moved, right_moved);
            differ(kernels.name, "left and right rounded sums", static_cast<double>(sums.left),
                   static_cast<double>(sums.right));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < HEADER_BYTES) {
        return 0;
    }
    const SideInput left = side_input(data);
    const SideInput right = side_input(data + TOTAL_BYTES);
    const std::size_t records = (size - HEADER_BYTES) / RECORD_BYTES;
    const std::size_t first_block = little_endian(data + 2 * TOTAL_BYTES, SPLIT_BYTES) % (records + 1);
    Samples first[2];
    Samples second[2];
    const std::uint8_t* record = data + HEADER_BYTES;
    for (std::size_t i = 0; i < records; ++i, record += RECORD_BYTES) {
        const std::size_t block = i < first_block ? 0 : 1;
        first[block].push_back(static_cast<std::int16_t>(little_endian(record, 2)));
        second[block].push_back(static_cast<std::int16_t>(little_endian(record + 2, 2)));
    }
    for (const Kernels& kernels : runnable_kernels()) {
        check_meter(kernels, left, right, first, second);
    }
    check_kernels(left.side, right.side, first[0], second[0]);
    return 0;
}
