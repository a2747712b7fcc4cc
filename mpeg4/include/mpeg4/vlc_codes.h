// The variable-length code lists of ISO/IEC 14496-2 annex B as the standard prints them (bit strings,
// most significant bit first). The decoder builds its lookups from them, and the synthetic recorders'
// encoder its code books, so both read one copy of the tables.
#pragma once

#include <cstdint>
#include <span>

namespace mpeg4::codes {

struct Code {
    int value;
    const char* bits;
};

// A transform coefficient event (last, run, level) and its code without the sign bit.
struct Tcoef {
    std::uint8_t last;
    std::uint8_t run;
    std::uint8_t level;
    const char* bits;
};

// The MCBPC value of stuffing (Tables B-6 and B-7).
constexpr int kStuffing = 100;
// The escape code of Tables B-16 and B-17.
constexpr const char* kTcoefEscape = "0000011";

std::span<const Tcoef> IntraTcoef();  // Table B-16
std::span<const Tcoef> InterTcoef();  // Table B-17
std::span<const Code> McbpcIntra();   // Table B-6, value = mb_type * 4 + cbpc
std::span<const Code> McbpcInter();   // Table B-7
std::span<const Code> Cbpy();         // Table B-8, intra meaning
std::span<const Code> MotionCode();   // Table B-12, magnitude (a sign bit follows every code but 0)
std::span<const Code> DcSizeLuma();   // Table B-13
std::span<const Code> DcSizeChroma(); // Table B-14

} // namespace mpeg4::codes
