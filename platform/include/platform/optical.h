// Archive targets: the free space of the volume that holds a target path, and, when that volume is a
// CD or DVD, its media type, eject and disc check.
//
// A real target is asked through the Linux CD-ROM requests on the block device mounted under the
// target's folder. A simulated disc drive stands in for one in tests and demonstrations: the folder
// named by $SCRYDE_OPTICAL_SIM holds a ".optical" file of name=value lines
//   type=51             the media type the drive reports (2 CD, 51 DVD)
//   capacity=4194304    bytes on each blank disc
//   empty_checks=1      disc checks that fail after each eject, as while the tray is open
// Its free space is that disc's room plus the 60 MiB the archive keeps free, less the files written
// to the folder. Ejecting moves those files into "disc-N" (counting from 1), as a written disc leaves
// the tray, and the next disc is blank.
#pragma once

#include <optional>
#include <string>

#include "platform/types.h"

namespace platform {

constexpr int kMediaTypeCdRom = 2;
constexpr int kMediaTypeDvd = 51;
constexpr int kMediaTypeFixed = 12;

// The media type of the drive holding `path`: 2 for a CD drive, 51 for a DVD drive, 12 otherwise.
int TargetMediaType(const std::string& path);
inline bool IsOpticalMediaType(int type) {
    return type == kMediaTypeCdRom || type == kMediaTypeDvd;
}

// Free bytes of the volume holding `path`; nullopt when they cannot be found.
std::optional<ULONGLONG> TargetFreeBytes(const std::string& path);

// Ejects the disc of the drive holding `path`; false when the request fails.
bool EjectTarget(const std::string& path);

// Whether the drive holding `path` has a disc ready.
bool TargetHasDisc(const std::string& path);

} // namespace platform
