#include "validate.h"

#include "mjpeg/jpeg_decoder.h"
#include "mpeg4/mpeg4_core.h"

namespace recovery {

bool JpegDecodes(const std::uint8_t* data, std::size_t bytes) {
    if (bytes < 4 || bytes > 0x7FFFFFFF)
        return false;
    mjpeg::jpeg_decoder_memory_stream stream(data, static_cast<std::int32_t>(bytes));
    mjpeg::jpeg_decoder decoder(&stream);
    if (decoder.begin_decoding() != 0)
        return false;
    for (;;) {
        const void* line = nullptr;
        std::uint32_t lineBytes = 0;
        const int r = decoder.decode(&line, &lineBytes);
        if (r == 1)
            return true;
        if (r != 0)
            return false;
    }
}

// The largest picture side a channel decoder is made for; the recorders' pictures are far smaller.
constexpr int kMaxSide = 2048;

struct CChannelVideo::Channel {
    mpeg4::CMp4Codec* codec = nullptr;
    int width = 0, height = 0;
    std::vector<std::uint8_t> picture;
    ~Channel() {
        if (codec)
            mpeg4::Destroy(codec);
    }
};

CChannelVideo::CChannelVideo() {
    m_channels.resize(16);
}
CChannelVideo::~CChannelVideo() = default;

bool CChannelVideo::Decode(Channel& c, const std::uint8_t* data, std::size_t bytes) {
    if (bytes == 0 || bytes > 0x7FFFFFFF)
        return false;
    mpeg4::DecodeParams p;
    p.width = c.width;
    p.height = c.height;
    p.data = data;
    p.length = static_cast<std::int32_t>(bytes);
    p.output = c.picture.data();
    p.format = mpeg4::kRgb32;
    p.stride = c.width;
    return mpeg4::DecodeFrame(c.codec, p) == mpeg4::kOk;
}

bool CChannelVideo::AcceptKey(int channel, const std::uint8_t* data, std::size_t bytes) {
    if (channel < 0 || channel >= 16 || bytes > 0x7FFFFFFF)
        return false;
    const std::uint32_t size = mpeg4::ProbeSize(data, static_cast<int>(bytes));
    const int width = static_cast<int>(size >> 12), height = static_cast<int>(size & 0xFFF);
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return false;
    std::unique_ptr<Channel>& c = m_channels[static_cast<std::size_t>(channel)];
    if (!c || c->width != width || c->height != height) {
        auto fresh = std::make_unique<Channel>();
        if (mpeg4::Create(width, height, &fresh->codec) != mpeg4::kOk)
            return false;
        fresh->width = width;
        fresh->height = height;
        fresh->picture.resize(std::size_t(width) * std::size_t(height) * 4);
        c = std::move(fresh);
    }
    return Decode(*c, data, bytes);
}

bool CChannelVideo::AcceptPredicted(int channel, const std::uint8_t* data, std::size_t bytes) {
    if (channel < 0 || channel >= 16 || !m_channels[static_cast<std::size_t>(channel)])
        return false;
    return Decode(*m_channels[static_cast<std::size_t>(channel)], data, bytes);
}

} // namespace recovery
