// A small MPEG-4 Visual (ISO/IEC 14496-2) Simple-profile encoder for the synthetic recorders, and a
// machine-readable tag drawn into the pictures so that a test can read a decoded picture's channel
// and time (or frame number) back from its pixels.
//
// What is encoded: I-VOPs at a fixed quantiser (H.263 quantisation, intra DC coded with the DC size
// tables, DC prediction, no AC prediction), P-VOPs whose macroblocks are all skipped (the picture
// repeats), and not-coded VOPs. Frame DCT only; an interlaced layer is flagged as such.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_draw/draw.h"

namespace simm4v {

// The layer's vop_time_increment_resolution (ticks per second); vop_time_increment takes 15 bits.
constexpr int kTimeIncrementResolution = 30000;

// The largest picture side the 13-bit layer fields and the recorders use.
constexpr int kMaxPictureSide = 4096;

// Video object + video object layer headers (6.2.3), ending with next_start_code() stuffing, byte
// for byte what the synthetic TAV recorder writes in front of its key frames: simple object,
// layer version 1, rectangular, resolution 30000, no fixed rate, H.263 quantisation, resync
// markers disabled. aspectRatioInfo 15 adds a 12:11 pixel aspect ratio; volControlParameters adds
// the 4:2:0, low-delay and VBV fields. width and height must be multiples of 16 in 16..4096.
std::vector<std::uint8_t> EncodeVol(int width, int height, bool interlaced, int aspectRatioInfo = 1,
                                    bool volControlParameters = false);

// Timing of one VOP: modulo_time_base (whole seconds since the previous VOP's second, written as
// that many '1' bits) and vop_time_increment (taken modulo kTimeIncrementResolution).
struct VopTime {
    int secondsElapsed = 0;
    std::uint32_t increment = 0;
};

// An I-VOP (6.2.5, 6.2.6) of `picture` (4:2:0, width and height multiples of 16) at quantiser
// `quant` (clamped to 1..31). `interlaced` must match the layer header: it adds top_field_first
// (set) and alternate_vertical_scan_flag (clear) to the VOP header and field_dct (0) to each
// macroblock. Throws std::invalid_argument for a size that is not a multiple of 16.
std::vector<std::uint8_t> EncodeIntraVop(const simdraw::YuvImage& picture, int quant, bool interlaced,
                                         VopTime time = {});

// A key frame as the recorders store it: the layer header (EncodeVol with the picture's size and
// default aspect ratio and control fields) followed by the I-VOP.
std::vector<std::uint8_t> EncodeKeyFrame(const simdraw::YuvImage& picture, int quant, bool interlaced,
                                         VopTime time = {});

// The I-VOP at the smallest quantiser from `quant` up to 31 whose size is at most `maxBytes`, with
// the quantiser used in *usedQuant (when given): sharp synthetic pictures at a fine quantiser can
// outgrow a recorder's packet (a 704 × 480 test picture takes about 150 KB at quantiser 4). Empty,
// with *usedQuant 0, when even quantiser 31 does not fit.
std::vector<std::uint8_t> EncodeIntraVopWithin(const simdraw::YuvImage& picture, int quant,
                                               std::size_t maxBytes, bool interlaced, VopTime time = {},
                                               int* usedQuant = nullptr);

// A coded P-VOP of the given size in which every macroblock is not coded: the decoder repeats the
// reference picture.
std::vector<std::uint8_t> EncodePredictedVop(int width, int height, int quant, bool interlaced,
                                             VopTime time = {});

// A VOP with vop_coded 0 (of type P, or I when `intraType`): no picture data at all.
std::vector<std::uint8_t> EncodeNotCodedVop(VopTime time = {}, bool intraType = false);

// --- The picture tag ---------------------------------------------------------------------------
// 16 × 16 luma blocks, 9 across and 6 down from the picture's top-left corner (so the picture must be
// at least 144 × 96). Column 0 alternates white and black from the top, which tells the block height
// apart; the other 48 blocks carry, row by row, 4 bits of channel, 32 bits of value, an 8-bit CRC over
// those 36 bits and the 4-bit pattern 1010. A set bit is a white block (Y 235), a clear bit a black
// one (Y 16), chroma neutral; block-aligned solid blocks survive any quantiser.
constexpr int kTagBlockSize = 16;
constexpr int kTagColumns = 9;
constexpr int kTagRows = 6;

// Draws the tag of (channel & 15, value) into the top-left corner of `picture`.
void DrawTag(simdraw::YuvImage& picture, int channel, std::uint32_t value);
// The same tag in full-range RGB (white 255, black 0), for pictures coded as JPEG.
void DrawTag(simdraw::RgbImage& picture, int channel, std::uint32_t value);

// The channel's test picture (simdraw::DrawTestPicture with `text` as its label, moving with
// `value`) converted to 4:2:0, with the tag of (channel, value) drawn in.
simdraw::YuvImage TaggedPicture(int width, int height, int channel, std::uint32_t value,
                                const std::string& text);

// Reads the tag from a luma plane (`stride` bytes between rows, negative for a plane whose rows
// run upwards in memory). Blocks 16 or 32 lines high are both accepted, so a picture whose lines
// were doubled reads as well. False when no tag with a valid CRC is there.
bool ReadTag(const std::uint8_t* luma, int width, int height, std::ptrdiff_t stride, int* channel,
             std::uint32_t* value);

// Packed pictures the decoder filter delivers.
enum class PackedFormat {
    kBgrx, // 32 bits per pixel: blue, green, red, unused
    kYuy2, // Y0 U Y1 V
};

// Reads the tag from a packed picture of `strideBytes` per row. `bottomUp`: the first row in
// memory is the picture's bottom row (as in a bottom-up bitmap).
bool ReadTagPacked(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t strideBytes,
                   PackedFormat format, bool bottomUp, int* channel, std::uint32_t* value);

} // namespace simm4v
