// Formatting a video drive: the "Format HD" command and the direct format through the raw-disk driver.
//
// A direct format zeroes the areas a recorder and the drive list look at (the start of the drive,
// the ORMA marker sector, the TAV drive header and segment 0's block indexes), so the recorder takes
// the drive as empty. With a recording open on the selected drive, its source erases the drive instead.
#pragma once

#include <vector>

#include "reader/drive_list.h"
#include "reader/player.h"

namespace reader {

namespace msg {
constexpr const char* kNotAVideoDrive =
    "The playing media is not an Veltrix video drive \nand cannot be formatted.";
constexpr const char* kEraseWarning =
    "This will erase the entire video content on the hard drive! \nAre you sure you want to proceed?";
constexpr const char* kFormatted = "The video drive has been successfully formatted!";
constexpr const char* kWarningCaption = "WARNING";
} // namespace msg

// One run of zeroed sectors.
struct SectorRun {
    ULONGLONG first = 0;
    int count = 0;
};

// The zero buffer: 40 sectors.
constexpr int kFormatRunSectors = 40;

// The runs a direct format zeroes on a drive of `sectors` sectors, in the order they are written.
// A run that would lie past the drive's end, or past the last sector a 32-bit request can name (as
// the TAV header's place does on a drive below 1 GiB, where it would wrap round), is left out.
std::vector<SectorRun> FormatRuns(ULONGLONG sectors);

// Zeroes the index areas of physical drive `drive` through the raw-disk driver. 1 on success, 0
// when the driver cannot be opened, the geometry cannot be read or the drive is not fixed media.
int FormatDriveDirect(int drive);

// How the "Format HD" command ended.
enum class FormatOutcome {
    NotAVideoDrive, // row 0 was selected: nothing written
    Cancelled,      // the question was not answered with OK: nothing written
    Failed,         // the driver or the source could not format the drive (no message shown)
    Formatted,      // the success message was shown; an open recording of the drive was closed
};

// The "Format HD" command. `selected` is the drive-list entry of the selected row, null for row 0
// ("Local File..."); `player` holds the open recording, if any. Asks before anything is written.
// With the selected drive's recording open, its source erases the drive and the recording is closed
// on success; otherwise the drive is formatted directly.
FormatOutcome FormatSelectedDrive(const DriveEntry* selected, CPlayerCore& player);

} // namespace reader
