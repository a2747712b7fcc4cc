#include "platform/glmdrv.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "platform/bytes.h"
#include "platform/drives.h"
#include "platform/file_object.h"

namespace platform {

namespace {

std::mutex g_hookLock;
DriverFaultHook& Hook() {
    static DriverFaultHook hook;
    return hook;
}

DriverFault AskHook(const DriverRequest& r) {
    std::lock_guard guard(g_hookLock);
    return Hook() ? Hook()(r) : DriverFault{};
}

} // namespace

void SetDriverFaultHook(DriverFaultHook hook) {
    std::lock_guard guard(g_hookLock);
    Hook() = std::move(hook);
}

DriverFaultHook FailingSectorHook(ULONGLONG sector) {
    return [sector](const DriverRequest& r) {
        ULONGLONG first = r.byteOffset / 512;
        ULONGLONG count = r.code == GLM_IOCTL_GET_GEOMETRY ? 0 : (r.sectorCount ? r.sectorCount : 1);
        DriverFault f;
        if (sector >= first && sector < first + count) {
            f.kind = DriverFault::Fail;
            f.error = ERROR_CRC;
        }
        return f;
    };
}

HANDLE OpenGlmDriver() {
    return MakeHandle(std::make_shared<DriverObject>());
}

DriverObject::~DriverObject() {
    CancelAll();
    for (auto& [drive, fd] : m_readFds)
        ::close(fd);
    for (auto& [drive, fd] : m_writeFds)
        ::close(fd);
}

namespace {

// The size in bytes of the block device or regular file behind `fd`.
bool SizeOfFd(int fd, ULONGLONG* size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0)
            return false;
        *size = bytes;
        return true;
    }
    if (S_ISREG(st.st_mode)) {
        *size = static_cast<ULONGLONG>(st.st_size);
        return true;
    }
    return false;
}

bool IsBlockDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

} // namespace

int DriverObject::DriveFd(int drive, bool write, DWORD* error, std::shared_ptr<CDiskImage>* image,
                          ULONGLONG* end) {
    if (!write) {
        auto found = m_readImages.find(drive);
        if (found != m_readImages.end()) {
            *image = found->second;
            return -1;
        }
    }
    auto& fds = write ? m_writeFds : m_readFds;
    auto it = fds.find(drive);
    if (it != fds.end()) {
        if (end && write)
            *end = m_writeEnds[drive];
        return it->second;
    }
    DriveMap map = DriveMap::Load();
    auto path = map.PathOf(drive);
    if (!path) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    if (ImageFormatOf(*path) != ImageFormat::Plain) {
        // An image container is never written: the write request fails as on a write-protected disk.
        if (write) {
            *error = ERROR_WRITE_PROTECT;
            return -1;
        }
        std::string problem;
        *image = OpenDiskImage(*path, &problem, error);
        if (*image)
            m_readImages[drive] = *image;
        return -1;
    }
    // Reads never open the drive for writing; only a write request does. A disk is then held
    // exclusively: a disk that is mounted or in use elsewhere is not written under its user's feet.
    int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (write && IsBlockDevice(*path))
        flags |= O_EXCL;
    int fd = ::open(path->c_str(), flags);
    if (fd < 0) {
        *error = errno == EBUSY ? ERROR_SHARING_VIOLATION : Win32ErrorFromErrno(errno);
        return -1;
    }
    if (write) {
        // A write is checked against the drive's end; an image file would otherwise grow.
        ULONGLONG size = 0;
        if (!SizeOfFd(fd, &size)) {
            ::close(fd);
            *error = ERROR_NOT_READY;
            return -1;
        }
        m_writeEnds[drive] = size;
        if (end)
            *end = size;
    }
    fds[drive] = fd;
    return fd;
}

DWORD DriverObject::Execute(DWORD code, int drive, ULONGLONG offset, LPVOID out, DWORD size, DWORD* bytes) {
    *bytes = 0;
    DWORD error = ERROR_SUCCESS;
    int fd;
    std::shared_ptr<CDiskImage> image;
    ULONGLONG end = 0;
    {
        std::lock_guard guard(m_lock);
        fd = DriveFd(drive, code == GLM_IOCTL_WRITE, &error, &image, &end);
    }
    if (fd < 0 && !image)
        return error;
    // A write that would reach past the last sector is refused whole, before any byte is written.
    if (code == GLM_IOCTL_WRITE && (offset > end || size > end - offset))
        return ERROR_SECTOR_NOT_FOUND;
    std::size_t done = 0;
    bool ok = image                     ? image->Read(out, size, offset, &done, &error)
              : code == GLM_IOCTL_WRITE ? PositionedWrite(fd, out, size, offset, &done, &error)
                                        : PositionedRead(fd, out, size, offset, &done, &error);
    *bytes = static_cast<DWORD>(done);
    if (!ok)
        return error;
    // The driver transfers whole requests: running off the end of the drive is a sector-not-found error.
    return done == size ? ERROR_SUCCESS : ERROR_SECTOR_NOT_FOUND;
}

void DriverObject::Complete(LPOVERLAPPED ov, DWORD status, std::size_t bytes) {
    {
        std::lock_guard guard(m_lock);
        ov->Internal = status;
        ov->InternalHigh = bytes;
    }
    m_changed.notify_all();
    if (ov->hEvent)
        SetEvent(ov->hEvent);
}

void DriverObject::ReapFinished() {
    std::list<Pending> finished;
    {
        std::lock_guard guard(m_lock);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            auto next = std::next(it);
            if (it->done)
                finished.splice(finished.end(), m_pending, it);
            it = next;
        }
    }
    for (Pending& p : finished)
        if (p.worker.joinable())
            p.worker.join();
}

BOOL DriverObject::Control(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                           LPOVERLAPPED ov) {
    ReapFinished();
    const BYTE* input = static_cast<const BYTE*>(in);
    DriverRequest req{code, 0, 0, 0};
    DWORD size = 0;
    switch (code) {
    case GLM_IOCTL_GET_GEOMETRY:
        if (!input || inSize < 4) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        req.drive = static_cast<int>(ReadLE32(input));
        size = kDiskGeometrySize;
        if (!out || outSize < size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        break;
    case GLM_IOCTL_READ_WAIT:
    case GLM_IOCTL_READ:
    case GLM_IOCTL_WRITE: {
        DWORD need = code == GLM_IOCTL_READ_WAIT ? 12 : 16;
        if (!input || inSize < need) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        req.drive = static_cast<int>(ReadLE32(input));
        req.byteOffset = ULONGLONG(ReadLE32(input + 4)) << 32 | ReadLE32(input + 8);
        if (code == GLM_IOCTL_READ_WAIT) {
            req.sectorCount = outSize / 512;
            size = outSize;
        } else {
            req.sectorCount = ReadLE32(input + 12);
            if (req.sectorCount > 0xFFFFFFFFu / 512) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            size = req.sectorCount * 512;
        }
        if (size && (!out || outSize < size)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        break;
    }
    default:
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }

    DriverFault fault = AskHook(req);

    auto run = [this, code, req, out, size, fault](DWORD* bytes) -> DWORD {
        if (fault.kind == DriverFault::Fail)
            return fault.error;
        if (code == GLM_IOCTL_GET_GEOMETRY) {
            DriveMap map = DriveMap::Load();
            auto path = map.PathOf(req.drive);
            if (!path)
                return ERROR_FILE_NOT_FOUND;
            if (!GeometryOf(*path, static_cast<BYTE*>(out)))
                return ERROR_NOT_READY;
            *bytes = kDiskGeometrySize;
            return ERROR_SUCCESS;
        }
        DWORD status = Execute(code, req.drive, req.byteOffset, out, size, bytes);
        if (status == ERROR_SUCCESS && fault.kind == DriverFault::Short && fault.bytes < *bytes)
            *bytes = fault.bytes;
        return status;
    };

    if (fault.kind != DriverFault::Pending) {
        DWORD bytes = 0;
        DWORD status = run(&bytes);
        if (returned)
            *returned = bytes;
        if (ov)
            Complete(ov, status, bytes);
        if (status != ERROR_SUCCESS) {
            SetLastError(status);
            return FALSE;
        }
        return TRUE;
    }

    if (!ov) {
        // A synchronous caller simply waits out the delay.
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
        DWORD bytes = 0;
        DWORD status = run(&bytes);
        if (returned)
            *returned = bytes;
        SetLastError(status);
        return status == ERROR_SUCCESS;
    }

    {
        std::lock_guard guard(m_lock);
        ov->Internal = STATUS_PENDING;
        ov->InternalHigh = 0;
        m_pending.emplace_back();
        m_pending.back().ov = ov;
        Pending* p = &m_pending.back();
        p->worker = std::thread([this, p, run, fault]() {
            {
                std::unique_lock lock(m_lock);
                m_changed.wait_for(lock, std::chrono::milliseconds(fault.delayMs),
                                   [p] { return p->cancelled; });
                if (p->cancelled) {
                    // Cancelled before it ran: the caller's buffer is never touched.
                    p->ov->Internal = ERROR_OPERATION_ABORTED;
                    p->ov->InternalHigh = 0;
                    HANDLE ev = p->ov->hEvent;
                    p->done = true;
                    lock.unlock();
                    if (ev)
                        SetEvent(ev);
                    return;
                }
            }
            DWORD bytes = 0;
            DWORD status = run(&bytes);
            LPOVERLAPPED target = p->ov;
            Complete(target, status, bytes);
            std::lock_guard lock(m_lock);
            p->done = true;
        });
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL DriverObject::Result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    ULONG_PTR status;
    {
        std::lock_guard guard(m_lock);
        status = ov->Internal;
    }
    if (status == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (ov->hEvent) {
            WaitForSingleObject(ov->hEvent, INFINITE);
        } else {
            std::unique_lock lock(m_lock);
            m_changed.wait(lock, [ov] { return ov->Internal != STATUS_PENDING; });
        }
    }
    std::lock_guard guard(m_lock);
    if (transferred)
        *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != 0) {
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

void DriverObject::CancelAll() {
    std::list<Pending> all;
    {
        std::lock_guard guard(m_lock);
        for (Pending& p : m_pending)
            p.cancelled = true;
        all.splice(all.end(), m_pending);
    }
    m_changed.notify_all();
    for (Pending& p : all)
        if (p.worker.joinable())
            p.worker.join();
}

} // namespace platform
