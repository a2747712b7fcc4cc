#include <gtest/gtest.h>

#include <vector>

#include "mpeg4/mpeg4_core.h"
#include "picture_bitmap.h"
#include "platform/bytes.h"
#include "platform/types.h"

namespace {

using mp4dec::PictureLayout;

TEST(PictureBitmap, ColourConversionMatchesTheCodecConstants) {
    const struct {
        int y, u, v;
        BYTE b, g, r;
    } cases[] = {
        {16, 128, 128, 0, 0, 0},
        {10, 128, 128, 0, 0, 0}, // below black converts as black
        {235, 128, 128, 255, 255, 255},
        {82, 90, 240, 0, 0, 255}, // saturated red clamps rather than wraps
    };
    for (const auto& c : cases) {
        BYTE bgr[6];
        mp4dec::ConvertYuvPair(c.y, c.y, c.u, c.v, bgr);
        EXPECT_EQ(bgr[0], c.b) << c.y;
        EXPECT_EQ(bgr[1], c.g) << c.y;
        EXPECT_EQ(bgr[2], c.r) << c.y;
        EXPECT_EQ(bgr[3], bgr[0]);
    }
}

TEST(PictureBitmap, BlankPixelsByDepth) {
    std::vector<BYTE> out(12, 0xEE);
    mp4dec::FillBlankPicture(out.data(), 2, 2);
    EXPECT_EQ(std::vector<BYTE>(out.begin(), out.begin() + 5), (std::vector<BYTE>{0x1F, 0, 0x1F, 0, 0xEE}));
    out.assign(12, 0xEE);
    mp4dec::FillBlankPicture(out.data(), 3, 2);
    EXPECT_EQ(std::vector<BYTE>(out.begin(), out.begin() + 7),
              (std::vector<BYTE>{0xFF, 0, 0, 0xFF, 0, 0, 0xEE}));
    out.assign(12, 0xEE);
    mp4dec::FillBlankPicture(out.data(), 4, 3);
    EXPECT_EQ(out, (std::vector<BYTE>{0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0}));
}

TEST(PictureBitmap, SizesAndHeadersByFormatAndRowOrder) {
    const struct {
        PictureLayout layout;
        long long bytes;
        int bits, height, width;
    } cases[] = {
        {{704, 240, 704, mpeg4::kRgb32BottomUp, false}, 54 + 704 * 240 * 4, 32, 240, 704},
        {{720, 240, 720, mpeg4::kRgb24, true}, 54 + 2 * 720 * 240 * 3, 24, -480, 720},
        {{720, 480, 720, mpeg4::kRgb565BottomUp, false}, 54 + 720 * 480 * 2, 16, 480, 720},
        {{352, 240, 384, mpeg4::kRgb32BottomUp, false}, 54 + 384 * 240 * 4, 32, 240, 384}, // rows as stored
        {{720, 288, 736, mpeg4::kYuy2, false}, 54 + 2 * 720 * 288 * 3, 24, 576, 720},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mp4dec::PictureBitmapBytes(c.layout), c.bytes);
        std::vector<BYTE> bmp(static_cast<std::size_t>(c.bytes));
        mp4dec::WritePictureBitmap(c.layout, nullptr, bmp.data());
        EXPECT_EQ(platform::ReadLE32(&bmp[2]), static_cast<std::uint32_t>(c.bytes));
        EXPECT_EQ(static_cast<int>(platform::ReadLE32(&bmp[18])), c.width);
        EXPECT_EQ(static_cast<int>(platform::ReadLE32(&bmp[22])), c.height);
        EXPECT_EQ(platform::ReadLE16(&bmp[28]), c.bits);
    }
}

// A top-down YUY2 picture keeps its row order; a bottom-up one starts with its last row.
TEST(PictureBitmap, PackedYuvRowsFollowTheOutputRowOrder) {
    // Two rows of two pixels: black on top, white below; the row stride has room for 4 pixels.
    std::vector<BYTE> yuy2 = {16, 128, 16, 128, 0, 0, 0, 0, 235, 128, 235, 128, 0, 0, 0, 0};
    for (bool topDown : {false, true}) {
        PictureLayout l{2, 2, 4, mpeg4::kYuy2, topDown};
        std::vector<BYTE> bmp(static_cast<std::size_t>(mp4dec::PictureBitmapBytes(l)));
        mp4dec::WritePictureBitmap(l, yuy2.data(), bmp.data());
        ASSERT_EQ(bmp.size(), 54u + 12);
        EXPECT_EQ(bmp[54], topDown ? 0 : 255);
        EXPECT_EQ(bmp[54 + 6], topDown ? 255 : 0);
    }
}

} // namespace
