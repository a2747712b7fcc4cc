// CTavDiskSource maintenance: the diagnostic report of the drive header, the system-log dump, the
// export of a marked range as a drive image, and clearing a drive's index structures.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/sector.h"
#include "platform/system.h"
#include "tav/disk_source.h"

namespace tav {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File CreateOutput(const char* path) {
    return File(path ? std::fopen(path, "wb") : nullptr);
}

constexpr const char* kWrappedImageTooLarge =
    "The marked range runs past the end of the drive. On a drive over 1 TB an image of such a range "
    "cannot be opened again, so it is not made: mark a range that ends before the end of the drive, "
    "and a second one from its start.";

} // namespace

HRESULT CTavDiskSource::WriteDiagnosticLog(const char* path) {
    File f = CreateOutput(path);
    if (!f)
        return S_OK;
    const BYTE* h = m_header.data();
    auto u32 = [&](DWORD off) { return platform::ReadLE32(h + off); };
    auto t = [&](DWORD off) { return FormatTime(u32(off)); };
    const DWORD S = m_geo.S, Tp = m_geo.Tprime;
    std::FILE* o = f.get();
    std::fprintf(o, "Diagnostic log file for KLTO Design Inc.\r\n");
    std::fprintf(o, "This log file is intended to assist in checking the v2.x drive format.\r\n\r\n");
    std::fprintf(o, "<<---- General drive info ---->>\r\n");
    std::fprintf(o, "|-- Total sectors = %u, cap in GB = %f\r\n", Tp, static_cast<double>(Tp) / 1953125.0);
    std::fprintf(o, "|-- Recording start time = %s\r\n", t(hdr::kStartTime).c_str());
    std::fprintf(o, "|-- Recording end time = %s\r\n", t(hdr::kEndTime).c_str());
    std::fprintf(o, "|-- Current recording time = %s\r\n", t(hdr::kCurrentTime).c_str());
    std::fprintf(o, "|-- Playback current reading-from sector = %u\r\n",
                 u32(hdr::kPlaySegment) * S + u32(hdr::kPlayBlock) * kBlockSectors);
    std::fprintf(o, "|-- Current writing-to sector = %u\r\n\r\n", u32(hdr::kWriteSegment) * S);
    std::fprintf(o, "<<---- Protected partition ---->>\r\n");
    std::fprintf(o, "|-- Sectors = 0 to %u, percentage of total drive = %d\r\n", u32(hdr::kProtSegments) * S,
                 static_cast<int>(u32(hdr::kProtPercent)));
    std::fprintf(o, "|-- Recording start time = %s\r\n", t(hdr::kProtStartTime).c_str());
    std::fprintf(o, "|-- Recording end time = %s\r\n", t(hdr::kProtEndTime).c_str());
    std::fprintf(o, "|-- Protected clear time = %s\r\n", t(hdr::kProtClearTime).c_str());
    std::fprintf(o, "|-- Playback current reading-from sector = %u\r\n",
                 u32(hdr::kProtPlaySegment) * S + u32(hdr::kProtPlayBlock) * kBlockSectors);
    std::fprintf(o, "|-- Current writing-to sector = %u\r\n\r\n", u32(hdr::kProtWriteSegment) * S);
    std::fprintf(o, "<<---- System log file ---->>\r\n");
    std::fprintf(o, "|-- Log size = %d entries\r\n", static_cast<int>(u32(hdr::kLogSize)));
    std::fprintf(o, "|-- Current writing-to entry = %d\r\n", static_cast<int>(u32(hdr::kLogNext)));
    return S_OK;
}

HRESULT CTavDiskSource::ExportSystemLog(const char* path) {
    CAutoLock disk(&m_diskLock);
    const DWORD size = platform::ReadLE32(m_header.data() + hdr::kLogSize);
    const DWORD next = platform::ReadLE32(m_header.data() + hdr::kLogNext);
    if (size == 0)
        return E_FAIL;
    // The ring lies in the system segment behind its first block; a header that puts it elsewhere, or
    // its next entry outside it, is not followed.
    if (m_geo.S <= kBlockSectors || ULONGLONG(size) > ULONGLONG(m_geo.S - kBlockSectors) * 8 || next >= size)
        return E_FAIL;
    File f = CreateOutput(path);
    if (!f)
        return S_OK;
    const DWORD base = m_geo.SystemLogSector();
    std::vector<BYTE> first(kSectorBytes), run(64 * kSectorBytes);
    auto copy = [&](DWORD from, DWORD to) {
        for (DWORD s = from; s < to;) {
            DWORD n = std::min<DWORD>(64, to - s);
            ReadSectors(s, n, run.data());
            std::fwrite(run.data(), kSectorBytes, n, f.get());
            s += n;
        }
    };
    ReadSectors(base + next / 8, 1, first.data());
    std::fwrite(first.data() + 64 * (next % 8), 64, 8 - next % 8, f.get());
    copy(base + next / 8 + 1, base + size / 8);
    if (size % 8) {
        std::vector<BYTE> tail(kSectorBytes);
        ReadSectors(base + size / 8, 1, tail.data());
        std::fwrite(tail.data(), 64, size % 8, f.get());
    }
    copy(base, base + next / 8);
    std::fwrite(first.data(), 64, next % 8, f.get());
    return S_OK;
}

HRESULT CTavDiskSource::ExportImage(const char* path) {
    TavMark start, end;
    {
        CAutoLock pos(&m_posLock);
        start = m_markStart;
        end = m_markEnd;
    }
    CAutoLock disk(&m_diskLock);
    if (!m_handle)
        return E_FAIL;
    const DWORD S = m_geo.S, N = m_geo.N;
    const bool wraps = BlockSector(end.segment, end.block) < BlockSector(start.segment, start.block);
    if (wraps && !ImageSegmentAddressable(end.segment + N - 1, S)) {
        // Refused before the file is made: such an image would not open again.
        common::ErrorBox(kWrappedImageTooLarge);
        return E_FAIL;
    }
    File f = CreateOutput(path);
    if (!f)
        return S_OK;
    // The first sector: the start block's first sector plus the start entry's packet offset.
    std::vector<BYTE> index(kIndexBytes);
    ReadIndex(start.segment, start.block, index.data());
    DWORD entry = static_cast<DWORD>(std::clamp(start.entry, 0, static_cast<int>(kMaxIndexEntries) - 1));
    DWORD offset = platform::ReadLE32(index.data() + idx::kEntries + kIndexEntryBytes * entry + ent::kOffset);
    offset = std::min<DWORD>(offset, kDataSectors * kSectorBytes - 1);
    const DWORD startBlock = BlockSector(start.segment, start.block) - m_sectorOffset;
    const DWORD endBlock = BlockSector(end.segment, end.block) - m_sectorOffset;
    DWORD R = startBlock + offset / kSectorBytes;
    // The copy ends 400 sectors into the block behind the end block, where the end block's last packet
    // may run on. The range wraps past the end of the drive when the end block lies before the start
    // block, even when it is the block just before it and E therefore lands past R.
    DWORD E = endBlock + 2448;
    std::vector<BYTE> header = m_header;
    BYTE* h = header.data();
    platform::WriteLE32(h + hdr::kSectorOffset, m_sectorOffset + R - 11);
    platform::WriteLE32(h + hdr::kSegmentSize, S);
    platform::WriteLE32(h + hdr::kSegmentCount, N);
    platform::WriteLE32(h + hdr::kTPrime, m_geo.Tprime);
    platform::WriteLE32(h + hdr::kRangeFirstSection, (m_sectorOffset + R) >> 21);
    platform::WriteLE32(h + hdr::kRangeFirstSegment, start.segment);
    platform::WriteLE32(h + hdr::kRangeFirstBlock, static_cast<DWORD>(start.block));
    platform::WriteLE32(h + hdr::kRangeFirstEntry, static_cast<DWORD>(start.entry));
    platform::WriteLE32(h + hdr::kRangeLastSection, ((m_sectorOffset + E) >> 21) + (wraps ? m_geo.G : 0));
    platform::WriteLE32(h + hdr::kRangeLastSegment, end.segment + (wraps ? N - 1 : 0));
    platform::WriteLE32(h + hdr::kRangeLastBlock, static_cast<DWORD>(end.block));
    platform::WriteLE32(h + hdr::kRangeLastEntry, static_cast<DWORD>(end.entry));
    platform::WriteLE32(h + hdr::kRangeStartTime, start.time);
    platform::WriteLE32(h + hdr::kRangeEndTime, end.time);
    std::fwrite(h, 1, kSectorBytes, f.get());
    std::vector<BYTE> trailer(kTrailerBytes, 0);
    if (!m_slots.empty())
        ReadTrailer(m_slots[Slot(end.segment)], trailer.data());
    std::fwrite(trailer.data(), 1, kTrailerBytes, f.get());

    std::vector<BYTE> buf(ULONGLONG(kBlockSectors) * kSectorBytes);
    DWORD runs = 0, done = 0;
    auto count = [](DWORD from, DWORD to) { return (to - from + kBlockSectors - 1) / kBlockSectors; };
    runs = wraps ? count(R, m_geo.HeaderSector()) + count(0, E) : (E > R ? count(R, E) : 0);
    auto copy = [&](DWORD from, DWORD to) {
        for (DWORD s = from; s < to;) {
            DWORD n = std::min<DWORD>(kBlockSectors, to - s);
            ReadDeviceSectors(s, n, buf.data());
            std::fwrite(buf.data(), kSectorBytes, n, f.get());
            s += n;
            ++done;
            // Progress shows as the current entry time moving from the start to the end mark.
            m_curTime = start.time + static_cast<DWORD>(ULONGLONG(done) * (end.time - start.time) /
                                                        std::max<DWORD>(runs, 1));
            Sleep(0);
        }
    };
    if (!wraps) {
        copy(R, E);
    } else {
        copy(R, m_geo.HeaderSector());
        copy(0, E);
    }
    return S_OK;
}

HRESULT CTavDiskSource::ClearDrive() {
    CAutoLock disk(&m_diskLock);
    if (m_isImage || !m_handle)
        return E_FAIL;
    // Reading keeps the drive read-only; clearing writes through a handle of its own.
    HANDLE handle = m_handle;
    HANDLE own = nullptr;
    if (!m_driverMode) {
        own = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (own == INVALID_HANDLE_VALUE || !own)
            return E_FAIL;
        handle = own;
    }
    const common::SectorVariant& v = common::kTavSourceVariant;
    std::vector<BYTE> zero(kIndexBytes, 0);
    auto write = [&](DWORD sector, int count) {
        common::WriteSector(m_driverMode, handle, m_drive, zero.data(), sector, count, v);
    };
    const DWORD S = m_geo.S, N = m_geo.N;
    DWORD F = platform::ReadLE32(m_header.data() + hdr::kFirstSegment);
    if (F > N - 2)
        F = 0;
    for (DWORD b = 0; b < m_geo.B; ++b)
        write(IndexSector(F, static_cast<int>(b)), kIndexSectors);
    for (DWORD s = F; s <= N - 2; ++s)
        write((s + 1) * S - kTrailerAreaSectors, kTrailerAreaSectors);
    write(m_geo.HeaderSector(), 1);
    for (DWORD s = 0; s < 2080; s += 40)
        write(s, 40);
    const DWORD T = m_geo.T;
    DWORD u = ClearUnitSectors(T);
    if (T >= 1)
        write((T / u - (T % u == 0 ? 1 : 0)) * u, 1);
    if (own)
        CloseHandle(own);
    // The block indexes just cleared are no longer what the section count read.
    m_sectionBlocks.section = -1;
    return S_OK;
}

} // namespace tav
