#include "reader/format.h"

#include <cstring>

#include "common/sector.h"
#include "platform/glmdrv.h"
#include "platform/system.h"

namespace reader {
namespace {

constexpr int kBootRuns =
    52; // sectors 0..2079: the first frame, GLM and Corvel tags, segment 0's first index
constexpr ULONGLONG kFirstBlockIndex = 2008; // block index of block 0 of TAV segment 0
constexpr ULONGLONG kBlockSectors = 2048;    // one 1 MiB TAV block
constexpr ULONGLONG kHeaderAlign = 0xFFE00000ull;
constexpr DWORD kFixedMedia = 12;
constexpr ULONGLONG kLastRequestSector = 0xFFFFFFFFull;

const common::SectorVariant& Variant() {
    return common::kReaderVariant;
}

} // namespace

std::vector<SectorRun> FormatRuns(ULONGLONG s) {
    std::vector<SectorRun> runs;
    auto add = [&](ULONGLONG first, int count) {
        const ULONGLONG last = first + static_cast<ULONGLONG>(count) - 1;
        if (last < s && last <= kLastRequestSector)
            runs.push_back({first, count});
    };
    const DerivedSizes d = DeriveSizes(s);
    const ULONGLONG segment = d.segmentMiB * kBlockSectors;

    for (int i = 0; i < kBootRuns; ++i)
        add(static_cast<ULONGLONG>(i) * kFormatRunSectors, kFormatRunSectors);
    // The ORMA marker sector at the last cluster start.
    add(d.lastCluster, 1);
    // The TAV drive header, one segment below the drive's size rounded down to 1 GiB; a drive
    // smaller than that has no such place.
    const ULONGLONG top = s & kHeaderAlign;
    if (top >= segment)
        add(top - segment, 1);
    // The block indexes of the first n - 1 blocks of TAV segment 0.
    for (ULONGLONG k = 0; k + 1 < d.segmentMiB; ++k)
        add(kFirstBlockIndex + kBlockSectors * k, kFormatRunSectors);
    return runs;
}

int FormatDriveDirect(int drive) {
    HANDLE h = CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (!h || h == INVALID_HANDLE_VALUE)
        return 0;
    common::DriveGeometry g;
    if (!common::QueryGeometry(h, drive, &g) || g.mediaType != kFixedMedia) {
        CloseHandle(h);
        return 0;
    }
    BYTE zeros[kFormatRunSectors * common::kSectorSize];
    std::memset(zeros, 0, sizeof zeros);
    // Single writes are not checked: whatever could be zeroed is, and a write the driver keeps
    // waiting is cancelled after a second by the sector library.
    for (const SectorRun& run : FormatRuns(g.sectors))
        common::WriteSector(true, h, drive, zeros, static_cast<DWORD>(run.first), run.count, Variant());
    CloseHandle(h);
    return 1;
}

FormatOutcome FormatSelectedDrive(const DriveEntry* selected, CPlayerCore& player) {
    if (!selected) {
        MessageBoxA(nullptr, msg::kNotAVideoDrive, msg::kWarningCaption, MB_OKCANCEL);
        return FormatOutcome::NotAVideoDrive;
    }
    if (MessageBoxA(nullptr, msg::kEraseWarning, msg::kWarningCaption, MB_OKCANCEL) != IDOK)
        return FormatOutcome::Cancelled;

    // The open recording's source erases only its own drive; any other recording (a file, another
    // drive) stays untouched and the selected drive is formatted directly.
    const OpenTarget& open = player.Target();
    const bool openOnSelected = player.IsOpen() && open.fileCode == 0 && open.drive == selected->drive;
    if (!openOnSelected) {
        if (!FormatDriveDirect(selected->drive))
            return FormatOutcome::Failed;
        MessageBoxA(nullptr, msg::kFormatted, msg::kWarningCaption, MB_OKCANCEL);
        return FormatOutcome::Formatted;
    }

    player.Stop();
    HRESULT hr = E_FAIL;
    if (player.IsTav()) {
        if (IVTSourceFilter* vts = player.Vts())
            hr = vts->ClearDrive();
    } else if (IOrmaSrc* orma = player.Orma()) {
        hr = orma->FormatDisk();
    }
    if (FAILED(hr))
        return FormatOutcome::Failed;
    MessageBoxA(nullptr, msg::kFormatted, msg::kWarningCaption, MB_OKCANCEL);
    player.Close();
    return FormatOutcome::Formatted;
}

} // namespace reader
