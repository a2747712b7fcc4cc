// The raw-disk driver "\\.\GlmDrv" as a user-space driver over the drive map. It answers exactly the
// four control requests the sector library sends; everything else is rejected.
#pragma once

#include <functional>

#include "platform/fileio.h"

constexpr DWORD GLM_IOCTL_READ_WAIT = 0x0022E004;
constexpr DWORD GLM_IOCTL_GET_GEOMETRY = 0x0022E008;
constexpr DWORD GLM_IOCTL_READ = 0x0022E00C;
constexpr DWORD GLM_IOCTL_WRITE = 0x0022E010;

constexpr const char* kGlmDriverPath = "\\\\.\\GlmDrv";

namespace platform {

// What a test wants the driver to do with one request.
struct DriverFault {
    enum Kind {
        None,    // complete normally, at once
        Pending, // stay pending for `delayMs` before completing (or until cancelled)
        Short,   // complete with only `bytes` bytes transferred
        Fail,    // complete with `error`
    } kind = None;
    DWORD delayMs = 0;
    DWORD bytes = 0;
    DWORD error = ERROR_CRC;
};

struct DriverRequest {
    DWORD code;
    int drive;
    ULONGLONG byteOffset;
    DWORD sectorCount;
};

// Installs a hook that decides, per request, what goes wrong; an empty function removes it.
using DriverFaultHook = std::function<DriverFault(const DriverRequest&)>;
void SetDriverFaultHook(DriverFaultHook hook);

// A hook that fails every request touching `sector` with ERROR_CRC, as a bad sector would.
DriverFaultHook FailingSectorHook(ULONGLONG sector);

} // namespace platform
