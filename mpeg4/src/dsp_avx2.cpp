// AVX2 output rows, built with AVX2 enabled for this file alone and used only where the processor
// reports AVX2 at run time: 32 pixels per step with the SSE2 routines' integer steps, so the bytes
// are the scalar routines'. The file includes no inline code shared with other files, so nothing
// built here for AVX2 can stand in for code that runs on other processors.
#include "dsp.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace mpeg4 {
namespace {

// 16 chroma samples, widened to 16 bits in order.
inline __m256i Chroma16(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 0..255 as the byte packing saturates.
inline __m256i Clip(__m256i v) {
    return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}

// 32 pixels: each chroma term is computed once for two pixels, the luma term per pixel, both as
// (x × 8 × k) >> 16 like the scalar routine.
void RowRgb32Avx2(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    const __m256i c128 = _mm256_set1_epi16(128);
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        const __m256i uu = _mm256_slli_epi16(_mm256_sub_epi16(Chroma16(u + x / 2), c128), 3);
        const __m256i vw = _mm256_slli_epi16(_mm256_sub_epi16(Chroma16(v + x / 2), c128), 3);
        // Quarters (0, 2, 1, 3): the in-lane unpacks below then give each half of the pixels its
        // chroma samples in order, each twice.
        const __m256i rv = _mm256_permute4x64_epi64(_mm256_mulhi_epi16(vw, _mm256_set1_epi16(13123)), 0xD8);
        const __m256i gu = _mm256_permute4x64_epi64(_mm256_mulhi_epi16(uu, _mm256_set1_epi16(-3218)), 0xD8);
        const __m256i gv = _mm256_permute4x64_epi64(_mm256_mulhi_epi16(vw, _mm256_set1_epi16(-6686)), 0xD8);
        const __m256i bu = _mm256_permute4x64_epi64(_mm256_mulhi_epi16(uu, _mm256_set1_epi16(16591)), 0xD8);
        const __m128i y16 = _mm_set1_epi8(16);
        for (int half = 0; half < 2; ++half) {
            __m128i yb =
                _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x + 16 * half)), y16);
            __m256i yy =
                _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_cvtepu8_epi16(yb), 3), _mm256_set1_epi16(9576));
            __m256i r2 = half ? _mm256_unpackhi_epi16(rv, rv) : _mm256_unpacklo_epi16(rv, rv);
            __m256i gu2 = half ? _mm256_unpackhi_epi16(gu, gu) : _mm256_unpacklo_epi16(gu, gu);
            __m256i gv2 = half ? _mm256_unpackhi_epi16(gv, gv) : _mm256_unpacklo_epi16(gv, gv);
            __m256i b2 = half ? _mm256_unpackhi_epi16(bu, bu) : _mm256_unpacklo_epi16(bu, bu);
            __m256i b = Clip(_mm256_adds_epi16(yy, b2));
            __m256i g = Clip(_mm256_adds_epi16(_mm256_adds_epi16(yy, gu2), gv2));
            __m256i r = Clip(_mm256_adds_epi16(yy, r2));
            __m256i bg = _mm256_or_si256(b, _mm256_slli_epi16(g, 8));
            // Pixels 0..3 and 8..11 of the half, then 4..7 and 12..15, as BGRX words.
            __m256i lo = _mm256_unpacklo_epi16(bg, r);
            __m256i hi = _mm256_unpackhi_epi16(bg, r);
            uint8_t* d = dst + 4 * (x + 16 * half);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_permute2x128_si256(lo, hi, 0x20));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
        }
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

} // namespace

const DspTable* Avx2Dsp() {
    static const DspTable* const table = []() -> const DspTable* {
        const DspTable* sse2 = Sse2Dsp();
        if (sse2 == nullptr || !__builtin_cpu_supports("avx2"))
            return nullptr;
        static DspTable built = *sse2;
        built.rowRgb32 = RowRgb32Avx2;
        built.rowYuy2 = RowYuy2Avx2;
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
