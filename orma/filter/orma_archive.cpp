// The two exports of the ORMA source: the drive image of the clusters that cover a time range (written
// on a thread of its own), and the per-frame status export switched on for the frames read.
//
// A drive image holds the clusters first … last, each copied whole in cluster order, then one marker
// sector saying how many clusters the image holds; the same filter opens it again as drive 0.
#include <algorithm>
#include <cstring>
#include <new>

#include "orma_src.h"
#include "platform/glmdrv.h"
#include "platform/system.h"

namespace {

constexpr DWORD kBlockBytes = orma::kBlockSectors * orma::kSectorBytes; // 1 MiB: one block per read
constexpr DWORD kCancelWaitMs = 10000;

void Trace(const char* method) {
    std::string line = std::string("COrmaSrc::") + method + "()\n";
    OutputDebugStringA(line.c_str());
}

} // namespace

HRESULT COrmaSrc::ArchiveDataFile(HANDLE file, int mode) {
    Trace("ArchiveDataFile");
    CAutoLock disk(&m_DiskLock);
    m_disk.ArchiveDataFile(file, mode);
    return S_OK;
}

HRESULT COrmaSrc::ArchiveOrmaFile(HANDLE file, BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime,
                                  int* progress) {
    Trace("ArchiveOrmaFile");
    if (!HasDrive()) {
        common::ErrorBox("ArchiveOrmaFile(): Device not opened yet!");
        return E_FAIL;
    }
    if (progress)
        *progress = m_ArchiveProgress;
    if (!file)
        return S_OK; // a progress poll
    if (file == INVALID_HANDLE_VALUE) {
        if (m_ArchiveThread.joinable()) {
            m_ArchiveRunning = false;
            m_ArchiveDone->Wait(kCancelWaitMs);
            ReapExportThread();
        }
        return S_OK;
    }
    ReapExportThread();
    if (m_ArchiveThread.joinable())
        return E_FAIL; // one export at a time

    DWORD first = 0, last = 0;
    {
        CAutoLock disk(&m_DiskLock);
        m_disk.SetPointerTime(startYear, startTime);
        first = m_disk.CurrentCluster();
        m_disk.SetPointerTime(endYear, endTime);
        last = m_disk.CurrentCluster();
        m_disk.SetPointerTime(startYear, startTime);
        // A range whose end lies in a lower cluster than its start wrapped round the end of the
        // recording area; it cannot be copied as one run of clusters.
        if (last < first) {
            common::ErrorBox("ArchiveOrmaFile(): Invalid parameter(s)!");
            return E_INVALIDARG;
        }
        std::memcpy(m_ArchiveMarker, m_disk.Marker(), orma::kSectorBytes);
        m_ArchiveClusterSize = m_disk.ClusterSize();
    }
    m_ArchiveFile = file;
    m_ArchiveFirst = first;
    m_ArchiveLast = last;
    m_ArchiveProgress = 0;
    m_ArchiveRunning = true;
    m_ArchiveDone->Reset();
    m_ArchiveThread = std::thread([this] { ExportThread(); });
    return S_OK;
}

void COrmaSrc::ReapExportThread() {
    if (m_ArchiveThread.joinable() && m_ArchiveDone->Wait(0))
        m_ArchiveThread.join();
}

void COrmaSrc::StopExport() {
    m_ArchiveRunning = false;
    if (m_ArchiveThread.joinable())
        m_ArchiveThread.join();
}

void COrmaSrc::ExportThread() {
    const common::SectorVariant& variant = common::kOrmaSourceVariant;
    const DWORD C = m_ArchiveClusterSize;
    const DWORD first = m_ArchiveFirst;
    DWORD last = m_ArchiveLast;
    HANDLE out = m_ArchiveFile;

    // The export reads through a handle of its own on the same drive, opened read-only (or the
    // raw-disk driver in driver mode), so playback's handle and position stay the drive's.
    const bool driverMode =
        !m_isImage && common::ChooseAccessMode(m_WinMajor, variant) == common::AccessMode::Driver;
    HANDLE in =
        driverMode
            ? CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)
            : CreateFileA(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        in = nullptr;

    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kBlockBytes]);
    bool complete = false;
    if (!buffer) {
        common::ErrorBox("ArchiveOrmaFile(): LocalAlloc() failed!");
    } else {
        const DWORD blocksPerCluster = C / orma::kBlockSectors;
        const ULONGLONG totalBlocks = ULONGLONG(last - first + 1) * blocksPerCluster;
        bool readFailed = false;
        for (DWORD i = first; i <= last && !readFailed; ++i) {
            bool cut = false;
            for (DWORD j = 0; j < blocksPerCluster; ++j) {
                if (!m_ArchiveRunning) {
                    last = i - 1; // cancelled: the image ends with the last complete cluster
                    cut = true;
                    break;
                }
                m_ArchiveProgress =
                    static_cast<int>((ULONGLONG(i - first) * blocksPerCluster + j) * 100 / totalBlocks);
                const DWORD sector = i * C + j * orma::kBlockSectors;
                {
                    // The playback position follows the export.
                    CAutoLock disk(&m_DiskLock);
                    m_disk.SetPointer(i, j, 0);
                    m_disk.GetFrame(nullptr, nullptr, nullptr);
                }
                const int ok =
                    in && (driverMode ? common::ReadSector(in, m_nDrive, buffer.get(), sector,
                                                           static_cast<int>(orma::kBlockSectors), variant)
                                      : common::ReadSector(in, buffer.get(), sector,
                                                           static_cast<int>(orma::kBlockSectors), variant));
                if (!ok) {
                    common::ErrorBox("ArchiveOrmaFile(): ReadSector() failed!");
                    readFailed = true;
                    break;
                }
                DWORD written = 0;
                if (!WriteFile(out, buffer.get(), kBlockBytes, &written, nullptr) || written != kBlockBytes) {
                    common::ErrorBox("Write to file failed! Disk full?");
                    last = i - 1;
                    cut = true;
                    break;
                }
            }
            if (cut)
                break;
        }
        complete = !readFailed;
    }

    if (complete) {
        // The marker sector after the clusters copied: n clusters of C sectors. The count may be 0
        // (cancelled inside the first cluster); such an image holds no cluster and opens as nothing.
        const DWORD n = last + 1 - first;
        BYTE marker[orma::kSectorBytes];
        std::memcpy(marker, m_ArchiveMarker, sizeof marker);
        platform::WriteLE32(marker + 4, n * C);
        platform::WriteLE32(marker + 8, C);
        platform::WriteLE32(marker + 12, n);
        platform::WriteLE32(marker + 16, 0);
        platform::WriteLE32(marker + 20, 0);
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(ULONGLONG(n) * C * orma::kSectorBytes);
        DWORD written = 0;
        // Blocks of a cluster left incomplete by a cancel or a full disk lie beyond the marker; the
        // image ends with the marker, so they are cut off.
        if (!SetFilePointerEx(out, at, nullptr, FILE_BEGIN) ||
            !WriteFile(out, marker, sizeof marker, &written, nullptr) || written != sizeof marker ||
            !SetEndOfFile(out))
            common::ErrorBox("Write to file failed! Disk full?");
    }
    // The export owns the file it was given from the start on, so it is closed in every case.
    CloseHandle(out);
    if (in)
        CloseHandle(in);

    m_ArchiveFile = nullptr;
    m_ArchiveFirst = m_ArchiveLast = 0;
    m_ArchiveRunning = false;
    m_ArchiveProgress = -1;
    m_ArchiveDone->Set();
}
