// Decoding our streams with the MPEG-4 core, for the round-trip tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "mpeg4/mpeg4_core.h"
#include "sim_draw/draw.h"

namespace simm4v::test {

// One decoder instance; Decode returns the core's result and keeps the output picture.
class CDecoder {
public:
    CDecoder(int width, int height) : m_width(width), m_height(height) {
        m_result = mpeg4::Create(width, height, &m_codec);
    }
    ~CDecoder() {
        if (m_codec)
            mpeg4::Destroy(m_codec);
    }
    CDecoder(const CDecoder&) = delete;
    CDecoder& operator=(const CDecoder&) = delete;

    int CreateResult() const { return m_result; }

    int Decode(const std::vector<uint8_t>& data, int32_t format = mpeg4::kYuy2, int32_t deinterlace = 0) {
        output.assign(static_cast<size_t>(m_width) * m_height * 4, 0xEE);
        mpeg4::DecodeParams p;
        p.width = m_width;
        p.height = m_height;
        p.data = data.data();
        p.length = static_cast<int32_t>(data.size());
        p.output = output.data();
        p.format = format;
        p.stride = m_width;
        p.deinterlace = deinterlace;
        return mpeg4::DecodeFrame(m_codec, p);
    }

    // The luma plane of a YUY2 output.
    std::vector<uint8_t> Luma() const {
        std::vector<uint8_t> y(static_cast<size_t>(m_width) * m_height);
        for (size_t i = 0; i < y.size(); ++i)
            y[i] = output[i * 2];
        return y;
    }

    std::vector<uint8_t> output;

private:
    int m_width, m_height;
    int m_result = 0;
    mpeg4::CMp4Codec* m_codec = nullptr;
};

inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace simm4v::test
