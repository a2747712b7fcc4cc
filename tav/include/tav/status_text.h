// The vehicle status of a frame as one line of text, by recorder kind: channel title, GPS position,
// supply voltage, speeds and flags or sensor labels (kinds 2, 3, 4), or the kind-1 navigation block.
#pragma once

#include <string>

#include "platform/types.h"
#include "tav/packet.h"

namespace tav {

// The status text of the block for `channel` (kinds 2, 3, 4), starting with its first comma.
std::string StatusText(int kind, const BYTE* block, int channel);
// The kind-1 text for `channel`, starting with its "\r\n".
std::string Kind1Text(const BYTE* record, int channel);
// A whole export line: the time, one space, then the kind's text (nothing more for other kinds).
std::string FrameTextLine(DWORD time, int kind, const TavStatusState& state, int channel);

} // namespace tav
