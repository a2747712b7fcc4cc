// Which recorder wrote a drive: the reader's probe of a drive's signatures, sector by sector, in the
// order the reader has always used, through the raw-disk driver or on a drive opened directly.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/types.h"

namespace reader {

// Recorder kind codes.
constexpr BYTE kKindOrma = 0, kKindTav = 8, kKindCorvel = 16, kKindGlm = 24, kKindUnknown = 255;

// "orma", "tav", "corvel", "glm"; empty for an unknown kind.
std::string KindName(BYTE kind);

// Sizes the probe (and formatting) derives from the drive's sector count S.
struct DerivedSizes {
    ULONGLONG cluster = 0;     // ORMA cluster c, sectors
    ULONGLONG lastCluster = 0; // e: the largest multiple of c strictly below S (the ORMA marker sector)
    ULONGLONG segmentMiB = 0;  // TAV segment size n
};
DerivedSizes DeriveSizes(ULONGLONG sectors);

// Reads sector `sector` (512 bytes) into `out`; false when it cannot be read.
using SectorReader = std::function<bool(ULONGLONG sector, BYTE* out)>;

// The kind of a drive of `sectors` sectors. Through the driver a signature is confirmed by a second
// sector (segment 0's trailer, the first frame at sector 0); a drive opened directly takes the first.
BYTE DetectDriveKind(ULONGLONG sectors, bool throughDriver, const SectorReader& read);

// The probe of drive `drive` of the drive map as the reader runs it at start-up: through the driver or
// directly as the Windows version picks, fixed media only. nullopt when the drive cannot be probed.
struct DriveProbe {
    BYTE kind = kKindUnknown;
    ULONGLONG sectors = 0;
};
std::optional<DriveProbe> ProbeDrive(int drive, DWORD windowsMajor);

// The same detection on a file read as a whole drive (an image of a recorder's disk).
BYTE DetectFileKind(const std::string& path, bool throughDriver);

} // namespace reader
