#include "common/sector.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/bytes.h"
#include "platform/glmdrv.h"
#include "platform/system.h"

namespace common {

//                                            null ok  file box  silent  pending box  one sector  only 5 fixed
const SectorVariant kOrmaSourceVariant = {"ORMA source", false, false, false, true, false, false, false};
const SectorVariant kCheckerVariant = {"checker", false, false, true, true, true, true, false};
const SectorVariant kTavSourceVariant = {"TAV source", true, true, false, true, false, false, false};
const SectorVariant kReaderVariant = {"reader", true, false, false, false, false, false, true};

namespace {

const SectorVariant* g_variant = &kOrmaSourceVariant;

// The largest transfer one request can name: count × 512 must fit the 32-bit length of a request.
constexpr ULONGLONG kMaxTransferBytes = 0xFFFFFFFFull & ~ULONGLONG(kSectorSize - 1);

bool TransferSize(int count, DWORD* bytes) {
    if (count < 0 || ULONGLONG(count) * kSectorSize > kMaxTransferBytes)
        return false;
    *bytes = static_cast<DWORD>(count) * kSectorSize;
    return true;
}

std::string FailureText(const char* what, const char* countName, DWORD error, DWORD bytes, DWORD start,
                        int count) {
    SectorOffset off = SplitSectorOffset(start);
    return Format("%s failed!\nErrno=%d dwBytes=%d\nstart_sector=%d [%08X %08X] %s=%d\n", what,
                  static_cast<int>(error), static_cast<int>(bytes), static_cast<int>(start), off.high,
                  off.low, countName, count);
}

// The 16-byte request of GLM_IOCTL_READ and GLM_IOCTL_WRITE (the first 12 bytes are GLM_IOCTL_READ_WAIT's).
void PackRequest(BYTE* in, int drive, DWORD start, int count) {
    SectorOffset off = SplitSectorOffset(start);
    platform::WriteLE32(in, static_cast<std::uint32_t>(drive));
    platform::WriteLE32(in + 4, off.high);
    platform::WriteLE32(in + 8, off.low);
    platform::WriteLE32(in + 12, static_cast<std::uint32_t>(count));
}

// One driver request bounded by a 1000 ms wait; a request still running then is cancelled and, in the
// variants that say so, reported in a box.
int DriverTransfer(DWORD code, HANDLE driver, int drive, void* buffer, DWORD start, int count,
                   const char* what, const SectorVariant& variant) {
    DWORD size = 0;
    if (!TransferSize(count, &size) || !driver)
        return 0;
    BYTE in[16];
    PackRequest(in, drive, start, count);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(driver, code, in, sizeof in, buffer, size, &bytes, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        CancelIo(driver);
        CloseHandle(ov.hEvent);
        return 0;
    }
    WaitForSingleObject(ov.hEvent, 1000);
    CloseHandle(ov.hEvent);
    BOOL result = GetOverlappedResult(driver, &ov, &bytes, FALSE);
    if (!result) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            // Cancelling waits for the driver to let go of the request, so neither the OVERLAPPED on
            // this stack frame nor the caller's buffer is touched after we return.
            CancelIo(driver);
            if (variant.pendingRequestShowsBox)
                ErrorBox(FailureText(what, "nSectors", error, bytes, start, count));
        }
        return 0;
    }
    // A request that moved fewer bytes than asked has not read (or written) the sectors.
    if (bytes != size) {
        OutputDebugStringA(FailureText(what, "nSectors", GetLastError(), bytes, start, count).c_str());
        return 0;
    }
    return result;
}

// File mode: one ReadFile or WriteFile of count sectors at the sector's offset, given in an OVERLAPPED
// on the synchronous handle: a positioned transfer that also leaves the file pointer after it, as a
// SetFilePointer before the transfer would, in one call instead of two. True only when every byte moved.
bool FileTransfer(bool write, HANDLE file, void* buffer, DWORD start, int count, DWORD* bytes) {
    DWORD size = 0;
    if (!TransferSize(count, &size) || !file)
        return false;
    SectorOffset off = SplitSectorOffset(start);
    OVERLAPPED ov{};
    ov.Offset = off.low;
    ov.OffsetHigh = off.high;
    BOOL ok = write ? WriteFile(file, buffer, size, bytes, &ov) : ReadFile(file, buffer, size, bytes, &ov);
    return ok && *bytes == size;
}

} // namespace

void SetSectorVariant(const SectorVariant& variant) {
    g_variant = &variant;
}
const SectorVariant& CurrentSectorVariant() {
    return *g_variant;
}

AccessMode ChooseAccessMode(DWORD major, const SectorVariant& variant) {
    if (variant.driverModeOnlyOnMajor5)
        return major == 5 ? AccessMode::Driver : AccessMode::File;
    if (major == 5 || major == 6)
        return AccessMode::Driver;
    if (major == 4)
        return AccessMode::File;
    return AccessMode::None;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(out.data(), out.size() + 1, format, args);
    va_end(args);
    return out;
}

void ErrorBox(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), "Error", MB_OK);
}

int ReadSector(HANDLE file, void* buffer, DWORD start, int count, const SectorVariant& v) {
    if (v.nullHandleSucceeds && (!file || count == 0))
        return 1;
    DWORD bytes = 0;
    if (FileTransfer(false, file, buffer, start, count, &bytes))
        return 1;
    if (v.fileReadFailureSilent)
        return 0;
    DWORD error = GetLastError();
    OutputDebugStringA(
        FailureText("ReadSector(): ReadFile", "num_sector", error, bytes, start, count).c_str());
    if (v.fileReadFailureShowsBox)
        ErrorBox(FailureText("ReadSector(): ReadFile", "nSectors", error, bytes, start, count));
    Sleep(100);
    return 0;
}

int ReadSector(HANDLE driver, int drive, void* buffer, DWORD start, int count, const SectorVariant& v) {
    if (v.nullHandleSucceeds && (!driver || count == 0))
        return 1;
    return DriverTransfer(GLM_IOCTL_READ, driver, drive, buffer, start, count,
                          "ReadSector(): DeviceIoControl", v);
}

int ReadSector(bool driverMode, HANDLE handle, int drive, void* buffer, DWORD start, int count,
               const SectorVariant& v) {
    return driverMode ? ReadSector(handle, drive, buffer, start, count, v)
                      : ReadSector(handle, buffer, start, count, v);
}

int ReadSectorWait(HANDLE driver, int drive, void* buffer, DWORD start, int count, const SectorVariant& v) {
    if (!driver)
        return 0;
    if (v.waitedReadOneSector)
        count = 1;
    DWORD size = 0;
    if (!TransferSize(count, &size))
        return 0;
    BYTE in[16];
    PackRequest(in, drive, start, count);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(driver, GLM_IOCTL_READ_WAIT, in, 12, buffer, size, &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(driver, &ov, &bytes, TRUE);
    else if (ok)
        GetOverlappedResult(driver, &ov, &bytes, TRUE);
    CloseHandle(ov.hEvent);
    // A read the driver finished later still counts, as long as every byte came back.
    return ok && bytes == size ? 1 : 0;
}

int WriteSector(bool driverMode, HANDLE handle, int drive, const void* buffer, DWORD start, int count,
                const SectorVariant& v) {
    if (count == 0)
        return 1;
    if (driverMode)
        return DriverTransfer(GLM_IOCTL_WRITE, handle, drive, const_cast<void*>(buffer), start, count,
                              "WriteSector(): DeviceIoControl", v);
    DWORD bytes = 0;
    if (FileTransfer(true, handle, const_cast<void*>(buffer), start, count, &bytes))
        return 1;
    std::string text =
        FailureText("WriteSector(): WriteFile", "nSectors", GetLastError(), bytes, start, count);
    ErrorBox(text);
    OutputDebugStringA(text.c_str());
    Sleep(100);
    return 0;
}

bool QueryGeometry(HANDLE file, DriveGeometry* out) {
    BYTE raw[kDiskGeometrySize] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(file, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, raw, sizeof raw, &bytes, nullptr) ||
        bytes < kDiskGeometrySize)
        return false;
    DISK_GEOMETRY g = platform::ParseDiskGeometry(raw);
    out->sectors = ULONGLONG(static_cast<DWORD>(g.Cylinders)) * g.TracksPerCylinder * g.SectorsPerTrack;
    out->mediaType = g.MediaType;
    return true;
}

bool QueryGeometry(HANDLE driver, int drive, DriveGeometry* out) {
    BYTE in[4];
    platform::WriteLE32(in, static_cast<std::uint32_t>(drive));
    BYTE raw[kDiskGeometrySize] = {};
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(driver, GLM_IOCTL_GET_GEOMETRY, in, sizeof in, raw, sizeof raw, &bytes, &ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        // Asked without waiting: a query the driver has not finished fails quietly.
        ok = GetOverlappedResult(driver, &ov, &bytes, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
            CancelIo(driver);
    }
    CloseHandle(ov.hEvent);
    if (!ok || bytes < kDiskGeometrySize)
        return false;
    DISK_GEOMETRY g = platform::ParseDiskGeometry(raw);
    out->sectors = ULONGLONG(static_cast<DWORD>(g.Cylinders)) * g.TracksPerCylinder * g.SectorsPerTrack;
    out->mediaType = g.MediaType;
    return true;
}

} // namespace common
