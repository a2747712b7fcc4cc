// The contact sheet of `scryde play`: the sixteen channels' last pictures in a 4 × 4 grid, each labelled
// with its channel and picture count, under a title line.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "media/videowindow.h"

namespace cli {

struct ContactSheet {
    std::string title;
    std::array<std::optional<media::VideoFrame>, 16> pictures;
    std::array<long, 16> counts{};
    std::array<bool, 16> noRecording{}; // the channel showed nothing recorded (at most a blank screen)
};

// Composes the sheet (BGRX, top-down).
media::VideoFrame ComposeContactSheet(const ContactSheet& sheet);
bool WriteContactSheet(const std::string& path, const ContactSheet& sheet);

} // namespace cli
