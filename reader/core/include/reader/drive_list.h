// The drive list: every drive of the drive map from the first number the settings name up to 15,
// probed for a recorder's signatures; the ones recognised become rows "HDD%02d %.1fGB".
#pragma once

#include <string>
#include <vector>

#include "reader/drive_probe.h"
#include "reader/tables.h"

namespace reader {

struct DriveEntry {
    DWORD gigabytes = 0; // capacity in whole gigabytes of 10^9 bytes
    BYTE drive = 0;
    BYTE kind = kKindUnknown;
    std::string path; // "\\.\PHYSICALDRIVE%d"
    std::string row;  // the list row
};

constexpr int kLastDriveNumber = 15;
constexpr size_t kMaxDriveEntries = 16; // the table has 17 records; row 0 is "Local File..."

// Whether the drive scan may run on this operating-system version (major 4, 5 or 6).
bool DriveScanAllowed(DWORD windowsMajor);
// The recognised drives from `firstDrive` on, in drive order.
std::vector<DriveEntry> ScanDrives(DWORD firstDrive, DWORD windowsMajor);

} // namespace reader
