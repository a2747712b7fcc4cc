// Channel decoders of recorder models 1 to 16. The channel-code area is a bit string of 22 rows of 184
// bits; each model marks the row that carries the code with a sync bit and hides a 4-bit camera number
// in bits of that row (or the rows after it).
#include "orma/layout.h"

namespace orma {
namespace {

constexpr int kRowBits = 184;
constexpr int kRows = 22;
constexpr int kAreaBits = static_cast<int>(d88m::kChannelCodeWords) * 16;

class BitString {
public:
    explicit BitString(const BYTE* area) : m_area(area) {}
    // Bit p: bit 7 − (p mod 8) of byte p / 8; bits past the area read as 0.
    int Bit(int p) const { return p >= 0 && p < kAreaBits ? (m_area[p / 8] >> (7 - p % 8)) & 1 : 0; }
    // `count` bits at base + step × j, the first the most significant.
    unsigned Series(int base, int step, int count) const {
        unsigned v = 0;
        for (int j = 0; j < count; ++j)
            v = v << 1 | static_cast<unsigned>(Bit(base + step * j));
        return v;
    }

private:
    const BYTE* m_area;
};

unsigned Reverse4(unsigned v) {
    return (v & 1) << 3 | (v & 2) << 1 | (v & 4) >> 1 | (v & 8) >> 3;
}

bool Sync(int model, const BitString& b, int r) {
    const int R = kRowBits * r;
    switch (model) {
    case 1:
        return b.Series(R + 14, 20, 8) == 0xA5;
    case 2:
    case 3:
    case 14:
    case 15:
        return b.Bit(R + 14);
    case 4:
        return b.Bit(R + 23);
    case 5:
        return b.Bit(R + 135);
    case 6:
        return b.Bit(R + 9);
    case 7:
        return b.Bit(R + 52);
    case 8:
        return b.Bit(R + 18);
    case 9:
        return b.Bit(R + 9) && b.Bit(R + kRowBits + 9);
    case 10:
        return b.Bit(R + 34);
    case 11:
    case 13:
        return b.Bit(R + 7);
    case 12:
        return b.Bit(R + 90);
    case 16:
        return r >= 10 && r <= 19 && b.Bit(R + 5);
    default:
        return false;
    }
}

int Value(int model, const BitString& b, int r) {
    const int R = kRowBits * r;
    switch (model) {
    case 1:
        return static_cast<int>(b.Series(R + kRowBits + 34, 20, 4));
    case 2:
        return static_cast<int>(b.Series(R + 129, 8, 4));
    case 3:
    case 14:
    case 15:
        return static_cast<int>(b.Series(R + 130, 12, 4));
    case 4:
        return static_cast<int>(Reverse4(~b.Series(R + 36, 6, 4) & 0xF));
    case 5:
        return static_cast<int>(~b.Series(R + 27, 27, 4) & 0xF);
    case 6:
        return static_cast<int>(b.Series(R + 85, 10, 4));
    case 7:
        return static_cast<int>(b.Series(R + 268, -8, 4));
    case 8: {
        unsigned v = b.Series(R + 18, 9, 8);
        return v >= 171 && v <= 173 ? static_cast<int>(v - 170) : 0;
    }
    case 9:
        return static_cast<int>(~b.Series(R + 465, 11, 4) & 0xF);
    case 10:
        return b.Bit(R + 138) << 3 | static_cast<int>(b.Series(R + 218, 52, 3));
    case 11:
        return b.Bit(R + 11) | b.Bit(R + 14) << 1 | b.Bit(R + 18) << 2 | b.Bit(R + 21) << 3;
    case 12:
        return static_cast<int>(b.Series(R + kRowBits + 90, kRowBits, 4));
    case 13:
        return static_cast<int>(b.Series(R + 1177, 14, 4));
    case 16:
        return static_cast<int>(b.Series(R + 113, 4, 4));
    default:
        return 0;
    }
}

} // namespace

int DecodeChannel(int model, const BYTE* area) {
    BitString bits(area);
    for (int r = 0; r < kRows; ++r)
        if (Sync(model, bits, r))
            return Value(model, bits, r);
    return 0;
}

} // namespace orma
