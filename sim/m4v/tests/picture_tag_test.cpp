// The picture tag read from planes and packed pictures, and refused where it is not intact.
#include <gtest/gtest.h>

#include "sim_m4v/m4v_encoder.h"

namespace simm4v {
namespace {

TEST(PictureTag, ReadsBackFromThePlaneAndFromDoubledLines) {
    for (uint32_t value : {0u, 1u, 0xFFFFFFFFu, 1765324800u}) {
        simdraw::YuvImage p = TaggedPicture(352, 240, 15, value, "X");
        int channel = -1;
        uint32_t got = 0;
        ASSERT_TRUE(ReadTag(p.y.data(), 352, 240, 352, &channel, &got));
        EXPECT_EQ(channel, 15);
        EXPECT_EQ(got, value);

        // Every line twice (a field picture shown at full height).
        std::vector<uint8_t> doubled(352 * 480);
        for (int y = 0; y < 480; ++y)
            std::copy_n(p.y.data() + (y / 2) * 352, 352, doubled.data() + y * 352);
        channel = -1;
        ASSERT_TRUE(ReadTag(doubled.data(), 352, 480, 352, &channel, &got));
        EXPECT_EQ(channel, 15);
        EXPECT_EQ(got, value);
    }
}

TEST(PictureTag, RefusesPicturesWithoutAnIntactTag) {
    simdraw::YuvImage p = TaggedPicture(176, 144, 3, 12345, "");
    int channel = -1;
    uint32_t value = 0;
    // One value bit flipped (data bit 10: grid column 3 of row 1): the CRC no longer matches.
    simdraw::YuvImage flipped = p;
    const uint8_t inverse = flipped.y[size_t(24) * 176 + 56] > 128 ? 16 : 235;
    for (int y = 16; y < 32; ++y)
        for (int x = 48; x < 64; ++x)
            flipped.y[size_t(y) * 176 + x] = inverse;
    EXPECT_FALSE(ReadTag(flipped.y.data(), 176, 144, 176, &channel, &value));
    // A plain test picture, a picture too small for the tag, and no picture.
    simdraw::RgbImage rgb(176, 144);
    simdraw::DrawTestPicture(rgb, 3, 0, {"CAM"});
    EXPECT_FALSE(ReadTag(simdraw::ToYuv420(rgb).y.data(), 176, 144, 176, &channel, &value));
    EXPECT_FALSE(ReadTag(p.y.data(), 128, 144, 176, &channel, &value));
    EXPECT_FALSE(ReadTag(p.y.data(), 176, 80, 176, &channel, &value));
    EXPECT_FALSE(ReadTag(nullptr, 176, 144, 176, &channel, &value));
    EXPECT_EQ(channel, -1);
}

// Packed pictures and planes in both row orders; a bottom-up picture read as top-down holds no tag.
TEST(PictureTag, ReadsPackedPicturesInEitherRowOrder) {
    const int w = 160, h = 112;
    simdraw::YuvImage p = TaggedPicture(w, h, 9, 0xC0FFEE, "");
    std::vector<uint8_t> bgrx(size_t(w) * h * 4 + 64), yuy2(size_t(w + 8) * h * 2);
    const int yuy2Stride = (w + 8) * 2; // a row longer than the picture
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t luma = p.y[size_t(y) * w + x];
            uint8_t* q = &bgrx[size_t(h - 1 - y) * w * 4 + x * 4]; // bottom-up
            q[0] = q[1] = q[2] = static_cast<uint8_t>(std::clamp((luma - 16) * 255 / 219, 0, 255));
            yuy2[size_t(y) * yuy2Stride + x * 2] = luma;
            yuy2[size_t(y) * yuy2Stride + x * 2 + 1] = 128;
        }
    int channel = -1;
    uint32_t value = 0;
    ASSERT_TRUE(ReadTagPacked(bgrx.data(), w, h, w * 4, PackedFormat::kBgrx, true, &channel, &value));
    EXPECT_EQ(channel, 9);
    EXPECT_EQ(value, 0xC0FFEEu);
    EXPECT_FALSE(ReadTagPacked(bgrx.data(), w, h, w * 4, PackedFormat::kBgrx, false, &channel, &value));
    // A plane addressed from its top row with a negative stride (rows running upwards in memory).
    std::vector<uint8_t> upwards(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        std::copy_n(p.y.data() + size_t(y) * w, w, upwards.data() + size_t(h - 1 - y) * w);
    channel = -1;
    ASSERT_TRUE(ReadTag(upwards.data() + size_t(h - 1) * w, w, h, -w, &channel, &value));
    EXPECT_EQ(channel, 9);
    channel = -1;
    ASSERT_TRUE(ReadTagPacked(yuy2.data(), w, h, yuy2Stride, PackedFormat::kYuy2, false, &channel, &value));
    EXPECT_EQ(channel, 9);
    EXPECT_EQ(value, 0xC0FFEEu);
}

} // namespace
} // namespace simm4v
