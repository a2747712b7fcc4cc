// Portable inner loops, the colour tables and the pre-scaled quantisation tables.
#include "mjpeg/src/jpeg_kernels.h"

#include <cmath>
#include <cstring>

namespace mjpeg::detail {

void BuildColourTables(colour_tables& t) {
    for (std::int32_t i = 0; i < 256; ++i) {
        t.red_cr[i] = (91882 * i - 11682187) >> 16;
        t.blue_cb[i] = (116130 * i - 14773807) >> 16;
        t.green_cr[i] = 5967255 - 46802 * i;
        t.green_cb[i] = 2908403 - 22554 * i;
    }
}

namespace {

struct aan_scale_table {
    std::int32_t s[64];
    aan_scale_table() {
        const double pi = 3.14159265358979323846;
        double c[8];
        c[0] = 1.0;
        for (int k = 1; k < 8; ++k)
            c[k] = std::sqrt(2.0) * std::cos(k * pi / 16.0);
        for (int v = 0; v < 8; ++v)
            for (int u = 0; u < 8; ++u)
                s[v * 8 + u] = static_cast<std::int32_t>(std::lround(16384.0 * c[u] * c[v]));
    }
};

} // namespace

const std::int32_t* AanScales() {
    static const aan_scale_table table;
    return table.s;
}

void PrescaleQuantTable(const std::uint16_t* q, std::int16_t* out) {
    const std::int32_t* s = AanScales();
    for (int i = 0; i < 64; ++i) {
        // 65535 * 31521 stays below 2^31, so the product fits; the result is kept as 16 bits.
        std::int32_t v = (static_cast<std::int32_t>(q[i]) * s[i] + 2048) >> 12;
        out[i] = static_cast<std::int16_t>(v);
    }
}

namespace {

inline std::uint8_t ClampSample(int v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// 16-bit lane arithmetic, wrapping exactly like the SIMD instructions.
inline std::int16_t Add16(int a, int b) {
    return static_cast<std::int16_t>(a + b);
}
inline std::int16_t Sub16(int a, int b) {
    return static_cast<std::int16_t>(a - b);
}
inline std::int16_t MulHi16(int a, int c) {
    return static_cast<std::int16_t>((a * c) >> 16);
}

// x times 1.414213562, 1.847759065, 1.082392200 and 2.613125930, each as x plus or minus a product by a
// Q16 fraction below 0.5 so that every constant fits a signed 16-bit lane.
inline std::int16_t Times1414(std::int16_t x) {
    return Add16(x, MulHi16(x, 27146));
}
inline std::int16_t Times1847(std::int16_t x) {
    return Sub16(Add16(x, x), MulHi16(x, 9977));
}
inline std::int16_t Times1082(std::int16_t x) {
    return Add16(x, MulHi16(x, 5400));
}
inline std::int16_t Times2613(std::int16_t x) {
    return Sub16(Add16(Add16(x, x), x), MulHi16(x, 25354));
}

// One-dimensional Arai-Agui-Nakajima inverse DCT on 8 pre-scaled values (T.81 A.3.3 in the scaled form).
inline void AanIdct1D(const std::int16_t* in, int in_step, std::int16_t* out, int out_step) {
    std::int16_t i0 = in[0], i1 = in[in_step], i2 = in[2 * in_step], i3 = in[3 * in_step];
    std::int16_t i4 = in[4 * in_step], i5 = in[5 * in_step], i6 = in[6 * in_step], i7 = in[7 * in_step];

    // Even part.
    std::int16_t t10 = Add16(i0, i4);
    std::int16_t t11 = Sub16(i0, i4);
    std::int16_t t13 = Add16(i2, i6);
    std::int16_t t12 = Sub16(Times1414(Sub16(i2, i6)), t13);
    std::int16_t e0 = Add16(t10, t13);
    std::int16_t e3 = Sub16(t10, t13);
    std::int16_t e1 = Add16(t11, t12);
    std::int16_t e2 = Sub16(t11, t12);

    // Odd part.
    std::int16_t z13 = Add16(i5, i3);
    std::int16_t z10 = Sub16(i5, i3);
    std::int16_t z11 = Add16(i1, i7);
    std::int16_t z12 = Sub16(i1, i7);
    std::int16_t o7 = Add16(z11, z13);
    std::int16_t o11 = Times1414(Sub16(z11, z13));
    std::int16_t z5 = Times1847(Add16(z10, z12));
    std::int16_t o10 = Sub16(Times1082(z12), z5);
    std::int16_t o12 = Sub16(z5, Times2613(z10));
    std::int16_t o6 = Sub16(o12, o7);
    std::int16_t o5 = Sub16(o11, o6);
    std::int16_t o4 = Add16(o10, o5);

    out[0] = Add16(e0, o7);
    out[7 * out_step] = Sub16(e0, o7);
    out[1 * out_step] = Add16(e1, o6);
    out[6 * out_step] = Sub16(e1, o6);
    out[2 * out_step] = Add16(e2, o5);
    out[5 * out_step] = Sub16(e2, o5);
    out[4 * out_step] = Add16(e3, o4);
    out[3 * out_step] = Sub16(e3, o4);
}

void IdctScalar(const std::int16_t* coef, const std::int16_t* qt, std::uint8_t* dst, int stride) {
    std::int16_t deq[64];
    for (int i = 0; i < 64; ++i)
        deq[i] = static_cast<std::int16_t>(coef[i] * qt[i]);
    deq[0] = Add16(deq[0], kIdctDcBias);

    // Columns first, then rows; the same order and arithmetic as the SIMD form.
    std::int16_t ws[64];
    for (int col = 0; col < 8; ++col)
        AanIdct1D(deq + col, 8, ws + col, 8);
    std::int16_t res[8];
    for (int row = 0; row < 8; ++row) {
        AanIdct1D(ws + row * 8, 1, res, 1);
        std::uint8_t* out = dst + row * stride;
        for (int i = 0; i < 8; ++i)
            out[i] = ClampSample((res[i] >> 5) + 128);
    }
}

void IdctPairScalar(const std::int16_t* coef, const std::int16_t* qt_a, const std::int16_t* qt_b,
                    std::uint8_t* dst_a, std::uint8_t* dst_b, int stride) {
    IdctScalar(coef, qt_a, dst_a, stride);
    IdctScalar(coef + 64, qt_b, dst_b, stride);
}

void ConvertH1Scalar(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                     int width, const colour_tables& t) {
    for (int x = 0; x < width; ++x, out += 4) {
        int yy = y[x], b = cb[x], r = cr[x];
        out[0] = ClampSample(yy + t.red_cr[r]);
        out[1] = ClampSample(yy + ((t.green_cr[r] + t.green_cb[b]) >> 16));
        out[2] = ClampSample(yy + t.blue_cb[b]);
    }
}

void ConvertH2Scalar(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                     int width, const colour_tables& t) {
    for (int x = 0; x < width; ++x, out += 4) {
        int yy = y[x], b = cb[x >> 1], r = cr[x >> 1];
        out[0] = ClampSample(yy + t.red_cr[r]);
        out[1] = ClampSample(yy + ((t.green_cr[r] + t.green_cb[b]) >> 16));
        out[2] = ClampSample(yy + t.blue_cb[b]);
    }
}

const jpeg_kernel_set kScalar = {IdctScalar, IdctPairScalar, ConvertH1Scalar, ConvertH2Scalar};

} // namespace

const jpeg_kernel_set& ScalarKernels() {
    return kScalar;
}

void IdctDcOnly(std::int16_t dc, std::int16_t q, std::uint8_t* dst, int stride) {
    std::int16_t v = Add16(static_cast<std::int16_t>(dc * q), kIdctDcBias);
    std::uint8_t s = ClampSample((v >> 5) + 128);
    for (int row = 0; row < 8; ++row)
        std::memset(dst + row * stride, s, 8);
}

} // namespace mjpeg::detail
