// Annex B variable-length codes of ISO/IEC 14496-2, decoded through direct lookup tables built
// once from the code lists below (written as the standard prints them, bit strings MSB first).
#include "vlc.h"

#include <mutex>
#include <vector>

namespace mpeg4 {
namespace {

struct CodeDef {
    int value;
    const char* bits;
};

struct TcoefDef {
    uint8_t last;
    uint8_t run;
    uint8_t level;
    const char* bits;
};

// Table B-16: intra TCOEF, (last, run, level) and code without the sign bit.
const TcoefDef kIntraTcoef[] = {
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

// Table B-17: inter TCOEF.
const TcoefDef kInterTcoef[] = {
    {0, 0, 1, "10"},
    {0, 0, 2, "1111"},
    {0, 0, 3, "010101"},
    {0, 0, 4, "0010111"},
    {0, 0, 5, "00011111"},
    {0, 0, 6, "000100101"},
    {0, 0, 7, "000100100"},
    {0, 0, 8, "0000100001"},
    {0, 0, 9, "0000100000"},
    {0, 0, 10, "00000000111"},
    {0, 0, 11, "00000000110"},
    {0, 0, 12, "00000100000"},
    {0, 1, 1, "110"},
    {0, 1, 2, "010100"},
    {0, 1, 3, "00011110"},
    {0, 1, 4, "0000001111"},
    {0, 1, 5, "00000100001"},
    {0, 1, 6, "000001010000"},
    {0, 2, 1, "1110"},
    {0, 2, 2, "00011101"},
    {0, 2, 3, "0000001110"},
    {0, 2, 4, "000001010001"},
    {0, 3, 1, "01101"},
    {0, 3, 2, "000100011"},
    {0, 3, 3, "0000001101"},
    {0, 4, 1, "01100"},
    {0, 4, 2, "000100010"},
    {0, 4, 3, "000001010010"},
    {0, 5, 1, "01011"},
    {0, 5, 2, "0000001100"},
    {0, 5, 3, "000001010011"},
    {0, 6, 1, "010011"},
    {0, 6, 2, "0000001011"},
    {0, 6, 3, "000001010100"},
    {0, 7, 1, "010010"},
    {0, 7, 2, "0000001010"},
    {0, 8, 1, "010001"},
    {0, 8, 2, "0000001001"},
    {0, 9, 1, "010000"},
    {0, 9, 2, "0000001000"},
    {0, 10, 1, "0010110"},
    {0, 10, 2, "000001010101"},
    {0, 11, 1, "0010101"},
    {0, 12, 1, "0010100"},
    {0, 13, 1, "00011100"},
    {0, 14, 1, "00011011"},
    {0, 15, 1, "000100001"},
    {0, 16, 1, "000100000"},
    {0, 17, 1, "000011111"},
    {0, 18, 1, "000011110"},
    {0, 19, 1, "000011101"},
    {0, 20, 1, "000011100"},
    {0, 21, 1, "000011011"},
    {0, 22, 1, "000011010"},
    {0, 23, 1, "00000100010"},
    {0, 24, 1, "00000100011"},
    {0, 25, 1, "000001010110"},
    {0, 26, 1, "000001010111"},
    {1, 0, 1, "0111"},
    {1, 0, 2, "000011001"},
    {1, 0, 3, "00000000101"},
    {1, 1, 1, "001111"},
    {1, 1, 2, "00000000100"},
    {1, 2, 1, "001110"},
    {1, 3, 1, "001101"},
    {1, 4, 1, "001100"},
    {1, 5, 1, "0010011"},
    {1, 6, 1, "0010010"},
    {1, 7, 1, "0010001"},
    {1, 8, 1, "0010000"},
    {1, 9, 1, "00011010"},
    {1, 10, 1, "00011001"},
    {1, 11, 1, "00011000"},
    {1, 12, 1, "00010111"},
    {1, 13, 1, "00010110"},
    {1, 14, 1, "00010101"},
    {1, 15, 1, "00010100"},
    {1, 16, 1, "00010011"},
    {1, 17, 1, "000011000"},
    {1, 18, 1, "000010111"},
    {1, 19, 1, "000010110"},
    {1, 20, 1, "000010101"},
    {1, 21, 1, "000010100"},
    {1, 22, 1, "000010011"},
    {1, 23, 1, "000010010"},
    {1, 24, 1, "000010001"},
    {1, 25, 1, "0000000111"},
    {1, 26, 1, "0000000110"},
    {1, 27, 1, "0000000101"},
    {1, 28, 1, "0000000100"},
    {1, 29, 1, "00000100100"},
    {1, 30, 1, "00000100101"},
    {1, 31, 1, "00000100110"},
    {1, 32, 1, "00000100111"},
    {1, 33, 1, "000001011000"},
    {1, 34, 1, "000001011001"},
    {1, 35, 1, "000001011010"},
    {1, 36, 1, "000001011011"},
    {1, 37, 1, "000001011100"},
    {1, 38, 1, "000001011101"},
    {1, 39, 1, "000001011110"},
    {1, 40, 1, "000001011111"},
};

constexpr const char* kTcoefEscape = "0000011";

// Table B-6: MCBPC for I-VOPs, value = mb_type * 4 + cbpc.
const CodeDef kMcbpcIntra[] = {
    {3 * 4 + 0, "1"},      {3 * 4 + 1, "001"},    {3 * 4 + 2, "010"},    {3 * 4 + 3, "011"},
    {4 * 4 + 0, "0001"},   {4 * 4 + 1, "000001"}, {4 * 4 + 2, "000010"}, {4 * 4 + 3, "000011"},
    {kMcbpcStuffing, "000000001"},
};

// Table B-7: MCBPC for P-VOPs.
const CodeDef kMcbpcInter[] = {
    {0 * 4 + 0, "1"},         {0 * 4 + 1, "0011"},      {0 * 4 + 2, "0010"},      {0 * 4 + 3, "000101"},
    {1 * 4 + 0, "011"},       {1 * 4 + 1, "0000111"},   {1 * 4 + 2, "0000110"},   {1 * 4 + 3, "000000101"},
    {2 * 4 + 0, "010"},       {2 * 4 + 1, "0000101"},   {2 * 4 + 2, "0000100"},   {2 * 4 + 3, "00000101"},
    {3 * 4 + 0, "00011"},     {3 * 4 + 1, "00000100"},  {3 * 4 + 2, "00000011"},  {3 * 4 + 3, "0000011"},
    {4 * 4 + 0, "000100"},    {4 * 4 + 1, "000000100"}, {4 * 4 + 2, "000000011"}, {4 * 4 + 3, "000000010"},
    {kMcbpcStuffing, "000000001"},
};

// Table B-8: CBPY (intra meaning).
const CodeDef kCbpy[] = {
    {0, "0011"},  {1, "00101"}, {2, "00100"},  {3, "1001"},  {4, "00011"}, {5, "0111"},
    {6, "000010"}, {7, "1011"}, {8, "00010"}, {9, "000011"}, {10, "0101"}, {11, "1010"},
    {12, "0100"}, {13, "1000"}, {14, "0110"}, {15, "11"},
};

// Table B-12: motion_code magnitude; a sign bit follows every code except 0.
const CodeDef kMotionCode[] = {
    {0, "1"},           {1, "01"},          {2, "001"},         {3, "0001"},
    {4, "000011"},      {5, "0000101"},     {6, "0000100"},     {7, "0000011"},
    {8, "000001011"},   {9, "000001010"},   {10, "000001001"},  {11, "0000010001"},
    {12, "0000010000"}, {13, "0000001111"}, {14, "0000001110"}, {15, "0000001101"},
    {16, "0000001100"}, {17, "0000001011"}, {18, "0000001010"}, {19, "0000001001"},
    {20, "0000001000"}, {21, "0000000111"}, {22, "0000000110"}, {23, "0000000101"},
    {24, "0000000100"}, {25, "00000000111"}, {26, "00000000110"}, {27, "00000000101"},
    {28, "00000000100"}, {29, "00000000011"}, {30, "00000000010"}, {31, "000000000011"},
    {32, "000000000010"},
};

// Table B-13: dct_dc_size_luminance.
const CodeDef kDcSizeLuma[] = {
    {0, "011"},        {1, "11"},          {2, "10"},           {3, "010"},         {4, "001"},
    {5, "0001"},       {6, "00001"},       {7, "000001"},       {8, "0000001"},     {9, "00000001"},
    {10, "000000001"}, {11, "0000000001"}, {12, "00000000001"},
};

// Table B-14: dct_dc_size_chrominance.
const CodeDef kDcSizeChroma[] = {
    {0, "11"},          {1, "10"},          {2, "01"},           {3, "001"},
    {4, "0001"},        {5, "00001"},       {6, "000001"},       {7, "0000001"},
    {8, "00000001"},    {9, "000000001"},   {10, "0000000001"},  {11, "00000000001"},
    {12, "000000000001"},
};

int Length(const char* bits) {
    int n = 0;
    while (bits[n])
        ++n;
    return n;
}

uint32_t Value(const char* bits) {
    uint32_t v = 0;
    for (int i = 0; bits[i]; ++i)
        v = (v << 1) | static_cast<uint32_t>(bits[i] - '0');
    return v;
}

// A direct lookup table indexed by the next `bits` bits of the stream.
struct Lookup {
    int bits = 0;
    std::vector<int16_t> value;
    std::vector<uint8_t> length;  // 0: no code starts with these bits

    void Build(int maxBits) {
        bits = maxBits;
        value.assign(size_t{1} << maxBits, 0);
        length.assign(size_t{1} << maxBits, 0);
    }
    void Add(const char* code, int v) {
        int n = Length(code);
        uint32_t first = Value(code) << (bits - n);
        uint32_t count = 1u << (bits - n);
        for (uint32_t i = 0; i < count; ++i) {
            value[first + i] = static_cast<int16_t>(v);
            length[first + i] = static_cast<uint8_t>(n);
        }
    }
    // Returns the value, or `invalid` without consuming anything when no code matches.
    int Decode(BitReader& br, int invalid) const {
        uint32_t peek = br.Peek(bits);
        uint8_t n = length[peek];
        if (n == 0)
            return invalid;
        br.Skip(n);
        return value[peek];
    }
};

struct Tables {
    Lookup mcbpcIntra, mcbpcInter, cbpy, motion, dcLuma, dcChroma;
    std::vector<TcoefEvent> tcoef[2];  // [intra], indexed by the next 12 bits
    uint8_t maxLevel[2][2][64] = {};   // [intra][last][run]
    uint8_t maxRun[2][2][64] = {};     // [intra][last][level]

    Tables() {
        auto fill = [](Lookup& l, int maxBits, const CodeDef* defs, size_t n) {
            l.Build(maxBits);
            for (size_t i = 0; i < n; ++i)
                l.Add(defs[i].bits, defs[i].value);
        };
        fill(mcbpcIntra, 9, kMcbpcIntra, std::size(kMcbpcIntra));
        fill(mcbpcInter, 9, kMcbpcInter, std::size(kMcbpcInter));
        fill(cbpy, 6, kCbpy, std::size(kCbpy));
        fill(motion, 12, kMotionCode, std::size(kMotionCode));
        fill(dcLuma, 11, kDcSizeLuma, std::size(kDcSizeLuma));
        fill(dcChroma, 12, kDcSizeChroma, std::size(kDcSizeChroma));
        BuildTcoef(1, kIntraTcoef, std::size(kIntraTcoef));
        BuildTcoef(0, kInterTcoef, std::size(kInterTcoef));
    }

    void BuildTcoef(int intra, const TcoefDef* defs, size_t n) {
        std::vector<TcoefEvent>& t = tcoef[intra];
        t.assign(4096, TcoefEvent{0, 0, 0, 0});
        auto add = [&t](const char* code, TcoefEvent e) {
            int len = Length(code);
            uint32_t first = Value(code) << (12 - len);
            for (uint32_t i = 0; i < (1u << (12 - len)); ++i)
                t[first + i] = e;
        };
        for (size_t i = 0; i < n; ++i) {
            const TcoefDef& d = defs[i];
            add(d.bits, TcoefEvent{d.last, d.run, d.level, static_cast<uint8_t>(Length(d.bits))});
            if (d.level > maxLevel[intra][d.last][d.run])
                maxLevel[intra][d.last][d.run] = d.level;
            if (d.run > maxRun[intra][d.last][d.level])
                maxRun[intra][d.last][d.level] = d.run;
        }
        add(kTcoefEscape, TcoefEvent{0, kEscapeRun, 0, static_cast<uint8_t>(Length(kTcoefEscape))});
    }
};

// Built before main(); nothing decodes during static initialisation.
const Tables kTables;

inline const Tables& GetTables() { return kTables; }

}  // namespace

int DecodeMcbpcIntra(BitReader& br) { return GetTables().mcbpcIntra.Decode(br, -1); }
int DecodeMcbpcInter(BitReader& br) { return GetTables().mcbpcInter.Decode(br, -1); }
int DecodeCbpy(BitReader& br) { return GetTables().cbpy.Decode(br, -1); }
int DecodeDcSizeLuma(BitReader& br) { return GetTables().dcLuma.Decode(br, -1); }
int DecodeDcSizeChroma(BitReader& br) { return GetTables().dcChroma.Decode(br, -1); }

int DecodeMotionCode(BitReader& br) {
    int m = GetTables().motion.Decode(br, kInvalidMotionCode);
    if (m == kInvalidMotionCode || m == 0)
        return m;
    return br.Bit() ? -m : m;
}

TcoefEvent DecodeTcoef(BitReader& br, bool intra) {
    const TcoefEvent& e = GetTables().tcoef[intra ? 1 : 0][br.Peek(12)];
    br.Skip(e.length);
    return e;
}

int TcoefMaxLevel(bool intra, int last, int run) {
    return run < 64 ? GetTables().maxLevel[intra ? 1 : 0][last][run] : 0;
}

int TcoefMaxRun(bool intra, int last, int level) {
    return level < 64 ? GetTables().maxRun[intra ? 1 : 0][last][level] : 0;
}

// 7.3.1: zigzag scan.
const uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// 7.3.1: alternate-horizontal scan.
const uint8_t kAlternateHorizontal[64] = {
    0,  1,  2,  3,  8,  9,  16, 17, 10, 11, 4,  5,  6,  7,  15, 14,
    13, 12, 19, 18, 24, 25, 32, 33, 26, 27, 20, 21, 22, 23, 28, 29,
    30, 31, 34, 35, 40, 41, 48, 49, 42, 43, 36, 37, 38, 39, 44, 45,
    46, 47, 50, 51, 56, 57, 58, 59, 52, 53, 54, 55, 60, 61, 62, 63,
};

// 7.3.1: alternate-vertical scan.
const uint8_t kAlternateVertical[64] = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49,
    41, 33, 26, 18, 3,  11, 4,  12, 19, 27, 34, 42, 50, 58, 35, 43,
    51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44, 52, 60, 37, 45,
    53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63,
};

}  // namespace mpeg4
