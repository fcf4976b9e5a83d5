// The channel differences with AVX2, which this file is built for: vectors of
// 16 samples.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"
#include "lane_walk.h"
#include "vector_lanes.h"

namespace vorik::detail {
namespace {

constexpr int HALF_BITS = 16;
constexpr int WORD_BITS = 32;
constexpr std::uint16_t ALL_BITS = 0xFFFF;
constexpr int LOW_HALF = 0xFFFF;
constexpr long long LOW_WORD = 0xFFFFFFFF;

// The instructions of this file, for VectorLanes.
struct Avx2Instructions {
    static constexpr std::size_t COUNT = 16;
    using Vector = __m256i;
    using Mask = __m256i;  // all bits set in the used lanes

    static Mask first_lanes(std::size_t used) {
        std::uint16_t lanes[MOST_LANES] = {};
        for (std::size_t i = 0; i < used; ++i) {
            lanes[i] = ALL_BITS;
        }
        return load(lanes);
    }

    // |a - b| fits 16 unsigned bits even where a - b does not fit 16 signed ones.
    static __m256i distances(const std::int16_t* original, const std::int16_t* copy) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(original));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(copy));
        return _mm256_sub_epi16(_mm256_max_epi16(a, b), _mm256_min_epi16(a, b));
    }

    // Exact up to 32766; 32767 or 32768 for every larger difference.
    static __m256i saturated_distances(const std::int16_t* original, const std::int16_t* copy) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(original));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(copy));
        return _mm256_abs_epi16(_mm256_subs_epi16(a, b));
    }

    static __m256i low_square_halves(__m256i d) { return _mm256_mullo_epi16(d, d); }
    static __m256i high_square_halves(__m256i d) { return _mm256_mulhi_epu16(d, d); }
    static __m256i pair_squares(__m256i a, __m256i b) { return _mm256_madd_epi16(a, b); }
    static __m256i even_lanes(__m256i d) { return _mm256_and_si256(d, _mm256_set1_epi32(LOW_HALF)); }
    static __m256i add_lanes(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
    static __m256i add_words(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
    static __m256i add_quads(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }
    static __m256i sub_quads(__m256i a, __m256i b) { return _mm256_sub_epi64(a, b); }
    static __m256i odd_halves(__m256i words) { return _mm256_srli_epi32(words, HALF_BITS); }
    static __m256i even_halves(__m256i both, __m256i odd) {
        return _mm256_sub_epi32(both, _mm256_slli_epi32(odd, HALF_BITS));
    }
    static __m256i bottom_words(__m256i quads) {
        return _mm256_and_si256(quads, _mm256_set1_epi64x(LOW_WORD));
    }
    static __m256i top_words(__m256i quads) { return _mm256_srli_epi64(quads, WORD_BITS); }
    static __m256i differing_lanes(__m256i d) { return _mm256_min_epu16(d, _mm256_set1_epi16(1)); }
    static __m256i max(__m256i a, __m256i b) { return _mm256_max_epu16(a, b); }

    static bool differ(__m256i first, __m256i second, __m256i used) {
        return _mm256_testz_si256(_mm256_xor_si256(first, second), used) == 0;
    }

    static bool all_at_most(__m256i lanes, std::uint16_t limit, __m256i used) {
        return _mm256_testz_si256(_mm256_subs_epu16(lanes, _mm256_set1_epi16(static_cast<short>(limit))),
                                  used) != 0;
    }

    static __m256i load(const std::uint16_t (&lanes)[MOST_LANES]) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
    }

    template <typename Word>
    static void store(Word* words, __m256i vector) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), vector);
    }
};

}  // namespace

// Flattened, so that the kernel is one function of this file's instructions.
[[gnu::flatten]] void add_channel_differences_avx2(ChannelDifferences* differences, std::uint16_t channels,
                                                   const std::int16_t* original, const std::int16_t* copy,
                                                   std::size_t frames, std::uint64_t first_frame) {
    add_in_lanes<VectorLanes<Avx2Instructions>>(differences, channels, original, copy, frames, first_frame);
}

}  // namespace vorik::detail
