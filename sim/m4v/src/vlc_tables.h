// The Annex B variable-length codes an intra-only encoder writes (ISO/IEC 14496-2).
#pragma once

#include <cstdint>

namespace simm4v {

struct Code {
    uint32_t bits;
    int length; // 0: no such code
};

// Table B-6: MCBPC of an I-VOP macroblock of type 3 (intra), by cbpc (Cb bit 1, Cr bit 0).
Code IntraMcbpc(int cbpc);
// Table B-8: CBPY of an intra macroblock (block 0 in bit 3 .. block 3 in bit 0).
Code IntraCbpy(int cbpy);
// Tables B-13 and B-14: dct_dc_size_luminance / dct_dc_size_chrominance, size 0..12.
Code DcSize(bool luma, int size);
// Table B-16: intra TCOEF for (last, run, |level|) without the sign bit; length 0 when the event
// has no code of its own and must be escaped.
Code IntraTcoef(int last, int run, int level);
// The largest |level| with a code of its own for (last, run), and the largest run for (last, level):
// LMAX and RMAX of the escape modes (7.4.1.3); 0 when none.
int IntraTcoefMaxLevel(int last, int run);
int IntraTcoefMaxRun(int last, int level);

// The TCOEF escape code.
constexpr Code kTcoefEscape{0x03, 7}; // 0000 011

} // namespace simm4v
