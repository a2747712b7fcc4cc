// What the TAV kinds of `scryde` share: opening a drive or image through the disk source, and the lines
// and JSON objects of a packet listing (`scryde frames` of drives, images and stream files).
#pragma once

#include "cli/json.h"
#include "cli/source_kinds.h"
#include "tav/disk_source.h"

namespace cli {

// Opens the source as the reader would; prints one line and returns the exit status on failure.
int OpenTavSource(const SourceSpec& spec, tav::CTavDiskSource** out, const char* command);

// "key", "predicted" or "audio".
const char* TavTypeName(BYTE type);
// A packet of a listing as a JSON object: time, channel, type and size.
void WriteTavPacket(JsonWriter& w, DWORD time, int channel, BYTE type, DWORD size);

} // namespace cli
