// Pins of the reader's graphs: the first free or connected one of a direction (and major type), and
// two filters joined through their first free pins.
#pragma once

#include "media/interfaces.h"

namespace reader {

// The first pin of `filter` in `direction` that is not connected and, when `major` is given, offers a
// media type of that major type. Later calls take the next free pin of the same kind.
ComPtr<IPin> FindFreePin(IBaseFilter* filter, PIN_DIRECTION direction, const GUID* major = nullptr);
// The first connected pin of `filter` in `direction`.
ComPtr<IPin> FindConnectedPin(IBaseFilter* filter, PIN_DIRECTION direction);
// Connects the first free output pin of `from` to the first free input pin of `to`.
HRESULT ConnectFilters(IGraphBuilder* graph, IBaseFilter* from, IBaseFilter* to);

} // namespace reader
