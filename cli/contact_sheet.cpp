#include "cli/contact_sheet.h"

#include <cstdio>

#include "sim_draw/draw.h"

namespace cli {

namespace {

constexpr int kCellWidth = 240;
constexpr int kCellHeight = 180;
constexpr int kTitleHeight = 24;
constexpr int kColumns = 4;

void Fill(media::VideoFrame& f, int x0, int y0, int w, int h, BYTE r, BYTE g, BYTE b) {
    for (int y = std::max(0, y0); y < std::min<int>(f.height, y0 + h); ++y)
        for (int x = std::max(0, x0); x < std::min<int>(f.width, x0 + w); ++x) {
            BYTE* p = &f.pixels[(static_cast<std::size_t>(y) * f.width + x) * 4];
            p[0] = b, p[1] = g, p[2] = r, p[3] = 0;
        }
}

// Text in the built-in 5×7 font, white on a dark band.
void Text(media::VideoFrame& f, int x0, int y0, const std::string& text, int scale) {
    Fill(f, x0 - 2, y0 - 2, simdraw::TextWidth(text, scale) + 4, simdraw::kGlyphHeight * scale + 4, 0, 0, 0);
    for (std::size_t i = 0; i < text.size(); ++i)
        for (int row = 0; row < simdraw::kGlyphHeight; ++row)
            for (int col = 0; col < 5; ++col)
                if (simdraw::GlyphPixel(text[i], col, row))
                    Fill(f, x0 + (static_cast<int>(i) * 6 + col) * scale, y0 + row * scale, scale, scale, 255,
                         255, 255);
}

// Nearest-neighbour scaling of a picture into a cell, keeping its aspect.
void Blit(media::VideoFrame& dst, int x0, int y0, const media::VideoFrame& src) {
    if (src.width <= 0 || src.height <= 0 || src.pixels.size() < std::size_t(src.width) * src.height * 4)
        return;
    double scale = std::min(double(kCellWidth) / src.width, double(kCellHeight) / src.height);
    int w = std::max(1, int(src.width * scale)), h = std::max(1, int(src.height * scale));
    int ox = x0 + (kCellWidth - w) / 2, oy = y0 + (kCellHeight - h) / 2;
    for (int y = 0; y < h; ++y) {
        int sy = std::min<int>(src.height - 1, int(y / scale));
        for (int x = 0; x < w; ++x) {
            int sx = std::min<int>(src.width - 1, int(x / scale));
            const BYTE* s = &src.pixels[(static_cast<std::size_t>(sy) * src.width + sx) * 4];
            BYTE* d = &dst.pixels[(static_cast<std::size_t>(oy + y) * dst.width + ox + x) * 4];
            d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = 0;
        }
    }
}

} // namespace

media::VideoFrame ComposeContactSheet(const ContactSheet& sheet) {
    media::VideoFrame f;
    f.width = kCellWidth * kColumns;
    f.height = kTitleHeight + kCellHeight * 4;
    f.pixels.assign(static_cast<std::size_t>(f.width) * f.height * 4, 0);
    Fill(f, 0, 0, f.width, f.height, 24, 24, 32);
    Text(f, 6, 6, sheet.title, 2);
    for (int ch = 0; ch < 16; ++ch) {
        int x0 = (ch % kColumns) * kCellWidth, y0 = kTitleHeight + (ch / kColumns) * kCellHeight;
        Fill(f, x0 + 1, y0 + 1, kCellWidth - 2, kCellHeight - 2, 0, 0, 0);
        if (sheet.pictures[ch])
            Blit(f, x0, y0, *sheet.pictures[ch]);
        char label[48];
        if (sheet.noRecording[ch])
            std::snprintf(label, sizeof label, "CH%02d  NO RECORDING", ch + 1);
        else
            std::snprintf(label, sizeof label, "CH%02d  %ld", ch + 1, sheet.counts[ch]);
        Text(f, x0 + 6, y0 + kCellHeight - 18, label, 2);
    }
    return f;
}

bool WriteContactSheet(const std::string& path, const ContactSheet& sheet) {
    return media::WritePng(path, ComposeContactSheet(sheet));
}

} // namespace cli
