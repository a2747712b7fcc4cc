#include <gtest/gtest.h>

#include "sim_draw/draw.h"

namespace simdraw {
namespace {

TEST(SimDraw, TextLandsWhereTheGlyphSays) {
    RgbImage img(40, 20);
    DrawText(img, 2, 3, "1:", 2, {255, 255, 255});
    // Glyph '1' row 0 is 0x04: only column 2 is set, drawn as a 2×2 square at (2 + 4, 3).
    EXPECT_EQ(img.Get(6, 3).r, 255);
    EXPECT_EQ(img.Get(7, 4).r, 255);
    EXPECT_EQ(img.Get(4, 3).r, 0);
    // ':' starts one character cell (12 pixels) later; its row 1 columns 1-2 are set.
    EXPECT_EQ(img.Get(2 + 12 + 2, 3 + 2).r, 255);
    EXPECT_EQ(TextWidth("1:", 2), 24);
}

TEST(SimDraw, ClipsOutsideThePicture) {
    RgbImage img(8, 8);
    DrawText(img, -20, -3, "W8:08", 3, {1, 2, 3});
    DrawLabel(img, 6, 6, "HELLO", 4, {1, 2, 3}, {4, 5, 6});
    SUCCEED();
}

TEST(SimDraw, ChannelsGetDifferentPictures) {
    RgbImage a(64, 48), b(64, 48);
    DrawTestPicture(a, 0, 5, {"CH01"});
    DrawTestPicture(b, 1, 5, {"CH01"});
    EXPECT_NE(a.pixels, b.pixels);
    RgbImage c(64, 48);
    DrawTestPicture(c, 0, 6, {"CH01"});
    EXPECT_NE(a.pixels, c.pixels);
}

TEST(SimDraw, YuvOfGreyIsNeutral) {
    RgbImage img(4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            img.Put(x, y, {100, 100, 100});
    YuvImage yuv = ToYuv420(img);
    ASSERT_EQ(yuv.y.size(), 16u);
    EXPECT_EQ(yuv.y[5], 100);
    EXPECT_EQ(yuv.u[0], 128);
    EXPECT_EQ(yuv.v[3], 128);
}

} // namespace
} // namespace simdraw
