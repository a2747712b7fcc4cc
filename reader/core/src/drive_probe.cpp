#include "reader/drive_probe.h"

#include <algorithm>
#include <cstdio>

#include "common/sector.h"
#include "platform/bytes.h"
#include "platform/drives.h"
#include "platform/fileio.h"

namespace reader {
namespace {

constexpr DWORD kCorvelTag = 0x56745664, kCorvelTagSwapped = 0x64567456;      // 'VtVd', 'dVtV'
constexpr DWORD kTavIndexTag = 0xAA5555AA, kTavIndexLetters = 0x424C4B30;     // block index, 'BLK0'
constexpr DWORD kTavTrailerTag = 0x55AA55AA, kTavTrailerLetters = 0x53454730; // segment trailer, 'SEG0'
constexpr DWORD kTavHeaderTag = 0x4B4C5430;                                   // 'KLT0'
constexpr DWORD kGlmTag = 0x5A554245; // 'ZUBE' at byte 508 of sector 0
constexpr DWORD kOrmaMarker = 0xAA995599;
constexpr WORD kOrmaFrameMagic = 0x5588;
constexpr ULONGLONG kFixedMedia = 12;

// Probe reads stay quiet: a drive of another kind is no error.
const common::SectorVariant kProbeVariant = {"reader probe", false, false, true, false, false, false, false};

} // namespace

std::string KindName(BYTE kind) {
    switch (kind) {
    case kKindOrma:
        return "orma";
    case kKindTav:
        return "tav";
    case kKindCorvel:
        return "corvel";
    case kKindGlm:
        return "glm";
    default:
        return "";
    }
}

DerivedSizes DeriveSizes(ULONGLONG s) {
    DerivedSizes d;
    d.cluster = (1 + std::min<ULONGLONG>(8, s / 0x0A000000)) * 65536;
    d.lastCluster = s % d.cluster == 0 ? (s / d.cluster == 0 ? 0 : (s / d.cluster - 1) * d.cluster)
                                       : (s / d.cluster) * d.cluster;
    const ULONGLONG q = s / 0x600000;
    d.segmentMiB = 32;
    if (q) {
        ULONGLONG n = 1;
        while (n <= q)
            n <<= 1;
        d.segmentMiB = std::max<ULONGLONG>(n, 32);
    }
    return d;
}

BYTE DetectDriveKind(ULONGLONG s, bool throughDriver, const SectorReader& read) {
    BYTE sector[512];
    // A sector number the 32-bit requests cannot carry is never asked for.
    auto at = [&](ULONGLONG n) { return n <= 0xFFFFFFFFull && read(n, sector); };
    auto word = [&](std::size_t offset) { return platform::ReadLE32(sector + offset); };

    if (at(1) && (word(0) == kCorvelTag || word(0) == kCorvelTagSwapped))
        return kKindCorvel;
    const DerivedSizes d = DeriveSizes(s);
    const ULONGLONG segment = d.segmentMiB * 2048;
    ULONGLONG e = d.lastCluster;
    for (int round = 0; round < 2; ++round, e += d.cluster) {
        if (at(2008) && (word(0) == kTavIndexTag || word(0) == kTavIndexLetters)) {
            if (!throughDriver)
                return kKindTav;
            if (segment >= 12 && at(segment - 12) &&
                (word(0) == kTavTrailerTag || word(0) == kTavTrailerLetters) &&
                platform::ReadLE16(sector + 22) != 0)
                return kKindTav;
        } else {
            const ULONGLONG top = s & 0xFFE00000ull;
            if (top >= segment && at(top - segment) && word(0) == kTavHeaderTag) {
                const ULONGLONG protectedSegments = word(38);
                if (at(segment * protectedSegments + 2008) && word(0) == kTavIndexLetters)
                    return kKindTav;
            }
        }
        if (at(0) && word(508) == kGlmTag)
            return kKindGlm;
        if (at(e) && word(0) == kOrmaMarker) {
            if (!throughDriver)
                return kKindOrma;
            if (at(0) && platform::ReadLE16(sector) == kOrmaFrameMagic)
                return kKindOrma;
        }
    }
    return kKindUnknown;
}

std::optional<DriveProbe> ProbeDrive(int drive, DWORD windowsMajor) {
    const common::AccessMode mode = common::ChooseAccessMode(windowsMajor, common::kReaderVariant);
    if (mode == common::AccessMode::None)
        return std::nullopt;
    const bool driver = mode == common::AccessMode::Driver;
    HANDLE h = nullptr;
    common::DriveGeometry g;
    bool ok = false;
    if (driver) {
        h = CreateFileA("\\\\.\\GlmDrv", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ok = h && h != INVALID_HANDLE_VALUE && common::QueryGeometry(h, drive, &g);
    } else {
        char path[40];
        std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", drive);
        h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ok = h && h != INVALID_HANDLE_VALUE && common::QueryGeometry(h, &g);
    }
    std::optional<DriveProbe> out;
    if (ok && g.mediaType == kFixedMedia) {
        DriveProbe p;
        p.sectors = g.sectors;
        p.kind = DetectDriveKind(g.sectors, driver, [&](ULONGLONG sector, BYTE* buffer) {
            return driver ? common::ReadSector(h, drive, buffer, static_cast<DWORD>(sector), 1,
                                               kProbeVariant) != 0
                          : common::ReadSector(h, buffer, static_cast<DWORD>(sector), 1, kProbeVariant) != 0;
        });
        out = p;
    }
    if (h && h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return out;
}

BYTE DetectFileKind(const std::string& path, bool throughDriver) {
    auto size = platform::DeviceSize(path);
    if (!size)
        return kKindUnknown;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY, nullptr);
    if (h == INVALID_HANDLE_VALUE || !h)
        return kKindUnknown;
    const ULONGLONG sectors = *size / 512;
    const BYTE kind = DetectDriveKind(sectors, throughDriver, [&](ULONGLONG sector, BYTE* buffer) {
        return sector < sectors &&
               common::ReadSector(h, buffer, static_cast<DWORD>(sector), 1, kProbeVariant) != 0;
    });
    CloseHandle(h);
    return kind;
}

} // namespace reader
