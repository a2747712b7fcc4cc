// Test pictures encoded with libturbojpeg. The recorder's pictures begin with SOI followed directly by
// the quantisation tables (FF D8 FF DB), so the JFIF APP0 segment the encoder adds is taken out again.
#include <turbojpeg.h>

#include <cstdio>
#include <memory>

#include "sim_draw/draw.h"
#include "sim_m4v/m4v_encoder.h"
#include "sim_orma/orma_sim.h"

namespace simorma {

std::vector<std::uint8_t> MakePicture(int width, int height, int quality, int channel, int frame,
                                      const std::string& timeText, bool tag) {
    struct Closer {
        void operator()(void* h) const { tjDestroy(h); }
    };
    thread_local std::unique_ptr<void, Closer> encoder(tjInitCompress());
    if (!encoder)
        return {};
    simdraw::RgbImage image(width, height);
    char label[16];
    std::snprintf(label, sizeof label, "CH%02d", channel + 1);
    char number[24];
    std::snprintf(number, sizeof number, "F%d", frame);
    simdraw::DrawTestPicture(image, channel, frame, {label, timeText, number});
    if (tag && width >= simm4v::kTagColumns * simm4v::kTagBlockSize &&
        height >= simm4v::kTagRows * simm4v::kTagBlockSize)
        simm4v::DrawTag(image, channel, static_cast<std::uint32_t>(frame));

    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(encoder.get(), image.pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420,
                    quality, 0) != 0) {
        tjFree(jpeg);
        return {};
    }
    std::vector<std::uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    // ITU-T T.81 B.1.1.4: a marker segment's length counts its own two length bytes.
    while (out.size() > 6 && out[2] == 0xFF && out[3] >= 0xE0 && out[3] <= 0xEF) {
        std::size_t length = std::size_t(out[4]) << 8 | out[5];
        out.erase(out.begin() + 2, out.begin() + 4 + static_cast<long>(length));
    }
    return out;
}

} // namespace simorma
