// GDI text stand-in: logical fonts matched by face name through fontconfig and rasterised with FreeType,
// memory device contexts, and device-independent bitmap sections of 1 or 32 bits per pixel to draw text
// into. Only what text overlays need is here: text extents, ExtTextOutA/TextOutA with opaque background
// and clipping, and reading a bitmap's rows back with GetDIBits.
//
// Fonts follow GDI's sizing: a negative lfHeight is the character (em) height in pixels, a positive one
// the cell height (ascent + descent), 0 a default height; a nonzero lfWidth is the average character
// width, the glyphs being stretched or narrowed to it. A face that is not installed resolves to the
// closest installed font (a fixed-pitch request to the default monospace family). Strings are single
// bytes in the Windows-1252 code page. Glyphs are drawn without anti-aliasing, as GDI draws into
// 1-bit bitmaps.
//
// RECT and BITMAPINFOHEADER are not declared here (the media framework declares them); the calls that
// take a rectangle accept any record with LONG left, top, right and bottom.
#pragma once

#include <cstddef>

#include "platform/types.h"

// ---- Fonts ----------------------------------------------------------------------------------------------

constexpr int LF_FACESIZE = 32;

// The logical font record, 60 bytes as on Windows: five 32-bit fields, eight bytes, the face name.
struct LOGFONTA {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    CHAR lfFaceName[LF_FACESIZE];
};
static_assert(sizeof(LOGFONTA) == 60, "LOGFONTA is 60 bytes");

constexpr LONG FW_DONTCARE = 0;
constexpr LONG FW_THIN = 100;
constexpr LONG FW_LIGHT = 300;
constexpr LONG FW_NORMAL = 400;
constexpr LONG FW_MEDIUM = 500;
constexpr LONG FW_SEMIBOLD = 600;
constexpr LONG FW_BOLD = 700;
constexpr LONG FW_HEAVY = 900;

constexpr BYTE ANSI_CHARSET = 0;
constexpr BYTE DEFAULT_CHARSET = 1;
constexpr BYTE OUT_DEFAULT_PRECIS = 0;
constexpr BYTE CLIP_DEFAULT_PRECIS = 0;
constexpr BYTE DEFAULT_QUALITY = 0;
constexpr BYTE DRAFT_QUALITY = 1;
constexpr BYTE NONANTIALIASED_QUALITY = 3;

// lfPitchAndFamily: pitch in the low two bits, family in the high four.
constexpr BYTE DEFAULT_PITCH = 0;
constexpr BYTE FIXED_PITCH = 1;
constexpr BYTE VARIABLE_PITCH = 2;
constexpr BYTE FF_DONTCARE = 0x00;
constexpr BYTE FF_ROMAN = 0x10;
constexpr BYTE FF_SWISS = 0x20;
constexpr BYTE FF_MODERN = 0x30;

// ---- Objects and device contexts -------------------------------------------------------------------------

struct GdiObject;
struct GdiDeviceContext;
using HGDIOBJ = GdiObject*;
using HFONT = GdiObject*;
using HBITMAP = GdiObject*;
using HDC = GdiDeviceContext*;

using COLORREF = DWORD;
constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return COLORREF(r) | (COLORREF(g) << 8) | (COLORREF(b) << 16);
}
constexpr BYTE GetRValue(COLORREF c) {
    return BYTE(c);
}
constexpr BYTE GetGValue(COLORREF c) {
    return BYTE(c >> 8);
}
constexpr BYTE GetBValue(COLORREF c) {
    return BYTE(c >> 16);
}
constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;

struct SIZE {
    LONG cx;
    LONG cy;
};

struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};

// A font for `font`; nullptr when the record is missing or no installed font can be opened. Escapement
// and orientation are ignored (text is always horizontal).
HFONT CreateFontIndirectA(const LOGFONTA* font);
// Frees a font or bitmap. Refused (FALSE) for a null or unknown handle and for an object still selected
// into a device context.
BOOL DeleteObject(HGDIOBJ object);

// A memory device context. It starts with the default font ("System", bold, 16-pixel cell), a 1 × 1
// monochrome bitmap, black text on an opaque white background, alignment top-left. `reference` is
// accepted and ignored.
HDC CreateCompatibleDC(HDC reference);
BOOL DeleteDC(HDC dc);
// Selects a font or a bitmap into `dc` and returns the object of that kind it replaces; nullptr on failure.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);

COLORREF SetTextColor(HDC dc, COLORREF colour);
COLORREF SetBkColor(HDC dc, COLORREF colour);
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
int SetBkMode(HDC dc, int mode);

// Width (sum of the characters' advances) and height (the font's cell height) of `count` characters.
BOOL GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, SIZE* size);

// ---- Bitmaps ---------------------------------------------------------------------------------------------

constexpr UINT DIB_RGB_COLORS = 0;

// Bytes per row of a device-independent bitmap: rows are padded to 32 bits.
constexpr LONG DibStride(LONG width, WORD bitCount) {
    return static_cast<LONG>(((static_cast<std::int64_t>(width) * bitCount + 31) / 32) * 4);
}

// Largest bitmap the stand-in creates, in pixels on a side: ample for any text line or picture.
constexpr LONG kMaxDibSide = 16384;

// A bitmap section of `width` × |`height`| pixels with 1 or 32 bits per pixel, bottom-up for a positive
// height and top-down for a negative one, zero-filled. A 1-bit section uses `palette` (two entries; black
// and white when null). `*bits` receives the pixel memory, owned by the bitmap. nullptr for any other bit
// count, an empty or oversized area.
HBITMAP CreateDIBSection(HDC dc, LONG width, LONG height, WORD bitCount, const RGBQUAD* palette, void** bits);
// Copies up to `lines` rows starting at row `start` (counted from the bottom in memory order of a
// bottom-up bitmap, as the bitmap stores them) into `bits`, in the bitmap's own format and stride; returns
// the number of rows copied, 0 on error.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits);

// ---- Text out --------------------------------------------------------------------------------------------

constexpr UINT ETO_OPAQUE = 0x0002;
constexpr UINT ETO_CLIPPED = 0x0004;

namespace platform::gdi {
struct Rect {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
// Draws `count` characters with their cell's top-left corner at (x, y) into the bitmap selected in `dc`.
// ETO_OPAQUE fills `rect` with the background colour first; ETO_CLIPPED keeps the glyphs inside it.
// `dx`, when given, holds the advance of each character in pixels.
BOOL ExtTextOut(HDC dc, int x, int y, UINT options, const Rect* rect, LPCSTR text, UINT count, const INT* dx);
} // namespace platform::gdi

template <class R>
BOOL ExtTextOutA(HDC dc, int x, int y, UINT options, const R* rect, LPCSTR text, UINT count, const INT* dx) {
    if (!rect)
        return platform::gdi::ExtTextOut(dc, x, y, options, nullptr, text, count, dx);
    platform::gdi::Rect r{rect->left, rect->top, rect->right, rect->bottom};
    return platform::gdi::ExtTextOut(dc, x, y, options, &r, text, count, dx);
}
inline BOOL ExtTextOutA(HDC dc, int x, int y, UINT options, std::nullptr_t, LPCSTR text, UINT count,
                        const INT* dx) {
    return platform::gdi::ExtTextOut(dc, x, y, options, nullptr, text, count, dx);
}
// Draws with the background mode of `dc` (opaque: the text's cells are filled first).
BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int count);

namespace platform::gdi {
// The installed font file a logical font resolves to ("" when none); for diagnostics and tests.
const char* ResolvedFontFile(HFONT font);
} // namespace platform::gdi
