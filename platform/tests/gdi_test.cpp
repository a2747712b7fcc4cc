#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/gdi.h"

namespace {

LOGFONTA Font(const char* face, LONG height, LONG width = 0, BYTE pitchAndFamily = FIXED_PITCH,
              LONG weight = FW_NORMAL) {
    LOGFONTA lf{};
    lf.lfHeight = height;
    lf.lfWidth = width;
    lf.lfWeight = weight;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = DRAFT_QUALITY;
    lf.lfPitchAndFamily = pitchAndFamily;
    std::strncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
    return lf;
}

// A memory DC with a font selected; cleans both up.
struct TextDC {
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = nullptr;
    HGDIOBJ oldFont = nullptr;
    explicit TextDC(const LOGFONTA* lf = nullptr) {
        if (lf) {
            font = CreateFontIndirectA(lf);
            oldFont = SelectObject(dc, font);
        }
    }
    ~TextDC() {
        if (oldFont)
            SelectObject(dc, oldFont);
        DeleteDC(dc);
        if (font)
            DeleteObject(font);
    }
    SIZE Extent(const char* s) {
        SIZE size{-1, -1};
        EXPECT_TRUE(GetTextExtentPoint32A(dc, s, static_cast<int>(std::strlen(s)), &size));
        return size;
    }
};

// Renders `text` into a 1-bit bottom-up bitmap the size of its extent, as an overlay does; returns the rows
// as '#' (glyph, bit 0) and '.' (background, bit 1), top row first.
std::vector<std::string> Render(TextDC& t, const char* text) {
    SIZE size = t.Extent(text);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(t.dc, size.cx, size.cy, 1, nullptr, &bits);
    EXPECT_NE(bmp, nullptr);
    if (!bmp)
        return {};
    HGDIOBJ old = SelectObject(t.dc, bmp);
    struct {
        LONG left, top, right, bottom;
    } rc{0, 0, size.cx, size.cy};
    EXPECT_TRUE(
        ExtTextOutA(t.dc, 0, 0, ETO_OPAQUE | ETO_CLIPPED, &rc, text, UINT(std::strlen(text)), nullptr));
    const LONG stride = DibStride(size.cx, 1);
    std::vector<BYTE> copy(std::size_t(stride) * size.cy);
    EXPECT_EQ(GetDIBits(t.dc, bmp, 0, UINT(size.cy), copy.data()), size.cy);
    std::vector<std::string> rows;
    for (LONG y = 0; y < size.cy; ++y) {
        const BYTE* row = copy.data() + std::size_t(size.cy - 1 - y) * stride; // bottom-up storage
        std::string line;
        for (LONG x = 0; x < size.cx; ++x)
            line += (row[x >> 3] & (0x80 >> (x & 7))) ? '.' : '#';
        rows.push_back(line);
    }
    SelectObject(t.dc, old);
    DeleteObject(bmp);
    return rows;
}

int Ink(const std::vector<std::string>& rows) {
    int n = 0;
    for (const auto& r : rows)
        for (char c : r)
            n += c == '#';
    return n;
}

TEST(Gdi, MissingFixedPitchFaceResolvesToAnInstalledMonospaceFont) {
    LOGFONTA lf = Font("Lucida Console", -16, 10);
    HFONT f = CreateFontIndirectA(&lf);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(std::string(platform::gdi::ResolvedFontFile(f)).find("Mono"), std::string::npos)
        << platform::gdi::ResolvedFontFile(f);
    EXPECT_TRUE(DeleteObject(f));
    // An unknown proportional face still gives a usable font.
    LOGFONTA arial = Font("Arial", -16, 0, VARIABLE_PITCH | FF_SWISS);
    HFONT g = CreateFontIndirectA(&arial);
    ASSERT_NE(g, nullptr);
    EXPECT_STRNE(platform::gdi::ResolvedFontFile(g), "");
    EXPECT_TRUE(DeleteObject(g));
    EXPECT_EQ(CreateFontIndirectA(nullptr), nullptr);
}

TEST(Gdi, ExtentsFollowGdiHeightAndWidthRules) {
    // Negative height: the em is 16 pixels, the cell (ascent + descent) somewhat taller; width 10 makes every
    // character of a fixed-pitch font 10 pixels wide.
    LOGFONTA lf = Font("Lucida Console", -16, 10);
    TextDC mono(&lf);
    SIZE one = mono.Extent("W");
    EXPECT_EQ(one.cx, 10);
    EXPECT_GE(one.cy, 17);
    EXPECT_LE(one.cy, 22);
    EXPECT_EQ(mono.Extent("2026-12-10(01:02:03)").cx, 200);
    EXPECT_EQ(mono.Extent("iiii").cy, one.cy);

    // Positive height: the cell itself.
    LOGFONTA cell = Font("Lucida Console", 20);
    TextDC byCell(&cell);
    EXPECT_EQ(byCell.Extent("Ag").cy, 20);

    // Larger fonts measure larger; an empty string is zero wide but a cell high.
    LOGFONTA big = Font("Lucida Console", -32, 20);
    TextDC large(&big);
    EXPECT_EQ(large.Extent("ABC").cx, 60);
    SIZE empty{};
    EXPECT_TRUE(GetTextExtentPoint32A(large.dc, "", 0, &empty));
    EXPECT_EQ(empty.cx, 0);
    EXPECT_GT(empty.cy, 32);

    // A new DC measures with its default font.
    TextDC plain;
    SIZE s = plain.Extent("Text");
    EXPECT_GT(s.cx, 0);
    EXPECT_EQ(s.cy, 16);
}

TEST(Gdi, GlyphsAreDrawnAsZeroBitsOnAOneBackground) {
    LOGFONTA lf = Font("Lucida Console", -16, 10);
    TextDC t(&lf);
    auto h = Render(t, "H");
    ASSERT_FALSE(h.empty());
    // An H: two vertical strokes joined once, so some row has ink at both sides and a gap between.
    int ink = Ink(h);
    EXPECT_GT(ink, 15);
    EXPECT_LT(ink, 10 * int(h.size()) / 2);
    bool twoStrokes = false;
    for (const auto& row : h)
        twoStrokes |= row.find("#") != std::string::npos && row.find('.', row.find('#')) < row.rfind('#');
    EXPECT_TRUE(twoStrokes);
    EXPECT_EQ(Ink(Render(t, "   ")), 0);
    // Windows-1252 characters beyond ASCII have glyphs too (the euro sign, e acute).
    EXPECT_GT(Ink(Render(t, "\x80\xE9")), 10);
}

TEST(Gdi, OpaqueClippedTextStaysInsideItsRectangle) {
    LOGFONTA lf = Font("Lucida Console", -16, 10);
    TextDC t(&lf);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(t.dc, 64, -24, 32, nullptr, &bits); // top-down, 32 bits
    ASSERT_NE(bmp, nullptr);
    auto* px = static_cast<DWORD*>(bits);
    std::fill(px, px + 64 * 24, 0x00ABCDEFu);
    HGDIOBJ old = SelectObject(t.dc, bmp);
    SetTextColor(t.dc, RGB(255, 0, 0));
    SetBkColor(t.dc, RGB(0, 0, 255));
    struct {
        LONG left, top, right, bottom;
    } rc{4, 2, 24, 20};
    ASSERT_TRUE(ExtTextOutA(t.dc, 4, 2, ETO_OPAQUE | ETO_CLIPPED, &rc, "MMMMMM", 6, nullptr));
    int red = 0;
    for (LONG y = 0; y < 24; ++y)
        for (LONG x = 0; x < 64; ++x) {
            DWORD v = px[y * 64 + x];
            bool inside = x >= 4 && x < 24 && y >= 2 && y < 20;
            if (!inside)
                ASSERT_EQ(v, 0x00ABCDEFu) << x << "," << y;
            else
                ASSERT_TRUE(v == 0x00FF0000u || v == 0x000000FFu) << x << "," << y << " " << std::hex << v;
            red += v == 0x00FF0000u;
        }
    EXPECT_GT(red, 20);
    SelectObject(t.dc, old);
    EXPECT_TRUE(DeleteObject(bmp));
}

TEST(Gdi, ObjectLifetimesAreChecked) {
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    LOGFONTA lf = Font("Lucida Console", -16);
    HFONT f = CreateFontIndirectA(&lf);
    HGDIOBJ old = SelectObject(dc, f);
    ASSERT_NE(old, nullptr);
    EXPECT_FALSE(DeleteObject(f));   // still selected
    EXPECT_FALSE(DeleteObject(old)); // the stock font
    EXPECT_EQ(SelectObject(dc, old), f);
    EXPECT_TRUE(DeleteObject(f));
    EXPECT_FALSE(DeleteObject(f)); // already gone
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    SIZE s;
    EXPECT_FALSE(GetTextExtentPoint32A(dc, "x", 1, &s));
    // Bitmap sections: only 1 and 32 bits, never empty or oversized.
    void* bits = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateDIBSection(nullptr, 8, 8, 24, nullptr, &bits), nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, 0, 8, 1, nullptr, &bits), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, kMaxDibSide + 1, 8, 1, nullptr, &bits), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, 8, -(kMaxDibSide + 1), 1, nullptr, &bits), nullptr);
}

} // namespace
