// IEEE Std 1180-1990 accuracy test of the 8 × 8 inverse DCT: 10000 random blocks for each input
// range (-256..255, -5..5, -300..300) and both signs, through a double-precision forward DCT, the
// reference double-precision inverse and ours; peak, per-pixel and overall errors within the limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp.h"

namespace mpeg4 {
namespace {

// The standard's random generator, in 32-bit arithmetic.
class Ieee1180Random {
public:
    int Next(int low, int high) {
        m_x = m_x * 1103515245u + 12345u;
        uint32_t i = m_x & 0x7FFFFFFEu;
        double x = static_cast<double>(i) / static_cast<double>(0x7FFFFFFF);
        x *= (low + high + 1);
        return static_cast<int>(x) - low;
    }

private:
    uint32_t m_x = 1;
};

// Orthonormal DCT basis c(k) cos((2n + 1)kπ / 16), tabulated.
struct BasisTable {
    double v[8][8];
    BasisTable() {
        for (int k = 0; k < 8; ++k)
            for (int n = 0; n < 8; ++n)
                v[k][n] = (k == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * n + 1) * k * M_PI / 16.0);
    }
};
const BasisTable kBasis;

// Separable 2-D transforms in double precision: forward (pixels to coefficients) or inverse.
void Transform(const double* in, double* out, bool inverse) {
    double tmp[64];
    for (int r = 0; r < 8; ++r)
        for (int a = 0; a < 8; ++a) {
            double s = 0;
            for (int b = 0; b < 8; ++b)
                s += in[r * 8 + b] * (inverse ? kBasis.v[b][a] : kBasis.v[a][b]);
            tmp[r * 8 + a] = s;
        }
    for (int c = 0; c < 8; ++c)
        for (int a = 0; a < 8; ++a) {
            double s = 0;
            for (int b = 0; b < 8; ++b)
                s += tmp[b * 8 + c] * (inverse ? kBasis.v[b][a] : kBasis.v[a][b]);
            out[a * 8 + c] = s;
        }
}

struct RangeCase {
    int low, high, sign;
};

class Ieee1180 : public ::testing::TestWithParam<RangeCase> {};

TEST_P(Ieee1180, MeetsAccuracyLimits) {
    const RangeCase rc = GetParam();
    constexpr int kBlocks = 10000;
    Ieee1180Random random;
    double errSum[64] = {}, errSq[64] = {};
    int peak = 0;
    for (int b = 0; b < kBlocks; ++b) {
        double pixels[64], coef[64], ref[64];
        for (double& p : pixels)
            p = rc.sign * random.Next(rc.low, rc.high);
        Transform(pixels, coef, false);
        int16_t block[64];
        for (int i = 0; i < 64; ++i) {
            coef[i] = std::clamp(std::floor(coef[i] + 0.5), -2048.0, 2047.0);
            block[i] = static_cast<int16_t>(coef[i]);
        }
        Transform(coef, ref, true);
        ScalarDsp().idct(block);
        for (int i = 0; i < 64; ++i) {
            int r = static_cast<int>(std::clamp(std::floor(ref[i] + 0.5), -256.0, 255.0));
            int t = std::clamp<int>(block[i], -256, 255);
            int e = t - r;
            peak = std::max(peak, std::abs(e));
            errSum[i] += e;
            errSq[i] += e * e;
        }
    }
    double totalSq = 0, totalSum = 0, worstPixelMse = 0, worstPixelMean = 0;
    for (int i = 0; i < 64; ++i) {
        totalSq += errSq[i];
        totalSum += errSum[i];
        worstPixelMse = std::max(worstPixelMse, errSq[i] / kBlocks);
        worstPixelMean = std::max(worstPixelMean, std::abs(errSum[i]) / kBlocks);
    }
    EXPECT_LE(peak, 1);
    EXPECT_LE(worstPixelMse, 0.06);
    EXPECT_LE(totalSq / (64.0 * kBlocks), 0.02);
    EXPECT_LE(worstPixelMean, 0.015);
    EXPECT_LE(std::abs(totalSum) / (64.0 * kBlocks), 0.0015);
    std::printf(
        "range -%d..%d sign %+d: peak %d, worst pixel mse %.4f, overall mse %.4f, worst pixel mean %.4f, "
        "overall mean %.5f\n",
        rc.low, rc.high, rc.sign, peak, worstPixelMse, totalSq / (64.0 * kBlocks), worstPixelMean,
        totalSum / (64.0 * kBlocks));
}

INSTANTIATE_TEST_SUITE_P(Ranges, Ieee1180,
                         ::testing::Values(RangeCase{256, 255, 1}, RangeCase{5, 5, 1}, RangeCase{300, 300, 1},
                                           RangeCase{256, 255, -1}, RangeCase{5, 5, -1},
                                           RangeCase{300, 300, -1}));

TEST(Ieee1180Zero, ZeroBlockGivesZeros) {
    int16_t block[64] = {};
    ScalarDsp().idct(block);
    for (int16_t v : block)
        EXPECT_EQ(v, 0);
}

} // namespace
} // namespace mpeg4
