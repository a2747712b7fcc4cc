// Header syntax of ISO/IEC 14496-2 clause 6.2: visual object, video object layer, group of VOP, VOP.
#pragma once

#include "bitreader.h"
#include "codec.h"

namespace mpeg4 {

// Start code values (the byte after 00 00 01), 6.3.1 table 6-3.
constexpr uint32_t kVideoObjectFirst = 0x00, kVideoObjectLast = 0x1F;
constexpr uint32_t kLayerFirst = 0x20, kLayerLast = 0x2F;
constexpr uint32_t kSequenceStart = 0xB0, kUserData = 0xB2, kGroupOfVop = 0xB3, kVisualObject = 0xB5,
                   kVop = 0xB6;

// 6.2.3 video_object_layer(): parses the header after its start code into `layer` (keeping the
// fields it does not carry). Returns 0 or the result code that refuses the layer.
int ParseLayerHeader(BitReader& br, LayerState& layer);

// The default quantisation matrices of 6.3.3, natural order.
extern const uint8_t kDefaultIntraMatrix[64];
extern const uint8_t kDefaultNonIntraMatrix[64];

} // namespace mpeg4
