// The machine-readable picture tag: 9 × 6 solid 16 × 16 luma blocks in the top-left corner, a marker
// column and 48 data bits.
#include <algorithm>
#include <array>

#include "sim_m4v/m4v_encoder.h"

namespace simm4v {
namespace {

constexpr int kDataColumns = kTagColumns - 1; // column 0 is the marker column
constexpr int kTagBits = kDataColumns * kTagRows;
constexpr uint8_t kBlack = 16, kWhite = 235;
constexpr uint32_t kSyncPattern = 0xA; // the last four bits, 1010
// A block average below kZeroBelow reads as 0, above kOneAbove as 1; anything between is no tag.
// The limits hold for luma (16 / 235) and for RGB from it (0 / 255).
constexpr int kZeroBelow = 80, kOneAbove = 176;

// CRC-8 (polynomial x^8 + x^2 + x + 1) over the top `count` bits of `bits`, most significant first.
uint8_t Crc8(uint64_t bits, int count) {
    uint8_t crc = 0;
    for (int i = count - 1; i >= 0; --i) {
        bool in = ((bits >> i) & 1) != 0;
        bool top = (crc & 0x80) != 0;
        crc = static_cast<uint8_t>(crc << 1);
        if (in != top)
            crc ^= 0x07;
    }
    return crc;
}

// Bit 47 first: channel (4), value (32), CRC (8), sync (4).
uint64_t TagBits(int channel, uint32_t value) {
    uint64_t payload = (static_cast<uint64_t>(channel & 15) << 32) | value;
    return (payload << 12) | (static_cast<uint64_t>(Crc8(payload, 36)) << 4) | kSyncPattern;
}

bool DecodeTagBits(uint64_t bits, int* channel, uint32_t* value) {
    if ((bits & 15) != kSyncPattern)
        return false;
    uint64_t payload = bits >> 12;
    if (Crc8(payload, 36) != static_cast<uint8_t>(bits >> 4))
        return false;
    if (channel)
        *channel = static_cast<int>(payload >> 32);
    if (value)
        *value = static_cast<uint32_t>(payload);
    return true;
}

// Whether the block in (column, row) of the grid is white: the marker column alternates white and
// black from the top, the other columns carry `bits` from bit 47 on, row by row. The marker tells
// the block height apart: read with blocks half as high as drawn, it repeats each colour twice;
// read with blocks twice as high, each block straddles white and black and reads as neither.
bool BlockIsWhite(uint64_t bits, int column, int row) {
    if (column == 0)
        return row % 2 == 0;
    const int i = row * kDataColumns + column - 1;
    return ((bits >> (kTagBits - 1 - i)) & 1) != 0;
}

// Reads the grid with blocks `lines` high: the average of each block's inner half.
bool ReadGrid(const uint8_t* luma, std::ptrdiff_t stride, int lines, int* channel, uint32_t* value) {
    uint64_t bits = 0;
    const int margin = kTagBlockSize / 4, marginY = lines / 4;
    for (int row = 0; row < kTagRows; ++row)
        for (int column = 0; column < kTagColumns; ++column) {
            const int x0 = column * kTagBlockSize + margin, y0 = row * lines + marginY;
            int sum = 0, count = 0;
            for (int y = y0; y < y0 + lines / 2; ++y)
                for (int x = x0; x < x0 + kTagBlockSize / 2; ++x, ++count)
                    sum += luma[static_cast<std::ptrdiff_t>(y) * stride + x];
            const int average = sum / count;
            if (average >= kZeroBelow && average <= kOneAbove)
                return false;
            const bool white = average > kOneAbove;
            if (column == 0) {
                if (white != BlockIsWhite(0, 0, row))
                    return false;
            } else {
                bits = (bits << 1) | (white ? 1 : 0);
            }
        }
    return DecodeTagBits(bits, channel, value);
}

} // namespace

void DrawTag(simdraw::YuvImage& picture, int channel, uint32_t value) {
    const uint64_t bits = TagBits(channel, value);
    const int cw = picture.width / 2;
    for (int row = 0; row < kTagRows; ++row)
        for (int column = 0; column < kTagColumns; ++column) {
            const uint8_t luma = BlockIsWhite(bits, column, row) ? kWhite : kBlack;
            const int x0 = column * kTagBlockSize, y0 = row * kTagBlockSize;
            for (int y = y0; y < std::min(y0 + kTagBlockSize, picture.height); ++y)
                for (int x = x0; x < std::min(x0 + kTagBlockSize, picture.width); ++x) {
                    picture.y[static_cast<size_t>(y) * picture.width + x] = luma;
                    const size_t c = static_cast<size_t>(y / 2) * cw + x / 2;
                    picture.u[c] = 128;
                    picture.v[c] = 128;
                }
        }
}

void DrawTag(simdraw::RgbImage& picture, int channel, uint32_t value) {
    const uint64_t bits = TagBits(channel, value);
    for (int row = 0; row < kTagRows; ++row)
        for (int column = 0; column < kTagColumns; ++column) {
            const uint8_t level = BlockIsWhite(bits, column, row) ? 255 : 0;
            const int x0 = column * kTagBlockSize, y0 = row * kTagBlockSize;
            for (int y = y0; y < std::min(y0 + kTagBlockSize, picture.height); ++y)
                for (int x = x0; x < std::min(x0 + kTagBlockSize, picture.width); ++x)
                    picture.Put(x, y, {level, level, level});
        }
}

simdraw::YuvImage TaggedPicture(int width, int height, int channel, uint32_t value, const std::string& text) {
    simdraw::RgbImage rgb(width, height);
    std::vector<std::string> lines;
    if (!text.empty())
        lines.push_back(text);
    // The pattern moves with the value; kept small and positive for the painter's int arithmetic.
    simdraw::DrawTestPicture(rgb, channel, static_cast<int>(value & 0xFFFF), lines);
    simdraw::YuvImage yuv = simdraw::ToYuv420(rgb);
    DrawTag(yuv, channel, value);
    return yuv;
}

bool ReadTag(const uint8_t* luma, int width, int height, std::ptrdiff_t stride, int* channel,
             uint32_t* value) {
    if (!luma || width < kTagColumns * kTagBlockSize)
        return false;
    // Field pictures shown with doubled lines carry the blocks 32 lines high.
    for (int lines : {kTagBlockSize, 2 * kTagBlockSize})
        if (height >= kTagRows * lines && ReadGrid(luma, stride, lines, channel, value))
            return true;
    return false;
}

bool ReadTagPacked(const uint8_t* pixels, int width, int height, std::ptrdiff_t strideBytes,
                   PackedFormat format, bool bottomUp, int* channel, uint32_t* value) {
    if (!pixels || width <= 0 || height <= 0)
        return false;
    // Only the corner that can hold the tag is converted to a luma plane.
    const int w = std::min(width, kTagColumns * kTagBlockSize);
    const int h = std::min(height, kTagRows * 2 * kTagBlockSize);
    std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row =
            pixels + static_cast<std::ptrdiff_t>(bottomUp ? height - 1 - y : y) * strideBytes;
        for (int x = 0; x < w; ++x) {
            int v;
            if (format == PackedFormat::kBgrx) {
                const uint8_t* p = row + x * 4;
                v = (p[0] + 2 * p[1] + p[2] + 2) / 4; // the tag is grey: any luma weighting reads it
            } else {
                v = row[x * 2];
            }
            luma[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(v);
        }
    }
    return ReadTag(luma.data(), w, h, w, channel, value);
}

} // namespace simm4v
