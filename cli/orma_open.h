// Creating the ORMA source filter by class id and opening a recording with it, as the reader does: the
// open runs on a worker thread while the scan's progress is reported on standard error.
#pragma once

#include <string>

#include "cli/graph_util.h"
#include "cli/source_kinds.h"
#include "media/interfaces.h"
#include "orma/filter/iormasrc.h"

namespace cli {

// On failure returns false with *message saying why.
bool OpenOrmaSource(const SourceSpec& spec, int model, int standard, ComPtr<IBaseFilter>& filter,
                    ComPtr<IOrmaSrc>& orma, std::string* message);

// "20YY/MM/DD hh:mm:ss" of the source's current position; empty before the first frame is read.
std::string OrmaPositionTime(IOrmaSrc* src);

} // namespace cli
