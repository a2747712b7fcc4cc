// Annex B variable-length codes of ISO/IEC 14496-2, decoded through direct lookup tables built
// once from the code lists of vlc_codes.cpp.
#include "vlc.h"

#include "mpeg4/vlc_codes.h"

#include <mutex>
#include <vector>

namespace mpeg4 {
namespace {

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

// The longest motion code magnitude, without its sign bit.
constexpr int kMotionBits = 12;

// A direct lookup table indexed by the next `bits` bits of the stream.
struct Lookup {
    int bits = 0;
    std::vector<int16_t> value;
    std::vector<uint8_t> length; // 0: no code starts with these bits

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
    std::vector<TcoefEvent> tcoef[2]; // [intra], indexed by the next 12 bits
    uint8_t maxLevel[2][2][64] = {};  // [intra][last][run]
    uint8_t maxRun[2][2][64] = {};    // [intra][last][level]

    Tables() {
        auto fill = [](Lookup& l, int maxBits, std::span<const codes::Code> list) {
            l.Build(maxBits);
            for (const codes::Code& c : list)
                l.Add(c.bits, c.value);
        };
        fill(mcbpcIntra, 9, codes::McbpcIntra());
        fill(mcbpcInter, 9, codes::McbpcInter());
        fill(cbpy, 6, codes::Cbpy());
        fill(motion, kMotionBits, codes::MotionCode());
        fill(dcLuma, 11, codes::DcSizeLuma());
        fill(dcChroma, 12, codes::DcSizeChroma());
        BuildTcoef(1, codes::IntraTcoef());
        BuildTcoef(0, codes::InterTcoef());
    }

    void BuildTcoef(int intra, std::span<const codes::Tcoef> list) {
        std::vector<TcoefEvent>& t = tcoef[intra];
        t.assign(4096, TcoefEvent{0, 0, 0, 0});
        auto add = [&t](const char* code, TcoefEvent e) {
            int len = Length(code);
            uint32_t first = Value(code) << (12 - len);
            for (uint32_t i = 0; i < (1u << (12 - len)); ++i)
                t[first + i] = e;
        };
        for (const codes::Tcoef& d : list) {
            add(d.bits, TcoefEvent{d.last, d.run, d.level, static_cast<uint8_t>(Length(d.bits))});
            if (d.level > maxLevel[intra][d.last][d.run])
                maxLevel[intra][d.last][d.run] = d.level;
            if (d.run > maxRun[intra][d.last][d.level])
                maxRun[intra][d.last][d.level] = d.run;
        }
        add(codes::kTcoefEscape,
            TcoefEvent{0, kEscapeRun, 0, static_cast<uint8_t>(Length(codes::kTcoefEscape))});
    }
};

// Built before main(); nothing decodes during static initialisation.
const Tables kTables;

inline const Tables& GetTables() {
    return kTables;
}

} // namespace

int DecodeMcbpcIntra(BitReader& br) {
    return GetTables().mcbpcIntra.Decode(br, -1);
}
int DecodeMcbpcInter(BitReader& br) {
    return GetTables().mcbpcInter.Decode(br, -1);
}
int DecodeCbpy(BitReader& br) {
    return GetTables().cbpy.Decode(br, -1);
}
int DecodeDcSizeLuma(BitReader& br) {
    return GetTables().dcLuma.Decode(br, -1);
}
int DecodeDcSizeChroma(BitReader& br) {
    return GetTables().dcChroma.Decode(br, -1);
}

int DecodeMotionCode(BitReader& br) {
    // One peek holds the magnitude code and the sign bit behind it (past the end of the data both
    // read as zero bits, as two reads would).
    const Lookup& motion = GetTables().motion;
    const uint32_t window = br.Peek(kMotionBits + 1);
    const uint32_t index = window >> 1;
    const int n = motion.length[index];
    if (n == 0)
        return kInvalidMotionCode;
    const int m = motion.value[index];
    if (m == 0) {
        br.Skip(n);
        return 0;
    }
    br.Skip(n + 1);
    return (window >> (kMotionBits - n)) & 1 ? -m : m;
}

TcoefEvent DecodeTcoef(BitReader& br, bool intra) {
    const TcoefEvent& e = GetTables().tcoef[intra ? 1 : 0][br.Peek(12)];
    br.Skip(e.length);
    return e;
}

const TcoefEvent* TcoefTable(bool intra) {
    return GetTables().tcoef[intra ? 1 : 0].data();
}

int TcoefMaxLevel(bool intra, int last, int run) {
    return run < 64 ? GetTables().maxLevel[intra ? 1 : 0][last][run] : 0;
}

int TcoefMaxRun(bool intra, int last, int level) {
    return level < 64 ? GetTables().maxRun[intra ? 1 : 0][last][level] : 0;
}

// 7.3.1: zigzag scan.
const uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// 7.3.1: alternate-horizontal scan.
const uint8_t kAlternateHorizontal[64] = {
    0,  1,  2,  3,  8,  9,  16, 17, 10, 11, 4,  5,  6,  7,  15, 14, 13, 12, 19, 18, 24, 25,
    32, 33, 26, 27, 20, 21, 22, 23, 28, 29, 30, 31, 34, 35, 40, 41, 48, 49, 42, 43, 36, 37,
    38, 39, 44, 45, 46, 47, 50, 51, 56, 57, 58, 59, 52, 53, 54, 55, 60, 61, 62, 63,
};

// 7.3.1: alternate-vertical scan.
const uint8_t kAlternateVertical[64] = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49, 41, 33, 26, 18, 3,  11,
    4,  12, 19, 27, 34, 42, 50, 58, 35, 43, 51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44,
    52, 60, 37, 45, 53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63,
};

} // namespace mpeg4
