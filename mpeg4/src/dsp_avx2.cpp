// AVX2 output rows, de-interlaced lines and quarter-sample interpolation, built with AVX2 enabled for this
// file alone and used only where the processor reports AVX2 at run time: the rows take 32 pixels per step
// with the SSE2 routines' integer steps, so the bytes are the scalar routines'. The file includes no inline
// code shared with other files, so nothing built here for AVX2 can stand in for code that runs on other
// processors.
#include "dsp.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace mpeg4 {
namespace {

// 16 chroma samples, widened to 16 bits in order.
inline __m256i Chroma16(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 32 pixels: each chroma term is computed once for two pixels, the luma term per pixel, both as
// (x × 8 × k) >> 16 like the scalar routine; the sums stay within -600..600, so adding the two green
// terms first gives the same sums. Unpacking within lanes pairs luma samples 0..7 and 16..23 (then
// 8..15 and 24..31) with exactly the chroma terms the unpacks of the terms give, and the byte
// packing saturates to 0..255 as the scalar clip does.
void RowRgb32Avx2(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    const __m256i c128 = _mm256_set1_epi16(128);
    const __m256i zero = _mm256_setzero_si256();
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        // Lane 0: the chroma of pixels 0..15, lane 1: of pixels 16..31.
        const __m256i uu = _mm256_slli_epi16(_mm256_sub_epi16(Chroma16(u + x / 2), c128), 3);
        const __m256i vw = _mm256_slli_epi16(_mm256_sub_epi16(Chroma16(v + x / 2), c128), 3);
        const __m256i rv = _mm256_mulhi_epi16(vw, _mm256_set1_epi16(13123));
        const __m256i guv = _mm256_add_epi16(_mm256_mulhi_epi16(uu, _mm256_set1_epi16(-3218)),
                                             _mm256_mulhi_epi16(vw, _mm256_set1_epi16(-6686)));
        const __m256i bu = _mm256_mulhi_epi16(uu, _mm256_set1_epi16(16591));
        const __m256i yb = _mm256_subs_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x)),
                                            _mm256_set1_epi8(16));
        const __m256i k = _mm256_set1_epi16(9576);
        const __m256i y0 = _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_unpacklo_epi8(yb, zero), 3), k);
        const __m256i y1 = _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_unpackhi_epi8(yb, zero), 3), k);
        // Bytes of pixels 0..15 in lane 0 and 16..31 in lane 1.
        const __m256i b = _mm256_packus_epi16(_mm256_add_epi16(y0, _mm256_unpacklo_epi16(bu, bu)),
                                              _mm256_add_epi16(y1, _mm256_unpackhi_epi16(bu, bu)));
        const __m256i g = _mm256_packus_epi16(_mm256_add_epi16(y0, _mm256_unpacklo_epi16(guv, guv)),
                                              _mm256_add_epi16(y1, _mm256_unpackhi_epi16(guv, guv)));
        const __m256i r = _mm256_packus_epi16(_mm256_add_epi16(y0, _mm256_unpacklo_epi16(rv, rv)),
                                              _mm256_add_epi16(y1, _mm256_unpackhi_epi16(rv, rv)));
        const __m256i bgLow = _mm256_unpacklo_epi8(b, g), bgHigh = _mm256_unpackhi_epi8(b, g);
        const __m256i rxLow = _mm256_unpacklo_epi8(r, zero), rxHigh = _mm256_unpackhi_epi8(r, zero);
        // BGRX words of pixels 0..3 | 16..19, 4..7 | 20..23, 8..11 | 24..27 and 12..15 | 28..31.
        const __m256i p0 = _mm256_unpacklo_epi16(bgLow, rxLow), p1 = _mm256_unpackhi_epi16(bgLow, rxLow);
        const __m256i p2 = _mm256_unpacklo_epi16(bgHigh, rxHigh), p3 = _mm256_unpackhi_epi16(bgHigh, rxHigh);
        __m256i* d = reinterpret_cast<__m256i*>(dst + 4 * x);
        _mm256_storeu_si256(d, _mm256_permute2x128_si256(p0, p1, 0x20));
        _mm256_storeu_si256(d + 1, _mm256_permute2x128_si256(p2, p3, 0x20));
        _mm256_storeu_si256(d + 2, _mm256_permute2x128_si256(p0, p1, 0x31));
        _mm256_storeu_si256(d + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
    }
    if (x < w)
        Sse2Dsp()->rowRgb32(dst + 4 * x, y + x, u + x / 2, v + x / 2, w - x);
}

void RowYuy2Avx2(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        const __m128i cu = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x / 2));
        const __m128i cv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x / 2));
        // Lane 0: the chroma pairs of pixels 0..15, lane 1: of pixels 16..31.
        const __m256i uv = _mm256_set_m128i(_mm_unpackhi_epi8(cu, cv), _mm_unpacklo_epi8(cu, cv));
        const __m256i yv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x));
        const __m256i lo = _mm256_unpacklo_epi8(yv, uv); // pixels 0..7 and 16..23
        const __m256i hi = _mm256_unpackhi_epi8(yv, uv); // pixels 8..15 and 24..31
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * x), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * x + 32),
                            _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    if (x < w)
        Sse2Dsp()->rowYuy2(dst + 2 * x, y + x, u + x / 2, v + x / 2, w - x);
}

// ---------------------------------------------------------------------------------------------
// De-interlaced line, 32 pixels per step in the SSE2 routine's 16-bit wrap-around lanes.

inline __m256i DeinterlaceLanes(__m256i a, __m256i b, __m256i c) {
    const __m256i p =
        _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_sub_epi16(a, c), _mm256_sub_epi16(b, c)), 2);
    const __m256i d = _mm256_sub_epi16(a, b);
    const __m256i q =
        _mm256_mullo_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(d, d), 14), _mm256_set1_epi16(625));
    const __m256i comb = _mm256_cmpgt_epi16(_mm256_sub_epi16(p, q), _mm256_set1_epi16(73));
    return _mm256_blendv_epi8(c, _mm256_avg_epu16(a, b), comb);
}

void DeinterlaceRowAvx2(uint8_t* out, const uint8_t* a, const uint8_t* c, const uint8_t* b, int width) {
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        auto widen = [x](const uint8_t* p, int half) {
            return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x + 16 * half)));
        };
        const __m256i lo = DeinterlaceLanes(widen(a, 0), widen(b, 0), widen(c, 0));
        const __m256i hi = DeinterlaceLanes(widen(a, 1), widen(b, 1), widen(c, 1));
        // The in-lane packing gives pixels 0..7, 16..23, 8..15, 24..31: quarters put back in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                            _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8));
    }
    if (x < width)
        Sse2Dsp()->deinterlaceRow(out + x, a + x, c + x, b + x, width - x);
}

// ---------------------------------------------------------------------------------------------
// Quarter-sample interpolation: the scalar routine's two steps (horizontal rows, then the vertical
// step over them) with the 8-tap filter as four byte-pair multiply-adds, (-1, 3), (-6, 20),
// (20, -6) and (3, -1), over samples mirrored at the window's edges by byte shuffles. Every sum lies
// in -3570..10200, so the 16-bit multiply-adds never saturate and give the scalar sums exactly.

// (a + b + 1 - rounding) >> 1 on bytes.
inline __m128i Average(__m128i a, __m128i b, int rounding) {
    __m128i avg = _mm_avg_epu8(a, b);
    if (rounding)
        avg = _mm_sub_epi8(avg, _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
    return avg;
}

// The byte pairs (e[j + 2m], e[j + 2m + 1]) of taps 2m and 2m + 1 for outputs j = 0..7 of a lane.
template <int M> inline __m256i TapPairs(__m256i ext) {
    constexpr int b = 2 * M;
    const __m256i mask =
        _mm256_setr_epi8(b, b + 1, b + 1, b + 2, b + 2, b + 3, b + 3, b + 4, b + 4, b + 5, b + 5, b + 6,
                         b + 6, b + 7, b + 7, b + 8, b, b + 1, b + 1, b + 2, b + 2, b + 3, b + 3, b + 4,
                         b + 4, b + 5, b + 5, b + 6, b + 6, b + 7, b + 7, b + 8);
    return _mm256_shuffle_epi8(ext, mask);
}

inline __m256i PairCoefficients(int first, int second) {
    return _mm256_set1_epi16(static_cast<int16_t>((second << 8) | (first & 0xFF)));
}

// Eight filtered outputs in each lane from the 15 mirrored samples e[0..14] the lane holds
// (e[k] is the sample at k - 3 from the lane's first output), as 16-bit values before clipping.
inline __m256i FilterLanes(__m256i ext, __m256i bias) {
    __m256i v = _mm256_maddubs_epi16(TapPairs<0>(ext), PairCoefficients(-1, 3));
    v = _mm256_add_epi16(v, _mm256_maddubs_epi16(TapPairs<1>(ext), PairCoefficients(-6, 20)));
    v = _mm256_add_epi16(v, _mm256_maddubs_epi16(TapPairs<2>(ext), PairCoefficients(20, -6)));
    v = _mm256_add_epi16(v, _mm256_maddubs_epi16(TapPairs<3>(ext), PairCoefficients(3, -1)));
    return _mm256_srai_epi16(_mm256_add_epi16(v, bias), 5);
}

// The quarter position between a sample run and its half-sample values (fraction 1 or 3 takes the
// sample at or after the position; 2 the half-sample value itself).
inline __m128i QuarterMix(__m128i at, __m128i next, __m128i half, int fraction, int rounding) {
    if (fraction == 2)
        return half;
    return Average(fraction == 1 ? at : next, half, rounding);
}

// One row of 16 horizontally interpolated samples from the 17 samples at s.
inline __m128i HorizontalRow16(const uint8_t* s, int fx, int rounding, __m256i bias) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));     // s[0..15]
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 1)); // s[1..16]
    if (!fx)
        return a;
    // Lane 0: the mirrored run from sample -3 (outputs 0..7); lane 1: from sample 5 (outputs 8..15).
    const __m128i low = _mm_shuffle_epi8(a, _mm_setr_epi8(2, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12));
    const __m128i high =
        _mm_shuffle_epi8(b, _mm_setr_epi8(4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 14, 13, 12));
    const __m256i v = FilterLanes(_mm256_set_m128i(high, low), bias);
    const __m128i half = _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return QuarterMix(a, b, half, fx, rounding);
}

// Two rows of 8 horizontally interpolated samples (the 9 samples at s0 and at s1) in the low and
// high halves.
inline __m128i HorizontalRows8(const uint8_t* s0, const uint8_t* s1, int fx, int rounding, __m256i bias) {
    auto load = [](const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); };
    const __m128i a = _mm_unpacklo_epi64(load(s0), load(s1));
    if (!fx)
        return a;
    const __m128i b = _mm_unpacklo_epi64(load(s0 + 1), load(s1 + 1));
    // Each row's s[0..7] and s[1..8] side by side, shuffled into its mirrored run from sample -3.
    const __m128i mirror = _mm_setr_epi8(2, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 15, 15, 7, 6, 5);
    const __m128i e0 = _mm_shuffle_epi8(_mm_unpacklo_epi64(a, b), mirror);
    const __m128i e1 = _mm_shuffle_epi8(_mm_unpackhi_epi64(a, b), mirror);
    const __m256i v = FilterLanes(_mm256_set_m128i(e1, e0), bias);
    const __m128i half = _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return QuarterMix(a, b, half, fx, rounding);
}

template <int N>
void QuarterPelFixed(uint8_t* dst, int ds, const uint8_t* src, int ss, int fx, int fy, int rounding) {
    const __m256i bias = _mm256_set1_epi16(static_cast<int16_t>(16 - rounding));
    auto store = [&](int y, __m128i v) {
        if constexpr (N == 16)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + y * ds), v);
        else
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + y * ds), v);
    };
    // Rows -3..N + 3 of the horizontal step, mirrored beyond rows 0..N, 16 bytes a row.
    alignas(32) uint8_t rows[(N + 7) * 16];
    uint8_t* h = rows + 3 * 16;
    const int last = fy ? N : N - 1; // without a vertical step row N is not needed
    if constexpr (N == 16) {
        for (int y = 0; y <= last; ++y) {
            const __m128i r = HorizontalRow16(src + y * ss, fx, rounding, bias);
            if (fy)
                _mm_store_si128(reinterpret_cast<__m128i*>(h + y * 16), r);
            else
                store(y, r);
        }
    } else {
        for (int y = 0; y <= last; y += 2) {
            const int y1 = y + 1 < last ? y + 1 : last;
            const __m128i r = HorizontalRows8(src + y * ss, src + y1 * ss, fx, rounding, bias);
            if (fy) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(h + y * 16), r);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(h + y1 * 16), _mm_unpackhi_epi64(r, r));
            } else {
                store(y, r);
                if (y1 != y)
                    store(y1, _mm_unpackhi_epi64(r, r));
            }
        }
    }
    if (!fy)
        return;
    auto copyRow = [&](int to, int from) {
        _mm_store_si128(reinterpret_cast<__m128i*>(h + to * 16),
                        _mm_load_si128(reinterpret_cast<const __m128i*>(h + from * 16)));
    };
    for (int k = 1; k <= 3; ++k) {
        copyRow(-k, k - 1);
        copyRow(N + k, N + 1 - k);
    }
    // Vertical step: rows j and j + 1 interleaved byte by byte, so one multiply-add applies a tap pair.
    const __m256i c0 = PairCoefficients(-1, 3), c1 = PairCoefficients(-6, 20);
    const __m256i c2 = PairCoefficients(20, -6), c3 = PairCoefficients(3, -1);
    if constexpr (N == 16) {
        __m256i pairs[N + 6];
        __m256i below = _mm256_cvtepu8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(rows)));
        for (int j = 0; j < N + 6; ++j) {
            const __m256i next =
                _mm256_cvtepu8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(rows + (j + 1) * 16)));
            pairs[j] = _mm256_or_si256(below, _mm256_slli_epi16(next, 8));
            below = next;
        }
        for (int y = 0; y < N; ++y) {
            __m256i v = _mm256_maddubs_epi16(pairs[y], c0);
            v = _mm256_add_epi16(v, _mm256_maddubs_epi16(pairs[y + 2], c1));
            v = _mm256_add_epi16(v, _mm256_maddubs_epi16(pairs[y + 4], c2));
            v = _mm256_add_epi16(v, _mm256_maddubs_epi16(pairs[y + 6], c3));
            v = _mm256_srai_epi16(_mm256_add_epi16(v, bias), 5);
            const __m128i half = _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
            const __m128i at = _mm_load_si128(reinterpret_cast<const __m128i*>(h + y * 16));
            const __m128i next = _mm_load_si128(reinterpret_cast<const __m128i*>(h + (y + 1) * 16));
            store(y, QuarterMix(at, next, half, fy, rounding));
        }
    } else {
        // Eight columns: two output rows a step, one in each lane.
        __m128i pairs[N + 6];
        auto row = [&](int j) {
            return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows + j * 16)));
        };
        __m128i below = row(0);
        for (int j = 0; j < N + 6; ++j) {
            const __m128i next = row(j + 1);
            pairs[j] = _mm_or_si128(below, _mm_slli_epi16(next, 8));
            below = next;
        }
        for (int y = 0; y < N; y += 2) {
            auto both = [&](int j) { return _mm256_set_m128i(pairs[j + 1], pairs[j]); };
            __m256i v = _mm256_maddubs_epi16(both(y), c0);
            v = _mm256_add_epi16(v, _mm256_maddubs_epi16(both(y + 2), c1));
            v = _mm256_add_epi16(v, _mm256_maddubs_epi16(both(y + 4), c2));
            v = _mm256_add_epi16(v, _mm256_maddubs_epi16(both(y + 6), c3));
            v = _mm256_srai_epi16(_mm256_add_epi16(v, bias), 5);
            const __m128i half = _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
            auto load = [&](int j) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(h + j * 16)); };
            const __m128i at = _mm_unpacklo_epi64(load(y), load(y + 1));
            const __m128i next = _mm_unpacklo_epi64(load(y + 1), load(y + 2));
            const __m128i out = QuarterMix(at, next, half, fy, rounding);
            store(y, out);
            store(y + 1, _mm_unpackhi_epi64(out, out));
        }
    }
}

void QuarterPelAvx2(uint8_t* dst, int ds, const uint8_t* src, int ss, int n, int fx, int fy, int rounding) {
    if (n == 16)
        QuarterPelFixed<16>(dst, ds, src, ss, fx, fy, rounding);
    else
        QuarterPelFixed<8>(dst, ds, src, ss, fx, fy, rounding);
}

} // namespace

const DspTable* Avx2Dsp() {
    static const DspTable* const table = []() -> const DspTable* {
        const DspTable* sse2 = Sse2Dsp();
        if (sse2 == nullptr || !__builtin_cpu_supports("avx2"))
            return nullptr;
        static DspTable built = *sse2;
        built.rowRgb32 = RowRgb32Avx2;
        built.rowYuy2 = RowYuy2Avx2;
        built.quarterPel = QuarterPelAvx2;
        built.deinterlaceRow = DeinterlaceRowAvx2;
        return &built;
    }();
    return table;
}

} // namespace mpeg4

#else

namespace mpeg4 {
const DspTable* Avx2Dsp() {
    return nullptr;
}
} // namespace mpeg4

#endif
