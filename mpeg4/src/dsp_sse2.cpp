// SSE2 twins of the scalar pixel kernels: the same integer steps on 8 or 16 samples at a time, so
// every routine gives exactly the scalar routine's bytes (checked on random inputs by the tests).
#include "dsp.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "idct_constants.h"

namespace mpeg4 {
namespace {

// ---------------------------------------------------------------------------------------------
// 8 × 8 IDCT: transpose, 1-D pass over eight rows at once, transpose, 1-D pass.

inline void Transpose(__m128i* r) {
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

// The coefficient pairs (C[n][k], C[n][k + 2]) of Pass as 32-bit words, for n = 0..3 and k = 0, 1, 4, 5,
// built at compile time so that the pass loads them rather than working them out on every call.
struct PairTable {
    int32_t v[4][4];
};
constexpr int32_t PairWord(int lowCoef, int highCoef) {
    return static_cast<int32_t>((static_cast<uint32_t>(highCoef) << 16) |
                                (static_cast<uint32_t>(lowCoef) & 0xFFFFu));
}
constexpr PairTable MakePairs() {
    PairTable t{};
    constexpr int kFirst[4] = {0, 1, 4, 5};
    for (int n = 0; n < 4; ++n)
        for (int j = 0; j < 4; ++j)
            t.v[n][j] = PairWord(idct::Coef(n, kFirst[j]), idct::Coef(n, kFirst[j] + 2));
    return t;
}
constexpr PairTable kPairs = MakePairs();

// out[n] = sat16((sum_k C[n][k] × x[k] + bias) >> shift) for 8 lanes, even/odd split as the scalar.
// LowLanes: lanes 4..7 of every input are zero, so they give zeros and are not computed. LowInputs:
// x[4..7] are zero, so their products are left out. Both skip only terms that add nothing, so the
// result is the full pass's.
template <int Shift, bool LowLanes, bool LowInputs> inline void Pass(__m128i* x) {
    const __m128i bias = _mm_set1_epi32(1 << (Shift - 1));
    const __m128i zero = _mm_setzero_si128();
    const __m128i p02l = _mm_unpacklo_epi16(x[0], x[2]), p02h = _mm_unpackhi_epi16(x[0], x[2]);
    const __m128i p13l = _mm_unpacklo_epi16(x[1], x[3]), p13h = _mm_unpackhi_epi16(x[1], x[3]);
    __m128i p46l = zero, p46h = zero, p57l = zero, p57h = zero;
    if (!LowInputs) {
        p46l = _mm_unpacklo_epi16(x[4], x[6]);
        p46h = _mm_unpackhi_epi16(x[4], x[6]);
        p57l = _mm_unpacklo_epi16(x[5], x[7]);
        p57h = _mm_unpackhi_epi16(x[5], x[7]);
    }
    __m128i out[8];
    for (int n = 0; n < 4; ++n) {
        const __m128i c02 = _mm_set1_epi32(kPairs.v[n][0]);
        const __m128i c13 = _mm_set1_epi32(kPairs.v[n][1]);
        __m128i el = _mm_madd_epi16(p02l, c02), ol = _mm_madd_epi16(p13l, c13);
        __m128i eh = zero, oh = zero;
        if (!LowLanes) {
            eh = _mm_madd_epi16(p02h, c02);
            oh = _mm_madd_epi16(p13h, c13);
        }
        if (!LowInputs) {
            const __m128i c46 = _mm_set1_epi32(kPairs.v[n][2]);
            const __m128i c57 = _mm_set1_epi32(kPairs.v[n][3]);
            el = _mm_add_epi32(el, _mm_madd_epi16(p46l, c46));
            ol = _mm_add_epi32(ol, _mm_madd_epi16(p57l, c57));
            if (!LowLanes) {
                eh = _mm_add_epi32(eh, _mm_madd_epi16(p46h, c46));
                oh = _mm_add_epi32(oh, _mm_madd_epi16(p57h, c57));
            }
        }
        el = _mm_add_epi32(el, bias);
        if (LowLanes) {
            out[n] = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(el, ol), Shift), zero);
            out[7 - n] = _mm_packs_epi32(_mm_srai_epi32(_mm_sub_epi32(el, ol), Shift), zero);
        } else {
            eh = _mm_add_epi32(eh, bias);
            out[n] = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(el, ol), Shift),
                                     _mm_srai_epi32(_mm_add_epi32(eh, oh), Shift));
            out[7 - n] = _mm_packs_epi32(_mm_srai_epi32(_mm_sub_epi32(el, ol), Shift),
                                         _mm_srai_epi32(_mm_sub_epi32(eh, oh), Shift));
        }
    }
    for (int i = 0; i < 8; ++i)
        x[i] = out[i];
}

inline bool AllZero(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
}

// One 1-D pass over the single vector x (8 lanes): out[n] = sat16((sum_k C[n][k] × x[k] + bias) >>
// shift), even and odd halves as the scalar pass.
template <int Shift> inline __m128i PassOne(__m128i x) {
    const __m128i bias = _mm_set1_epi32(1 << (Shift - 1));
    // The pairs (x0, x2), (x4, x6), (x1, x3), (x5, x7) in every 32-bit lane.
    const __m128i even = _mm_shufflelo_epi16(x, 0x88), odd = _mm_shufflelo_epi16(_mm_srli_si128(x, 2), 0x88);
    const __m128i evenHigh = _mm_shufflelo_epi16(_mm_srli_si128(x, 8), 0x88);
    const __m128i oddHigh = _mm_shufflelo_epi16(_mm_srli_si128(x, 10), 0x88);
    const __m128i x02 = _mm_shuffle_epi32(even, 0), x46 = _mm_shuffle_epi32(evenHigh, 0);
    const __m128i x13 = _mm_shuffle_epi32(odd, 0), x57 = _mm_shuffle_epi32(oddHigh, 0);
    auto pairs = [](int k0, int k1) {
        return _mm_setr_epi16(
            static_cast<int16_t>(idct::Coef(0, k0)), static_cast<int16_t>(idct::Coef(0, k1)),
            static_cast<int16_t>(idct::Coef(1, k0)), static_cast<int16_t>(idct::Coef(1, k1)),
            static_cast<int16_t>(idct::Coef(2, k0)), static_cast<int16_t>(idct::Coef(2, k1)),
            static_cast<int16_t>(idct::Coef(3, k0)), static_cast<int16_t>(idct::Coef(3, k1)));
    };
    __m128i e = _mm_add_epi32(_mm_madd_epi16(x02, pairs(0, 2)), _mm_madd_epi16(x46, pairs(4, 6)));
    const __m128i o = _mm_add_epi32(_mm_madd_epi16(x13, pairs(1, 3)), _mm_madd_epi16(x57, pairs(5, 7)));
    e = _mm_add_epi32(e, bias);
    const __m128i first = _mm_srai_epi32(_mm_add_epi32(e, o), Shift); // out[0..3]
    const __m128i last = _mm_srai_epi32(_mm_sub_epi32(e, o), Shift);  // out[7..4]
    return _mm_packs_epi32(first, _mm_shuffle_epi32(last, 0x1B));
}

// sat16((C[n][0] × x + bias) >> Shift) on 8 lanes: a pass whose only non-zero input is x[0], the
// same for every output n.
template <int Shift> inline __m128i PassDc(__m128i x) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i dc = _mm_set1_epi32(idct::Coef(0, 0)); // the pair (C[n][0], 0)
    const __m128i bias = _mm_set1_epi32(1 << (Shift - 1));
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(x, zero), dc);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(x, zero), dc);
    return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, bias), Shift),
                           _mm_srai_epi32(_mm_add_epi32(hi, bias), Shift));
}

// A block whose coefficients all lie in its first column: each row pass sees only its first
// coefficient and gives a flat row, so the column pass is the same for every column and row n of
// the output is flat as well.
inline void IdctFirstColumn(int16_t* block, const __m128i* r) {
    const __m128i r01 = _mm_unpacklo_epi16(r[0], r[1]), r23 = _mm_unpacklo_epi16(r[2], r[3]);
    const __m128i r45 = _mm_unpacklo_epi16(r[4], r[5]), r67 = _mm_unpacklo_epi16(r[6], r[7]);
    const __m128i column = _mm_unpacklo_epi64(_mm_unpacklo_epi32(r01, r23), _mm_unpacklo_epi32(r45, r67));
    const __m128i u = PassOne<idct::kColShift>(PassDc<idct::kRowShift>(column));
    const __m128i lo = _mm_unpacklo_epi16(u, u), hi = _mm_unpackhi_epi16(u, u);
    __m128i* out = reinterpret_cast<__m128i*>(block);
    _mm_storeu_si128(out + 0, _mm_shuffle_epi32(lo, 0x00));
    _mm_storeu_si128(out + 1, _mm_shuffle_epi32(lo, 0x55));
    _mm_storeu_si128(out + 2, _mm_shuffle_epi32(lo, 0xAA));
    _mm_storeu_si128(out + 3, _mm_shuffle_epi32(lo, 0xFF));
    _mm_storeu_si128(out + 4, _mm_shuffle_epi32(hi, 0x00));
    _mm_storeu_si128(out + 5, _mm_shuffle_epi32(hi, 0x55));
    _mm_storeu_si128(out + 6, _mm_shuffle_epi32(hi, 0xAA));
    _mm_storeu_si128(out + 7, _mm_shuffle_epi32(hi, 0xFF));
}

// A block whose coefficients all lie in its first row: the row pass has one row to transform, and the
// column pass sees one non-zero input per column, so every output row is the same row,
// sat16((C[n][0] × t + bias) >> shift) with C[n][0] the same for every n.
inline void IdctFirstRow(int16_t* block, __m128i row) {
    const __m128i out = PassDc<idct::kColShift>(PassOne<idct::kRowShift>(row));
    for (int i = 0; i < 8; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * i), out);
}

// The coefficients of most blocks lie in the top-left quarter: when rows 4..7 are zero the row pass
// computes half its lanes and the column pass half its products, and when columns 4..7 are zero too
// the row pass leaves out half its products as well. Blocks with only a first row (the most common
// kind in smooth pictures) and blocks with only a first column take the shortcuts above.
void IdctSse2(int16_t* block) {
    __m128i r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
    const bool lowRows = AllZero(r[4], r[5], r[6], r[7]);
    if (lowRows && AllZero(r[1], r[2], r[3], _mm_setzero_si128())) {
        IdctFirstRow(block, r[0]);
        return;
    }
    const __m128i notFirst = _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_or_si128(r[0], r[1]), _mm_or_si128(r[2], r[3])),
                                     _mm_or_si128(_mm_or_si128(r[4], r[5]), _mm_or_si128(r[6], r[7])));
    if (AllZero(_mm_and_si128(any, notFirst), _mm_setzero_si128(), _mm_setzero_si128(),
                _mm_setzero_si128())) {
        IdctFirstColumn(block, r);
        return;
    }
    Transpose(r);
    if (lowRows) {
        if (AllZero(r[4], r[5], r[6], r[7]))
            Pass<idct::kRowShift, true, true>(r);
        else
            Pass<idct::kRowShift, true, false>(r);
        Transpose(r);
        Pass<idct::kColShift, false, true>(r);
    } else {
        Pass<idct::kRowShift, false, false>(r);
        Transpose(r);
        Pass<idct::kColShift, false, false>(r);
    }
    for (int i = 0; i < 8; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * i), r[i]);
}

void PutBlockSse2(uint8_t* dst, int stride, const int16_t* block) {
    for (int y = 0; y < 8; y += 2) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * y));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * y + 8));
        __m128i p = _mm_packus_epi16(a, b);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + y * stride), p);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (y + 1) * stride), _mm_srli_si128(p, 8));
    }
}

void AddBlockSse2(uint8_t* dst, int stride, const int16_t* block) {
    const __m128i zero = _mm_setzero_si128();
    for (int y = 0; y < 8; ++y, dst += stride) {
        __m128i d = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst)), zero);
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * y));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(_mm_adds_epi16(d, r), zero));
    }
}

// dst + value with unsigned saturation: the value, limited to ±255 (beyond that every sample clips
// the same way), added as one byte or subtracted as one.
void AddDcSse2(uint8_t* dst, int stride, int value) {
    const int v = std::clamp(value, -255, 255);
    const __m128i up = _mm_set1_epi8(static_cast<char>(v > 0 ? v : 0));
    const __m128i down = _mm_set1_epi8(static_cast<char>(v < 0 ? -v : 0));
    for (int y = 0; y < 8; ++y, dst += stride) {
        const __m128i d = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_subs_epu8(_mm_adds_epu8(d, up), down));
    }
}

// ---------------------------------------------------------------------------------------------
// Motion compensation.

inline __m128i Load(const uint8_t* p, int w) {
    return w == 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
                   : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline void Store(uint8_t* p, __m128i v, int w) {
    if (w == 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    else
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

// (a + b + 1 - rounding) >> 1 on bytes.
inline __m128i Average(__m128i a, __m128i b, int rounding) {
    __m128i avg = _mm_avg_epu8(a, b);
    if (rounding)
        avg = _mm_sub_epi8(avg, _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
    return avg;
}

template <int W>
void HalfPelFixed(uint8_t* dst, int ds, const uint8_t* src, int ss, int h, int dx, int dy, int rounding) {
    if (!dx && !dy) {
        for (int y = 0; y < h; ++y)
            Store(dst + y * ds, Load(src + y * ss, W), W);
        return;
    }
    if (!dy) {
        for (int y = 0; y < h; ++y, dst += ds, src += ss)
            Store(dst, Average(Load(src, W), Load(src + 1, W), rounding), W);
        return;
    }
    if (!dx) {
        __m128i above = Load(src, W);
        for (int y = 0; y < h; ++y, dst += ds) {
            src += ss;
            __m128i below = Load(src, W);
            Store(dst, Average(above, below, rounding), W);
            above = below;
        }
        return;
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(2 - rounding));
    auto rowSum = [&](const uint8_t* p, __m128i& lo, __m128i& hi) {
        __m128i a = Load(p, W), b = Load(p + 1, W);
        lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
        hi = W == 16 ? _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)) : zero;
    };
    __m128i lo0, hi0;
    rowSum(src, lo0, hi0);
    for (int y = 0; y < h; ++y, dst += ds) {
        src += ss;
        __m128i lo1, hi1;
        rowSum(src, lo1, hi1);
        __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(lo0, lo1), bias), 2);
        __m128i hi = W == 16 ? _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(hi0, hi1), bias), 2) : zero;
        Store(dst, _mm_packus_epi16(lo, hi), W);
        lo0 = lo1;
        hi0 = hi1;
    }
}

void HalfPelSse2(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h, int dx, int dy,
                 int rounding) {
    if (w == 16)
        HalfPelFixed<16>(dst, ds, src, ss, h, dx, dy, rounding);
    else
        HalfPelFixed<8>(dst, ds, src, ss, h, dx, dy, rounding);
}

// The 8-tap half-sample filter on eight 16-bit lanes: taps t[0..7] are the samples at i-3..i+4.
inline __m128i Tap8(const __m128i* t, __m128i bias) {
    __m128i v = _mm_mullo_epi16(_mm_add_epi16(t[3], t[4]), _mm_set1_epi16(20));
    v = _mm_sub_epi16(v, _mm_mullo_epi16(_mm_add_epi16(t[2], t[5]), _mm_set1_epi16(6)));
    v = _mm_add_epi16(v, _mm_mullo_epi16(_mm_add_epi16(t[1], t[6]), _mm_set1_epi16(3)));
    v = _mm_sub_epi16(v, _mm_add_epi16(t[0], t[7]));
    return _mm_srai_epi16(_mm_add_epi16(v, bias), 5);
}

// Words k..k + 7 of the 16 words lo:hi (k = 0..7), as a byte align would give them.
template <int K> inline __m128i Words(__m128i lo, __m128i hi) {
    if constexpr (K == 0)
        return lo;
    else
        return _mm_or_si128(_mm_srli_si128(lo, 2 * K), _mm_slli_si128(hi, 16 - 2 * K));
}

// Eight filtered outputs from the 16 mirrored samples lo:hi, sample k of the run at output i - 3 + k.
inline __m128i FilterRun(__m128i lo, __m128i hi, __m128i bias) {
    const __m128i t[8] = {Words<0>(lo, hi), Words<1>(lo, hi), Words<2>(lo, hi), Words<3>(lo, hi),
                          Words<4>(lo, hi), Words<5>(lo, hi), Words<6>(lo, hi), Words<7>(lo, hi)};
    return Tap8(t, bias);
}

// One row of n (8 or 16) horizontally interpolated samples from the n + 1 samples at s: the run
// mirrored beyond them is built in 16-bit words (samples 2, 1, 0 before the first, n, n - 1, n - 2
// after the last) from shifted copies of the row.
inline __m128i QuarterRow(const uint8_t* s, int n, int fx, int rounding, __m128i bias) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i at = Load(s, n);
    if (!fx)
        return at;
    const __m128i w0 = _mm_unpacklo_epi8(at, zero); // samples 0..7
    __m128i e0 = _mm_slli_si128(w0, 6);             // -3..4
    e0 = _mm_insert_epi16(e0, s[2], 0);
    e0 = _mm_insert_epi16(e0, s[1], 1);
    e0 = _mm_insert_epi16(e0, s[0], 2);
    __m128i half;
    if (n == 16) {
        const __m128i w1 = _mm_unpackhi_epi8(at, zero);                                 // 8..15
        const __m128i e1 = _mm_or_si128(_mm_srli_si128(w0, 10), _mm_slli_si128(w1, 6)); // 5..12
        __m128i e2 = _mm_srli_si128(w1, 10);                                            // 13..20
        e2 = _mm_insert_epi16(e2, s[16], 3);
        e2 = _mm_insert_epi16(e2, s[16], 4);
        e2 = _mm_insert_epi16(e2, s[15], 5);
        e2 = _mm_insert_epi16(e2, s[14], 6);
        half = _mm_packus_epi16(FilterRun(e0, e1, bias), FilterRun(e1, e2, bias));
    } else {
        __m128i e1 = _mm_srli_si128(w0, 10); // 5..12
        e1 = _mm_insert_epi16(e1, s[8], 3);
        e1 = _mm_insert_epi16(e1, s[8], 4);
        e1 = _mm_insert_epi16(e1, s[7], 5);
        e1 = _mm_insert_epi16(e1, s[6], 6);
        half = _mm_packus_epi16(FilterRun(e0, e1, bias), zero);
    }
    if (fx == 2)
        return half;
    return Average(fx == 1 ? at : Load(s + 1, n), half, rounding);
}

void QuarterPelSse2(uint8_t* dst, int ds, const uint8_t* src, int ss, int n, int fx, int fy, int rounding) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(16 - rounding));
    if (!fy) {
        for (int y = 0; y < n; ++y)
            Store(dst + y * ds, QuarterRow(src + y * ss, n, fx, rounding, bias), n);
        return;
    }
    // The horizontal step's rows 0..n, then rows -3..n + 3 (mirrored beyond 0..n) in 16-bit words,
    // low and high eight columns apart.
    alignas(16) uint8_t h[17 * 16];
    for (int y = 0; y <= n; ++y)
        _mm_store_si128(reinterpret_cast<__m128i*>(h + y * 16),
                        QuarterRow(src + y * ss, n, fx, rounding, bias));
    __m128i low[23], high[23];
    for (int j = -3; j <= n + 3; ++j) {
        const int r = j < 0 ? -1 - j : (j > n ? 2 * n + 1 - j : j);
        const __m128i row = _mm_load_si128(reinterpret_cast<const __m128i*>(h + r * 16));
        low[j + 3] = _mm_unpacklo_epi8(row, zero);
        high[j + 3] = _mm_unpackhi_epi8(row, zero);
    }
    for (int y = 0; y < n; ++y, dst += ds) {
        __m128i half = _mm_packus_epi16(Tap8(low + y, bias), n == 16 ? Tap8(high + y, bias) : zero);
        __m128i out;
        if (fy == 2)
            out = half;
        else
            out = Average(_mm_load_si128(reinterpret_cast<const __m128i*>(h + (fy == 1 ? y : y + 1) * 16)),
                          half, rounding);
        Store(dst, out, n);
    }
}

// ---------------------------------------------------------------------------------------------
// De-interlacer, 16 pixels at a time in 16-bit wrap-around lanes.

inline __m128i DeinterlaceLanes(__m128i a, __m128i b, __m128i c) {
    __m128i p = _mm_srli_epi16(_mm_mullo_epi16(_mm_sub_epi16(a, c), _mm_sub_epi16(b, c)), 2);
    __m128i d = _mm_sub_epi16(a, b);
    __m128i q = _mm_mullo_epi16(_mm_srli_epi16(_mm_mullo_epi16(d, d), 14), _mm_set1_epi16(625));
    __m128i comb = _mm_cmpgt_epi16(_mm_sub_epi16(p, q), _mm_set1_epi16(73));
    __m128i blend = _mm_avg_epu16(a, b);
    return _mm_or_si128(_mm_and_si128(comb, blend), _mm_andnot_si128(comb, c));
}

void DeinterlaceRowSse2(uint8_t* out, const uint8_t* a, const uint8_t* c, const uint8_t* b, int width) {
    const __m128i zero = _mm_setzero_si128();
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
        __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + x));
        __m128i lo = DeinterlaceLanes(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero),
                                      _mm_unpacklo_epi8(vc, zero));
        __m128i hi = DeinterlaceLanes(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero),
                                      _mm_unpackhi_epi8(vc, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(lo, hi));
    }
    if (x < width) // the row's last pixels through the scalar routine
        ScalarDsp().deinterlaceRow(out + x, a + x, c + x, b + x, width - x);
}

void DeinterlaceSse2(uint8_t* dst, int ds, const uint8_t* src, int ss, int width, int height) {
    DeinterlacePlane(DeinterlaceRowSse2, dst, ds, src, ss, width, height);
}

// ---------------------------------------------------------------------------------------------
// Output rows: 16 pixels per step; the last pixels of a row go through the scalar routine, so no
// row is written past its width.

struct Rgb16 {
    __m128i b, g, r; // 16 bytes each
};

// 16 pixels: the chroma terms are computed once for each of the 8 chroma samples and then serve
// two pixels each (the same values the scalar routine computes per pixel).
inline Rgb16 Convert16(const uint8_t* y, const uint8_t* u, const uint8_t* v) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c128 = _mm_set1_epi16(128);
    __m128i yv = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)), _mm_set1_epi8(16));
    __m128i uu = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u)), zero), c128),
        3);
    __m128i vw = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)), zero), c128),
        3);
    const __m128i rv = _mm_mulhi_epi16(vw, _mm_set1_epi16(13123));
    const __m128i gu = _mm_mulhi_epi16(uu, _mm_set1_epi16(-3218));
    const __m128i gv = _mm_mulhi_epi16(vw, _mm_set1_epi16(-6686));
    const __m128i bu = _mm_mulhi_epi16(uu, _mm_set1_epi16(16591));
    __m128i out[3][2];
    for (int half = 0; half < 2; ++half) {
        __m128i yy = half ? _mm_unpackhi_epi8(yv, zero) : _mm_unpacklo_epi8(yv, zero);
        yy = _mm_mulhi_epi16(_mm_slli_epi16(yy, 3), _mm_set1_epi16(9576));
        __m128i r2 = half ? _mm_unpackhi_epi16(rv, rv) : _mm_unpacklo_epi16(rv, rv);
        __m128i gu2 = half ? _mm_unpackhi_epi16(gu, gu) : _mm_unpacklo_epi16(gu, gu);
        __m128i gv2 = half ? _mm_unpackhi_epi16(gv, gv) : _mm_unpacklo_epi16(gv, gv);
        __m128i b2 = half ? _mm_unpackhi_epi16(bu, bu) : _mm_unpacklo_epi16(bu, bu);
        out[0][half] = _mm_adds_epi16(yy, b2);
        out[1][half] = _mm_adds_epi16(_mm_adds_epi16(yy, gu2), gv2);
        out[2][half] = _mm_adds_epi16(yy, r2);
    }
    return {_mm_packus_epi16(out[0][0], out[0][1]), _mm_packus_epi16(out[1][0], out[1][1]),
            _mm_packus_epi16(out[2][0], out[2][1])};
}

// BGRX words of 16 pixels into four vectors.
inline void Bgrx(const Rgb16& c, __m128i* px) {
    const __m128i zero = _mm_setzero_si128();
    __m128i bgLo = _mm_unpacklo_epi8(c.b, c.g), bgHi = _mm_unpackhi_epi8(c.b, c.g);
    __m128i r0Lo = _mm_unpacklo_epi8(c.r, zero), r0Hi = _mm_unpackhi_epi8(c.r, zero);
    px[0] = _mm_unpacklo_epi16(bgLo, r0Lo);
    px[1] = _mm_unpackhi_epi16(bgLo, r0Lo);
    px[2] = _mm_unpacklo_epi16(bgHi, r0Hi);
    px[3] = _mm_unpackhi_epi16(bgHi, r0Hi);
}

void RowRgb32Sse2(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        __m128i px[4];
        Bgrx(Convert16(y + x, u + x / 2, v + x / 2), px);
        for (int i = 0; i < 4; ++i)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * x + 16 * i), px[i]);
    }
    if (x < w)
        ScalarDsp().rowRgb32(dst + 4 * x, y + x, u + x / 2, v + x / 2, w - x);
}

void RowRgb24Sse2(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    int x = 0;
    // Stops one chunk early: each pixel is stored as four bytes, the fourth overwritten by the next.
    for (; x + 17 <= w; x += 16) {
        alignas(16) uint8_t words[64];
        __m128i px[4];
        Bgrx(Convert16(y + x, u + x / 2, v + x / 2), px);
        for (int i = 0; i < 4; ++i)
            _mm_store_si128(reinterpret_cast<__m128i*>(words + 16 * i), px[i]);
        uint8_t* d = dst + 3 * x;
        for (int i = 0; i < 16; ++i)
            std::memcpy(d + 3 * i, words + 4 * i, 4);
    }
    if (x < w)
        ScalarDsp().rowRgb24(dst + 3 * x, y + x, u + x / 2, v + x / 2, w - x);
}

void RowRgb565Sse2(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i mask = _mm_set1_epi16(0xF8);
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        Rgb16 c = Convert16(y + x, u + x / 2, v + x / 2);
        for (int half = 0; half < 2; ++half) {
            __m128i r = half ? _mm_unpackhi_epi8(c.r, zero) : _mm_unpacklo_epi8(c.r, zero);
            __m128i g = half ? _mm_unpackhi_epi8(c.g, zero) : _mm_unpacklo_epi8(c.g, zero);
            __m128i b = half ? _mm_unpackhi_epi8(c.b, zero) : _mm_unpacklo_epi8(c.b, zero);
            __m128i p = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(r, mask), 8),
                                                  _mm_slli_epi16(_mm_and_si128(g, mask), 3)),
                                     _mm_srli_epi16(b, 3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16 * half), p);
        }
    }
    if (x < w)
        ScalarDsp().rowRgb565(dst + 2 * x, y + x, u + x / 2, v + x / 2, w - x);
}

template <bool ChromaFirst>
void RowPacked(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        __m128i yv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        __m128i uv = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2)),
                                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2)));
        __m128i lo = ChromaFirst ? _mm_unpacklo_epi8(uv, yv) : _mm_unpacklo_epi8(yv, uv);
        __m128i hi = ChromaFirst ? _mm_unpackhi_epi8(uv, yv) : _mm_unpackhi_epi8(yv, uv);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16), hi);
    }
    if (x < w) {
        if (ChromaFirst)
            ScalarDsp().rowUyvy(dst + 2 * x, y + x, u + x / 2, v + x / 2, w - x);
        else
            ScalarDsp().rowYuy2(dst + 2 * x, y + x, u + x / 2, v + x / 2, w - x);
    }
}

const DspTable kSse2 = {
    IdctSse2,       PutBlockSse2,     AddBlockSse2,       AddDcSse2,    HalfPelSse2,
    QuarterPelSse2, DeinterlaceSse2,  DeinterlaceRowSse2, RowRgb32Sse2, RowRgb24Sse2,
    RowRgb565Sse2,  RowPacked<false>, RowPacked<true>,
};

} // namespace

const DspTable* Sse2Dsp() {
    return &kSse2;
}

} // namespace mpeg4

#endif // __SSE2__
