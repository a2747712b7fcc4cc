// The inner loops: the SIMD forms against their scalar twins, the IDCT against a floating-point reference,
// and the fixed tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "mjpeg/src/jpeg_kernels.h"

namespace mjpeg::detail {
namespace {

TEST(JpegKernels, AanScalesStartAsFixed) {
    const std::int32_t expected[8] = {16384, 22725, 21407, 19266, 16384, 12873, 8867, 4520};
    for (int u = 0; u < 8; ++u) {
        EXPECT_EQ(aan_scales()[u], expected[u]) << u;
        EXPECT_EQ(aan_scales()[u * 8], expected[u]) << u;
    }
}

// A pixel (Y, Cb, Cr) through the tables.
void ConvertOne(const jpeg_kernel_set& k, int y, int cb, int cr, std::uint8_t* rgb) {
    colour_tables t;
    build_colour_tables(t);
    alignas(16) std::uint8_t yy[16] = {}, cbb[16] = {}, crr[16] = {};
    alignas(16) std::uint8_t out[64] = {};
    yy[0] = static_cast<std::uint8_t>(y);
    cbb[0] = static_cast<std::uint8_t>(cb);
    crr[0] = static_cast<std::uint8_t>(cr);
    k.convert_h1(yy, cbb, crr, out, 1, t);
    std::memcpy(rgb, out, 4);
}

TEST(JpegKernels, NeutralChromaGivesTheFixedColours) {
    struct Case {
        int y;
        std::uint8_t r, g, b;
    } cases[] = {{100, 101, 99, 101}, {0, 1, 0, 1}, {255, 255, 254, 255}};
    std::vector<const jpeg_kernel_set*> sets = {&scalar_kernels()};
    if (sse2_kernels())
        sets.push_back(sse2_kernels());
    for (const jpeg_kernel_set* k : sets) {
        for (const Case& c : cases) {
            std::uint8_t px[4];
            ConvertOne(*k, c.y, 128, 128, px);
            EXPECT_EQ(px[0], c.r) << "Y " << c.y;
            EXPECT_EQ(px[1], c.g) << "Y " << c.y;
            EXPECT_EQ(px[2], c.b) << "Y " << c.y;
            EXPECT_EQ(px[3], 0) << "the fourth byte is never written";
        }
    }
}

TEST(JpegKernels, ColourConversionSimdMatchesScalarOnEveryInput) {
    const jpeg_kernel_set* simd = sse2_kernels();
    if (simd == nullptr)
        GTEST_SKIP() << "no SIMD kernels on this machine";
    colour_tables t;
    build_colour_tables(t);
    // Every (Y, Cb, Cr): one line of 256 Y values per chroma pair.
    alignas(16) std::uint8_t y[272], cb[272], cr[272];
    std::vector<std::uint8_t> a(256 * 4 + 64), b(256 * 4 + 64);
    for (int i = 0; i < 256; ++i)
        y[i] = static_cast<std::uint8_t>(i);
    int mismatches = 0;
    for (int vb = 0; vb < 256; ++vb) {
        for (int vr = 0; vr < 256; ++vr) {
            std::memset(cb, vb, sizeof cb);
            std::memset(cr, vr, sizeof cr);
            std::fill(a.begin(), a.end(), 0);
            std::fill(b.begin(), b.end(), 0);
            scalar_kernels().convert_h1(y, cb, cr, a.data(), 256, t);
            simd->convert_h1(y, cb, cr, b.data(), 256, t);
            if (std::memcmp(a.data(), b.data(), 256 * 4) != 0)
                ++mismatches;
        }
    }
    EXPECT_EQ(mismatches, 0);

    // Half-width chroma on random lines of odd widths.
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        int width = 1 + static_cast<int>(rng() % 250);
        for (int i = 0; i < 272; ++i) {
            y[i] = static_cast<std::uint8_t>(rng());
            cb[i] = static_cast<std::uint8_t>(rng());
            cr[i] = static_cast<std::uint8_t>(rng());
        }
        std::fill(a.begin(), a.end(), 0);
        std::fill(b.begin(), b.end(), 0);
        scalar_kernels().convert_h2(y, cb, cr, a.data(), width, t);
        simd->convert_h2(y, cb, cr, b.data(), width, t);
        ASSERT_EQ(std::memcmp(a.data(), b.data(), static_cast<std::size_t>(width) * 4), 0) << width;
    }
}

void RandomBlock(std::mt19937& rng, std::int16_t* coef, int range, int density) {
    for (int i = 0; i < 64; ++i)
        coef[i] = (static_cast<int>(rng() % 100) < density)
                      ? static_cast<std::int16_t>(static_cast<int>(rng() % (2 * range + 1)) - range)
                      : 0;
}

TEST(JpegKernels, IdctSimdMatchesScalarOnRandomBlocks) {
    const jpeg_kernel_set* simd = sse2_kernels();
    if (simd == nullptr)
        GTEST_SKIP() << "no SIMD kernels on this machine";
    std::mt19937 rng(1234);
    alignas(16) std::int16_t coef[64], qt[64];
    alignas(16) std::uint8_t a[8 * 24], b[8 * 24];
    std::uint16_t q[64];
    for (int round = 0; round < 20000; ++round) {
        // Ordinary tables and coefficients, then anything at all (16-bit wrap-around must agree too).
        bool wild = round % 4 == 3;
        for (int i = 0; i < 64; ++i)
            q[i] = static_cast<std::uint16_t>(wild ? rng() : 1 + rng() % 100);
        prescale_quant_table(q, qt);
        if (wild) {
            for (int i = 0; i < 64; ++i)
                coef[i] = static_cast<std::int16_t>(rng());
        } else {
            RandomBlock(rng, coef, 1 + static_cast<int>(rng() % 300), 5 + static_cast<int>(rng() % 90));
        }
        std::memset(a, 0xAA, sizeof a);
        std::memset(b, 0xAA, sizeof b);
        scalar_kernels().idct(coef, qt, a, 24);
        simd->idct(coef, qt, b, 24);
        ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << "round " << round;
    }
}

// T.81 A.3.3 inverse DCT in double precision, level-shifted and rounded.
void ReferenceIdct(const std::int16_t* coef, const std::uint16_t* q, double* out) {
    const double pi = 3.14159265358979323846;
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            double s = 0;
            for (int v = 0; v < 8; ++v) {
                for (int u = 0; u < 8; ++u) {
                    double cu = u ? 1.0 : std::sqrt(0.5), cv = v ? 1.0 : std::sqrt(0.5);
                    s += cu * cv * coef[v * 8 + u] * q[v * 8 + u] * std::cos((2 * x + 1) * u * pi / 16) *
                         std::cos((2 * y + 1) * v * pi / 16);
                }
            }
            out[y * 8 + x] = s / 4 + 128;
        }
    }
}

// The scaled 16-bit transform is a fast one: the pre-scaled table keeps only two fractional bits of
// q * c(u) * c(v), so it is accurate for the quantiser steps of ordinary pictures (8 and up), not for
// near-lossless tables.
TEST(JpegKernels, IdctIsCloseToTheExactTransform) {
    std::mt19937 rng(99);
    alignas(16) std::int16_t coef[64], qt[64];
    std::uint16_t q[64];
    alignas(16) std::uint8_t out[64];
    double ref[64];
    double sum_sq = 0;
    int max_err = 0;
    long count = 0;
    for (int round = 0; round < 3000; ++round) {
        for (int i = 0; i < 64; ++i)
            q[i] = static_cast<std::uint16_t>(8 + rng() % 56);
        prescale_quant_table(q, qt);
        RandomBlock(rng, coef, 4, 30);
        coef[0] = static_cast<std::int16_t>(static_cast<int>(rng() % 100) - 50);
        scalar_kernels().idct(coef, qt, out, 8);
        ReferenceIdct(coef, q, ref);
        for (int i = 0; i < 64; ++i) {
            double r = std::min(255.0, std::max(0.0, std::round(ref[i])));
            double e = out[i] - r;
            sum_sq += e * e;
            max_err = std::max(max_err, static_cast<int>(std::fabs(e)));
            ++count;
        }
    }
    double mse = sum_sq / static_cast<double>(count);
    EXPECT_LT(mse, 0.5) << "mean squared error per sample";
    EXPECT_LE(max_err, 3);
}

TEST(JpegKernels, DcOnlyShortcutMatchesTheFullTransform) {
    alignas(16) std::int16_t coef[64] = {}, qt[64];
    std::uint16_t q[64];
    alignas(16) std::uint8_t a[64], b[64];
    for (int i = 0; i < 64; ++i)
        q[i] = 16;
    prescale_quant_table(q, qt);
    for (int dc = -2048; dc <= 2047; dc += 7) {
        coef[0] = static_cast<std::int16_t>(dc);
        scalar_kernels().idct(coef, qt, a, 8);
        idct_dc_only(coef[0], qt[0], b, 8);
        ASSERT_EQ(std::memcmp(a, b, 64), 0) << dc;
    }
}

} // namespace
} // namespace mjpeg::detail
