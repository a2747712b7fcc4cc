// SSE2 inner loops. Every lane operation matches the scalar form in jpeg_kernels.cpp exactly, so both
// produce the same bytes; the tests compare them on random and exhaustive inputs.
#include "mjpeg/src/jpeg_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace mjpeg::detail {
namespace {

inline __m128i Times1414(__m128i x) {
    return _mm_add_epi16(x, _mm_mulhi_epi16(x, _mm_set1_epi16(27146)));
}
inline __m128i Times1847(__m128i x) {
    return _mm_sub_epi16(_mm_add_epi16(x, x), _mm_mulhi_epi16(x, _mm_set1_epi16(9977)));
}
inline __m128i Times1082(__m128i x) {
    return _mm_add_epi16(x, _mm_mulhi_epi16(x, _mm_set1_epi16(5400)));
}
inline __m128i Times2613(__m128i x) {
    return _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(x, x), x), _mm_mulhi_epi16(x, _mm_set1_epi16(25354)));
}

// Eight one-dimensional AAN inverse DCTs side by side: v[k] holds input k of each lane.
inline void AanIdct8x(__m128i* v) {
    __m128i t10 = _mm_add_epi16(v[0], v[4]);
    __m128i t11 = _mm_sub_epi16(v[0], v[4]);
    __m128i t13 = _mm_add_epi16(v[2], v[6]);
    __m128i t12 = _mm_sub_epi16(Times1414(_mm_sub_epi16(v[2], v[6])), t13);
    __m128i e0 = _mm_add_epi16(t10, t13);
    __m128i e3 = _mm_sub_epi16(t10, t13);
    __m128i e1 = _mm_add_epi16(t11, t12);
    __m128i e2 = _mm_sub_epi16(t11, t12);

    __m128i z13 = _mm_add_epi16(v[5], v[3]);
    __m128i z10 = _mm_sub_epi16(v[5], v[3]);
    __m128i z11 = _mm_add_epi16(v[1], v[7]);
    __m128i z12 = _mm_sub_epi16(v[1], v[7]);
    __m128i o7 = _mm_add_epi16(z11, z13);
    __m128i o11 = Times1414(_mm_sub_epi16(z11, z13));
    __m128i z5 = Times1847(_mm_add_epi16(z10, z12));
    __m128i o10 = _mm_sub_epi16(Times1082(z12), z5);
    __m128i o12 = _mm_sub_epi16(z5, Times2613(z10));
    __m128i o6 = _mm_sub_epi16(o12, o7);
    __m128i o5 = _mm_sub_epi16(o11, o6);
    __m128i o4 = _mm_add_epi16(o10, o5);

    v[0] = _mm_add_epi16(e0, o7);
    v[7] = _mm_sub_epi16(e0, o7);
    v[1] = _mm_add_epi16(e1, o6);
    v[6] = _mm_sub_epi16(e1, o6);
    v[2] = _mm_add_epi16(e2, o5);
    v[5] = _mm_sub_epi16(e2, o5);
    v[4] = _mm_add_epi16(e3, o4);
    v[3] = _mm_sub_epi16(e3, o4);
}

inline void Transpose8x8(__m128i* r) {
    __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

void IdctSse2(const std::int16_t* coef, const std::int16_t* qt, std::uint8_t* dst, int stride) {
    __m128i v[8];
    for (int k = 0; k < 8; ++k) {
        __m128i c = _mm_load_si128(reinterpret_cast<const __m128i*>(coef + 8 * k));
        __m128i q = _mm_load_si128(reinterpret_cast<const __m128i*>(qt + 8 * k));
        v[k] = _mm_mullo_epi16(c, q);
    }
    v[0] = _mm_add_epi16(v[0], _mm_setr_epi16(kIdctDcBias, 0, 0, 0, 0, 0, 0, 0));

    AanIdct8x(v); // columns
    Transpose8x8(v);
    AanIdct8x(v); // rows
    Transpose8x8(v);

    const __m128i level = _mm_set1_epi16(128);
    for (int k = 0; k < 8; k += 2) {
        __m128i a = _mm_add_epi16(_mm_srai_epi16(v[k], 5), level);
        __m128i b = _mm_add_epi16(_mm_srai_epi16(v[k + 1], 5), level);
        __m128i p = _mm_packus_epi16(a, b);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + k * stride), p);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (k + 1) * stride), _mm_unpackhi_epi64(p, p));
    }
}

void IdctPairSse2(const std::int16_t* coef, const std::int16_t* qt_a, const std::int16_t* qt_b,
                  std::uint8_t* dst_a, std::uint8_t* dst_b, int stride) {
    IdctSse2(coef, qt_a, dst_a, stride);
    IdctSse2(coef + 64, qt_b, dst_b, stride);
}

// The chroma terms of eight Cb and Cr samples (low 8 bytes of each register) as 16-bit offsets to add to
// Y, equal to the table entries for every byte value. With c = sample - 128 the tables give
//   red   = (91882 * cr - 11682187) >> 16 = c + 1 + ((13173 * (2c + 1)) >> 16)
//   blue  = (116130 * cb - 14773807) >> 16 = c + 1 + ((25297 * (2c + 1)) >> 16)
//   green = (8875658 - 46802 * cr - 22554 * cb) >> 16 = (-23401 * c_r - 11277 * c_b - 955) >> 15
// (the two sides of each were checked for all 256, or 65536, inputs). Red and blue take one high
// 16-bit product each; green is summed in 32-bit lanes and lies within -226..226, so the signed pack to
// 16 bits is exact, and adding Y in 16-bit lanes gives the sums the tables give.
struct chroma8 {
    __m128i red, green, blue;
};

inline chroma8 ChromaTerms(__m128i cb8, __m128i cr8) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i centre = _mm_set1_epi16(128);
    const __m128i one = _mm_set1_epi16(1);
    __m128i cb = _mm_sub_epi16(_mm_unpacklo_epi8(cb8, zero), centre);
    __m128i cr = _mm_sub_epi16(_mm_unpacklo_epi8(cr8, zero), centre);

    __m128i red =
        _mm_add_epi16(_mm_add_epi16(cr, one),
                      _mm_mulhi_epi16(_mm_add_epi16(_mm_add_epi16(cr, cr), one), _mm_set1_epi16(13173)));
    __m128i blue =
        _mm_add_epi16(_mm_add_epi16(cb, one),
                      _mm_mulhi_epi16(_mm_add_epi16(_mm_add_epi16(cb, cb), one), _mm_set1_epi16(25297)));

    const __m128i k_green = _mm_setr_epi16(-23401, -11277, -23401, -11277, -23401, -11277, -23401, -11277);
    const __m128i c_green = _mm_set1_epi32(-955);
    __m128i g_lo =
        _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cr, cb), k_green), c_green), 15);
    __m128i g_hi =
        _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cr, cb), k_green), c_green), 15);
    return {red, _mm_packs_epi32(g_lo, g_hi), blue};
}

// Eight pixels (red, green, blue, 0) from eight Y samples (16-bit lanes) and their chroma offsets;
// writes 32 bytes. Sums lie within -226..481 and the unsigned pack clamps them to 0..255.
inline void Store8(__m128i y16, __m128i red, __m128i green, __m128i blue, std::uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    __m128i rb = _mm_packus_epi16(_mm_add_epi16(y16, red), _mm_add_epi16(y16, blue)); // 8 red, then 8 blue
    __m128i g = _mm_packus_epi16(_mm_add_epi16(y16, green), zero);                    // 8 green, then 0
    __m128i rg = _mm_unpacklo_epi8(rb, g);
    __m128i bx = _mm_unpackhi_epi8(rb, g);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(rg, bx));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi16(rg, bx));
}

void ConvertH1Sse2(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                   int width, const colour_tables&) {
    const __m128i zero = _mm_setzero_si128();
    for (int x = 0; x < width; x += 8) {
        chroma8 c = ChromaTerms(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + x)),
                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + x)));
        __m128i y16 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + x)), zero);
        Store8(y16, c.red, c.green, c.blue, out + 4 * x);
    }
}

// Each chroma sample serves two pixels: its terms are computed once and doubled in the 16-bit lanes.
void ConvertH2Sse2(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                   int width, const colour_tables&) {
    const __m128i zero = _mm_setzero_si128();
    for (int x = 0; x < width; x += 16) {
        __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        chroma8 c = ChromaTerms(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + x / 2)),
                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + x / 2)));
        Store8(_mm_unpacklo_epi8(y8, zero), _mm_unpacklo_epi16(c.red, c.red),
               _mm_unpacklo_epi16(c.green, c.green), _mm_unpacklo_epi16(c.blue, c.blue), out + 4 * x);
        Store8(_mm_unpackhi_epi8(y8, zero), _mm_unpackhi_epi16(c.red, c.red),
               _mm_unpackhi_epi16(c.green, c.green), _mm_unpackhi_epi16(c.blue, c.blue), out + 4 * x + 32);
    }
}

const jpeg_kernel_set kSse2 = {IdctSse2, IdctPairSse2, ConvertH1Sse2, ConvertH2Sse2};

} // namespace

const jpeg_kernel_set* Sse2Kernels() {
    return &kSse2;
}

} // namespace mjpeg::detail

#else

namespace mjpeg::detail {
const jpeg_kernel_set* Sse2Kernels() {
    return nullptr;
}
} // namespace mjpeg::detail

#endif
