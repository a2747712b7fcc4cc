// The body of the MPEG-4 core fuzz target, shared with the test that replays the corpus.
//
// Input: byte 0 picks the instance size, byte 1 the output format, de-interlacing and header
// presets; the rest is an elementary stream, split into frames at VOP start codes and fed to one
// instance in order, so that damaged references, headers and sizes carry from frame to frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mpeg4/m4v_split.h"
#include "mpeg4/mpeg4_core.h"

namespace mpeg4::fuzz {

inline int FeedFrames(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    static constexpr int kSizes[8][2] = {{64, 48},   {176, 144}, {48, 320}, {17, 9},
                                         {352, 240}, {80, 64},   {33, 47},  {16, 304}};
    static constexpr int32_t kFormats[8] = {kRgb24,  kRgb32,         kYuy2,          kUyvy,
                                            kRgb565, kRgb24BottomUp, kRgb32BottomUp, kRgb565BottomUp};
    const int w = kSizes[data[0] & 7][0], h = kSizes[data[0] & 7][1];
    const int32_t format = kFormats[data[1] & 7];
    CMp4Codec* codec = nullptr;
    if (Create(w, h, &codec) != kOk)
        return 0;
    if (data[1] & 0x10)
        SetHeaderPresets(codec, data[1] & 0x20, (data[1] & 0x40) ? 25 : 30000, 5, (data[1] & 0x80) ? 2 : 1,
                         data[0] & 0x08);
    const int stride = w + (data[0] >> 4);
    std::vector<uint8_t> out(static_cast<size_t>(stride) * h * BytesPerPixel(format));
    data += 2;
    size -= 2;
    for (const FrameSpan& f : SplitElementaryStream(data, size)) {
        DecodeParams p;
        p.width = w;
        p.height = h;
        p.data = data + f.offset;
        p.length = static_cast<int32_t>(f.length);
        p.output = out.data();
        p.format = format;
        p.stride = stride;
        p.deinterlace = (data[-1] & 0x08) ? kDeinterlaceBlend : kDeinterlaceNone;
        DecodeFrame(codec, p);
    }
    Destroy(codec);
    return 0;
}

} // namespace mpeg4::fuzz
