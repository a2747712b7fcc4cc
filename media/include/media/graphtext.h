// A plain-text description of a filter graph: its filters with their class ids and pins, and every
// connection with its media type. Written where the platform would save a binary graph file.
#pragma once

#include <string>

#include "media/interfaces.h"

namespace media {

std::string DescribeGraph(IFilterGraph* graph);
// Writes the description to `path` (created anew); the file system's error as an HRESULT on failure.
HRESULT SaveGraphDescription(IFilterGraph* graph, const std::string& path);

} // namespace media
