// Kernel objects behind file and driver handles. Internal to platform/.
#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/disk_image.h"
#include "platform/fileio.h"

namespace platform {

class FileObject final : public KernelObject {
public:
    FileObject(int fd, std::string path, DWORD flags) : m_fd(fd), m_path(std::move(path)), m_flags(flags) {}
    ~FileObject() override;

    int m_fd;
    std::string m_path;
    DWORD m_flags;
    std::mutex m_lock; // orders the moves of the file pointer
    std::atomic<ULONGLONG> m_position{0};
    std::shared_ptr<CDiskImage> m_image; // an image container read in place of m_fd (then -1)
};

// "\\.\GlmDrv": answers the four control requests over the drive map.
class DriverObject final : public KernelObject {
public:
    ~DriverObject() override;
    void OnClose() override { CancelAll(); }

    BOOL Control(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                 LPOVERLAPPED ov);
    BOOL Result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
    void CancelAll();

private:
    struct Pending {
        LPOVERLAPPED ov = nullptr;
        bool cancelled = false;
        bool done = false;
        std::thread worker;
    };
    // Runs one request: fills `out` or writes from it. Returns the Win32 status and the bytes moved.
    DWORD Execute(DWORD code, int drive, ULONGLONG offset, LPVOID out, DWORD size, DWORD* bytes);
    // The descriptor of a drive, or -1 with *image set when the drive is an image container.
    // A descriptor opened for writing also gives the drive's size in *end.
    int DriveFd(int drive, bool write, DWORD* error, std::shared_ptr<CDiskImage>* image,
                ULONGLONG* end = nullptr);
    void Complete(LPOVERLAPPED ov, DWORD status, std::size_t bytes);
    void ReapFinished();

    std::mutex m_lock; // guards the pending list, the descriptors and every OVERLAPPED it completes
    std::condition_variable m_changed;
    std::list<Pending> m_pending;
    std::map<int, int> m_readFds;
    std::map<int, int> m_writeFds;
    std::map<int, ULONGLONG> m_writeEnds; // each drive's size in bytes, measured when opened for writing
    std::map<int, std::shared_ptr<CDiskImage>> m_readImages; // drives that are image containers
};

HANDLE OpenGlmDriver();

bool PositionedRead(int fd, void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done,
                    DWORD* error);
bool PositionedWrite(int fd, const void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done,
                     DWORD* error);
void CompleteOverlapped(LPOVERLAPPED ov, DWORD status, std::size_t bytes);
bool GeometryOf(const std::string& path, BYTE* out);

} // namespace platform
