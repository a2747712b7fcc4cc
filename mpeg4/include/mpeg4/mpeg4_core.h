// Error model: result codes, returned from every step up to DecodeFrame; nothing throws. Codes suffice
// because failures are shallow: a refused header, or a bad macroblock seen through the sticky overrun flag.
//
// The MPEG-4 Visual (ISO/IEC 14496-2) decoding core: one compressed frame at a time into the
// caller's buffer, in one of the output formats below, optionally de-interlaced.
//
// One instance decodes one stream: it keeps the reference picture between calls. Only the I- and
// P-VOP syntax of rectangular layers is decoded; B-VOPs and sprite VOPs are refused.
#pragma once

#include <cstdint>

namespace mpeg4 {

// Output format codes of DecodeParams::format.
enum OutputFormat : int32_t {
    kRgb24 = 3,         // bytes blue, green, red; top row first
    kRgb32 = 4,         // bytes blue, green, red, 0; top row first
    kYuy2 = 5,          // Y0 U Y1 V
    kUyvy = 6,          // U Y0 V Y1
    kRgb565 = 7,        // top row first
    kRgb24BottomUp = 8, // bottom row first
    kRgb32BottomUp = 9,
    kRgb565BottomUp = 12,
};

// De-interlace modes of DecodeParams::deinterlace.
constexpr int32_t kDeinterlaceNone = 0;
constexpr int32_t kDeinterlaceBlend = 2;

// Results of Create and DecodeFrame.
enum Result : int {
    kOk = 0,
    kCorruptMacroblocks = 1, // invalid MB type, invalid VLC, run beyond 63, data ended early
    kOutOfMemory = -3,
    kScalability = 101,
    kUserDataAfterLayer = 102,
    kDataPartitioned = 103,
    kComplexityEstimation = 105,
    kNotRectangular = 107,
    kBadObjectStartCode = 109,
    kNoVopStartCode = 111,
    kBadLayerStartCode = 112,
    kSizeMismatch = 113,
    kNoGroupOfVop = 116,
    kNoSequenceStartCode = 117,
    kNotVideoObject = 118,
    kUnsupportedVop = 119, // B-VOP or sprite (S) VOP, or a layer with sprites
    kBadParameters = 120,  // null pointers, unknown format, stride narrower than the picture
};

// One call's parameters, in the order the decoder filter fills them.
struct DecodeParams {
    int32_t width = 0;
    int32_t height = 0;
    const uint8_t* data = nullptr;
    int32_t length = 0;
    uint8_t* output = nullptr;
    int32_t format = kRgb32;
    int32_t stride = 0; // output stride in pixels
    int32_t reserved[4] = {0, 0, 0, 0};
    int32_t deinterlace = kDeinterlaceNone;
};

class CMp4Codec;

// Allocates an instance for a width × height stream with the header presets applied.
// Returns kOk and the instance, or kOutOfMemory (nothing kept) for an impossible size.
int Create(int width, int height, CMp4Codec** codec);

// Replaces the layer state used for frames that arrive without a video object layer header.
void SetHeaderPresets(CMp4Codec* codec, int interlaced, int timeIncrementResolution, int quantPrecision,
                      int layerVersion, int quarterSample);

// Decodes one frame into params.output and makes it the reference. On any result other than kOk
// the output buffer is not written and the reference is kept.
int DecodeFrame(CMp4Codec* codec, const DecodeParams& params);

void Destroy(CMp4Codec* codec);

// Looks for a video object layer header in data and returns width × 4096 + height, or 0.
uint32_t ProbeSize(const uint8_t* data, int length);

// Bytes one output row takes in `format` for `stridePixels` pixels; 0 for an unknown format.
int BytesPerPixel(int32_t format);

} // namespace mpeg4
