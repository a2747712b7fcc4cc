// Annex B code lists, written as the standard prints them (bit strings, most significant bit first)
// and turned into direct lookups once.
#include "vlc_tables.h"

#include <array>
#include <cstddef>

namespace simm4v {
namespace {

struct TcoefDef {
    uint8_t last, run, level;
    const char* bits;
};

// Table B-16: intra TCOEF (last, run, level), code without its trailing sign bit.
constexpr TcoefDef kIntraTcoef[] = {
    {0, 0, 1, "10"},
    {0, 0, 2, "110"},
    {0, 0, 3, "1111"},
    {0, 0, 4, "01101"},
    {0, 0, 5, "01100"},
    {0, 0, 6, "010101"},
    {0, 0, 7, "010011"},
    {0, 0, 8, "010010"},
    {0, 0, 9, "0010111"},
    {0, 0, 10, "00011111"},
    {0, 0, 11, "00011110"},
    {0, 0, 12, "00011101"},
    {0, 0, 13, "000100101"},
    {0, 0, 14, "000100100"},
    {0, 0, 15, "000100011"},
    {0, 0, 16, "000100001"},
    {0, 0, 17, "0000100001"},
    {0, 0, 18, "0000100000"},
    {0, 0, 19, "0000001111"},
    {0, 0, 20, "0000001110"},
    {0, 0, 21, "00000000111"},
    {0, 0, 22, "00000000110"},
    {0, 0, 23, "00000100000"},
    {0, 0, 24, "00000100001"},
    {0, 0, 25, "000001010000"},
    {0, 0, 26, "000001010001"},
    {0, 0, 27, "000001010010"},
    {0, 1, 1, "1110"},
    {0, 1, 2, "010100"},
    {0, 1, 3, "0010110"},
    {0, 1, 4, "00011100"},
    {0, 1, 5, "000100000"},
    {0, 1, 6, "000011111"},
    {0, 1, 7, "0000001101"},
    {0, 1, 8, "00000100010"},
    {0, 1, 9, "000001010011"},
    {0, 1, 10, "000001010101"},
    {0, 2, 1, "01011"},
    {0, 2, 2, "0010101"},
    {0, 2, 3, "000011110"},
    {0, 2, 4, "0000001100"},
    {0, 2, 5, "000001010110"},
    {0, 3, 1, "010001"},
    {0, 3, 2, "00011011"},
    {0, 3, 3, "000011101"},
    {0, 3, 4, "0000001011"},
    {0, 4, 1, "010000"},
    {0, 4, 2, "000100010"},
    {0, 4, 3, "0000001010"},
    {0, 5, 1, "001101"},
    {0, 5, 2, "000011100"},
    {0, 5, 3, "0000001000"},
    {0, 6, 1, "0010010"},
    {0, 6, 2, "000011011"},
    {0, 6, 3, "000001010100"},
    {0, 7, 1, "0010100"},
    {0, 7, 2, "000011010"},
    {0, 7, 3, "000001010111"},
    {0, 8, 1, "00011001"},
    {0, 8, 2, "0000001001"},
    {0, 9, 1, "00011000"},
    {0, 9, 2, "00000100011"},
    {0, 10, 1, "00010111"},
    {0, 11, 1, "000011001"},
    {0, 12, 1, "000011000"},
    {0, 13, 1, "0000000111"},
    {0, 14, 1, "000001011000"},
    {1, 0, 1, "0111"},
    {1, 0, 2, "001100"},
    {1, 0, 3, "00010110"},
    {1, 0, 4, "000010111"},
    {1, 0, 5, "0000000110"},
    {1, 0, 6, "00000000101"},
    {1, 0, 7, "00000000100"},
    {1, 0, 8, "000001011001"},
    {1, 1, 1, "001111"},
    {1, 1, 2, "000010110"},
    {1, 1, 3, "0000000101"},
    {1, 2, 1, "001110"},
    {1, 2, 2, "0000000100"},
    {1, 3, 1, "0010001"},
    {1, 3, 2, "00000100100"},
    {1, 4, 1, "0010000"},
    {1, 4, 2, "00000100101"},
    {1, 5, 1, "0010011"},
    {1, 5, 2, "000001011010"},
    {1, 6, 1, "00010101"},
    {1, 6, 2, "000001011011"},
    {1, 7, 1, "00010100"},
    {1, 8, 1, "00010011"},
    {1, 9, 1, "00011010"},
    {1, 10, 1, "000010101"},
    {1, 11, 1, "000010100"},
    {1, 12, 1, "000010011"},
    {1, 13, 1, "000010010"},
    {1, 14, 1, "000010001"},
    {1, 15, 1, "00000100110"},
    {1, 16, 1, "00000100111"},
    {1, 17, 1, "000001011100"},
    {1, 18, 1, "000001011101"},
    {1, 19, 1, "000001011110"},
    {1, 20, 1, "000001011111"},
};

// Table B-6 (mb_type 3), Table B-8 (intra), Tables B-13 and B-14.
constexpr const char* kIntraMcbpc[4] = {"1", "001", "010", "011"};
constexpr const char* kIntraCbpy[16] = {"0011",  "00101",  "00100", "1001", "00011", "0111", "000010", "1011",
                                        "00010", "000011", "0101",  "1010", "0100",  "1000", "0110",   "11"};
constexpr const char* kDcSizeLuma[13] = {"011",       "11",         "10",         "010",     "001",
                                         "0001",      "00001",      "000001",     "0000001", "00000001",
                                         "000000001", "0000000001", "00000000001"};
constexpr const char* kDcSizeChroma[13] = {
    "11",      "10",       "01",        "001",        "0001",        "00001",       "000001",
    "0000001", "00000001", "000000001", "0000000001", "00000000001", "000000000001"};

constexpr Code ToCode(const char* s) {
    Code c{0, 0};
    for (; *s; ++s, ++c.length)
        c.bits = (c.bits << 1) | static_cast<uint32_t>(*s - '0');
    return c;
}

constexpr int kMaxRun = 64;
constexpr int kMaxLevel = 28;

struct Tables {
    Code tcoef[2][kMaxRun][kMaxLevel] = {};
    int maxLevel[2][kMaxRun] = {};
    int maxRun[2][kMaxLevel] = {};

    constexpr Tables() {
        for (const TcoefDef& d : kIntraTcoef) {
            tcoef[d.last][d.run][d.level] = ToCode(d.bits);
            if (d.level > maxLevel[d.last][d.run])
                maxLevel[d.last][d.run] = d.level;
            if (d.run > maxRun[d.last][d.level])
                maxRun[d.last][d.level] = d.run;
        }
    }
};

constexpr Tables kTables;

} // namespace

Code IntraMcbpc(int cbpc) {
    return ToCode(kIntraMcbpc[cbpc & 3]);
}

Code IntraCbpy(int cbpy) {
    return ToCode(kIntraCbpy[cbpy & 15]);
}

Code DcSize(bool luma, int size) {
    if (size < 0 || size > 12)
        return {0, 0};
    return ToCode(luma ? kDcSizeLuma[size] : kDcSizeChroma[size]);
}

Code IntraTcoef(int last, int run, int level) {
    if (last < 0 || last > 1 || run < 0 || run >= kMaxRun || level < 1 || level >= kMaxLevel)
        return {0, 0};
    return kTables.tcoef[last][run][level];
}

int IntraTcoefMaxLevel(int last, int run) {
    return (last == 0 || last == 1) && run >= 0 && run < kMaxRun ? kTables.maxLevel[last][run] : 0;
}

int IntraTcoefMaxRun(int last, int level) {
    // RMAX is only asked for levels with codes; a level beyond the table has none.
    return (last == 0 || last == 1) && level >= 1 && level < kMaxLevel ? kTables.maxRun[last][level] : 0;
}

} // namespace simm4v
