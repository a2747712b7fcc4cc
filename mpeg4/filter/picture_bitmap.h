// The decoder's output pictures outside the codec: the blank picture shown while waiting for a key
// frame, and the BMP file image of a picture that IVTMP4Dec::GetPictureBitmap hands out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mp4dec {

// Where a decoded picture sits in an output buffer.
struct PictureLayout {
    int width = 0;  // pixels of the picture
    int height = 0; // rows of the picture
    int stride = 0; // pixels between the starts of two rows
    int format = 0; // the codec's output format code
    bool topDown = false;
};

// Bytes per pixel of a codec output format code; 0 for an unknown code.
int FormatBytesPerPixel(int format);
// The packed 4:2:2 formats, which are exported as 24-bit RGB.
bool IsPackedYuv(int format);
// Field pictures of a full-width PAL/NTSC recording (720 wide, under 480 high) are exported with
// every line twice so that the picture keeps its shape.
bool IsLineDoubled(int width, int height);

// The bytes of the picture itself in the output buffer: bytes per pixel × height × stride.
std::int64_t PictureBytes(const PictureLayout& layout);
// The size of the BMP file image of a picture: 54 header bytes and the pixels.
std::int64_t PictureBitmapBytes(const PictureLayout& layout);

// Fills `pixels` pixels from `out` with solid blue: 0x1F 0x00 per 2-byte pixel, 0xFF 0x00 0x00 per
// 3-byte pixel, the 32-bit value 0x000000FF per 4-byte pixel.
void FillBlankPicture(std::uint8_t* out, int bytesPerPixel, std::int64_t pixels);

// Writes the BMP file image of `picture` (laid out as `layout` says; null gives black pixels) into
// `bitmap`, which holds PictureBitmapBytes(layout) bytes. RGB pictures are copied as they are; packed
// YUV pictures are converted to 24-bit RGB, bottom row first unless the output is top-down.
void WritePictureBitmap(const PictureLayout& layout, const std::uint8_t* picture, std::uint8_t* bitmap);

// One 4:2:2 pixel pair converted to blue, green, red with the decoder's own colour conversion
// (13-bit fixed point, ITU-R BT.601 video range).
void ConvertYuvPair(int y0, int y1, int u, int v, std::uint8_t* bgr);

} // namespace mp4dec
