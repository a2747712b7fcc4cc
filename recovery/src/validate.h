// Validation of carved candidates with our own decoders: a candidate counts only when its picture
// decodes from the first line to the last.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace mpeg4 {
class CMp4Codec;
}

namespace recovery {

// The whole JPEG picture decodes (every scan line) without an error.
bool JpegDecodes(const std::uint8_t* data, std::size_t bytes);

// One decoder per camera channel, so a predicted frame is checked against the picture before it.
class CChannelVideo {
public:
    CChannelVideo();
    ~CChannelVideo();
    CChannelVideo(const CChannelVideo&) = delete;
    CChannelVideo& operator=(const CChannelVideo&) = delete;
    // A key frame: it carries its video-object-layer header and decodes; it becomes the channel's reference.
    bool AcceptKey(int channel, const std::uint8_t* data, std::size_t bytes);
    // A predicted frame decodes on the channel's last key frame (none yet: not accepted).
    bool AcceptPredicted(int channel, const std::uint8_t* data, std::size_t bytes);

private:
    struct Channel;
    bool Decode(Channel& c, const std::uint8_t* data, std::size_t bytes);
    std::vector<std::unique_ptr<Channel>> m_channels;
};

} // namespace recovery
