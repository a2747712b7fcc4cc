// Variable-length code tables of ISO/IEC 14496-2 annex B and the scan orders of 7.3.
#pragma once

#include <cstdint>

#include "bitreader.h"
#include "mpeg4/vlc_codes.h"

namespace mpeg4 {

// One decoded transform coefficient event (last, run, level), or an escape.
struct TcoefEvent {
    uint8_t last;
    uint8_t run;
    uint8_t level;
    uint8_t length; // code length in bits without the sign; 0 marks an invalid code
};
constexpr uint8_t kEscapeRun = 255;

// Table B-6/B-7: MCBPC. Returns the macroblock type * 4 + cbpc, kMcbpcStuffing, or -1.
constexpr int kMcbpcStuffing = codes::kStuffing;
int DecodeMcbpcIntra(BitReader& br);
int DecodeMcbpcInter(BitReader& br);
// Table B-8: CBPY as coded for intra macroblocks (inter macroblocks use 15 - value); -1 if invalid.
int DecodeCbpy(BitReader& br);
// Table B-12: motion_code in -32..32, or kInvalidMotionCode.
constexpr int kInvalidMotionCode = 1000;
int DecodeMotionCode(BitReader& br);
// Tables B-13 and B-14: dct_dc_size for luminance and chrominance; -1 if invalid.
int DecodeDcSizeLuma(BitReader& br);
int DecodeDcSizeChroma(BitReader& br);
// Tables B-16 (intra) and B-17 (inter): one event; run == kEscapeRun for the escape code.
TcoefEvent DecodeTcoef(BitReader& br, bool intra);
// The same table itself, 4096 events indexed by the next 12 bits, for a caller that takes the sign
// bit behind a code in the same peek.
const TcoefEvent* TcoefTable(bool intra);
// Largest level for (last, run) and largest run for (last, level), for escape modes 1 and 2.
int TcoefMaxLevel(bool intra, int last, int run);
int TcoefMaxRun(bool intra, int last, int level);

// Scan orders (7.3): zigzag, alternate-horizontal and alternate-vertical; index = scan position.
extern const uint8_t kZigzag[64];
extern const uint8_t kAlternateHorizontal[64];
extern const uint8_t kAlternateVertical[64];

} // namespace mpeg4
