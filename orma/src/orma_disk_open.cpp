// Opening an ORMA drive or drive image: geometry, marker sector, the D32M index scan, the segment list
// and the correction for an oldest cluster that the recorder has begun to overwrite.
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "orma/orma_disk.h"
#include "platform/glmdrv.h"
#include "platform/system.h"

namespace orma {

namespace {

constexpr DWORD kMaxSector = 0xFFFFFFFFu;
constexpr const char* kDriveCorrupted = "The ORMA drive is corrupted!";

// The D32M array of a large drive is tens of MiB that the scan fills one sector at a time; on 2 MiB
// pages it costs a few dozen page faults instead of thousands.
constexpr std::size_t kHugePage = 2u << 20;

BYTE* AllocateIndex(std::size_t bytes) {
    if (bytes < kHugePage)
        return static_cast<BYTE*>(std::malloc(bytes ? bytes : 1));
    void* p = nullptr;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (posix_memalign(&p, kHugePage, rounded) != 0)
        return nullptr;
    ::madvise(p, rounded, MADV_HUGEPAGE);
    return static_cast<BYTE*>(p);
}

struct ReadContext {
    HANDLE handle;
    int drive;
    bool driverMode;
    const common::SectorVariant* variant;
};

int ReadForOpen(void* context, DWORD sector, BYTE* out) {
    auto* c = static_cast<ReadContext*>(context);
    return c->driverMode ? common::ReadSectorWait(c->handle, c->drive, out, sector, 1, *c->variant)
                         : common::ReadSector(c->handle, out, sector, 1, *c->variant);
}

} // namespace

bool FindMarker(ULONGLONG sectors, SectorReader read, void* context, DriveGeometry* out) {
    const DWORD c = ClusterSizeForDrive(sectors);
    ULONGLONG n = sectors / c;
    if (n > 0 && sectors % c == 0)
        --n;
    BYTE sector[kSectorBytes];
    bool found = false;
    out->clusterSize = c;
    out->clusterCount = static_cast<DWORD>(n);
    out->systemStart = static_cast<DWORD>(n * c);
    for (int attempt = 0; attempt < 2 && !found; ++attempt) {
        ULONGLONG tryN = n + static_cast<ULONGLONG>(attempt);
        ULONGLONG at = tryN * c;
        if (at > kMaxSector)
            continue; // beyond the last sector a 32-bit sector number reaches
        // N is the try that was read last: a second try past the end of the drive cannot be read and
        // leaves N at the first, so a drive whose marker is broken is found corrupted there.
        if (!read(context, static_cast<DWORD>(at), sector))
            continue;
        out->clusterCount = static_cast<DWORD>(tryN);
        out->systemStart = static_cast<DWORD>(at);
        found = platform::ReadLE32(sector) == kMarkerMagic;
    }
    return found;
}

void COrmaDisk::FreeIndex::operator()(BYTE* p) const {
    std::free(p);
}

COrmaDisk::COrmaDisk(IOrmaPinHandoff* pins) : m_pins(pins), m_FrameBuffer(new BYTE[kFrameBufferBytes]()) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    m_windowsMajor = GetVersionExA(&info) ? info.dwMajorVersion : 0;
}

COrmaDisk::~COrmaDisk() {
    Close();
}

void COrmaDisk::Close() {
    if (m_hDisk && m_hDisk != INVALID_HANDLE_VALUE)
        CloseHandle(m_hDisk);
    m_hDisk = nullptr;
    m_open = false;
    m_Disk32M_index.reset();
    m_seg.clear();
    m_seg.shrink_to_fit();
    m_ClusterSize = m_ClusterNum = m_IndexClusters = m_SystemSize = 0;
    m_DriveSectors = 0;
    m_SectorBase = m_WriteCluster = m_BlocksPerCluster = 0;
    m_AlarmTotal = m_UsedClusters = m_CapacityMB = m_UsedMB = 0;
    m_ScanProgress = 0;
    m_ScanTotal = 0;
    m_Cluster = m_Block = 0;
    m_Entry = 0;
    m_CurSeg = -1;
    m_BlocksInSeg = 0;
    std::memset(m_Disk01M, 0, sizeof m_Disk01M);
    std::memset(m_d88m, 0, sizeof m_d88m);
}

HRESULT COrmaDisk::OpenDisk(int drive, const char* path) {
    if (drive < 0 || !path)
        return E_INVALIDARG;
    Close();
    common::AccessMode mode = common::ChooseAccessMode(m_windowsMajor, *m_variant);
    if (mode == common::AccessMode::None)
        return E_FAIL;
    if (drive == 0)
        return OpenImage(path);
    return OpenDrive(drive, path, mode);
}

HRESULT COrmaDisk::OpenDrive(int drive, const char* path, common::AccessMode mode) {
    Close();
    m_nDrive = drive;
    m_path = path ? path : "";
    m_isImage = false;
    m_driverMode = mode == common::AccessMode::Driver;
    common::DriveGeometry geometry;
    if (m_driverMode) {
        m_hDisk =
            CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (m_hDisk == INVALID_HANDLE_VALUE || !m_hDisk) {
            m_hDisk = nullptr;
            common::ErrorBox(common::Format(common::msg::kCreateFileOnDriverFailed, drive,
                                            static_cast<int>(GetLastError())));
            return E_FAIL;
        }
        if (!common::QueryGeometry(m_hDisk, drive, &geometry)) {
            common::ErrorBox(
                common::Format(common::msg::kDeviceIoControlFailed, static_cast<int>(GetLastError())));
            Close();
            return E_FAIL;
        }
    } else {
        m_hDisk = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY, nullptr);
        if (m_hDisk == INVALID_HANDLE_VALUE || !m_hDisk) {
            m_hDisk = nullptr;
            common::ErrorBox(common::Format(common::msg::kCreateFileFilenameFailed, path ? path : "",
                                            static_cast<int>(GetLastError())));
            return E_FAIL;
        }
        if (!common::QueryGeometry(m_hDisk, &geometry)) {
            common::ErrorBox(
                common::Format(common::msg::kDeviceIoControlFailed, static_cast<int>(GetLastError())));
            Close();
            return E_FAIL;
        }
        // This system reports the exact sector count as cylinders, with one track of one sector.
        OutputDebugStringA(common::Format("Cylinders.LowPart=%d, TracksPerCylinder=%d, SectorsPerTrack=%d\n",
                                          static_cast<int>(static_cast<DWORD>(geometry.sectors)), 1, 1)
                               .c_str());
    }
    m_DriveSectors = geometry.sectors;

    ReadContext context{m_hDisk, drive, m_driverMode, m_variant};
    DriveGeometry g;
    FindMarker(geometry.sectors, ReadForOpen, &context, &g);
    m_ClusterSize = g.clusterSize;
    m_ClusterNum = g.clusterCount;
    m_SystemSize = g.systemStart;
    if (!m_driverMode)
        OutputDebugStringA(common::Format("ClusterSize=%d, ClusterNum=%d, SystemSize=%d\n",
                                          static_cast<int>(m_ClusterSize), static_cast<int>(m_ClusterNum),
                                          static_cast<int>(m_SystemSize))
                               .c_str());
    // The marker sector is read again where the search left N.
    const bool addressable = ULONGLONG(m_ClusterNum) * m_ClusterSize <= kMaxSector;
    if (!addressable || !ReadForOpen(&context, m_SystemSize, m_marker)) {
        if (m_driverMode)
            common::ErrorBox(common::Format(common::msg::kReadFileFailed, static_cast<int>(GetLastError())));
        Close();
        return E_FAIL;
    }
    if (platform::ReadLE32(m_marker) != kMarkerMagic) {
        if (m_driverMode)
            common::ErrorBox(kDriveCorrupted);
        Close();
        return E_FAIL;
    }
    m_SectorBase = 0;
    return ScanIndex();
}

HRESULT COrmaDisk::OpenImage(const char* path) {
    Close();
    m_nDrive = 0;
    m_path = path ? path : "";
    m_isImage = true;
    m_driverMode = false;
    m_hDisk = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY, nullptr);
    if (m_hDisk == INVALID_HANDLE_VALUE || !m_hDisk) {
        m_hDisk = nullptr;
        return E_FAIL;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(m_hDisk, &size) || size.QuadPart < 0) {
        Close();
        return E_FAIL;
    }
    const ULONGLONG sectors = static_cast<ULONGLONG>(size.QuadPart) / kSectorBytes;
    const ULONGLONG markerSector = sectors & ~ULONGLONG(0xFFFF);
    m_DriveSectors = sectors;
    if (markerSector > kMaxSector || markerSector >= sectors ||
        !ReadSectors(static_cast<DWORD>(markerSector), 1, m_marker) ||
        platform::ReadLE32(m_marker) != kMarkerMagic) {
        Close();
        return E_FAIL;
    }
    m_SystemSize = platform::ReadLE32(m_marker + 4);
    m_ClusterSize = platform::ReadLE32(m_marker + 8);
    m_ClusterNum = platform::ReadLE32(m_marker + 12);
    // A cluster is a whole number of 1 MiB blocks; anything else cannot be walked.
    if (m_ClusterSize < kBlockSectors || m_ClusterSize % kBlockSectors || m_ClusterNum == 0) {
        Close();
        return E_FAIL;
    }
    // Clusters whose D32M record lies past the end of the file cannot be read; the scan would cut the
    // count there, so the index is never allocated for more.
    if (ULONGLONG(m_ClusterNum) > sectors / m_ClusterSize)
        m_ClusterNum = static_cast<DWORD>(sectors / m_ClusterSize);
    BYTE first[kSectorBytes];
    if (m_ClusterNum == 0 || !ReadSectors(m_ClusterSize - 1, 1, first)) {
        Close();
        return E_FAIL;
    }
    m_SectorBase = platform::ReadSwapped32(first + 0x08);
    return ScanIndex();
}

bool COrmaDisk::ReadSectors(DWORD sector, int count, BYTE* out) {
    if (!m_hDisk)
        return false;
    return m_driverMode ? common::ReadSector(m_hDisk, m_nDrive, out, sector, count, *m_variant) != 0
                        : common::ReadSector(m_hDisk, out, sector, count, *m_variant) != 0;
}

bool COrmaDisk::ReadSectors64(ULONGLONG sector, int count, BYTE* out) {
    if (sector + static_cast<ULONGLONG>(count) - 1 > kMaxSector)
        return false;
    return ReadSectors(static_cast<DWORD>(sector), count, out);
}

HRESULT COrmaDisk::ScanIndex() {
    const DWORD n = m_ClusterNum;
    m_IndexClusters = n;
    m_Disk32M_index.reset(AllocateIndex(std::size_t(n) * kSectorBytes));
    bool reserved = true;
    try {
        m_seg.reserve(n);
    } catch (const std::bad_alloc&) {
        reserved = false;
    }
    if (!m_Disk32M_index || !reserved) {
        Close();
        return E_FAIL;
    }
    m_BlocksPerCluster = m_ClusterSize >> 11;
    m_CapacityMB = (m_SystemSize / 15625) * 8;
    m_AlarmTotal = 0;
    m_ScanTotal = n;
    for (DWORD i = 0; i < n; ++i) {
        m_ScanProgress = i;
        if (!m_ScanContinue) {
            Close();
            return E_FAIL;
        }
        BYTE* rec = m_Disk32M_index.get() + std::size_t(i) * kSectorBytes;
        if (!ReadSectors64((ULONGLONG(i) + 1) * m_ClusterSize - 1, 1, rec)) {
            m_ClusterNum = i;
            break;
        }
        D32M d{rec};
        if (d.Magic() == kD32MMagic) {
            if (d.SegmentId() != kUnusedCluster)
                m_AlarmTotal += static_cast<DWORD>(d.AlarmEntries());
        } else {
            OutputDebugStringA(
                common::Format("D32M structure broken! (%d-th cluster)\n", static_cast<int>(i)).c_str());
        }
    }
    if (m_ClusterNum == 0) {
        Close();
        return E_FAIL;
    }
    m_WriteCluster = (platform::ReadSwapped32(m_marker + 16) / m_ClusterSize) % m_ClusterNum;
    HRESULT hr = BuildSegments();
    if (FAILED(hr)) {
        Close();
        return hr;
    }
    CorrectOverwrittenStart();
    m_open = true;
    m_ExportFile = nullptr;
    m_CurSeg = -1;
    SetPointerSegment(0, 0);
    return S_OK;
}

HRESULT COrmaDisk::BuildSegments() {
    const DWORD n = m_ClusterNum;
    const DWORD startCluster = platform::ReadSwapped32(m_marker + 16) / m_ClusterSize;
    // Segment id → its entry in m_seg. A map, not a table of all 65,536 ids: clearing that table cost
    // more than the whole scan of a small drive.
    std::unordered_map<WORD, int> byId;
    byId.reserve(std::min<DWORD>(n, 65536));
    m_seg.clear();
    m_UsedClusters = 0;
    for (DWORD i = 0; i < n; ++i) {
        const DWORD x = static_cast<DWORD>((ULONGLONG(startCluster) + i) % n);
        D32M d = ClusterRecord(x);
        const WORD id = d.SegmentId();
        if (id == kUnusedCluster)
            continue;
        ++m_UsedClusters;
        auto [entry, added] = byId.try_emplace(id, static_cast<int>(m_seg.size()));
        if (added) {
            m_seg.push_back({d.FirstTime(), d.StartAddress() - m_SectorBase, x, d.LastTime(),
                             d.EndAddress() - m_SectorBase, x, id, d.FirstYear(), d.LastYear()});
            continue;
        }
        OrmaSegment& s = m_seg[static_cast<std::size_t>(entry->second)];
        if (d.FirstYear() < s.start_year || (d.FirstYear() == s.start_year && d.FirstTime() < s.start_time)) {
            s.start_time = d.FirstTime();
            s.start_address = d.StartAddress() - m_SectorBase;
            s.first_cluster = x;
            s.start_year = d.FirstYear();
        }
        if (d.LastYear() > s.end_year || (d.LastYear() == s.end_year && d.LastTime() >= s.end_time)) {
            s.end_time = d.LastTime();
            s.end_address = d.EndAddress() - m_SectorBase;
            s.last_cluster = x;
            s.end_year = d.LastYear();
        }
    }
    m_UsedMB = static_cast<DWORD>(ULONGLONG(m_UsedClusters) * m_ClusterSize / 1953);
    return m_seg.empty() ? E_FAIL : S_OK;
}

void COrmaDisk::CorrectOverwrittenStart() {
    const DWORD recordStart = platform::ReadSwapped32(m_marker + 16);
    for (OrmaSegment& s : m_seg) {
        if (s.start_address != recordStart)
            continue;
        DWORD cluster = s.first_cluster, block = 0;
        BYTE header[kBlockHeaderKept];
        ReadBlockHeader(&cluster, &block, header);
        if (Disk01M{header}.SegmentId() != s.segment_id && s.first_cluster < s.last_cluster) {
            s.first_cluster = (s.first_cluster + 1) % m_ClusterNum;
            D32M d = ClusterRecord(s.first_cluster);
            s.start_year = d.FirstYear();
            s.start_time = d.FirstTime();
            s.start_address = d.StartAddress() - m_SectorBase;
        }
        break;
    }
}

HRESULT COrmaDisk::GetSegmentList(BYTE* records, UINT* count) const {
    if (!m_open || m_seg.empty())
        return E_FAIL;
    if (!count)
        return E_POINTER;
    const UINT n = static_cast<UINT>(m_seg.size());
    if (*count < n) {
        *count = n;
        return E_OUTOFMEMORY;
    }
    if (records)
        for (UINT i = 0; i < n; ++i)
            m_seg[i].Write(records + std::size_t(i) * kSegmentRecordBytes);
    *count = n;
    return S_OK;
}

HRESULT COrmaDisk::GetAlarmList(BYTE* records, UINT* count) const {
    if (!m_open || !m_Disk32M_index)
        return E_FAIL;
    if (!count)
        return E_POINTER;
    if (*count < m_AlarmTotal) {
        *count = m_AlarmTotal;
        return E_OUTOFMEMORY;
    }
    if (records) {
        const DWORD n = m_ClusterNum;
        const DWORD startCluster = platform::ReadSwapped32(m_marker + 16) / m_ClusterSize;
        BYTE* out = records;
        for (DWORD i = 0; i < n; ++i) {
            D32M d = ClusterRecord(static_cast<DWORD>((ULONGLONG(startCluster) + i) % n));
            if (d.Magic() != kD32MMagic || d.SegmentId() == kUnusedCluster)
                continue;
            for (int j = 0; j < d.AlarmEntries(); ++j, out += kAlarmRecordBytes) {
                const BYTE* a = d.Alarm(j);
                platform::WriteLE32(out, platform::ReadSwapped32(a));
                platform::WriteLE32(out + 4, platform::ReadSwapped32(a + 4) - m_SectorBase);
                platform::WriteLE16(out + 8, platform::ReadBE16(a + 8));
                out[10] = a[11];
                out[11] = a[10];
            }
        }
    }
    *count = m_AlarmTotal;
    return S_OK;
}

HRESULT COrmaDisk::GetDiskInfo(int* capacityMB, int* usedMB) const {
    if (capacityMB)
        *capacityMB = static_cast<int>(m_CapacityMB);
    if (usedMB)
        *usedMB = static_cast<int>(m_UsedMB);
    return S_OK;
}

HRESULT COrmaDisk::GetScanProgress(UINT* permille, int cancel) {
    if (permille) {
        const DWORD n = m_ScanTotal;
        *permille = n ? static_cast<UINT>(ULONGLONG(m_ScanProgress.load()) * 1000 / n) : 0;
    }
    if (cancel == 1)
        m_ScanContinue = false;
    return S_OK;
}

} // namespace orma
