// What the double-height filter draws: its 13 × 20 glyphs, the text lines it keeps, and the texts it
// reads from the status record behind a picture.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace tallen {

constexpr int kGlyphWidth = 13;
constexpr int kGlyphHeight = 20;
constexpr std::size_t kMaxLineChars = 255;

struct TextLine {
    std::string text; // at most 255 characters
    int x = 0, y = 0; // left edge; row from the start of the picture buffer
    std::uint32_t colour = 0;
    bool interlace = false;
};

// Row mask `row` (0 = the glyph's bottom row) of character `c`, ink where a bit is 0, column 0 in bit 31;
// all ones (no ink) outside codes 33 … 126.
std::uint32_t GlyphRow(char c, int row);

// A 32-bit picture buffer: `rows` rows of `rowBytes` bytes; `topDown` when buffer row 0 is the top row.
struct Picture {
    BYTE* data = nullptr;
    std::int64_t rowBytes = 0;
    int rows = 0;
    bool topDown = false;
};

// Draws `line` character by character, 13 pixels apart, glyph row i at buffer row y + i (rows swapped
// in pairs with interlace). The glyphs read upright in a bottom-up picture, and in a top-down one too;
// whatever falls outside the picture is left out.
void DrawLine(const Picture& picture, const TextLine& line);

// The texts of the status record `record` (553 bytes) for camera title `channel`: lines 0 … 4, with
// `has[k]` telling which the record produced.
struct RecordTexts {
    std::array<std::string, 5> text;
    std::array<bool, 5> has{};
};
RecordTexts ParseRecord(const BYTE* record, int channel);

// "YYYY/MM/DD hh:mm:ss" of seconds since 1970, in UTC.
std::string FormatTime(std::uint32_t seconds);

} // namespace tallen
