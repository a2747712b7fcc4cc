// The Annex B code books of the encoder, built once from the code lists the decoder core reads
// (mpeg4/vlc_codes.h), so both sides use one copy of the tables.
#include "vlc_tables.h"

#include "mpeg4/vlc_codes.h"

#include <array>
#include <cstddef>

namespace simm4v {
namespace {

constexpr Code ToCode(const char* s) {
    Code c{0, 0};
    for (; *s; ++s, ++c.length)
        c.bits = (c.bits << 1) | static_cast<uint32_t>(*s - '0');
    return c;
}

constexpr int kMaxRun = 64;
constexpr int kMaxLevel = 28;

// Code books indexed by what the encoder has in hand, built once from the decoder's code lists.
struct Tables {
    Code mcbpc[4] = {}; // mb_type 3 (intra) by cbpc
    Code cbpy[16] = {};
    Code dcSize[2][13] = {}; // [luma]
    Code tcoef[2][kMaxRun][kMaxLevel] = {};
    int maxLevel[2][kMaxRun] = {};
    int maxRun[2][kMaxLevel] = {};

    Tables() {
        for (const mpeg4::codes::Code& c : mpeg4::codes::McbpcIntra())
            if (c.value >= 3 * 4 && c.value < 4 * 4)
                mcbpc[c.value - 3 * 4] = ToCode(c.bits);
        for (const mpeg4::codes::Code& c : mpeg4::codes::Cbpy())
            cbpy[c.value & 15] = ToCode(c.bits);
        for (const mpeg4::codes::Code& c : mpeg4::codes::DcSizeChroma())
            dcSize[0][c.value] = ToCode(c.bits);
        for (const mpeg4::codes::Code& c : mpeg4::codes::DcSizeLuma())
            dcSize[1][c.value] = ToCode(c.bits);
        for (const mpeg4::codes::Tcoef& d : mpeg4::codes::IntraTcoef()) {
            if (d.run >= kMaxRun || d.level >= kMaxLevel)
                continue;
            tcoef[d.last][d.run][d.level] = ToCode(d.bits);
            if (d.level > maxLevel[d.last][d.run])
                maxLevel[d.last][d.run] = d.level;
            if (d.run > maxRun[d.last][d.level])
                maxRun[d.last][d.level] = d.run;
        }
    }
};

const Tables& GetTables() {
    static const Tables tables;
    return tables;
}

} // namespace

Code IntraMcbpc(int cbpc) {
    return GetTables().mcbpc[cbpc & 3];
}

Code IntraCbpy(int cbpy) {
    return GetTables().cbpy[cbpy & 15];
}

Code DcSize(bool luma, int size) {
    if (size < 0 || size > 12)
        return {0, 0};
    return GetTables().dcSize[luma ? 1 : 0][size];
}

Code IntraTcoef(int last, int run, int level) {
    if (last < 0 || last > 1 || run < 0 || run >= kMaxRun || level < 1 || level >= kMaxLevel)
        return {0, 0};
    return GetTables().tcoef[last][run][level];
}

int IntraTcoefMaxLevel(int last, int run) {
    return (last == 0 || last == 1) && run >= 0 && run < kMaxRun ? GetTables().maxLevel[last][run] : 0;
}

int IntraTcoefMaxRun(int last, int level) {
    // RMAX is only asked for levels with codes; a level beyond the table has none.
    return (last == 0 || last == 1) && level >= 1 && level < kMaxLevel ? GetTables().maxRun[last][level] : 0;
}

} // namespace simm4v
