// Pictures for the synthetic recorders: a moving pattern that differs per channel, with text drawn in
// a built-in 5×7 bitmap font, so a wrong channel or frame order is plain to see in a decoded picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simdraw {

struct Rgb {
    std::uint8_t r, g, b;
};

// Packed 24-bit RGB, rows top to bottom, no padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels; // width × height × 3

    RgbImage() = default;
    RgbImage(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 3) {}
    void Put(int x, int y, Rgb c);
    Rgb Get(int x, int y) const;
};

// Planar YUV 4:2:0 (I420), full-range BT.601, even width and height.
struct YuvImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> y, u, v;

    YuvImage() = default;
    YuvImage(int w, int h);
};

// Width in pixels of `text` at `scale` (6 × scale per character, the last column blank).
int TextWidth(const std::string& text, int scale);
constexpr int kGlyphHeight = 7;

// Draws `text` with its top-left corner at (x, y); each font pixel becomes a scale × scale square.
// Lower-case letters are drawn as capitals; characters without a glyph as a hollow box. Pixels
// outside the picture are clipped.
void DrawText(RgbImage& image, int x, int y, const std::string& text, int scale, Rgb colour);
// Same, on a filled background box one font pixel wider on every side.
void DrawLabel(RgbImage& image, int x, int y, const std::string& text, int scale, Rgb colour, Rgb background);

// A distinct colour for each channel 0..15 (wraps above).
Rgb ChannelColour(int channel);

// Diagonal bars in the channel's colour moving with `frame`, a block that walks across the picture,
// and the label lines centred below each other.
void DrawTestPicture(RgbImage& image, int channel, int frame, const std::vector<std::string>& lines);

// BT.601 full-range conversion, 2×2 chroma averaging.
YuvImage ToYuv420(const RgbImage& image);

// Whether the glyph pixel (column 0..4, row 0..6) of `c` is set; for tests and other renderers.
bool GlyphPixel(char c, int column, int row);

} // namespace simdraw
