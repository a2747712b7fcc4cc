// The drive map: which Linux device or image file stands behind "\\.\PHYSICALDRIVEn".
//
// $SCRYDE_DRIVES ("1=/dev/sdb,2=/srv/images/dvr.img") names them; without it, drive n is the n-th whole
// disk under /sys/block in name order, counting from 0.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/types.h"

namespace platform {

struct DriveInfo {
    int number = -1;
    std::string path;
    ULONGLONG sectors = 0; // 512-byte sectors
    bool removable = false;
    bool readable = false;
    std::string problem; // why the drive could not be measured, when it could not
};

class DriveMap {
public:
    // The map as the environment gives it now. A malformed $SCRYDE_DRIVES leaves the map empty and
    // Problem() saying what is wrong.
    static DriveMap Load();
    // Parses the $SCRYDE_DRIVES form.
    static DriveMap Parse(const std::string& text);

    std::optional<std::string> PathOf(int drive) const;
    const std::map<int, std::string>& Entries() const { return m_entries; }
    const std::string& Problem() const { return m_problem; }

private:
    std::map<int, std::string> m_entries;
    std::string m_problem;
};

// Measures one drive of the map: its size and whether it is removable.
DriveInfo DescribeDrive(int number, const std::string& path);
// Size in bytes of a block device or regular file at `path`; nothing when it cannot be opened.
std::optional<ULONGLONG> DeviceSize(const std::string& path, std::string* problem = nullptr);
// Whether /sys says the block device behind `path` holds removable media.
bool IsRemovableDevice(const std::string& path);

} // namespace platform
