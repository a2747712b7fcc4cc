#include "checker/structure_check.h"

#include <algorithm>
#include <cstring>

#include "orma/layout.h"
#include "orma/orma_disk.h"
#include "platform/bytes.h"
#include "platform/glmdrv.h"
#include "platform/system.h"

namespace checker {

namespace {

using common::Format;
using platform::ReadLE16;
using platform::ReadLE32;
using platform::ReadSwapped32;

constexpr DWORD kMarkerCheckA = 0x56781234;
constexpr DWORD kMarkerCheckB = 0x24681357;
constexpr WORD kNoEvents = 0xFFFF;
constexpr WORD kNoPictures = 0xFFFF;
constexpr int kMaxEvents = 40;    // alarm entries that fit in a D32M record
constexpr int kMaxPictures = 127; // frame entries that fit in the 1536 header bytes read
constexpr int kHeaderSectors = 3; // the first 1536 bytes of a Disk01M header

DWORD WindowsMajorNow() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) ? info.dwMajorVersion : 0;
}

// The whole geometry record, as the disk information text needs more than the sector count.
bool QueryDiskGeometry(HANDLE handle, bool driverMode, int drive, DISK_GEOMETRY* out) {
    BYTE raw[kDiskGeometrySize] = {};
    DWORD bytes = 0;
    BOOL ok;
    if (driverMode) {
        BYTE in[4];
        platform::WriteLE32(in, static_cast<std::uint32_t>(drive));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ok = DeviceIoControl(handle, GLM_IOCTL_GET_GEOMETRY, in, sizeof in, raw, sizeof raw, &bytes, &ov);
        if (ok || GetLastError() == ERROR_IO_PENDING) {
            // Asked without waiting: a query the driver has not finished fails quietly.
            ok = GetOverlappedResult(handle, &ov, &bytes, FALSE);
            if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
                CancelIo(handle);
        }
        CloseHandle(ov.hEvent);
    } else {
        ok = DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, raw, sizeof raw, &bytes,
                             nullptr);
    }
    if (!ok || bytes < kDiskGeometrySize)
        return false;
    *out = platform::ParseDiskGeometry(raw);
    return true;
}

ULONGLONG SectorsOf(const DISK_GEOMETRY& g) {
    return ULONGLONG(static_cast<DWORD>(g.Cylinders)) * g.TracksPerCylinder * g.SectorsPerTrack;
}

struct MarkerRead {
    HANDLE handle;
    bool driverMode;
    int drive;
};

// While a drive is being opened the driver is asked with the waited read, which the checker's
// variant limits to one sector.
int ReadMarkerSector(void* context, DWORD sector, BYTE* out) {
    auto* m = static_cast<MarkerRead*>(context);
    std::memset(out, 0, orma::kSectorBytes);
    return m->driverMode
               ? common::ReadSectorWait(m->handle, m->drive, out, sector, 1, common::kCheckerVariant)
               : common::ReadSector(m->handle, out, sector, 1, common::kCheckerVariant);
}

// Appends `line` while the text still fits the caller's buffer with its terminating zero; the first
// line that does not fit ends the text.
struct BoundedText {
    std::string text;
    bool full = false;
    void Add(const std::string& line) {
        if (full || text.size() + line.size() + 1 > kInfoTextBuffer) {
            full = true;
            return;
        }
        text += line;
    }
};

HANDLE OpenReadOnly(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

HANDLE OpenDriver() {
    // The driver only reads for the checker; the handle asks for no write access.
    HANDLE h = CreateFileA(kGlmDriverPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// The lines written for every cluster and block are put together by hand: on a sound drive they are
// most of the check's work besides reading, and printf-style formatting costs as much as the read.
void AppendNumber(std::string& out, DWORD v, int width = 0) {
    char digits[12];
    char* p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (digits + sizeof digits - p < width)
        *--p = '0';
    out.append(p, static_cast<std::size_t>(digits + sizeof digits - p));
}

std::string PhysicalDrivePath(int drive) {
    return Format("\\\\.\\PHYSICALDRIVE%d", drive);
}

} // namespace

std::string DiskInfoText(const DISK_GEOMETRY& g) {
    BoundedText t;
    switch (g.MediaType) {
    case 11:
        t.Add("Type:\t\t\tRemovable Media\r\n");
        break;
    case 12:
        t.Add("Type:\t\t\tFixed Media\r\n");
        break;
    case 0:
        t.Add("Type:\t\t\tUnknown Media\r\n");
        break;
    default:
        t.Add("Type:\t\t\tFloppy Media\r\n");
        break;
    }
    t.Add(Format("Bytes per sector:\t%d\r\n", static_cast<int>(g.BytesPerSector)));
    t.Add(Format("Sectors per track:\t%d\r\n", static_cast<int>(g.SectorsPerTrack)));
    t.Add(Format("Tracks per cylinder:\t%d\r\n", static_cast<int>(g.TracksPerCylinder)));
    t.Add(Format("Total cylinders:   \t%d\r\n", static_cast<int>(static_cast<DWORD>(g.Cylinders))));
    // Megabytes in integer steps, in 64 bits: sectors / 500 × 512 passes 2^32 on drives above 2.1 TB.
    const ULONGLONG mb = SectorsOf(g) / 500 * 512 / 2000;
    if (mb > 1000)
        t.Add(Format("Total size:\t\t%dGB\r\n", static_cast<int>(mb / 1000)));
    else
        t.Add(Format("Total size:\t%dMB\r\n", static_cast<int>(mb)));
    return t.text;
}

std::string DeviceInfoText(const BYTE* sector, DWORD n) {
    // The marker as the checker shows it: the recorder's halves-swapped fields in host order, bytes
    // 46 and 47 exchanged, and the cluster count found from the drive size in place of offset 12.
    BYTE m[orma::kSectorBytes];
    std::memcpy(m, sector, sizeof m);
    for (int offset : {4, 8, 16, 20, 28, 32})
        platform::WriteLE32(m + offset, ReadSwapped32(sector + offset));
    std::swap(m[46], m[47]);
    platform::WriteLE32(m + 12, n);
    // The recorder keeps the playback year at byte 47 of the sector; after the exchange it is byte 46.
    const int year = m[46];
    const DWORD playback = ReadLE32(m + 32);

    BoundedText t;
    t.Add(Format("System size:\t\t\t%u sectors\r\n", ReadLE32(m + 4)));
    t.Add(Format("Cluster size:\t\t\t%u sectors\r\n", ReadLE32(m + 8)));
    t.Add(Format("Cluster number:\t\t\t%u\r\n", ReadLE32(m + 12)));
    t.Add(Format("Record start point:\t\t%u\r\n", ReadLE32(m + 16)));
    t.Add(ReadLE32(m + 48) ? "Disk overwriten:\t\tYes\r\n" : "Disk overwritten:\t\tNot yet\r\n");
    t.Add(ReadLE32(m + 36) == kMarkerCheckA ? "Device index verfication A:\tCorrect\r\n"
                                            : "Device index verfication A:\tWrong\r\n");
    t.Add(ReadLE32(m + 52) == kMarkerCheckB ? "Device index verfication B:\tCorrect\r\n"
                                            : "Device index verfication B:\tWrong\r\n");
    t.Add(
        Format("Playback year:\t\t\t%02d/%02d/20%02d\r\n", orma::Month(playback), orma::Day(playback), year));
    t.Add(Format("Playback time:\t\t\t%02d:%02d:%02d\r\n", orma::Hour(playback), orma::Minute(playback),
                 orma::Second(playback)));
    return t.text;
}

std::string ResultText(int errors) {
    if (errors == 0)
        return text::kNoError;
    return Format(errors <= 15 ? text::kFewErrors : text::kManyErrors, errors);
}

CStructureCheck::CStructureCheck() : m_windowsMajor(WindowsMajorNow()) {}

CStructureCheck::~CStructureCheck() {
    Close();
}

void CStructureCheck::Close() {
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = nullptr;
    m_drive = -1;
    m_clusterSize = m_clusterCount = 0;
    m_diskInfo.clear();
    m_deviceInfo.clear();
    m_ran = m_aborted = false;
    m_errors = 0;
    m_log.clear();
    m_findings.clear();
}

std::vector<DriveEntry> CStructureCheck::FindDrives(const std::function<void(int)>& step) {
    std::vector<DriveEntry> list;
    if (m_windowsMajor != 4 && m_windowsMajor != 5)
        return list;
    const bool driverMode =
        common::ChooseAccessMode(m_windowsMajor, common::kCheckerVariant) == common::AccessMode::Driver;
    HANDLE driver = nullptr;
    if (driverMode && !(driver = OpenDriver())) {
        common::ErrorBox(text::kDriverNotLoadedList);
        return list;
    }
    for (int drive = 0; drive <= kHighestDrive; ++drive) {
        if (step)
            step(drive);
        HANDLE h = driverMode ? driver : OpenReadOnly(PhysicalDrivePath(drive).c_str());
        if (!h)
            continue;
        DISK_GEOMETRY g{};
        bool listed = false;
        double megabytes = 0;
        if (QueryDiskGeometry(h, driverMode, drive, &g)) {
            MarkerRead context{h, driverMode, drive};
            orma::DriveGeometry found;
            megabytes = static_cast<double>(SectorsOf(g)) * 0.000512;
            listed = orma::FindMarker(SectorsOf(g), ReadMarkerSector, &context, &found) &&
                     megabytes > kListMinMegabytes;
        }
        if (!driverMode)
            CloseHandle(h);
        if (listed)
            list.push_back({drive, Format("HDD%02d %.1fGB", drive, megabytes / 1000.0)});
    }
    if (driver)
        CloseHandle(driver);
    return list;
}

CStructureCheck::OpenResult CStructureCheck::SelectDrive(int drive) {
    if (drive < 0 || drive > kHighestDrive) {
        common::ErrorBox(text::kNotValidHd);
        return OpenResult::NotValid;
    }
    if (drive == 0)
        return OpenResult::DriveZero;
    if (m_handle && drive == m_drive)
        return OpenResult::Opened;
    Close();
    const bool driverMode =
        common::ChooseAccessMode(m_windowsMajor, common::kCheckerVariant) == common::AccessMode::Driver;
    HANDLE h = driverMode ? OpenDriver() : OpenReadOnly(PhysicalDrivePath(drive).c_str());
    if (!h) {
        common::ErrorBox(driverMode ? common::msg::kGlmDriverNotLoaded : text::kFailedToOpenDisk);
        return driverMode ? OpenResult::NoDriver : OpenResult::CannotOpen;
    }
    OpenResult r = OpenHandle(h, driverMode, drive);
    if (r != OpenResult::Opened)
        common::ErrorBox(text::kFailedToOpenDisk);
    return r;
}

CStructureCheck::OpenResult CStructureCheck::OpenFile(const std::string& path) {
    Close();
    HANDLE h = OpenReadOnly(path.c_str());
    if (!h)
        return OpenResult::CannotOpen;
    return OpenHandle(h, false, -1);
}

CStructureCheck::OpenResult CStructureCheck::OpenHandle(HANDLE h, bool driverMode, int drive) {
    DISK_GEOMETRY g{};
    if (!QueryDiskGeometry(h, driverMode, drive, &g)) {
        CloseHandle(h);
        return OpenResult::CannotOpen;
    }
    m_diskInfo = DiskInfoText(g);
    MarkerRead context{h, driverMode, drive};
    orma::DriveGeometry found;
    if (!orma::FindMarker(SectorsOf(g), ReadMarkerSector, &context, &found)) {
        // No device text: neither try carries the marker, and without it the clusters are unknown.
        CloseHandle(h);
        return OpenResult::NoMarker;
    }
    BYTE marker[orma::kSectorBytes];
    ReadMarkerSector(&context, found.systemStart, marker);
    m_deviceInfo = DeviceInfoText(marker, found.clusterCount);
    m_handle = h;
    m_driverMode = driverMode;
    m_drive = drive;
    m_clusterSize = found.clusterSize;
    m_clusterCount = found.clusterCount;
    return OpenResult::Opened;
}

int CStructureCheck::Read(void* buffer, DWORD sector, int count) {
    // A sector that cannot be read is checked as zeros, so it fails the magic test instead of passing
    // on what an earlier read left in the buffer.
    std::memset(buffer, 0, std::size_t(count) * orma::kSectorBytes);
    return m_driverMode
               ? common::ReadSector(m_handle, m_drive, buffer, sector, count, common::kCheckerVariant)
               : common::ReadSector(m_handle, buffer, sector, count, common::kCheckerVariant);
}

void CStructureCheck::Count(DWORD cluster, int block, std::string line) {
    m_log += line;
    m_findings.push_back({cluster, block, std::move(line)});
    ++m_errors;
}

void CStructureCheck::AddElapsed(std::chrono::steady_clock::duration d) {
    // A cluster takes microseconds: the part below a millisecond is carried to the next cluster, so the
    // checking time does not stay at zero.
    m_elapsedRemainder += d;
    const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(m_elapsedRemainder);
    m_elapsedRemainder -= whole;
    m_milliseconds += static_cast<int>(whole.count());
    m_minutes += m_milliseconds / 60000;
    m_milliseconds %= 60000;
    m_hours += m_minutes / 60;
    m_minutes %= 60;
}

void CStructureCheck::Run(bool blocks) {
    m_errors = 0;
    m_log.clear();
    m_findings.clear();
    m_hours = m_minutes = m_milliseconds = 0;
    m_elapsedRemainder = {};
    m_aborted = false;
    m_abort = false;
    m_running = true;
    const DWORD n = m_handle ? m_clusterCount : 0;
    std::string status;
    if (m_callbacks.range)
        m_callbacks.range(n);
    for (DWORD i = 0; i < n && !m_abort; ++i) {
        if (m_callbacks.progress) {
            // "Elapsed time: %02d:%02d:%02d. Checking the cluster %d/%d ..."
            status.assign("Elapsed time: ");
            AppendNumber(status, static_cast<DWORD>(m_hours), 2);
            status += ':';
            AppendNumber(status, static_cast<DWORD>(m_minutes), 2);
            status += ':';
            AppendNumber(status, static_cast<DWORD>(m_milliseconds / 1000), 2);
            status += ". Checking the cluster ";
            AppendNumber(status, i + 1);
            status += '/';
            AppendNumber(status, n);
            status += " ...";
            m_callbacks.progress(i + 1, n, status);
        }
        // The window may have been closed while it showed the status line.
        if (m_abort)
            break;
        CheckCluster(i, blocks);
        if (m_errors >= kMaxErrors) {
            m_log += text::kCeiling;
            break;
        }
    }
    m_ran = true;
    m_aborted = m_abort;
    if (m_aborted)
        m_log += text::kUserAborted;
    m_running = false;
}

void CStructureCheck::CheckCluster(DWORD i, bool blocks) {
    const auto start = std::chrono::steady_clock::now();
    const ULONGLONG a = ULONGLONG(i) * m_clusterSize;
    const ULONGLONG e = ULONGLONG(i + 1) * m_clusterSize - 1;
    m_log += "+ Checking the cluster #";
    AppendNumber(m_log, i);
    m_log += " at sector #";
    AppendNumber(m_log, static_cast<DWORD>(e));
    m_log += " ...\r\n";
    BYTE rec[orma::kSectorBytes];
    Read(rec, static_cast<DWORD>(e), 1);

    bool error = false;
    auto fail = [&](std::string line) {
        Count(i, -1, std::move(line));
        error = true;
    };
    const DWORD magic = ReadLE32(rec);
    if (magic != orma::kD32MMagic)
        fail(Format(
            "| ERROR: Cluster magic #0x%x doesn't match the expected one.\r\n| Cluster structure damaged\r\n",
            magic));
    const DWORD startAddress = ReadSwapped32(rec + 0x08);
    if (startAddress != a)
        fail(Format("| ERROR: Start address in cluster structure 0x%x doesn't match with the actual address "
                    "0x%x.\r\n",
                    startAddress, static_cast<DWORD>(a)));
    const DWORD endAddress = ReadSwapped32(rec + 0x10);
    if (endAddress < a || endAddress > e)
        fail(Format("| ERROR: End address in cluster structure 0x%x is out of range (0x%x, 0x%x).\r\n",
                    endAddress, static_cast<DWORD>(a), static_cast<DWORD>(e)));
    const WORD events = ReadLE16(rec + 0x16);
    if (events != kNoEvents && events > kMaxEvents)
        fail(Format("| ERROR: Event number %d in the cluster is out ofrange (0~40).\r\n", events));
    const int entries = events == kNoEvents ? 0 : std::min<int>(events, kMaxEvents);
    for (int j = 0; j < entries; ++j) {
        // A warning counts as an error but does not fail the cluster.
        const DWORD position = ReadSwapped32(rec + 0x20 + 12 * j + 4);
        if (position < a || position > e)
            Count(i, -1, Format("| WARNING: Event position 0x%x is out of range.\r\n", position));
    }

    bool passed = !error;
    if (passed && blocks && m_clusterSize >= orma::kBlockSectors) {
        // Blocks are checked while the run goes on and the error ceiling is not reached; the run loop
        // says the ceiling once, after this cluster's verdict.
        for (DWORD k = 0; k < m_clusterSize / orma::kBlockSectors && !m_abort && m_errors < kMaxErrors; ++k)
            passed = CheckBlock(i, k) && passed;
    }
    m_log += "| The cluster ";
    AppendNumber(m_log, i);
    m_log += passed ? " PASSED\r\n|\r\n" : " FAILED\r\n|\r\n";
    AddElapsed(std::chrono::steady_clock::now() - start);
}

bool CStructureCheck::CheckBlock(DWORD i, DWORD k) {
    const ULONGLONG blockStart = ULONGLONG(i) * m_clusterSize + ULONGLONG(k) * orma::kBlockSectors;
    const ULONGLONG clusterEnd = ULONGLONG(i + 1) * m_clusterSize;
    const DWORD s = static_cast<DWORD>(blockStart + orma::kHeaderSectorInBlock);
    m_log += "| + Checking the block #";
    AppendNumber(m_log, k);
    m_log += " at sector #";
    AppendNumber(m_log, s);
    m_log += " ...\r\n";
    BYTE header[kHeaderSectors * orma::kSectorBytes];
    Read(header, s, kHeaderSectors);

    bool failed = false;
    auto fail = [&](std::string line) {
        Count(i, static_cast<int>(k), std::move(line));
        failed = true;
    };
    const DWORD magic = ReadLE32(header);
    if (magic != orma::kDisk01MMagic)
        fail(Format("| | ERROR: The block magic #0x%x does no match the expected one.\r\n| | Block structure "
                    "damaged\r\n",
                    magic));
    const WORD pictures = ReadLE16(header + 6);
    if (pictures != kNoPictures && pictures > kMaxPictures)
        fail(Format("| | ERROR: Picture number(%d) is out of range(1~127).\r\n", pictures));
    // Entries 0 .. picture number − 1, at most the 127 that lie in the bytes read.
    const int entries = pictures == kNoPictures ? 0 : std::min<int>(pictures, kMaxPictures);
    for (int j = 0; j < entries; ++j) {
        // The bound is the end of the cluster, not of the block: a frame may run on into the next block.
        const DWORD position = ReadSwapped32(header + 0x0C + 12 * j + 4);
        if (position < blockStart || position > clusterEnd)
            fail(Format("| | ERROR: Picture position 0x%x is out of block range.\r\n", position));
    }
    m_log += "| | The block ";
    AppendNumber(m_log, k);
    m_log += failed ? " FAILED\r\n| |\r\n" : " PASSED\r\n| |\r\n";
    return !failed;
}

} // namespace checker
