#include <algorithm>

#include "sim_draw/draw.h"

namespace simdraw {

void RgbImage::Put(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

Rgb RgbImage::Get(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return {0, 0, 0};
    const std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
    return {p[0], p[1], p[2]};
}

YuvImage::YuvImage(int w, int h)
    : width(w), height(h), y(static_cast<std::size_t>(w) * h), u(static_cast<std::size_t>(w / 2) * (h / 2)),
      v(static_cast<std::size_t>(w / 2) * (h / 2)) {}

int TextWidth(const std::string& text, int scale) {
    return static_cast<int>(text.size()) * 6 * scale;
}

void DrawText(RgbImage& image, int x, int y, const std::string& text, int scale, Rgb colour) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        int left = x + static_cast<int>(i) * 6 * scale;
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < 5; ++col)
                if (GlyphPixel(text[i], col, row))
                    for (int dy = 0; dy < scale; ++dy)
                        for (int dx = 0; dx < scale; ++dx)
                            image.Put(left + col * scale + dx, y + row * scale + dy, colour);
    }
}

void DrawLabel(RgbImage& image, int x, int y, const std::string& text, int scale, Rgb colour,
               Rgb background) {
    int w = TextWidth(text, scale) + scale;
    int h = (kGlyphHeight + 2) * scale;
    for (int yy = y - scale; yy < y - scale + h; ++yy)
        for (int xx = x - scale; xx < x - scale + w + scale; ++xx)
            image.Put(xx, yy, background);
    DrawText(image, x, y, text, scale, colour);
}

Rgb ChannelColour(int channel) {
    static constexpr Rgb kColours[16] = {
        {230, 40, 40},   {40, 200, 40},  {50, 80, 230},   {230, 200, 30}, {200, 40, 200}, {30, 200, 200},
        {240, 130, 30},  {130, 60, 220}, {120, 200, 60},  {230, 90, 140}, {60, 140, 140}, {170, 120, 60},
        {150, 150, 150}, {90, 90, 200},  {200, 160, 160}, {60, 100, 40},
    };
    return kColours[static_cast<unsigned>(channel) % 16];
}

void DrawTestPicture(RgbImage& image, int channel, int frame, const std::vector<std::string>& lines) {
    Rgb c = ChannelColour(channel);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            bool bar = ((x + y + frame * 4) / 24) % 2 == 0;
            Rgb p = bar ? c
                        : Rgb{static_cast<std::uint8_t>(c.r / 3), static_cast<std::uint8_t>(c.g / 3),
                              static_cast<std::uint8_t>(c.b / 3)};
            image.Put(x, y, p);
        }
    }
    // A white block that walks along the bottom edge, one step per frame.
    int size = std::max(8, image.height / 12);
    int span = std::max(1, image.width - size);
    int bx = (frame * 7) % span;
    for (int y = image.height - size - 2; y < image.height - 2; ++y)
        for (int x = bx; x < bx + size; ++x)
            image.Put(x, y, {255, 255, 255});

    int scale = std::max(1, image.width / 180);
    int lineHeight = (kGlyphHeight + 3) * scale;
    int top = (image.height - static_cast<int>(lines.size()) * lineHeight) / 2;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        int w = TextWidth(lines[i], scale);
        DrawLabel(image, (image.width - w) / 2, top + static_cast<int>(i) * lineHeight, lines[i], scale,
                  {255, 255, 255}, {0, 0, 0});
    }
}

YuvImage ToYuv420(const RgbImage& image) {
    YuvImage out(image.width & ~1, image.height & ~1);
    auto luma = [](Rgb p) { return (77 * p.r + 150 * p.g + 29 * p.b + 128) >> 8; };
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            out.y[static_cast<std::size_t>(y) * out.width + x] =
                static_cast<std::uint8_t>(luma(image.Get(x, y)));
    for (int y = 0; y < out.height / 2; ++y) {
        for (int x = 0; x < out.width / 2; ++x) {
            int r = 0, g = 0, b = 0;
            for (int k = 0; k < 4; ++k) {
                Rgb p = image.Get(2 * x + (k & 1), 2 * y + (k >> 1));
                r += p.r;
                g += p.g;
                b += p.b;
            }
            r /= 4;
            g /= 4;
            b /= 4;
            int u = ((-43 * r - 85 * g + 128 * b + 128) >> 8) + 128;
            int v = ((128 * r - 107 * g - 21 * b + 128) >> 8) + 128;
            std::size_t i = static_cast<std::size_t>(y) * (out.width / 2) + x;
            out.u[i] = static_cast<std::uint8_t>(std::clamp(u, 0, 255));
            out.v[i] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return out;
}

} // namespace simdraw
