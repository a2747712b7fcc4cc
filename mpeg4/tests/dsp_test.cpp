// The SSE2 kernels against their scalar twins on random inputs, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dsp.h"

namespace mpeg4 {
namespace {

class SimdTwin : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Sse2Dsp())
            GTEST_SKIP() << "no SIMD kernels in this build";
    }
    const DspTable& s = ScalarDsp();
    const DspTable& v = *Sse2Dsp();
    std::mt19937 rng{20240611};
    uint8_t Byte() { return static_cast<uint8_t>(rng()); }
};

TEST_F(SimdTwin, Idct) {
    std::uniform_int_distribution<int> full(-2048, 2047), small(-40, 40);
    for (int n = 0; n < 20000; ++n) {
        alignas(16) int16_t a[64], b[64];
        int density = n % 4;
        for (int i = 0; i < 64; ++i) {
            int value = (n & 1) ? full(rng) : small(rng);
            a[i] = static_cast<int16_t>((static_cast<int>(rng() % 4) <= density) ? value : 0);
        }
        std::memcpy(b, a, sizeof a);
        s.idct(a);
        v.idct(b);
        ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << "block " << n;
    }
}

TEST(IdctShortcut, DcOnlyMatchesFullTransform) {
    for (int dc = -2048; dc <= 2047; ++dc) {
        int16_t full[64] = {}, flat[64] = {};
        full[0] = flat[0] = static_cast<int16_t>(dc);
        ScalarDsp().idct(full);
        IdctDcOnly(flat);
        ASSERT_EQ(std::memcmp(full, flat, sizeof full), 0) << dc;
    }
}

TEST_F(SimdTwin, Reconstruction) {
    std::uniform_int_distribution<int> res(-400, 400);
    for (int n = 0; n < 2000; ++n) {
        alignas(16) int16_t block[64];
        for (int16_t& c : block)
            c = static_cast<int16_t>(res(rng));
        uint8_t a[8 * 24], b[8 * 24];
        for (uint8_t& p : a)
            p = Byte();
        std::memcpy(b, a, sizeof a);
        s.addBlock(a + 3, 24, block);
        v.addBlock(b + 3, 24, block);
        ASSERT_EQ(std::memcmp(a, b, sizeof a), 0);
        s.putBlock(a + 5, 24, block);
        v.putBlock(b + 5, 24, block);
        ASSERT_EQ(std::memcmp(a, b, sizeof a), 0);
    }
}

TEST_F(SimdTwin, MotionCompensation) {
    std::vector<uint8_t> src(40 * 40);
    for (int n = 0; n < 300; ++n) {
        for (uint8_t& p : src)
            p = (n & 1) ? Byte() : static_cast<uint8_t>(128 + static_cast<int8_t>(Byte()) / 8);
        for (int w : {8, 16})
            for (int h : {4, 8, 16})
                for (int mode = 0; mode < 8; ++mode) {
                    uint8_t a[16 * 40] = {}, b[16 * 40] = {};
                    int dx = mode & 1, dy = (mode >> 1) & 1, rnd = mode >> 2;
                    s.halfPel(a + 1, 40, src.data() + 41, 40, w, h, dx, dy, rnd);
                    v.halfPel(b + 1, 40, src.data() + 41, 40, w, h, dx, dy, rnd);
                    ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << w << "x" << h << " mode " << mode;
                }
        for (int size : {8, 16})
            for (int pos = 0; pos < 32; ++pos) {
                uint8_t a[16 * 40] = {}, b[16 * 40] = {};
                int fx = pos & 3, fy = (pos >> 2) & 3, rnd = pos >> 4;
                s.quarterPel(a + 2, 40, src.data() + 43, 40, size, fx, fy, rnd);
                v.quarterPel(b + 2, 40, src.data() + 43, 40, size, fx, fy, rnd);
                ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << size << " pos " << pos;
            }
    }
}

TEST_F(SimdTwin, DeinterlaceAndConversions) {
    for (int n = 0; n < 200; ++n) {
        const int w = 1 + static_cast<int>(rng() % 90), h = 2 + static_cast<int>(rng() % 9);
        std::vector<uint8_t> y(static_cast<size_t>(w * h)), u(static_cast<size_t>(w)),
            vv(static_cast<size_t>(w));
        for (uint8_t& p : y)
            p = (n & 1) ? Byte() : static_cast<uint8_t>((Byte() & 0x81) | 0x40);
        for (size_t i = 0; i < u.size(); ++i) {
            u[i] = Byte();
            vv[i] = Byte();
        }
        std::vector<uint8_t> a(y.size() + 16, 7), b(a);
        s.deinterlace(a.data(), w, y.data(), w, w, h);
        v.deinterlace(b.data(), w, y.data(), w, w, h);
        ASSERT_EQ(a, b) << w << "x" << h;
        using Row = void (*)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int);
        const Row scalarRows[] = {s.rowRgb32, s.rowRgb24, s.rowRgb565, s.rowYuy2, s.rowUyvy};
        const Row simdRows[] = {v.rowRgb32, v.rowRgb24, v.rowRgb565, v.rowYuy2, v.rowUyvy};
        for (int k = 0; k < 5; ++k) {
            std::vector<uint8_t> ra(static_cast<size_t>(4 * w + 32), 9), rb(ra);
            scalarRows[k](ra.data(), y.data(), u.data(), vv.data(), w);
            simdRows[k](rb.data(), y.data(), u.data(), vv.data(), w);
            ASSERT_EQ(ra, rb) << "row kind " << k << " width " << w;
        }
    }
}

} // namespace
} // namespace mpeg4
