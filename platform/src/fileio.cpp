#include "platform/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/bytes.h"
#include "platform/disk_image.h"
#include "platform/drives.h"
#include "platform/file_object.h"
#include "platform/glmdrv.h"
#include "platform/system.h"

namespace platform {

DISK_GEOMETRY ParseDiskGeometry(const BYTE* b) {
    DISK_GEOMETRY g{};
    g.Cylinders = static_cast<LONGLONG>(ReadLE64(b));
    g.MediaType = ReadLE32(b + 8);
    g.TracksPerCylinder = ReadLE32(b + 12);
    g.SectorsPerTrack = ReadLE32(b + 16);
    g.BytesPerSector = ReadLE32(b + 20);
    return g;
}

void WriteDiskGeometry(const DISK_GEOMETRY& g, BYTE* b) {
    WriteLE64(b, static_cast<std::uint64_t>(g.Cylinders));
    WriteLE32(b + 8, g.MediaType);
    WriteLE32(b + 12, g.TracksPerCylinder);
    WriteLE32(b + 16, g.SectorsPerTrack);
    WriteLE32(b + 20, g.BytesPerSector);
}

bool GeometryOf(const std::string& path, BYTE* out) {
    std::string problem;
    auto size = DeviceSize(path, &problem);
    if (!size)
        return false;
    DISK_GEOMETRY g{};
    // One sector per track and one track per cylinder, so Cylinders is the true sector count.
    g.Cylinders = static_cast<LONGLONG>(*size / 512);
    g.MediaType = IsRemovableDevice(path) ? RemovableMedia : FixedMedia;
    g.TracksPerCylinder = 1;
    g.SectorsPerTrack = 1;
    g.BytesPerSector = 512;
    WriteDiskGeometry(g, out);
    return true;
}

FileObject::~FileObject() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PositionedRead(int fd, void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done,
                    DWORD* error) {
    *done = 0;
    auto* p = static_cast<char*>(buffer);
    while (*done < size) {
        ssize_t n = ::pread(fd, p + *done, size - *done, static_cast<off_t>(offset + *done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = Win32ErrorFromErrno(errno);
            return false;
        }
        if (n == 0)
            break; // end of file: a short, successful read
        *done += static_cast<std::size_t>(n);
    }
    return true;
}

bool PositionedWrite(int fd, const void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done,
                     DWORD* error) {
    *done = 0;
    auto* p = static_cast<const char*>(buffer);
    while (*done < size) {
        ssize_t n = ::pwrite(fd, p + *done, size - *done, static_cast<off_t>(offset + *done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = Win32ErrorFromErrno(errno);
            return false;
        }
        if (n == 0) {
            *error = ERROR_DISK_FULL;
            return false;
        }
        *done += static_cast<std::size_t>(n);
    }
    return true;
}

void CompleteOverlapped(LPOVERLAPPED ov, DWORD status, std::size_t bytes) {
    ov->Internal = status;
    ov->InternalHigh = bytes;
    if (ov->hEvent)
        SetEvent(ov->hEvent);
}

namespace {

// A transfer moves the file pointer past what it moved unless it was an overlapped request on a handle
// opened for overlapped work: an OVERLAPPED on a synchronous handle only gives the offset.
bool MovesFilePointer(const FileObject& obj, LPOVERLAPPED ov) {
    return !ov || !(obj.m_flags & FILE_FLAG_OVERLAPPED);
}

bool IsPhysicalDrivePath(const std::string& name, int* number) {
    static const char prefix[] = "\\\\.\\PHYSICALDRIVE";
    std::size_t n = sizeof prefix - 1;
    if (name.size() <= n || strncasecmp(name.c_str(), prefix, n) != 0)
        return false;
    int value = 0;
    for (std::size_t i = n; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || value > 100000)
            return false;
        value = value * 10 + (name[i] - '0');
    }
    *number = value;
    return true;
}

} // namespace
} // namespace platform

using namespace platform;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string requested = name;
    if (strcasecmp(name, kGlmDriverPath) == 0)
        return OpenGlmDriver();

    std::string path;
    int drive = -1;
    if (IsPhysicalDrivePath(requested, &drive)) {
        DriveMap map = DriveMap::Load();
        auto p = map.PathOf(drive);
        if (!p) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        path = *p;
    } else {
        path = MapWindowsPath(requested);
    }

    bool wantsWrite = (access & GENERIC_WRITE) != 0;
    if (ImageFormatOf(path) != ImageFormat::Plain) {
        // Image containers are evidence: opened for reading only, whatever is asked.
        if (wantsWrite || disposition != OPEN_EXISTING) {
            SetLastError(ERROR_WRITE_PROTECT);
            return INVALID_HANDLE_VALUE;
        }
        std::string problem;
        DWORD error = ERROR_SUCCESS;
        auto image = OpenDiskImage(path, &problem, &error);
        if (!image) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        auto obj = std::make_shared<FileObject>(-1, path, flags);
        obj->m_image = std::move(image);
        SetLastError(ERROR_SUCCESS);
        return MakeHandle(std::move(obj));
    }

    int oflags = O_CLOEXEC;
    wantsWrite = (access & GENERIC_WRITE) != 0;
    bool wantsRead = (access & GENERIC_READ) != 0 || !wantsWrite;
    oflags |= wantsWrite ? (wantsRead ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        oflags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        oflags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        oflags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        oflags |= O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((oflags & (O_CREAT | O_TRUNC)) && !wantsWrite) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(path.c_str(), oflags, 0644);
    if (fd < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    auto obj = std::make_shared<FileObject>(fd, path, flags);
    SetLastError(disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS
                                                                            : ERROR_SUCCESS);
    return MakeHandle(std::move(obj));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
    auto obj = LookupHandleAs<FileObject>(file);
    if (read)
        *read = 0;
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!buffer && toRead) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    // A read at a given offset of a plain file needs no lock: pread leaves the descriptor alone, and the
    // file pointer is stored whole. A read at the file pointer, or through an image container with its
    // own state, is serialised.
    std::unique_lock guard(obj->m_lock, std::defer_lock);
    if (!ov || obj->m_image)
        guard.lock();
    ULONGLONG offset = ov ? (ULONGLONG(ov->OffsetHigh) << 32 | ov->Offset) : obj->m_position.load();
    std::size_t done = 0;
    DWORD error = ERROR_SUCCESS;
    bool ok = obj->m_image ? obj->m_image->Read(buffer, toRead, offset, &done, &error)
                           : PositionedRead(obj->m_fd, buffer, toRead, offset, &done, &error);
    if (MovesFilePointer(*obj, ov))
        obj->m_position = offset + done;
    if (read)
        *read = static_cast<DWORD>(done);
    if (ov)
        CompleteOverlapped(ov, ok ? 0 : error, done);
    if (!ok) {
        SetLastError(error);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) {
    auto obj = LookupHandleAs<FileObject>(file);
    if (written)
        *written = 0;
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!buffer && toWrite) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (obj->m_image) {
        if (ov)
            CompleteOverlapped(ov, ERROR_WRITE_PROTECT, 0);
        SetLastError(ERROR_WRITE_PROTECT);
        return FALSE;
    }
    std::lock_guard guard(obj->m_lock);
    ULONGLONG offset = ov ? (ULONGLONG(ov->OffsetHigh) << 32 | ov->Offset) : obj->m_position.load();
    std::size_t done = 0;
    DWORD error = ERROR_SUCCESS;
    bool ok = PositionedWrite(obj->m_fd, buffer, toWrite, offset, &done, &error);
    if (MovesFilePointer(*obj, ov))
        obj->m_position = offset + done;
    if (written)
        *written = static_cast<DWORD>(done);
    if (ov)
        CompleteOverlapped(ov, ok ? 0 : error, done);
    if (!ok) {
        // A handle opened for reading only: Windows reports access denied.
        SetLastError(error == ERROR_INVALID_HANDLE ? ERROR_ACCESS_DENIED : error);
        return FALSE;
    }
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method) {
    auto obj = LookupHandleAs<FileObject>(file);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard guard(obj->m_lock);
    LONGLONG base = 0;
    if (method == FILE_CURRENT) {
        base = static_cast<LONGLONG>(obj->m_position);
    } else if (method == FILE_END && obj->m_image) {
        base = static_cast<LONGLONG>(obj->m_image->Size());
    } else if (method == FILE_END) {
        auto size = DeviceSize(obj->m_path);
        struct stat st {};
        base = size ? static_cast<LONGLONG>(*size) : (::fstat(obj->m_fd, &st) == 0 ? st.st_size : 0);
    } else if (method != FILE_BEGIN) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONGLONG target = base + distance.QuadPart;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    obj->m_position = static_cast<ULONGLONG>(target);
    if (newPosition)
        newPosition->QuadPart = target;
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distanceLow, LONG* distanceHigh, DWORD method) {
    LARGE_INTEGER d{};
    if (distanceHigh) {
        d.QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32 |
                                           static_cast<DWORD>(distanceLow));
    } else {
        d.QuadPart = distanceLow; // without a high half the distance is a signed 32-bit value
    }
    LARGE_INTEGER pos{};
    if (!SetFilePointerEx(file, d, &pos, method))
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh)
        *distanceHigh = static_cast<LONG>(static_cast<ULONGLONG>(pos.QuadPart) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(static_cast<ULONGLONG>(pos.QuadPart) & 0xFFFFFFFFu);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    auto obj = LookupHandleAs<FileObject>(file);
    if (!obj || !size) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto s = obj->m_image ? std::optional<ULONGLONG>(obj->m_image->Size()) : DeviceSize(obj->m_path);
    struct stat st {};
    if (s) {
        size->QuadPart = static_cast<LONGLONG>(*s);
    } else if (::fstat(obj->m_fd, &st) == 0) {
        size->QuadPart = st.st_size;
    } else {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
    LARGE_INTEGER s{};
    if (!GetFileSizeEx(file, &s))
        return INVALID_FILE_SIZE;
    if (high)
        *high = static_cast<DWORD>(static_cast<ULONGLONG>(s.QuadPart) >> 32);
    return static_cast<DWORD>(s.QuadPart);
}

BOOL SetEndOfFile(HANDLE file) {
    auto obj = LookupHandleAs<FileObject>(file);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (obj->m_image) {
        SetLastError(ERROR_WRITE_PROTECT);
        return FALSE;
    }
    std::lock_guard guard(obj->m_lock);
    if (::ftruncate(obj->m_fd, static_cast<off_t>(obj->m_position)) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    auto obj = LookupHandleAs<FileObject>(file);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!obj->m_image && ::fsync(obj->m_fd) != 0 && errno != EINVAL && errno != EROFS) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
    if (!name || ::unlink(MapWindowsPath(name).c_str()) != 0) {
        SetLastError(name ? Win32ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    if (!name || ::mkdir(MapWindowsPath(name).c_str(), 0755) != 0) {
        SetLastError(name ? Win32ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR directory, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree) {
    std::string path = directory ? MapWindowsPath(directory) : std::string(".");
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (freeToCaller)
        freeToCaller->QuadPart = ULONGLONG(vfs.f_bavail) * vfs.f_frsize;
    if (total)
        total->QuadPart = ULONGLONG(vfs.f_blocks) * vfs.f_frsize;
    if (totalFree)
        totalFree->QuadPart = ULONGLONG(vfs.f_bfree) * vfs.f_frsize;
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED ov) {
    auto obj = LookupHandle(device);
    if (returned)
        *returned = 0;
    if (auto drv = std::dynamic_pointer_cast<DriverObject>(obj))
        return drv->Control(code, in, inSize, out, outSize, returned, ov);
    auto file = std::dynamic_pointer_cast<FileObject>(obj);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (code != IOCTL_DISK_GET_DRIVE_GEOMETRY) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!out || outSize < kDiskGeometrySize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!GeometryOf(file->m_path, static_cast<BYTE*>(out))) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (returned)
        *returned = kDiskGeometrySize;
    if (ov)
        CompleteOverlapped(ov, 0, kDiskGeometrySize);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto drv = LookupHandleAs<DriverObject>(device);
    if (drv)
        return drv->Result(ov, transferred, wait);
    if (!LookupHandle(device)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // File requests complete before the call that starts them returns.
    if (transferred)
        *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != 0) {
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE device) {
    auto obj = LookupHandle(device);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (auto drv = std::dynamic_pointer_cast<DriverObject>(obj))
        drv->CancelAll();
    return TRUE;
}
