// The channel differences with AVX-512 F and BW, which this file is built
// for: vectors of 32 samples.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"
#include "lane_walk.h"
#include "vector_lanes.h"

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
// GCC 12 takes the undefined vectors inside its own AVX-512 intrinsics for
// uninitialised variables (its bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace vorik::detail {
namespace {

constexpr unsigned HALF_BITS = 16;
constexpr unsigned WORD_BITS = 32;
// Every other 16-bit lane, and every other 32-bit lane, from the first.
constexpr __mmask32 EVEN_LANES = 0x55555555;
constexpr __mmask16 EVEN_WORDS = 0x5555;

// The instructions of this file, for VectorLanes.
struct Avx512Instructions {
    static constexpr std::size_t COUNT = 32;
    using Vector = __m512i;
    using Mask = __mmask32;  // a bit set for each used lane

    static Mask first_lanes(std::size_t used) {
        return static_cast<__mmask32>((std::uint64_t{1} << used) - 1);
    }

    // |a - b| fits 16 unsigned bits even where a - b does not fit 16 signed ones.
    static __m512i distances(const std::int16_t* original, const std::int16_t* copy) {
        const __m512i a = _mm512_loadu_si512(original);
        const __m512i b = _mm512_loadu_si512(copy);
        return _mm512_sub_epi16(_mm512_max_epi16(a, b), _mm512_min_epi16(a, b));
    }

    // Exact up to 32766; 32767 or 32768 for every larger difference.
    static __m512i saturated_distances(const std::int16_t* original, const std::int16_t* copy) {
        return _mm512_abs_epi16(_mm512_subs_epi16(_mm512_loadu_si512(original), _mm512_loadu_si512(copy)));
    }

    static __m512i low_square_halves(__m512i d) { return _mm512_mullo_epi16(d, d); }
    static __m512i high_square_halves(__m512i d) { return _mm512_mulhi_epu16(d, d); }
    static __m512i pair_squares(__m512i a, __m512i b) { return _mm512_madd_epi16(a, b); }
    static __m512i even_lanes(__m512i d) { return _mm512_maskz_mov_epi16(EVEN_LANES, d); }
    static __m512i add_lanes(__m512i a, __m512i b) { return _mm512_add_epi16(a, b); }
    static __m512i add_words(__m512i a, __m512i b) { return _mm512_add_epi32(a, b); }
    static __m512i add_quads(__m512i a, __m512i b) { return _mm512_add_epi64(a, b); }
    static __m512i sub_quads(__m512i a, __m512i b) { return _mm512_sub_epi64(a, b); }
    static __m512i odd_halves(__m512i words) { return _mm512_srli_epi32(words, HALF_BITS); }
    static __m512i even_halves(__m512i both, __m512i odd) {
        return _mm512_sub_epi32(both, _mm512_slli_epi32(odd, HALF_BITS));
    }
    static __m512i bottom_words(__m512i quads) { return _mm512_maskz_mov_epi32(EVEN_WORDS, quads); }
    static __m512i top_words(__m512i quads) { return _mm512_srli_epi64(quads, WORD_BITS); }
    static __m512i differing_lanes(__m512i d) { return _mm512_min_epu16(d, _mm512_set1_epi16(1)); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_max_epu16(a, b); }

    static bool differ(__m512i first, __m512i second, __mmask32 used) {
        return _cvtmask32_u32(_mm512_mask_cmpneq_epu16_mask(used, first, second)) != 0;
    }

    static bool all_at_most(__m512i lanes, std::uint16_t limit, __mmask32 used) {
        return _cvtmask32_u32(_mm512_mask_cmpgt_epu16_mask(
                   used, lanes, _mm512_set1_epi16(static_cast<short>(limit)))) == 0;
    }

    static __m512i load(const std::uint16_t (&lanes)[MOST_LANES]) { return _mm512_loadu_si512(lanes); }

    template <typename Word>
    static void store(Word* words, __m512i vector) {
        _mm512_storeu_si512(words, vector);
    }
};

}  // namespace

// Flattened, so that the kernel is one function of this file's instructions.
[[gnu::flatten]] void add_channel_differences_avx512(ChannelDifferences* differences, std::uint16_t channels,
                                                     const std::int16_t* original, const std::int16_t* copy,
                                                     std::size_t frames, std::uint64_t first_frame) {
    add_in_lanes<VectorLanes<Avx512Instructions>>(differences, channels, original, copy, frames, first_frame);
}

}  // namespace vorik::detail
