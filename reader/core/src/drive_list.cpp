#include "reader/drive_list.h"

#include <cstdio>

namespace reader {

bool DriveScanAllowed(DWORD windowsMajor) {
    return windowsMajor >= 4 && windowsMajor <= 6;
}

std::vector<DriveEntry> ScanDrives(DWORD firstDrive, DWORD windowsMajor) {
    std::vector<DriveEntry> drives;
    for (DWORD n = firstDrive; n <= kLastDriveNumber && drives.size() < kMaxDriveEntries; ++n) {
        auto probe = ProbeDrive(static_cast<int>(n), windowsMajor);
        if (!probe || probe->kind == kKindUnknown)
            continue;
        DriveEntry e;
        const double gigabytes = static_cast<double>(probe->sectors) * 5.12e-7;
        e.gigabytes = static_cast<DWORD>(gigabytes);
        e.drive = static_cast<BYTE>(n);
        e.kind = probe->kind;
        char text[48];
        std::snprintf(text, sizeof text, "\\\\.\\PHYSICALDRIVE%u", static_cast<unsigned>(n));
        e.path = text;
        std::snprintf(text, sizeof text, "HDD%02u %.1fGB", static_cast<unsigned>(n), gigabytes);
        e.row = text;
        drives.push_back(std::move(e));
    }
    return drives;
}

} // namespace reader
