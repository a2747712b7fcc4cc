// The inner loops: the SIMD forms against their scalar twins, the IDCT against a floating-point reference,
// and the fixed tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "mjpeg/src/jpeg_kernels.h"
#include "mjpeg/tests/jpeg_kernel_twins.h"

namespace mjpeg::detail {
namespace {

TEST(JpegKernels, AanScalesStartAsFixed) {
    const std::int32_t expected[8] = {16384, 22725, 21407, 19266, 16384, 12873, 8867, 4520};
    for (int u = 0; u < 8; ++u) {
        EXPECT_EQ(AanScales()[u], expected[u]) << u;
        EXPECT_EQ(AanScales()[u * 8], expected[u]) << u;
    }
}

// A pixel (Y, Cb, Cr) through the tables.
void ConvertOne(const jpeg_kernel_set& k, int y, int cb, int cr, std::uint8_t* rgb) {
    colour_tables t;
    BuildColourTables(t);
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
    std::vector<const jpeg_kernel_set*> sets = {&ScalarKernels()};
    if (Sse2Kernels())
        sets.push_back(Sse2Kernels());
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

// Every SIMD inner loop against its scalar twin, byte for byte (the pairs and their inputs are in
// jpeg_kernel_twins.h; colour conversion runs on every (Y, Cb, Cr)).
class SimdTwin : public ::testing::TestWithParam<simdtwin::Entry> {};

TEST_P(SimdTwin, MatchesScalarByteForByte) {
    if (!GetParam().hasSimd)
        GTEST_SKIP() << "no SIMD kernels on this machine";
    EXPECT_EQ(GetParam().compare(simdtwin::kSeed), "");
}

INSTANTIATE_TEST_SUITE_P(JpegKernels, SimdTwin, ::testing::ValuesIn(test::KernelTwins()),
                         [](const auto& info) { return info.param.name; });

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
        PrescaleQuantTable(q, qt);
        test::RandomBlock(rng, coef, 4, 30);
        coef[0] = static_cast<std::int16_t>(static_cast<int>(rng() % 100) - 50);
        ScalarKernels().idct(coef, qt, out, 8);
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
    PrescaleQuantTable(q, qt);
    for (int dc = -2048; dc <= 2047; dc += 7) {
        coef[0] = static_cast<std::int16_t>(dc);
        ScalarKernels().idct(coef, qt, a, 8);
        IdctDcOnly(coef[0], qt[0], b, 8);
        ASSERT_EQ(std::memcmp(a, b, 64), 0) << dc;
    }
}

} // namespace
} // namespace mjpeg::detail
