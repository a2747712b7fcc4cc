// AVX2 inner loops, built with AVX2 enabled for this file alone and used only where the processor
// reports it. Two blocks share each 256-bit register, one in each 128-bit half; every lane operation is
// the one of the SSE2 and scalar forms, so all three give the same bytes.
#include "mjpeg/src/jpeg_kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace mjpeg::detail {
namespace {

inline __m256i Times1414(__m256i x) {
    return _mm256_add_epi16(x, _mm256_mulhi_epi16(x, _mm256_set1_epi16(27146)));
}
inline __m256i Times1847(__m256i x) {
    return _mm256_sub_epi16(_mm256_add_epi16(x, x), _mm256_mulhi_epi16(x, _mm256_set1_epi16(9977)));
}
inline __m256i Times1082(__m256i x) {
    return _mm256_add_epi16(x, _mm256_mulhi_epi16(x, _mm256_set1_epi16(5400)));
}
inline __m256i Times2613(__m256i x) {
    return _mm256_sub_epi16(_mm256_add_epi16(_mm256_add_epi16(x, x), x),
                            _mm256_mulhi_epi16(x, _mm256_set1_epi16(25354)));
}

// Sixteen one-dimensional AAN inverse DCTs side by side (eight of each block): v[k] holds input k.
inline void AanIdct16x(__m256i* v) {
    __m256i t10 = _mm256_add_epi16(v[0], v[4]);
    __m256i t11 = _mm256_sub_epi16(v[0], v[4]);
    __m256i t13 = _mm256_add_epi16(v[2], v[6]);
    __m256i t12 = _mm256_sub_epi16(Times1414(_mm256_sub_epi16(v[2], v[6])), t13);
    __m256i e0 = _mm256_add_epi16(t10, t13);
    __m256i e3 = _mm256_sub_epi16(t10, t13);
    __m256i e1 = _mm256_add_epi16(t11, t12);
    __m256i e2 = _mm256_sub_epi16(t11, t12);

    __m256i z13 = _mm256_add_epi16(v[5], v[3]);
    __m256i z10 = _mm256_sub_epi16(v[5], v[3]);
    __m256i z11 = _mm256_add_epi16(v[1], v[7]);
    __m256i z12 = _mm256_sub_epi16(v[1], v[7]);
    __m256i o7 = _mm256_add_epi16(z11, z13);
    __m256i o11 = Times1414(_mm256_sub_epi16(z11, z13));
    __m256i z5 = Times1847(_mm256_add_epi16(z10, z12));
    __m256i o10 = _mm256_sub_epi16(Times1082(z12), z5);
    __m256i o12 = _mm256_sub_epi16(z5, Times2613(z10));
    __m256i o6 = _mm256_sub_epi16(o12, o7);
    __m256i o5 = _mm256_sub_epi16(o11, o6);
    __m256i o4 = _mm256_add_epi16(o10, o5);

    v[0] = _mm256_add_epi16(e0, o7);
    v[7] = _mm256_sub_epi16(e0, o7);
    v[1] = _mm256_add_epi16(e1, o6);
    v[6] = _mm256_sub_epi16(e1, o6);
    v[2] = _mm256_add_epi16(e2, o5);
    v[5] = _mm256_sub_epi16(e2, o5);
    v[4] = _mm256_add_epi16(e3, o4);
    v[3] = _mm256_sub_epi16(e3, o4);
}

// Transposes the 8x8 block in each 128-bit half (the unpack instructions stay within their half).
inline void Transpose2x8x8(__m256i* r) {
    __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]), a1 = _mm256_unpackhi_epi16(r[0], r[1]);
    __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]), a3 = _mm256_unpackhi_epi16(r[2], r[3]);
    __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]), a5 = _mm256_unpackhi_epi16(r[4], r[5]);
    __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]), a7 = _mm256_unpackhi_epi16(r[6], r[7]);
    __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
    __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
    __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
    __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
    r[0] = _mm256_unpacklo_epi64(b0, b4);
    r[1] = _mm256_unpackhi_epi64(b0, b4);
    r[2] = _mm256_unpacklo_epi64(b1, b5);
    r[3] = _mm256_unpackhi_epi64(b1, b5);
    r[4] = _mm256_unpacklo_epi64(b2, b6);
    r[5] = _mm256_unpackhi_epi64(b2, b6);
    r[6] = _mm256_unpacklo_epi64(b3, b7);
    r[7] = _mm256_unpackhi_epi64(b3, b7);
}

inline __m256i LoadPair(const std::int16_t* a, const std::int16_t* b) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(a))),
        _mm_load_si128(reinterpret_cast<const __m128i*>(b)), 1);
}

void IdctPairAvx2(const std::int16_t* coef, const std::int16_t* qt_a, const std::int16_t* qt_b,
                  std::uint8_t* dst_a, std::uint8_t* dst_b, int stride) {
    __m256i v[8];
    for (int k = 0; k < 8; ++k)
        v[k] = _mm256_mullo_epi16(LoadPair(coef + 8 * k, coef + 64 + 8 * k),
                                  LoadPair(qt_a + 8 * k, qt_b + 8 * k));
    v[0] = _mm256_add_epi16(
        v[0], _mm256_setr_epi16(kIdctDcBias, 0, 0, 0, 0, 0, 0, 0, kIdctDcBias, 0, 0, 0, 0, 0, 0, 0));

    AanIdct16x(v); // columns
    Transpose2x8x8(v);
    AanIdct16x(v); // rows
    Transpose2x8x8(v);

    const __m256i level = _mm256_set1_epi16(128);
    for (int k = 0; k < 8; k += 2) {
        __m256i a = _mm256_add_epi16(_mm256_srai_epi16(v[k], 5), level);
        __m256i b = _mm256_add_epi16(_mm256_srai_epi16(v[k + 1], 5), level);
        // Rows k and k + 1 of block a in the low half, of block b in the high half.
        __m256i p = _mm256_packus_epi16(a, b);
        __m128i pa = _mm256_castsi256_si128(p);
        __m128i pb = _mm256_extracti128_si256(p, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst_a + k * stride), pa);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst_a + (k + 1) * stride), _mm_unpackhi_epi64(pa, pa));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst_b + k * stride), pb);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst_b + (k + 1) * stride), _mm_unpackhi_epi64(pb, pb));
    }
}

} // namespace

const jpeg_kernel_set* Avx2Kernels() {
    static const jpeg_kernel_set* const set = []() -> const jpeg_kernel_set* {
        const jpeg_kernel_set* sse2 = Sse2Kernels();
        if (sse2 == nullptr || !__builtin_cpu_supports("avx2"))
            return nullptr;
        static jpeg_kernel_set built = *sse2;
        built.idct_pair = IdctPairAvx2;
        return &built;
    }();
    return set;
}

} // namespace mjpeg::detail

#else

namespace mjpeg::detail {
const jpeg_kernel_set* Avx2Kernels() {
    return nullptr;
}
} // namespace mjpeg::detail

#endif
