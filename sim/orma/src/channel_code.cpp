// The channel-code area of recorder models 1 to 16: 22 rows of 184 bits in which each model hides the
// camera number behind its own sync bit. The area lies on disk as big-endian 16-bit words; the bit
// string below is the one read after those words are put in host order, most significant bit first.
#include <cstring>

#include "sim_orma/orma_sim.h"

namespace simorma {
namespace {

constexpr int kAreaBytes = 644;
constexpr int kRowBits = 184;

struct Bits {
    std::uint8_t bytes[kAreaBytes] = {};
    void Set(int p, int v) {
        if (p < 0 || p >= kAreaBytes * 8)
            return;
        std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (p % 8));
        if (v)
            bytes[p / 8] |= mask;
        else
            bytes[p / 8] &= static_cast<std::uint8_t>(~mask);
    }
    // Writes `value`'s `count` bits, most significant first, at the given positions.
    void Put(unsigned value, int count, const int* positions) {
        for (int j = 0; j < count; ++j)
            Set(positions[j], (value >> (count - 1 - j)) & 1);
    }
};

unsigned Reverse4(unsigned v) {
    return (v & 1) << 3 | (v & 2) << 1 | (v & 4) >> 1 | (v & 8) >> 3;
}

} // namespace

void EncodeChannelCode(int model, int channel, std::uint8_t* area) {
    Bits b;
    const unsigned ch = static_cast<unsigned>(channel) & 0xF;
    const int r = model == 16 ? 10 : 2; // the row that carries the code; the rows before stay empty
    const int R = kRowBits * r;
    int pos[8];
    auto series = [&](int base, int step, int n) {
        for (int j = 0; j < n; ++j)
            pos[j] = base + step * j;
    };
    switch (model) {
    case 1:
        series(R + 14, 20, 8);
        b.Put(0xA5, 8, pos);
        series(R + kRowBits + 34, 20, 4);
        b.Put(ch, 4, pos);
        break;
    case 2:
        b.Set(R + 14, 1);
        series(R + 129, 8, 4);
        b.Put(ch, 4, pos);
        break;
    case 3:
    case 14:
    case 15:
        b.Set(R + 14, 1);
        series(R + 130, 12, 4);
        b.Put(ch, 4, pos);
        break;
    case 4:
        b.Set(R + 23, 1);
        series(R + 36, 6, 4);
        b.Put(~Reverse4(ch) & 0xF, 4, pos);
        break;
    case 5:
        series(R + 27, 27, 5);
        b.Put((~ch & 0xF) << 1 | 1, 5, pos);
        break;
    case 6:
        b.Set(R + 9, 1);
        series(R + 85, 10, 4);
        b.Put(ch, 4, pos);
        break;
    case 7:
        b.Set(R + 52, 1);
        series(R + 268, -8, 4);
        b.Put(ch, 4, pos);
        break;
    case 8:
        series(R + 18, 9, 8);
        b.Put(ch >= 1 && ch <= 3 ? 170 + ch : 0x80, 8, pos);
        break;
    case 9:
        b.Set(R + 9, 1);
        b.Set(R + kRowBits + 9, 1);
        series(R + 465, 11, 4);
        b.Put(~ch & 0xF, 4, pos);
        break;
    case 10:
        b.Set(R + 34, 1);
        pos[0] = R + 138;
        pos[1] = R + 218;
        pos[2] = R + 270;
        pos[3] = R + 322;
        b.Put(ch, 4, pos);
        break;
    case 11: {
        b.Set(R + 7, 1);
        const int lsbFirst[4] = {R + 11, R + 14, R + 18, R + 21};
        for (int j = 0; j < 4; ++j)
            b.Set(lsbFirst[j], (ch >> j) & 1);
        break;
    }
    case 12:
        b.Set(R + 90, 1);
        series(R + kRowBits + 90, kRowBits, 4);
        b.Put(ch, 4, pos);
        break;
    case 13:
        b.Set(R + 7, 1);
        series(R + 1177, 14, 4);
        b.Put(ch, 4, pos);
        break;
    case 16:
        b.Set(R + 5, 1);
        series(R + 113, 4, 4);
        b.Put(ch, 4, pos);
        break;
    default:
        break;
    }
    // On disk each 16-bit word is big-endian: swap every byte pair of the host-order bit string.
    for (int i = 0; i < kAreaBytes; i += 2) {
        area[i] = b.bytes[i + 1];
        area[i + 1] = b.bytes[i];
    }
}

} // namespace simorma
