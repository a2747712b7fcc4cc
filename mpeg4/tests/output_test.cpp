// The output stage: colour conversion constants and saturation, 16-bit packing, YUY2/UYVY layout,
// row ends, the de-interlacer and the row orders, on every kernel table present.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "dsp.h"
#include "mpeg4/m4v_split.h"
#include "mpeg4/mpeg4_core.h"
#include "test_streams.h"

namespace mpeg4 {
namespace {

std::vector<const DspTable*> Tables() {
    std::vector<const DspTable*> t{&ScalarDsp()};
    if (Sse2Dsp())
        t.push_back(Sse2Dsp());
    return t;
}

// Converts one pixel repeated over a 20-pixel row and returns the first pixel's B, G, R.
std::vector<uint8_t> Rgb24Of(const DspTable& d, uint8_t y, uint8_t u, uint8_t v) {
    uint8_t ys[20], us[10], vs[10], out[60];
    std::memset(ys, y, sizeof ys);
    std::memset(us, u, sizeof us);
    std::memset(vs, v, sizeof vs);
    d.rowRgb24(out, ys, us, vs, 20);
    return {out[0], out[1], out[2]};
}

TEST(Mpeg4Output, ColourConversionExamples) {
    for (const DspTable* d : Tables()) {
        EXPECT_EQ(Rgb24Of(*d, 16, 128, 128), (std::vector<uint8_t>{0, 0, 0}));
        EXPECT_EQ(Rgb24Of(*d, 235, 128, 128), (std::vector<uint8_t>{255, 255, 255})); // 219 × 8 × 9576 >> 16
        EXPECT_EQ(Rgb24Of(*d, 10, 128, 128), (std::vector<uint8_t>{0, 0, 0}));        // like Y = 16
        // Y 150, U 0, V 0 saturates to pure green: R 0, G 255, B 0.
        EXPECT_EQ(Rgb24Of(*d, 150, 0, 0), (std::vector<uint8_t>{0, 255, 0}));
        uint8_t ys[16], us[8], vs[8], out[32];
        std::memset(ys, 150, sizeof ys);
        std::memset(us, 0, sizeof us);
        std::memset(vs, 0, sizeof vs);
        d->rowRgb565(out, ys, us, vs, 16);
        EXPECT_EQ(out[0] | out[1] << 8, 0x07C0);
        d->rowRgb32(out, ys, us, vs, 8);
        EXPECT_EQ((std::vector<uint8_t>(out, out + 4)), (std::vector<uint8_t>{0, 255, 0, 0}));
    }
}

TEST(Mpeg4Output, PackedYuvLayoutAndRowEnds) {
    for (const DspTable* d : Tables()) {
        for (int w : {16, 18, 33}) {
            std::vector<uint8_t> y(static_cast<size_t>(w)), u(static_cast<size_t>(w + 1) / 2), v(u.size());
            for (int i = 0; i < w; ++i)
                y[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
            for (size_t i = 0; i < u.size(); ++i) {
                u[i] = static_cast<uint8_t>(100 + i);
                v[i] = static_cast<uint8_t>(200 + i);
            }
            std::vector<uint8_t> yuy2(static_cast<size_t>(2 * w + 32), 0xEE), uyvy(yuy2);
            d->rowYuy2(yuy2.data(), y.data(), u.data(), v.data(), w);
            d->rowUyvy(uyvy.data(), y.data(), u.data(), v.data(), w);
            for (int x = 0; x < w; ++x) {
                uint8_t c = (x & 1) ? v[static_cast<size_t>(x / 2)] : u[static_cast<size_t>(x / 2)];
                EXPECT_EQ(yuy2[2 * x], x);
                EXPECT_EQ(yuy2[2 * x + 1], c);
                EXPECT_EQ(uyvy[2 * x], c);
                EXPECT_EQ(uyvy[2 * x + 1], x);
            }
            for (size_t i = static_cast<size_t>(2 * w); i < yuy2.size(); ++i) {
                EXPECT_EQ(yuy2[i], 0xEE) << "width " << w;
                EXPECT_EQ(uyvy[i], 0xEE) << "width " << w;
            }
            // RGB rows stop at width × bytes per pixel too (the 24-bit last row included).
            std::vector<uint8_t> rgb(static_cast<size_t>(4 * w + 32), 0xEE);
            d->rowRgb24(rgb.data(), y.data(), u.data(), v.data(), w);
            for (size_t i = static_cast<size_t>(3 * w); i < rgb.size(); ++i)
                EXPECT_EQ(rgb[i], 0xEE);
        }
    }
}

TEST(Mpeg4Output, DeinterlaceBlendsCombingOnly) {
    for (const DspTable* d : Tables()) {
        const int w = 19, h = 6;
        std::vector<uint8_t> src(static_cast<size_t>(w * h)), dst(src.size(), 0);
        for (int x = 0; x < w; ++x) {
            // Column 10, 200, 10 combs; the other columns are a smooth ramp and stay.
            const uint8_t combed[h] = {10, 200, 10, 200, 10, 200};
            const uint8_t smooth[h] = {10, 12, 14, 16, 18, 20};
            for (int y = 0; y < h; ++y)
                src[static_cast<size_t>(y * w + x)] = (x == 10 || x == 17) ? combed[y] : smooth[y];
        }
        d->deinterlace(dst.data(), w, src.data(), w, w, h);
        for (int x = 0; x < w; ++x) {
            bool comb = x == 10 || x == 17;
            EXPECT_EQ(dst[static_cast<size_t>(w + x)], comb ? 10 : 12) << x;
            EXPECT_EQ(dst[static_cast<size_t>(3 * w + x)], comb ? 10 : 16) << x;
            EXPECT_EQ(dst[static_cast<size_t>(5 * w + x)],
                      src[static_cast<size_t>(5 * w + x)]); // last odd line kept
            for (int y = 0; y < h; y += 2)
                EXPECT_EQ(dst[static_cast<size_t>(y * w + x)], src[static_cast<size_t>(y * w + x)]);
        }
    }
}

// Through the public entry: bottom-up codes write the last picture row first, and every format
// writes the same picture.
TEST(Mpeg4Output, RowOrdersAndFormatsAgree) {
    std::vector<uint8_t> stream = test::ReadFile(test::DataPath("bare_352x240.m4v"));
    std::vector<FrameSpan> frames = SplitElementaryStream(stream.data(), stream.size());
    const int w = 352, h = 240, stride = 360;
    auto decode = [&](int32_t format, int deinterlace) {
        CMp4Codec* c = nullptr;
        EXPECT_EQ(Create(w, h, &c), kOk);
        std::vector<uint8_t> out(static_cast<size_t>(stride) * h * 4, 0x5A);
        DecodeParams p;
        p.width = w;
        p.height = h;
        p.data = stream.data() + frames[0].offset;
        p.length = static_cast<int32_t>(frames[0].length);
        p.output = out.data();
        p.format = format;
        p.stride = stride;
        p.deinterlace = deinterlace;
        EXPECT_EQ(DecodeFrame(c, p), kOk);
        Destroy(c);
        return out;
    };
    for (auto [top, bottom, bpp] :
         {std::tuple{kRgb32, kRgb32BottomUp, 4}, std::tuple{kRgb24, kRgb24BottomUp, 3},
          std::tuple{kRgb565, kRgb565BottomUp, 2}}) {
        std::vector<uint8_t> a = decode(top, 0), b = decode(bottom, 0);
        for (int r = 0; r < h; ++r)
            ASSERT_EQ(std::memcmp(&a[static_cast<size_t>(r) * stride * bpp],
                                  &b[static_cast<size_t>(h - 1 - r) * stride * bpp],
                                  static_cast<size_t>(w) * bpp),
                      0)
                << "row " << r;
        // Nothing is written between the row end and the stride.
        EXPECT_EQ(a[static_cast<size_t>(w) * bpp], 0x5A);
    }
    std::vector<uint8_t> rgb = decode(kRgb32, 0), yuy2 = decode(kYuy2, 0);
    // Pixel (100, 50): RGB32 equals the conversion of its YUY2 samples.
    size_t px = static_cast<size_t>(50) * stride + 100;
    uint8_t y = yuy2[2 * px], u = yuy2[2 * px + 1], v = yuy2[2 * px + 3];
    EXPECT_EQ(Rgb24Of(ScalarDsp(), y, u, v),
              (std::vector<uint8_t>{rgb[4 * px], rgb[4 * px + 1], rgb[4 * px + 2]}));
    // De-interlacing changes only odd lines.
    std::vector<uint8_t> plain = decode(kYuy2, 0), blended = decode(kYuy2, kDeinterlaceBlend);
    for (int r = 0; r < h; r += 2)
        EXPECT_EQ(std::memcmp(&plain[static_cast<size_t>(r) * stride * 2],
                              &blended[static_cast<size_t>(r) * stride * 2], static_cast<size_t>(w) * 2),
                  0);
}

} // namespace
} // namespace mpeg4
