// Reading and writing 512-byte sectors of a recorder's drive or of a drive image, in file mode (a
// handle from CreateFileA) or driver mode (requests to the raw-disk driver "\\.\GlmDrv").
//
// The deliverables differ in small ways (which failures show a box, whether a null handle is a quiet
// success, ...). Those differences are one table of options, SectorVariant, chosen once per module;
// the operations are written once.
#pragma once

#include <string>

#include "platform/fileio.h"

namespace common {

constexpr DWORD kSectorSize = 512;

struct SectorVariant {
    const char* name;
    // A null handle or a count of 0 returns success at once, without I/O.
    bool nullHandleSucceeds;
    // A file-mode read failure also shows the "Error" box (with the nSectors wording).
    bool fileReadFailureShowsBox;
    // A file-mode read failure is silent: no debugger text and no pause.
    bool fileReadFailureSilent;
    // A driver request still pending after 1000 ms shows the "Error" box after it is cancelled.
    bool pendingRequestShowsBox;
    // The waited driver read transfers exactly one sector whatever count is asked.
    bool waitedReadOneSector;
    // Driver mode only on Windows major version 5 (else 5 and 6).
    bool driverModeOnlyOnMajor5;
    // A physical drive probed in file mode counts only when its geometry says fixed media.
    bool probeNeedsFixedMedia;
};

extern const SectorVariant kOrmaSourceVariant; // the ORMA source filter: the common definition
extern const SectorVariant kCheckerVariant;    // the drive-structure checker
extern const SectorVariant kTavSourceVariant;  // the TAV source filter
extern const SectorVariant kReaderVariant;     // the reader application

// The variant the sector functions follow when the caller names none; the ORMA source's unless set.
// Code that shares a program with other subsystems (the command line links them all) passes its
// variant explicitly.
void SetSectorVariant(const SectorVariant& variant);
const SectorVariant& CurrentSectorVariant();

// How a drive is reached, chosen from the Windows major version.
enum class AccessMode { Driver, File, None };
AccessMode ChooseAccessMode(DWORD windowsMajor, const SectorVariant& variant = CurrentSectorVariant());

// The device offset of a sector as the two 32-bit halves every request and message carries:
// high = sector >> 23, low = (sector << 9) mod 2^32.
struct SectorOffset {
    DWORD high;
    DWORD low;
};
constexpr SectorOffset SplitSectorOffset(DWORD sector) {
    return {sector >> 23, static_cast<DWORD>(sector << 9)};
}

// File mode: positioned ReadFile of count sectors. Nonzero only when all count × 512 bytes came back.
int ReadSector(HANDLE file, void* buffer, DWORD startSector, int count,
               const SectorVariant& variant = CurrentSectorVariant());
// Driver mode: GLM_IOCTL_READ, waiting at most 1000 ms for the driver.
int ReadSector(HANDLE driver, int drive, void* buffer, DWORD startSector, int count,
               const SectorVariant& variant = CurrentSectorVariant());
// Either mode, as the TAV source calls it.
int ReadSector(bool driverMode, HANDLE handle, int drive, void* buffer, DWORD startSector, int count,
               const SectorVariant& variant = CurrentSectorVariant());
// Driver mode, GLM_IOCTL_READ_WAIT, waiting without limit; used while a drive is being opened.
int ReadSectorWait(HANDLE driver, int drive, void* buffer, DWORD startSector, int count,
                   const SectorVariant& variant = CurrentSectorVariant());
// Either mode. A count of 0 succeeds at once without I/O.
int WriteSector(bool driverMode, HANDLE handle, int drive, const void* buffer, DWORD startSector, int count,
                const SectorVariant& variant = CurrentSectorVariant());

// Geometry of an open drive or image: file mode asks the handle, driver mode asks the driver for
// `drive`. Gives the sector count (Cylinders × TracksPerCylinder × SectorsPerTrack) and media type.
struct DriveGeometry {
    ULONGLONG sectors = 0;
    DWORD mediaType = 0;
};
bool QueryGeometry(HANDLE file, DriveGeometry* out);
bool QueryGeometry(HANDLE driver, int drive, DriveGeometry* out);

// Texts the open sequences built on this library show in an "Error" box.
namespace msg {
constexpr const char* kCreateFileOnDriverFailed = "CreateFile on driver (%d) failed! [Error code=%d]";
constexpr const char* kDeviceIoControlFailed = "DeviceIoControl() failed! [Error code=%d]";
constexpr const char* kReadFileFailed = "ReadFile() failed! [Error code=%d]";
constexpr const char* kCreateFileNamedFailed = "CreateFile(%s) failed! [Error code=%d]";
constexpr const char* kCreateFileFilenameFailed = "CreateFile() failed! filename=%s [Error code=%d]";
constexpr const char* kCheckHardDriveFailed = "Check hard drive failed! [Error code=%d]";
constexpr const char* kGlmDriverNotLoaded = "GLM driver not loaded";
} // namespace msg

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Shows a box captioned "Error" with an OK button.
void ErrorBox(const std::string& text);

} // namespace common
