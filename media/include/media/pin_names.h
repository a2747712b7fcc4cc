// The recorder sources name their picture pins by camera channel, "Video00" … "Video15"; the playback
// and archive graphs find a channel's pin by that name.
#pragma once

#include <cstdio>
#include <string>

namespace media {

inline std::string VideoPinName(int channel) {
    char name[24]; // room for any int
    std::snprintf(name, sizeof name, "Video%02d", channel);
    return name;
}

} // namespace media
