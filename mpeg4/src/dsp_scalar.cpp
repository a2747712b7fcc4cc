// Scalar pixel kernels; the reference that the SIMD twins must match byte for byte.
#include <algorithm>
#include <cstring>

#include "dsp.h"
#include "idct_constants.h"

namespace mpeg4 {
namespace {

inline int16_t Sat16(int32_t v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}
inline uint8_t Clip8(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// One 1-D inverse DCT over 8 values read and written with a step.
inline void Idct1D(const int16_t* in, int16_t* out, int step, int shift) {
    const int32_t bias = 1 << (shift - 1);
    int32_t x[8];
    for (int k = 0; k < 8; ++k)
        x[k] = in[k * step];
    for (int n = 0; n < 4; ++n) {
        int32_t e = idct::Coef(n, 0) * x[0] + idct::Coef(n, 2) * x[2] + idct::Coef(n, 4) * x[4] +
                    idct::Coef(n, 6) * x[6];
        int32_t o = idct::Coef(n, 1) * x[1] + idct::Coef(n, 3) * x[3] + idct::Coef(n, 5) * x[5] +
                    idct::Coef(n, 7) * x[7];
        out[n * step] = Sat16((e + o + bias) >> shift);
        out[(7 - n) * step] = Sat16((e - o + bias) >> shift);
    }
}

void IdctScalar(int16_t* block) {
    int16_t tmp[64];
    for (int r = 0; r < 8; ++r)
        Idct1D(block + r * 8, tmp + r * 8, 1, idct::kRowShift);
    for (int c = 0; c < 8; ++c)
        Idct1D(tmp + c, block + c, 8, idct::kColShift);
}

} // namespace

bool DeinterlaceBlendsLine(int y, int height) {
    return (y & 1) && (y - 1) / 2 <= height / 2 - 2;
}

void DeinterlacePlane(void (*row)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int),
                      uint8_t* dst, int ds, const uint8_t* src, int ss, int width, int height) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* c = src + y * ss;
        if (DeinterlaceBlendsLine(y, height))
            row(dst + y * ds, c - ss, c, c + ss, width);
        else
            std::memcpy(dst + y * ds, c, static_cast<size_t>(width));
    }
}

int IdctDcValue(int dc) {
    const int32_t bias1 = 1 << (idct::kRowShift - 1), bias2 = 1 << (idct::kColShift - 1);
    const int32_t row = std::clamp((idct::Coef(0, 0) * dc + bias1) >> idct::kRowShift, -32768, 32767);
    return std::clamp((idct::Coef(0, 0) * row + bias2) >> idct::kColShift, -32768, 32767);
}

void IdctDcOnly(int16_t* block) {
    const int16_t value = static_cast<int16_t>(IdctDcValue(block[0]));
    for (int i = 0; i < 64; ++i)
        block[i] = value;
}

namespace {

void AddDcScalar(uint8_t* dst, int stride, int value) {
    for (int y = 0; y < 8; ++y, dst += stride)
        for (int x = 0; x < 8; ++x)
            dst[x] = Clip8(dst[x] + value);
}

void PutBlockScalar(uint8_t* dst, int stride, const int16_t* block) {
    for (int y = 0; y < 8; ++y, dst += stride)
        for (int x = 0; x < 8; ++x)
            dst[x] = Clip8(block[y * 8 + x]);
}

void AddBlockScalar(uint8_t* dst, int stride, const int16_t* block) {
    for (int y = 0; y < 8; ++y, dst += stride)
        for (int x = 0; x < 8; ++x)
            dst[x] = Clip8(dst[x] + block[y * 8 + x]);
}

void HalfPelScalar(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h, int dx, int dy,
                   int rounding) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
        const uint8_t* s1 = src + ss;
        for (int x = 0; x < w; ++x) {
            int v;
            if (!dx && !dy)
                v = src[x];
            else if (dx && !dy)
                v = (src[x] + src[x + 1] + 1 - rounding) >> 1;
            else if (!dx)
                v = (src[x] + s1[x] + 1 - rounding) >> 1;
            else
                v = (src[x] + src[x + 1] + s1[x] + s1[x + 1] + 2 - rounding) >> 2;
            dst[x] = static_cast<uint8_t>(v);
        }
    }
}

// The 8-tap half-sample filter (-1, 3, -6, 20, 20, -6, 3, -1) / 32 between s[i] and s[i + 1] of an
// (n + 1)-sample run, mirroring indices outside 0..n.
inline uint8_t QpelTap(const uint8_t* s, int step, int i, int n, int rounding) {
    auto at = [&](int j) {
        if (j < 0)
            j = -1 - j;
        else if (j > n)
            j = 2 * n + 1 - j;
        return static_cast<int>(s[j * step]);
    };
    int v = 20 * (at(i) + at(i + 1)) - 6 * (at(i - 1) + at(i + 2)) + 3 * (at(i - 2) + at(i + 3)) -
            (at(i - 3) + at(i + 4));
    return Clip8((v + 16 - rounding) >> 5);
}

void QuarterPelScalar(uint8_t* dst, int ds, const uint8_t* src, int ss, int n, int fx, int fy, int rounding) {
    // 7.6.2.1: horizontal quarter-sample rows for the n + 1 window rows, then the vertical step.
    uint8_t h[17 * 16];
    for (int y = 0; y <= n; ++y) {
        const uint8_t* s = src + y * ss;
        for (int x = 0; x < n; ++x) {
            uint8_t v = s[x];
            if (fx) {
                uint8_t half = QpelTap(s, 1, x, n, rounding);
                if (fx == 1)
                    v = static_cast<uint8_t>((s[x] + half + 1 - rounding) >> 1);
                else if (fx == 2)
                    v = half;
                else
                    v = static_cast<uint8_t>((s[x + 1] + half + 1 - rounding) >> 1);
            }
            h[y * 16 + x] = v;
        }
    }
    for (int y = 0; y < n; ++y, dst += ds) {
        for (int x = 0; x < n; ++x) {
            uint8_t v = h[y * 16 + x];
            if (fy) {
                uint8_t half = QpelTap(h + x, 16, y, n, rounding);
                if (fy == 1)
                    v = static_cast<uint8_t>((v + half + 1 - rounding) >> 1);
                else if (fy == 2)
                    v = half;
                else
                    v = static_cast<uint8_t>((h[(y + 1) * 16 + x] + half + 1 - rounding) >> 1);
            }
            dst[x] = v;
        }
    }
}

void DeinterlaceRowScalar(uint8_t* out, const uint8_t* a, const uint8_t* c, const uint8_t* b, int width) {
    for (int x = 0; x < width; ++x) {
        uint16_t p = static_cast<uint16_t>(static_cast<uint16_t>((a[x] - c[x]) * (b[x] - c[x])) >> 2);
        uint16_t d2 = static_cast<uint16_t>((a[x] - b[x]) * (a[x] - b[x]));
        uint16_t q = static_cast<uint16_t>((d2 >> 14) * 625);
        bool comb = static_cast<int16_t>(static_cast<uint16_t>(p - q)) > 73;
        out[x] = comb ? static_cast<uint8_t>((a[x] + b[x] + 1) >> 1) : c[x];
    }
}

void DeinterlaceScalar(uint8_t* dst, int ds, const uint8_t* src, int ss, int width, int height) {
    DeinterlacePlane(DeinterlaceRowScalar, dst, ds, src, ss, width, height);
}

// 13-bit fixed-point YUV to RGB: each term is (x × 8 × k) >> 16.
struct Rgb {
    uint8_t r, g, b;
};
inline int Term(int x, int k) {
    return (x * 8 * k) >> 16;
}
inline Rgb ToRgb(int y, int u, int v) {
    int yy = Term(std::max(y - 16, 0), 9576);
    u -= 128;
    v -= 128;
    return {Clip8(yy + Term(v, 13123)), Clip8(yy + Term(u, -3218) + Term(v, -6686)),
            Clip8(yy + Term(u, 16591))};
}

void RowRgb32Scalar(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    for (int x = 0; x < w; ++x, dst += 4) {
        Rgb c = ToRgb(y[x], u[x >> 1], v[x >> 1]);
        dst[0] = c.b;
        dst[1] = c.g;
        dst[2] = c.r;
        dst[3] = 0;
    }
}

void RowRgb24Scalar(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    for (int x = 0; x < w; ++x, dst += 3) {
        Rgb c = ToRgb(y[x], u[x >> 1], v[x >> 1]);
        dst[0] = c.b;
        dst[1] = c.g;
        dst[2] = c.r;
    }
}

void RowRgb565Scalar(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    for (int x = 0; x < w; ++x, dst += 2) {
        Rgb c = ToRgb(y[x], u[x >> 1], v[x >> 1]);
        unsigned p = ((c.r & 0xF8u) << 8) | ((c.g & 0xF8u) << 3) | (c.b >> 3);
        dst[0] = static_cast<uint8_t>(p);
        dst[1] = static_cast<uint8_t>(p >> 8);
    }
}

void RowYuy2Scalar(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    for (int x = 0; x < w; ++x) {
        dst[2 * x] = y[x];
        dst[2 * x + 1] = (x & 1) ? v[x >> 1] : u[x >> 1];
    }
}

void RowUyvyScalar(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int w) {
    for (int x = 0; x < w; ++x) {
        dst[2 * x] = (x & 1) ? v[x >> 1] : u[x >> 1];
        dst[2 * x + 1] = y[x];
    }
}

const DspTable kScalar = {
    IdctScalar,       PutBlockScalar,    AddBlockScalar,       AddDcScalar,    HalfPelScalar,
    QuarterPelScalar, DeinterlaceScalar, DeinterlaceRowScalar, RowRgb32Scalar, RowRgb24Scalar,
    RowRgb565Scalar,  RowYuy2Scalar,     RowUyvyScalar,
};

} // namespace

const DspTable& ScalarDsp() {
    return kScalar;
}

#if !defined(__SSE2__)
const DspTable* Sse2Dsp() {
    return nullptr;
}
#endif

const DspTable& Dsp() {
    const DspTable* simd = Avx2Dsp();
    if (!simd)
        simd = Sse2Dsp();
    return simd ? *simd : kScalar;
}

} // namespace mpeg4
