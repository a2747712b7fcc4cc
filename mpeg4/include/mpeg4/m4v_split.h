// Splits a raw MPEG-4 Visual elementary stream into frames at VOP start codes. Headers (sequence,
// visual object, layer, group of VOP, user data) travel with the frame they precede.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mpeg4 {

struct FrameSpan {
    size_t offset;
    size_t length;
};

std::vector<FrameSpan> SplitElementaryStream(const uint8_t* data, size_t length);

} // namespace mpeg4
