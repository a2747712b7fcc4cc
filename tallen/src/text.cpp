#include "tallen/text.h"

#include <cstdio>
#include <ctime>

#include "platform/bytes.h"

namespace tallen {
namespace {

// Codes 33 … 126, twenty row masks each, the bottom row first.
constexpr std::uint32_t kGlyphs[94][kGlyphHeight] = {
#include "font13x20.inc"
};

// Up to `n` bytes of `p` as text, ending at the first NUL.
std::string Field(const BYTE* p, std::size_t n) {
    std::size_t len = 0;
    while (len < n && p[len])
        ++len;
    return std::string(reinterpret_cast<const char*>(p), len);
}

template <class... Args> std::string Print(const char* format, Args... args) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

// The camera title of `channel` in a 'KLTO' or 'FABL' record.
std::string CameraTitle(const BYTE* r, int channel) {
    const std::size_t at = channel == 6   ? 174
                           : channel == 7 ? 186
                                          : 58 + 12 * static_cast<std::size_t>(channel % 6);
    return Field(r + at, 12);
}

constexpr std::uint32_t kTagSample = 0x311F42C1, kTagZube = 0x5A554245, kTagKlto = 0x4B4C544F,
                        kTagFabl = 0x4641424C, kTagWeng = 0x57454E47;

} // namespace

std::uint32_t GlyphRow(char c, int row) {
    const int code = static_cast<unsigned char>(c);
    if (code < 33 || code > 126 || row < 0 || row >= kGlyphHeight)
        return 0xFFFFFFFFu;
    return kGlyphs[code - 33][row];
}

void DrawLine(const Picture& picture, const TextLine& line) {
    if (!picture.data || picture.rowBytes < 4 || picture.rows <= 0)
        return;
    const std::int64_t width = picture.rowBytes / 4;
    const std::size_t count = std::min(line.text.size(), kMaxLineChars);
    for (std::size_t i = 0; i < count; ++i) {
        const char c = line.text[i];
        const std::int64_t left = line.x + std::int64_t(kGlyphWidth) * static_cast<std::int64_t>(i);
        if (left >= width)
            break;
        for (int r = 0; r < kGlyphHeight; ++r) {
            std::int64_t row = std::int64_t(line.y) + r;
            if (line.interlace)
                row += row % 2 == 0 ? 1 : -1;
            if (row < 0 || row >= picture.rows)
                continue;
            // Buffer rows run up a bottom-up picture and down a top-down one.
            const std::uint32_t mask = GlyphRow(c, picture.topDown ? kGlyphHeight - 1 - r : r);
            BYTE* out = picture.data + row * picture.rowBytes;
            for (int j = 0; j < kGlyphWidth; ++j) {
                const std::int64_t x = left + j;
                if (x >= 0 && x < width && !((mask >> (31 - j)) & 1u))
                    platform::WriteLE32(out + x * 4, line.colour);
            }
        }
    }
}

std::string FormatTime(std::uint32_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return Print("%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                 tm.tm_min, tm.tm_sec);
}

RecordTexts ParseRecord(const BYTE* r, int channel) {
    using platform::ReadLE16;
    using platform::ReadLE32;
    RecordTexts out;
    auto set = [&](int k, std::string text) {
        out.text[static_cast<std::size_t>(k)] = std::move(text);
        out.has[static_cast<std::size_t>(k)] = true;
    };
    const std::uint32_t head = ReadLE32(r);
    if (head == kTagSample || head == kTagZube) {
        set(0, FormatTime(ReadLE32(r + 4)));
        set(4, Field(r + 20, head == kTagZube ? 4 : 12));
    } else if (ReadLE32(r + 22) == kTagKlto) {
        set(0, Print("%d.%dV  %s", r[4], r[5], FormatTime(ReadLE32(r + 26)).c_str()));
        set(1, Field(r + 34, 23) + Field(r + 17, 5));
        std::string flags = (r[0] & 1) ? "LT" : "  ";
        flags += (r[0] & 2) ? " STP" : "    ";
        flags += (r[0] & 4) ? " BRK" : "    ";
        flags += (r[0] & 8) ? " WRN" : "    ";
        flags += (r[0] & 16) ? " RT" : "   ";
        const int longitude = r[10] * 128 + r[11];
        if (r[6] != 0 && longitude < 180) {
            set(2, Print("%s %dMPH", flags.c_str(), r[15] * 128 + r[16]));
            set(3, Print("LAT %d%c%d%c%d%c%c LONG %d%c%d%c%d%c%c", r[6], 'd', r[7], '\'', r[8], '"', r[9],
                         longitude, 'd', r[12], '\'', r[13], '"', r[14]));
        } else {
            set(2, Print("%s %dMPH", flags.c_str(), r[2] * 100 + r[3]));
        }
        set(4, CameraTitle(r, channel));
    } else if (ReadLE32(r + 22) == kTagFabl) {
        set(0, CameraTitle(r, channel) + " " + FormatTime(ReadLE32(r + 26)));
        set(4, Field(r + 34, 20));
    } else if (ReadLE32(r + 44) == kTagWeng) {
        const std::string time = FormatTime(ReadLE32(r + 48));
        set(0, r[0] ? Print("%c %s", r[0], time.c_str()) : time);
        const bool position = r[2] || r[3] || r[4] || r[5] || r[7] || r[8] || r[9] || r[10] ||
                              ReadLE16(r + 11) || ReadLE16(r + 13) || ReadLE16(r + 15) || ReadLE16(r + 17);
        if (position) {
            const std::int64_t m =
                std::int64_t(ReadLE16(r + 11)) * 185200 + std::int64_t(ReadLE16(r + 13)) * 1852;
            set(2, Print("%d.%dKPH  DIR %d%c%d%c", static_cast<int>(m / 100000),
                         static_cast<int>(m / 1000 % 100), ReadLE16(r + 15), 'd', ReadLE16(r + 17), '\''));
            set(3, Print("LAT %d%c%d.%d%c%c LONG %d%c%d.%d%c%c", r[2], 'd', r[3], r[4], '\'', r[1], r[7], 'd',
                         r[8], r[9], '\'', r[6]));
        }
        set(4, Field(r + 52, 12));
    }
    return out;
}

} // namespace tallen
