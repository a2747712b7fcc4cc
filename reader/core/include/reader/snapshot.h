// The picture a box shows, as a file image, and the texts written with it: the snapshot's caption
// (also its default file name), the print caption, and the rule that picks the snapshot's format.
#pragma once

#include <string>
#include <vector>

#include "reader/player.h"

namespace reader {

// Pauses playback and fetches the current picture of `channel`: the JPEG frame of an ORMA recording,
// a BMP file image from a TAV-family channel's decoder. False when there is none.
bool FetchCurrentPicture(CPlayerCore& core, int channel, std::vector<BYTE>* picture);

// "%04d-%02d-%02d %02d-%02d-%02d CH%2d" (TAV family) or "20%02d-%02d-%02d_%02d-%02d-%02d_CH%02d" (ORMA).
std::string SnapshotCaption(const CPlayerCore& core, int channel);
// "%04d/%02d/%02d %02d:%02d:%02d CH%02d" or "20%02d/%02d/%02d %02d:%02d:%02d CH%02d".
std::string PrintCaption(const CPlayerCore& core, int channel);

// The snapshot is a JPEG file only when the chosen name's extension is exactly "jpg"; anything else,
// "JPG" included, gives a BMP file.
bool SnapshotIsJpeg(const std::string& path);

constexpr const char* kSnapshotFilter = "JPEG (*.jpg)|*.jpg|BMP (*.bmp)|*.bmp||";
constexpr const char* kPrintDocumentName = "ORMA JPEG Image";

} // namespace reader
