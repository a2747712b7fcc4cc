// Portable inner loops, the colour tables and the pre-scaled quantisation tables.
#include "mjpeg/src/jpeg_kernels.h"

#include <cmath>
#include <cstring>

namespace mjpeg::detail {

void build_colour_tables(colour_tables& t) {
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

const std::int32_t* aan_scales() {
    static const aan_scale_table table;
    return table.s;
}

void prescale_quant_table(const std::uint16_t* q, std::int16_t* out) {
    const std::int32_t* s = aan_scales();
    for (int i = 0; i < 64; ++i) {
        // 65535 * 31521 stays below 2^31, so the product fits; the result is kept as 16 bits.
        std::int32_t v = (static_cast<std::int32_t>(q[i]) * s[i] + 2048) >> 12;
        out[i] = static_cast<std::int16_t>(v);
    }
}

namespace {

inline std::uint8_t clamp_sample(int v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// 16-bit lane arithmetic, wrapping exactly like the SIMD instructions.
inline std::int16_t add16(int a, int b) {
    return static_cast<std::int16_t>(a + b);
}
inline std::int16_t sub16(int a, int b) {
    return static_cast<std::int16_t>(a - b);
}
inline std::int16_t mulhi16(int a, int c) {
    return static_cast<std::int16_t>((a * c) >> 16);
}

// x times 1.414213562, 1.847759065, 1.082392200 and 2.613125930, each as x plus or minus a product by a
// Q16 fraction below 0.5 so that every constant fits a signed 16-bit lane.
inline std::int16_t mul_1_414(std::int16_t x) {
    return add16(x, mulhi16(x, 27146));
}
inline std::int16_t mul_1_847(std::int16_t x) {
    return sub16(add16(x, x), mulhi16(x, 9977));
}
inline std::int16_t mul_1_082(std::int16_t x) {
    return add16(x, mulhi16(x, 5400));
}
inline std::int16_t mul_2_613(std::int16_t x) {
    return sub16(add16(add16(x, x), x), mulhi16(x, 25354));
}

// One-dimensional Arai-Agui-Nakajima inverse DCT on 8 pre-scaled values (T.81 A.3.3 in the scaled form).
inline void aan_idct_1d(const std::int16_t* in, int in_step, std::int16_t* out, int out_step) {
    std::int16_t i0 = in[0], i1 = in[in_step], i2 = in[2 * in_step], i3 = in[3 * in_step];
    std::int16_t i4 = in[4 * in_step], i5 = in[5 * in_step], i6 = in[6 * in_step], i7 = in[7 * in_step];

    // Even part.
    std::int16_t t10 = add16(i0, i4);
    std::int16_t t11 = sub16(i0, i4);
    std::int16_t t13 = add16(i2, i6);
    std::int16_t t12 = sub16(mul_1_414(sub16(i2, i6)), t13);
    std::int16_t e0 = add16(t10, t13);
    std::int16_t e3 = sub16(t10, t13);
    std::int16_t e1 = add16(t11, t12);
    std::int16_t e2 = sub16(t11, t12);

    // Odd part.
    std::int16_t z13 = add16(i5, i3);
    std::int16_t z10 = sub16(i5, i3);
    std::int16_t z11 = add16(i1, i7);
    std::int16_t z12 = sub16(i1, i7);
    std::int16_t o7 = add16(z11, z13);
    std::int16_t o11 = mul_1_414(sub16(z11, z13));
    std::int16_t z5 = mul_1_847(add16(z10, z12));
    std::int16_t o10 = sub16(mul_1_082(z12), z5);
    std::int16_t o12 = sub16(z5, mul_2_613(z10));
    std::int16_t o6 = sub16(o12, o7);
    std::int16_t o5 = sub16(o11, o6);
    std::int16_t o4 = add16(o10, o5);

    out[0] = add16(e0, o7);
    out[7 * out_step] = sub16(e0, o7);
    out[1 * out_step] = add16(e1, o6);
    out[6 * out_step] = sub16(e1, o6);
    out[2 * out_step] = add16(e2, o5);
    out[5 * out_step] = sub16(e2, o5);
    out[4 * out_step] = add16(e3, o4);
    out[3 * out_step] = sub16(e3, o4);
}

void idct_scalar(const std::int16_t* coef, const std::int16_t* qt, std::uint8_t* dst, int stride) {
    std::int16_t deq[64];
    for (int i = 0; i < 64; ++i)
        deq[i] = static_cast<std::int16_t>(coef[i] * qt[i]);
    deq[0] = add16(deq[0], kIdctDcBias);

    // Columns first, then rows; the same order and arithmetic as the SIMD form.
    std::int16_t ws[64];
    for (int col = 0; col < 8; ++col)
        aan_idct_1d(deq + col, 8, ws + col, 8);
    std::int16_t res[8];
    for (int row = 0; row < 8; ++row) {
        aan_idct_1d(ws + row * 8, 1, res, 1);
        std::uint8_t* out = dst + row * stride;
        for (int i = 0; i < 8; ++i)
            out[i] = clamp_sample((res[i] >> 5) + 128);
    }
}

void convert_h1_scalar(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                       std::uint8_t* out, int width, const colour_tables& t) {
    for (int x = 0; x < width; ++x, out += 4) {
        int yy = y[x], b = cb[x], r = cr[x];
        out[0] = clamp_sample(yy + t.red_cr[r]);
        out[1] = clamp_sample(yy + ((t.green_cr[r] + t.green_cb[b]) >> 16));
        out[2] = clamp_sample(yy + t.blue_cb[b]);
    }
}

void convert_h2_scalar(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                       std::uint8_t* out, int width, const colour_tables& t) {
    for (int x = 0; x < width; ++x, out += 4) {
        int yy = y[x], b = cb[x >> 1], r = cr[x >> 1];
        out[0] = clamp_sample(yy + t.red_cr[r]);
        out[1] = clamp_sample(yy + ((t.green_cr[r] + t.green_cb[b]) >> 16));
        out[2] = clamp_sample(yy + t.blue_cb[b]);
    }
}

const jpeg_kernel_set kScalar = {idct_scalar, convert_h1_scalar, convert_h2_scalar};

} // namespace

const jpeg_kernel_set& scalar_kernels() {
    return kScalar;
}

void idct_dc_only(std::int16_t dc, std::int16_t q, std::uint8_t* dst, int stride) {
    std::int16_t v = add16(static_cast<std::int16_t>(dc * q), kIdctDcBias);
    std::uint8_t s = clamp_sample((v >> 5) + 128);
    for (int row = 0; row < 8; ++row)
        std::memset(dst + row * stride, s, 8);
}

} // namespace mjpeg::detail
