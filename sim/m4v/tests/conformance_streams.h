// The streams whose decoding by an independent decoder is recorded in data/independent_decode.txt.
// Their pictures come from a formula and the tag only, so the streams change only when the encoder
// does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_m4v/m4v_encoder.h"

namespace simm4v::test {

struct ConformanceStream {
    std::string name;
    int width, height, quant;
    bool interlaced;
    bool saturated; // full-scale checkerboard and chroma: the largest levels and DC steps
};

inline const std::vector<ConformanceStream>& ConformanceStreams() {
    static const std::vector<ConformanceStream> streams = {
        {"progressive_352x240_q4", 352, 240, 4, false, false},
        {"interlaced_720x576_q1", 720, 576, 1, true, true},
        {"interlaced_176x144_q31", 176, 144, 31, true, true},
    };
    return streams;
}

// Picture n of a stream: gradients moving with n, a checkerboard below the tag when saturated.
inline simdraw::YuvImage ConformancePicture(const ConformanceStream& s, int n) {
    simdraw::YuvImage p(s.width, s.height);
    const int cw = s.width / 2;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            int v = (x * 3 + y * 2 + n * 5) & 255;
            if (s.saturated && y >= 112)
                v = ((x + y + n) & 1) ? 255 : 0;
            p.y[size_t(y) * s.width + x] = static_cast<uint8_t>(v);
        }
    for (int y = 0; y < s.height / 2; ++y)
        for (int x = 0; x < cw; ++x) {
            const size_t i = size_t(y) * cw + x;
            p.u[i] =
                s.saturated ? ((x * 7 + y) % 11 < 5 ? 0 : 255) : static_cast<uint8_t>(64 + (x + n) % 128);
            p.v[i] =
                s.saturated ? static_cast<uint8_t>(255 - p.u[i]) : static_cast<uint8_t>(200 - (y * 2) % 128);
        }
    DrawTag(p, n + 1, 0xA5000000u + static_cast<uint32_t>(n));
    return p;
}

// The stream as frames: layer header + I-VOP, I-VOP, skipped P-VOP, not-coded VOP. An independent
// decoder puts out the three coded ones.
inline std::vector<std::vector<uint8_t>> ConformanceFrames(const ConformanceStream& s) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> first = EncodeVol(s.width, s.height, s.interlaced);
    std::vector<uint8_t> vop = EncodeIntraVop(ConformancePicture(s, 0), s.quant, s.interlaced, {0, 0});
    first.insert(first.end(), vop.begin(), vop.end());
    frames.push_back(first);
    frames.push_back(EncodeIntraVop(ConformancePicture(s, 1), s.quant, s.interlaced, {0, 1001}));
    frames.push_back(EncodePredictedVop(s.width, s.height, s.quant, s.interlaced, {0, 2002}));
    frames.push_back(EncodeNotCodedVop({0, 3003}));
    return frames;
}

// Sample position i of a plane of `size` samples.
inline size_t SamplePosition(uint32_t i, size_t size) {
    return size_t(i * 2654435761u) % size;
}

constexpr int kLumaSamples = 96;
constexpr int kChromaSamples = 24;

} // namespace simm4v::test
