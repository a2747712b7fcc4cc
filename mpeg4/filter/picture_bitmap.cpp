#include "picture_bitmap.h"

#include <algorithm>
#include <cstring>

#include "mpeg4/mpeg4_core.h"
#include "platform/bytes.h"

namespace mp4dec {

namespace {

constexpr int kFileHeaderBytes = 14;
constexpr int kInfoHeaderBytes = 40;
constexpr int kBitmapHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;

// x × k / 8192 rounded down, as the codec's 16-bit lanes compute it: ((x × 8) × k) >> 16.
int Product(int x, int k) {
    return (x * 8 * k) >> 16;
}

std::uint8_t Clamp255(int v) {
    return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

} // namespace

int FormatBytesPerPixel(int format) {
    return mpeg4::BytesPerPixel(format);
}

bool IsPackedYuv(int format) {
    return format == mpeg4::kYuy2 || format == mpeg4::kUyvy;
}

bool IsLineDoubled(int width, int height) {
    return width == 720 && height < 480;
}

std::int64_t PictureBytes(const PictureLayout& l) {
    return std::int64_t(FormatBytesPerPixel(l.format)) * l.height * l.stride;
}

std::int64_t PictureBitmapBytes(const PictureLayout& l) {
    std::int64_t pixels = IsPackedYuv(l.format) ? std::int64_t(l.width) * l.height * 3 : PictureBytes(l);
    if (IsLineDoubled(l.width, l.height))
        pixels *= 2;
    return kBitmapHeaderBytes + pixels;
}

void FillBlankPicture(std::uint8_t* out, int bytesPerPixel, std::int64_t pixels) {
    if (pixels <= 0)
        return;
    static constexpr std::uint8_t kBlue[4][4] = {{}, {}, {0x1F, 0x00}, {0xFF, 0x00, 0x00}};
    if (bytesPerPixel == 4) {
        // Little-endian 0x000000FF.
        for (std::int64_t i = 0; i < pixels; ++i)
            platform::WriteLE32(out + 4 * i, 0x000000FFu);
        return;
    }
    if (bytesPerPixel != 2 && bytesPerPixel != 3)
        return;
    for (std::int64_t i = 0; i < pixels; ++i)
        std::memcpy(out + i * bytesPerPixel, kBlue[bytesPerPixel], static_cast<std::size_t>(bytesPerPixel));
}

void ConvertYuvPair(int y0, int y1, int u, int v, std::uint8_t* bgr) {
    const int up = u - 128;
    const int vp = v - 128;
    const int red = Product(vp, 13123);
    const int green = Product(up, -3218) + Product(vp, -6686);
    const int blue = Product(up, 16591);
    const int ys[2] = {y0, y1};
    for (int i = 0; i < 2; ++i) {
        const int yy = Product(std::max(ys[i] - 16, 0), 9576);
        bgr[3 * i + 0] = Clamp255(yy + blue);
        bgr[3 * i + 1] = Clamp255(yy + green);
        bgr[3 * i + 2] = Clamp255(yy + red);
    }
}

void WritePictureBitmap(const PictureLayout& l, const std::uint8_t* picture, std::uint8_t* bitmap) {
    const bool yuv = IsPackedYuv(l.format);
    const bool doubled = IsLineDoubled(l.width, l.height);
    const int bpp = FormatBytesPerPixel(l.format);
    // RGB rows are copied whole, so the bitmap is as wide as the buffer's rows.
    const int bitmapWidth = yuv ? l.width : l.stride;
    const std::int64_t rowBytes = yuv ? std::int64_t(l.width) * 3 : std::int64_t(bpp) * l.stride;
    const int rows = l.height * (doubled ? 2 : 1);
    const std::int64_t total = PictureBitmapBytes(l);

    // BITMAPFILEHEADER
    bitmap[0] = 'B';
    bitmap[1] = 'M';
    platform::WriteLE32(bitmap + 2, static_cast<std::uint32_t>(total));
    platform::WriteLE16(bitmap + 6, 0);
    platform::WriteLE16(bitmap + 8, 0);
    platform::WriteLE32(bitmap + 10, kBitmapHeaderBytes);
    // BITMAPINFOHEADER: a negative height marks a top-down picture.
    std::uint8_t* info = bitmap + kFileHeaderBytes;
    std::memset(info, 0, kInfoHeaderBytes);
    platform::WriteLE32(info + 0, kInfoHeaderBytes);
    platform::WriteLE32(info + 4, static_cast<std::uint32_t>(bitmapWidth));
    platform::WriteLE32(info + 8, static_cast<std::uint32_t>(l.topDown ? -rows : rows));
    platform::WriteLE16(info + 12, 1);
    platform::WriteLE16(info + 14, static_cast<std::uint16_t>(yuv ? 24 : bpp * 8));

    std::uint8_t* pixels = bitmap + kBitmapHeaderBytes;
    for (int r = 0; r < l.height; ++r) {
        std::uint8_t* dst = pixels + std::int64_t(r) * rowBytes * (doubled ? 2 : 1);
        if (!picture) {
            std::memset(dst, 0, static_cast<std::size_t>(rowBytes));
        } else if (!yuv) {
            std::memcpy(dst, picture + std::int64_t(r) * rowBytes, static_cast<std::size_t>(rowBytes));
        } else {
            // The codec writes packed YUV top row first; a bottom-up bitmap starts with the last row.
            const int source = l.topDown ? r : l.height - 1 - r;
            const std::uint8_t* src = picture + std::int64_t(source) * l.stride * 2;
            const bool uyvy = l.format == mpeg4::kUyvy;
            for (int x = 0; x + 1 < l.width; x += 2, src += 4) {
                if (uyvy)
                    ConvertYuvPair(src[1], src[3], src[0], src[2], dst + 3 * x);
                else
                    ConvertYuvPair(src[0], src[2], src[1], src[3], dst + 3 * x);
            }
            if (l.width & 1) { // an odd last pixel has only its own two bytes in the row
                std::uint8_t pair[6];
                if (uyvy)
                    ConvertYuvPair(src[1], src[1], src[0], 128, pair);
                else
                    ConvertYuvPair(src[0], src[0], src[1], 128, pair);
                std::memcpy(dst + 3 * (l.width - 1), pair, 3);
            }
        }
        if (doubled)
            std::memcpy(dst + rowBytes, dst, static_cast<std::size_t>(rowBytes));
    }
}

} // namespace mp4dec
