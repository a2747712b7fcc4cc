#include "platform/gdi.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

// Every GDI object; the kind says which of the two records below it is.
struct GdiObject {
    enum class Kind { Font, Bitmap };
    explicit GdiObject(Kind k) : kind(k) {}
    virtual ~GdiObject() = default;
    Kind kind;
    bool stock = false; // shared defaults, never deleted
    int selections = 0; // device contexts holding it
};

namespace {

// One lock for the whole stand-in: FreeType faces and the library are not safe to share between
// threads, and the object tables are process-wide.
std::mutex g_lock;
FT_Library g_library = nullptr; // process lifetime
std::unordered_set<const void*> g_live;

// Font sizes are bounded so that a text line's bitmap stays small (GDI itself caps near this).
constexpr double kMaxEmPixels = 1024.0;
constexpr LONG kDefaultCellHeight = 16;

struct FontObject final : GdiObject {
    FontObject() : GdiObject(Kind::Font) {}
    ~FontObject() override {
        if (face)
            FT_Done_Face(face);
    }
    LOGFONTA logfont{};
    std::string file;
    FT_Face face = nullptr;
    bool emboldenGlyphs = false; // bold asked of a face that has no bold
    bool slantGlyphs = false;    // italic asked of a face that has no italic
    LONG ascent = 0;             // pixels above the baseline in the cell
    LONG descent = 0;            // pixels below it
    LONG underlinePosition = 1;  // pixels below the baseline
    LONG lineThickness = 1;
    std::array<int, 256> advance{}; // per character code; −1 until measured
};

struct BitmapObject final : GdiObject {
    BitmapObject() : GdiObject(Kind::Bitmap) {}
    LONG width = 0;
    LONG height = 0; // rows
    bool topDown = false;
    WORD bitCount = 1;
    LONG stride = 0;
    RGBQUAD palette[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    std::vector<BYTE> bits;

    BYTE* Row(LONG y) {
        return bits.data() + std::size_t(topDown ? y : height - 1 - y) * std::size_t(stride);
    }
};

} // namespace

struct GdiDeviceContext {
    FontObject* font = nullptr;
    BitmapObject* bitmap = nullptr;
    COLORREF textColour = RGB(0, 0, 0);
    COLORREF bkColour = RGB(255, 255, 255);
    int bkMode = OPAQUE;
};

namespace {

// A configuration of our own rather than the process default: the GUI toolkit keeps the default one,
// and ours is released at exit so nothing of it outlives the process's last user.
FcConfig* g_fcConfig = nullptr;
struct FontConfigRelease {
    ~FontConfigRelease() {
        std::lock_guard lock(g_lock);
        if (g_fcConfig)
            FcConfigDestroy(g_fcConfig);
        g_fcConfig = nullptr;
    }
} g_fcRelease;
bool InitLocked() {
    if (g_library)
        return true;
    if (FT_Init_FreeType(&g_library) != 0) {
        g_library = nullptr;
        return false;
    }
    g_fcConfig = FcInitLoadConfigAndFonts();
    return true;
}

// Windows-1252 code points of bytes 0x80 … 0x9F (0 where the code page has none); the rest of the
// page equals Unicode.
constexpr std::array<std::uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

FT_ULong CodePoint(unsigned char c) {
    if (c >= 0x80 && c < 0xA0)
        return kCp1252High[c - 0x80];
    return c;
}

// ---- Face matching -----------------------------------------------------------------------------------

struct FontMatch {
    std::string file;
    int index = 0;
    int weight = FC_WEIGHT_REGULAR;
    int slant = FC_SLANT_ROMAN;
};

std::string FaceName(const LOGFONTA& lf) {
    return std::string(lf.lfFaceName, strnlen(lf.lfFaceName, LF_FACESIZE));
}

bool WantsFixedPitch(const LOGFONTA& lf) {
    return (lf.lfPitchAndFamily & 0x3) == FIXED_PITCH || (lf.lfPitchAndFamily & 0xF0) == FF_MODERN;
}

const char* GenericFamily(const LOGFONTA& lf) {
    if (WantsFixedPitch(lf))
        return "monospace";
    if ((lf.lfPitchAndFamily & 0xF0) == FF_ROMAN)
        return "serif";
    return "sans-serif";
}

LONG RequestedWeight(const LOGFONTA& lf) {
    return lf.lfWeight <= 0 ? FW_NORMAL : std::min<LONG>(lf.lfWeight, 1000);
}

// The installed font closest to `lf`: the face by name, else the generic family its pitch and family
// bits suggest. Results are kept, as a match costs far more than drawing a line of text.
bool MatchLocked(const LOGFONTA& lf, FontMatch* out) {
    using Key = std::tuple<std::string, std::string, LONG, bool>;
    static std::map<Key, FontMatch> cache;
    Key key{FaceName(lf), GenericFamily(lf), RequestedWeight(lf), lf.lfItalic != 0};
    if (auto it = cache.find(key); it != cache.end()) {
        *out = it->second;
        return true;
    }
    if (!g_fcConfig)
        return false;
    FcPattern* pattern = FcPatternCreate();
    if (!pattern)
        return false;
    const std::string& face = std::get<0>(key);
    if (!face.empty())
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(GenericFamily(lf)));
    if (WantsFixedPitch(lf))
        FcPatternAddInteger(pattern, FC_SPACING, FC_MONO);
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(RequestedWeight(lf)));
    FcPatternAddInteger(pattern, FC_SLANT, lf.lfItalic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(g_fcConfig, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(g_fcConfig, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match)
        return false;
    FcChar8* file = nullptr;
    bool found = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file;
    FontMatch m;
    if (found) {
        m.file = reinterpret_cast<const char*>(file);
        FcPatternGetInteger(match, FC_INDEX, 0, &m.index);
        FcPatternGetInteger(match, FC_WEIGHT, 0, &m.weight);
        FcPatternGetInteger(match, FC_SLANT, 0, &m.slant);
    }
    FcPatternDestroy(match);
    if (!found)
        return false;
    cache.emplace(key, m);
    *out = m;
    return true;
}

// ---- Sizing ------------------------------------------------------------------------------------------

LONG Round26_6(FT_Pos v) {
    return static_cast<LONG>((v + 32) >> 6);
}

// Applies GDI's height and width rules to the face and fills the cell metrics.
bool SizeFaceLocked(FontObject* f) {
    FT_Face face = f->face;
    const LOGFONTA& lf = f->logfont;
    const double upem = face->units_per_EM > 0 ? face->units_per_EM : 2048.0;
    const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    double cellUnits = 0; // ascent + descent in font units
    double ascentUnits = 0;
    if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
        cellUnits = double(os2->usWinAscent) + os2->usWinDescent;
        ascentUnits = os2->usWinAscent;
    } else {
        cellUnits = double(face->ascender) - face->descender;
        ascentUnits = face->ascender;
    }
    if (cellUnits <= 0)
        cellUnits = upem, ascentUnits = upem * 0.8;

    double em = 0;
    if (lf.lfHeight < 0)
        em = -double(lf.lfHeight);
    else
        em = double(lf.lfHeight > 0 ? lf.lfHeight : kDefaultCellHeight) * upem / cellUnits;
    em = std::clamp(em, 1.0, kMaxEmPixels);

    double emWidth = em;
    if (lf.lfWidth != 0) {
        double average =
            os2 && os2->version != 0xFFFF && os2->xAvgCharWidth > 0 ? double(os2->xAvgCharWidth) : 0;
        if (average <= 0 && FT_Load_Char(face, 'x', FT_LOAD_NO_SCALE) == 0)
            average = double(face->glyph->advance.x);
        if (average > 0)
            emWidth = std::clamp(std::abs(double(lf.lfWidth)) * upem / average, 1.0, kMaxEmPixels);
    }
    if (FT_Set_Char_Size(face, FT_F26Dot6(std::lround(emWidth * 64)), FT_F26Dot6(std::lround(em * 64)), 72,
                         72) != 0)
        return false;
    // The cell comes from the unhinted scale, as GDI derives it from the font's ascent and descent.
    const double scale = em / upem;
    f->ascent = static_cast<LONG>(std::lround(ascentUnits * scale));
    f->descent = std::max<LONG>(0, static_cast<LONG>(std::lround(cellUnits * scale)) - f->ascent);
    f->underlinePosition =
        std::max<LONG>(1, static_cast<LONG>(std::lround(-face->underline_position * scale)));
    f->lineThickness = std::max<LONG>(1, static_cast<LONG>(std::lround(face->underline_thickness * scale)));
    f->advance.fill(-1);
    return true;
}

constexpr FT_Int32 kLoadFlags = FT_LOAD_DEFAULT | FT_LOAD_TARGET_MONO;

// Loads the glyph of character `c` into the face's slot, with any synthesised style applied.
bool LoadGlyphLocked(FontObject* f, unsigned char c) {
    FT_UInt index = FT_Get_Char_Index(f->face, CodePoint(c));
    if (FT_Load_Glyph(f->face, index, kLoadFlags) != 0)
        return false;
    if (f->slantGlyphs)
        FT_GlyphSlot_Oblique(f->face->glyph);
    if (f->emboldenGlyphs)
        FT_GlyphSlot_Embolden(f->face->glyph);
    return true;
}

int AdvanceLocked(FontObject* f, unsigned char c) {
    int& a = f->advance[c];
    if (a < 0)
        a = LoadGlyphLocked(f, c) ? std::max<LONG>(0, Round26_6(f->face->glyph->advance.x)) : 0;
    return a;
}

FontObject* CreateFontLocked(const LOGFONTA& lf) {
    if (!InitLocked())
        return nullptr;
    FontMatch m;
    if (!MatchLocked(lf, &m))
        return nullptr;
    auto font = std::make_unique<FontObject>();
    font->logfont = lf;
    font->file = m.file;
    if (FT_New_Face(g_library, m.file.c_str(), m.index, &font->face) != 0) {
        font->face = nullptr;
        return nullptr;
    }
    FT_Select_Charmap(font->face, FT_ENCODING_UNICODE);
    font->emboldenGlyphs = RequestedWeight(lf) >= FW_SEMIBOLD && m.weight < FC_WEIGHT_DEMIBOLD;
    font->slantGlyphs = lf.lfItalic && m.slant == FC_SLANT_ROMAN;
    if (!SizeFaceLocked(font.get()))
        return nullptr;
    return font.release();
}

// The default font of a new device context: GDI's bold 16-pixel-cell system font, here the default
// sans-serif family.
FontObject* StockFontLocked() {
    static FontObject* stock = nullptr;
    if (!stock) {
        LOGFONTA lf{};
        lf.lfHeight = kDefaultCellHeight;
        lf.lfWeight = FW_BOLD;
        lf.lfCharSet = ANSI_CHARSET;
        lf.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
        std::strcpy(lf.lfFaceName, "System");
        stock = CreateFontLocked(lf);
        if (stock) {
            stock->stock = true;
            g_live.insert(stock);
        }
    }
    return stock;
}

// The 1 × 1 monochrome bitmap a new device context holds.
BitmapObject* StockBitmapLocked() {
    static BitmapObject* stock = [] {
        auto* b = new BitmapObject;
        b->width = b->height = 1;
        b->stride = 4;
        b->bits.assign(4, 0);
        b->stock = true;
        g_live.insert(b);
        return b;
    }();
    return stock;
}

bool LiveLocked(const void* p) {
    return p && g_live.count(p) != 0;
}

// ---- Drawing -----------------------------------------------------------------------------------------

struct Clip {
    LONG left, top, right, bottom; // right and bottom exclusive

    Clip Intersect(const Clip& o) const {
        return {std::max(left, o.left), std::max(top, o.top), std::min(right, o.right),
                std::min(bottom, o.bottom)};
    }
    bool Contains(LONG x, LONG y) const { return x >= left && x < right && y >= top && y < bottom; }
};

// The value a colour takes in the bitmap: a palette index for 1 bit (the nearer of the two entries),
// else blue, green, red, 0.
DWORD PixelValue(const BitmapObject* b, COLORREF c) {
    if (b->bitCount == 1) {
        auto distance = [c](const RGBQUAD& q) {
            int dr = int(GetRValue(c)) - q.rgbRed, dg = int(GetGValue(c)) - q.rgbGreen,
                db = int(GetBValue(c)) - q.rgbBlue;
            return dr * dr + dg * dg + db * db;
        };
        return distance(b->palette[1]) < distance(b->palette[0]) ? 1u : 0u;
    }
    return DWORD(GetBValue(c)) | (DWORD(GetGValue(c)) << 8) | (DWORD(GetRValue(c)) << 16);
}

void PutPixel(BitmapObject* b, LONG x, LONG y, DWORD value) {
    BYTE* row = b->Row(y);
    if (b->bitCount == 1) {
        BYTE bit = BYTE(0x80u >> (x & 7));
        if (value)
            row[x >> 3] |= bit;
        else
            row[x >> 3] &= BYTE(~bit);
    } else {
        BYTE* p = row + std::size_t(x) * 4;
        p[0] = BYTE(value), p[1] = BYTE(value >> 8), p[2] = BYTE(value >> 16), p[3] = 0;
    }
}

void FillLocked(BitmapObject* b, const Clip& area, DWORD value) {
    for (LONG y = area.top; y < area.bottom; ++y)
        for (LONG x = area.left; x < area.right; ++x)
            PutPixel(b, x, y, value);
}

LONG TextWidthLocked(FontObject* f, LPCSTR text, UINT count, const INT* dx) {
    std::int64_t width = 0;
    for (UINT i = 0; i < count; ++i)
        width += dx ? dx[i] : AdvanceLocked(f, static_cast<unsigned char>(text[i]));
    return static_cast<LONG>(std::clamp<std::int64_t>(width, -0x7FFFFFFF, 0x7FFFFFFF));
}

BOOL TextOutLocked(GdiDeviceContext* dc, int x, int y, UINT options, const platform::gdi::Rect* rect,
                   LPCSTR text, UINT count, const INT* dx) {
    BitmapObject* b = dc->bitmap;
    FontObject* f = dc->font;
    if (!b || !f)
        return FALSE;
    // Beyond this nothing can reach a bitmap; keeps the arithmetic below far from overflow.
    constexpr int kFar = 1 << 24;
    x = std::clamp(x, -kFar, kFar);
    y = std::clamp(y, -kFar, kFar);
    Clip bounds{0, 0, b->width, b->height};
    Clip r = rect ? Clip{rect->left, rect->top, rect->right, rect->bottom} : bounds;
    if (rect && (options & ETO_OPAQUE))
        FillLocked(b, r.Intersect(bounds), PixelValue(b, dc->bkColour));
    Clip glyphClip = (rect && (options & ETO_CLIPPED)) ? r.Intersect(bounds) : bounds;
    if (count == 0 || !text)
        return TRUE;
    const LONG width = TextWidthLocked(f, text, count, dx);
    const LONG cell = f->ascent + f->descent;
    if (dc->bkMode == OPAQUE) {
        Clip box{x, y, static_cast<LONG>(std::min<std::int64_t>(std::int64_t(x) + width, 0x7FFFFFFF)),
                 y + cell};
        FillLocked(b, box.Intersect(glyphClip), PixelValue(b, dc->bkColour));
    }
    const DWORD ink = PixelValue(b, dc->textColour);
    const LONG baseline = y + f->ascent;
    std::int64_t pen = x;
    for (UINT i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int advance = dx ? dx[i] : AdvanceLocked(f, c);
        if (pen > glyphClip.right + 2 * kMaxEmPixels)
            break; // everything further lies outside
        if (LoadGlyphLocked(f, c) && FT_Render_Glyph(f->face->glyph, FT_RENDER_MODE_MONO) == 0) {
            const FT_Bitmap& g = f->face->glyph->bitmap;
            const LONG left = static_cast<LONG>(pen) + f->face->glyph->bitmap_left;
            const LONG top = baseline - f->face->glyph->bitmap_top;
            if (g.pixel_mode == FT_PIXEL_MODE_MONO) {
                for (unsigned int gy = 0; gy < g.rows; ++gy) {
                    const BYTE* src = g.buffer + std::ptrdiff_t(gy) * g.pitch;
                    for (unsigned int gx = 0; gx < g.width; ++gx) {
                        if (!(src[gx >> 3] & (0x80u >> (gx & 7))))
                            continue;
                        LONG px = left + LONG(gx), py = top + LONG(gy);
                        if (glyphClip.Contains(px, py))
                            PutPixel(b, px, py, ink);
                    }
                }
            }
        }
        pen += advance;
    }
    const LONG end = static_cast<LONG>(std::clamp<std::int64_t>(pen, -0x7FFFFFFF, 0x7FFFFFFF));
    auto rule = [&](LONG top) {
        FillLocked(b, Clip{x, top, end, top + f->lineThickness}.Intersect(glyphClip), ink);
    };
    if (f->logfont.lfUnderline)
        rule(baseline + f->underlinePosition - f->lineThickness / 2);
    if (f->logfont.lfStrikeOut)
        rule(baseline - f->ascent / 3);
    return TRUE;
}

} // namespace

// ---- Public calls ----------------------------------------------------------------------------------------

HFONT CreateFontIndirectA(const LOGFONTA* font) {
    if (!font)
        return nullptr;
    std::lock_guard lock(g_lock);
    FontObject* f = CreateFontLocked(*font);
    if (f)
        g_live.insert(f);
    return f;
}

BOOL DeleteObject(HGDIOBJ object) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(object) || object->stock || object->selections > 0)
        return FALSE;
    g_live.erase(object);
    delete object;
    return TRUE;
}

HDC CreateCompatibleDC(HDC) {
    std::lock_guard lock(g_lock);
    if (!InitLocked())
        return nullptr;
    FontObject* font = StockFontLocked();
    if (!font)
        return nullptr;
    auto* dc = new (std::nothrow) GdiDeviceContext;
    if (!dc)
        return nullptr;
    dc->font = font;
    dc->bitmap = StockBitmapLocked();
    font->selections++;
    dc->bitmap->selections++;
    g_live.insert(dc);
    return dc;
}

BOOL DeleteDC(HDC dc) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc))
        return FALSE;
    dc->font->selections--;
    dc->bitmap->selections--;
    g_live.erase(dc);
    delete dc;
    return TRUE;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc) || !LiveLocked(object))
        return nullptr;
    GdiObject* previous = nullptr;
    if (object->kind == GdiObject::Kind::Font) {
        previous = dc->font;
        dc->font = static_cast<FontObject*>(object);
    } else {
        previous = dc->bitmap;
        dc->bitmap = static_cast<BitmapObject*>(object);
    }
    previous->selections--;
    object->selections++;
    return previous;
}

COLORREF SetTextColor(HDC dc, COLORREF colour) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc))
        return CLR_INVALID;
    return std::exchange(dc->textColour, colour & 0xFFFFFF);
}

COLORREF SetBkColor(HDC dc, COLORREF colour) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc))
        return CLR_INVALID;
    return std::exchange(dc->bkColour, colour & 0xFFFFFF);
}

int SetBkMode(HDC dc, int mode) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc) || (mode != TRANSPARENT && mode != OPAQUE))
        return 0;
    return std::exchange(dc->bkMode, mode);
}

BOOL GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, SIZE* size) {
    if (!size || count < 0 || (count > 0 && !text))
        return FALSE;
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc))
        return FALSE;
    size->cx = TextWidthLocked(dc->font, text, static_cast<UINT>(count), nullptr);
    size->cy = dc->font->ascent + dc->font->descent;
    return TRUE;
}

HBITMAP CreateDIBSection(HDC, LONG width, LONG height, WORD bitCount, const RGBQUAD* palette, void** bits) {
    if (bits)
        *bits = nullptr;
    const LONG rows = height < 0 ? -static_cast<std::int64_t>(height) > kMaxDibSide ? 0 : -height : height;
    if ((bitCount != 1 && bitCount != 32) || width <= 0 || width > kMaxDibSide || rows <= 0 ||
        rows > kMaxDibSide)
        return nullptr;
    auto b = std::make_unique<BitmapObject>();
    b->width = width;
    b->height = rows;
    b->topDown = height < 0;
    b->bitCount = bitCount;
    b->stride = DibStride(width, bitCount);
    if (palette && bitCount == 1)
        b->palette[0] = palette[0], b->palette[1] = palette[1];
    try {
        b->bits.assign(std::size_t(b->stride) * std::size_t(rows), 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (bits)
        *bits = b->bits.data();
    std::lock_guard lock(g_lock);
    g_live.insert(b.get());
    return b.release();
}

int GetDIBits(HDC, HBITMAP bitmap, UINT start, UINT lines, void* bits) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(bitmap) || bitmap->kind != GdiObject::Kind::Bitmap || !bits)
        return 0;
    auto* b = static_cast<BitmapObject*>(bitmap);
    if (start >= UINT(b->height))
        return 0;
    UINT n = std::min(lines, UINT(b->height) - start);
    std::memcpy(bits, b->bits.data() + std::size_t(start) * b->stride, std::size_t(n) * b->stride);
    return static_cast<int>(n);
}

BOOL platform::gdi::ExtTextOut(HDC dc, int x, int y, UINT options, const Rect* rect, LPCSTR text, UINT count,
                               const INT* dx) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc))
        return FALSE;
    return TextOutLocked(dc, x, y, options, rect, text, count, dx);
}

BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int count) {
    if (count < 0)
        return FALSE;
    std::lock_guard lock(g_lock);
    if (!LiveLocked(dc))
        return FALSE;
    return TextOutLocked(dc, x, y, 0, nullptr, text, static_cast<UINT>(count), nullptr);
}

const char* platform::gdi::ResolvedFontFile(HFONT font) {
    std::lock_guard lock(g_lock);
    if (!LiveLocked(font) || font->kind != GdiObject::Kind::Font)
        return "";
    return static_cast<FontObject*>(font)->file.c_str();
}
