// Creating the TAV source filter by class id and opening a drive, drive image or stream file through
// its open request, as the reader does: the index is loaded on a worker thread while its progress is
// reported on standard error.
#pragma once

#include <string>

#include "cli/source_kinds.h"
#include "media/interfaces.h"
#include "tav/filter/ivtsource.h"

namespace cli {

// On failure returns false with *message saying why; *audio tells whether the recording has sound.
bool OpenVtsSource(const SourceSpec& spec, ComPtr<IBaseFilter>& filter, ComPtr<IVTSourceFilter>& vts,
                   bool* audio, std::string* message);

// "YYYY/MM/DD hh:mm:ss" of the source's current entry; empty before the first one is read.
std::string VtsPositionTime(IVTSourceFilter* vts);
// The current entry's time in seconds since 1970, 0 while there is none.
DWORD VtsPositionSeconds(IVTSourceFilter* vts);

} // namespace cli
