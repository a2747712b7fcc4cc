#include "mpeg4/m4v_split.h"

namespace mpeg4 {

std::vector<FrameSpan> SplitElementaryStream(const uint8_t* data, size_t length) {
    std::vector<FrameSpan> frames;
    size_t frameStart = 0;
    bool haveVop = false; // the open frame already holds a VOP
    for (size_t i = 0; i + 3 < length; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1)
            continue;
        const bool vop = data[i + 3] == 0xB6;
        if (haveVop) { // any start code after a VOP opens the next frame
            frames.push_back({frameStart, i - frameStart});
            frameStart = i;
            haveVop = false;
        }
        if (vop)
            haveVop = true;
        i += 2;
    }
    if (haveVop)
        frames.push_back({frameStart, length - frameStart});
    return frames;
}

} // namespace mpeg4
