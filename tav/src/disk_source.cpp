// CTavDiskSource: open and probe, the index load with wrap detection, and every position operation.
#include "tav/disk_source.h"

#include <algorithm>
#include <cstring>

#include "platform/glmdrv.h"
#include "platform/system.h"

namespace tav {
namespace {

const common::SectorVariant& V() {
    return common::kTavSourceVariant;
}

constexpr DWORD kRecoveryTimeoutMs = 8000;
constexpr DWORD kErrorIoIncomplete = 996;

} // namespace

CTavDiskSource::CTavDiskSource(DWORD windowsMajor) : CVTSource(windowsMajor) {}

CTavDiskSource::~CTavDiskSource() {
    Close();
}

// ---- sector access ---------------------------------------------------------------------------------

bool CTavDiskSource::ReadDeviceSectors(ULONGLONG dev, DWORD count, BYTE* buf) {
    CAutoLock disk(&m_diskLock);
    if (count == 0)
        return true;
    if (m_isImage) {
        // An image shorter than its fields claim is damaged: what lies beyond its end reads as zeros.
        ULONGLONG end = dev + count;
        if (dev >= m_imageSectors) {
            std::memset(buf, 0, ULONGLONG(count) * 512);
            return false;
        }
        if (end > m_imageSectors) {
            DWORD have = static_cast<DWORD>(m_imageSectors - dev);
            std::memset(buf + ULONGLONG(have) * 512, 0, ULONGLONG(count - have) * 512);
            common::ReadSector(false, m_handle, m_drive, buf, static_cast<DWORD>(dev), static_cast<int>(have),
                               V());
            return false;
        }
    } else if (dev + count > 0x100000000ull) {
        std::memset(buf, 0, ULONGLONG(count) * 512);
        return false;
    }
    return common::ReadSector(m_driverMode, m_handle, m_drive, buf, static_cast<DWORD>(dev),
                              static_cast<int>(count), V()) != 0;
}

bool CTavDiskSource::ReadSectors(ULONGLONG sector, DWORD count, BYTE* buf) {
    if (m_isImage) {
        // Image sector = drive sector - offset, in 32-bit arithmetic: a range starting within the first
        // 11 sectors of the drive has an offset of "minus" a few sectors.
        return ReadDeviceSectors(static_cast<DWORD>(sector - m_sectorOffset), count, buf);
    }
    return ReadDeviceSectors(sector, count, buf);
}

DWORD CTavDiskSource::BlockSector(DWORD segment, int block) const {
    return static_cast<DWORD>(ULONGLONG(segment) * m_geo.S + DWORD(block) * kBlockSectors);
}
DWORD CTavDiskSource::DataSectors(int block) const {
    return DataAreaSectors(static_cast<DWORD>(block), m_geo.B);
}
DWORD CTavDiskSource::IndexSector(DWORD segment, int block) const {
    return BlockSector(segment, block) + DataSectors(block);
}

// ---- open --------------------------------------------------------------------------------------------

void CTavDiskSource::ResetTables() {
    m_slots.clear();
    m_sections.clear();
    m_sectionsInUse = 0;
    m_validSegments = 0;
    m_wrapped = false;
    m_oldest = m_newest = 0xFFFFFFFF;
}

HRESULT CTavDiskSource::Open(int kind, int drive, const char* path) {
    CAutoLock pos(&m_posLock);
    if (!path)
        return E_INVALIDARG;
    if (kind != kOpenDrive && kind != kOpenImage)
        return S_OK;
    CloseDevice();
    ResetTables();
    m_width = m_height = 0;
    m_recorderKind = 0;
    m_audioFormat = 1;
    m_audioPresent = false;
    m_drive = drive;
    m_path = path;
    bool ok = kind == kOpenDrive ? OpenDrive(drive, path) : OpenImage(path);
    if (!ok) {
        CloseDevice();
        return E_FAIL;
    }
    return m_audioPresent ? 1 : 0;
}

bool CTavDiskSource::OpenDrive(int drive, const char* path) {
    m_isImage = false;
    common::AccessMode mode = common::ChooseAccessMode(m_winMajor, V());
    if (mode == common::AccessMode::None)
        return false;
    m_driverMode = mode == common::AccessMode::Driver;
    if (m_driverMode) {
        m_handle =
            CreateFileA(kGlmDriverPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
            m_handle = nullptr;
            common::ErrorBox(common::Format(common::msg::kCreateFileOnDriverFailed, drive,
                                            static_cast<int>(GetLastError())));
            return false;
        }
    } else {
        m_handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
            m_handle = nullptr;
            common::ErrorBox(
                common::Format(common::msg::kCreateFileNamedFailed, path, static_cast<int>(GetLastError())));
            return false;
        }
    }
    common::DriveGeometry geometry;
    bool ok = m_driverMode ? common::QueryGeometry(m_handle, drive, &geometry)
                           : common::QueryGeometry(m_handle, &geometry);
    if (!ok) {
        DWORD error = GetLastError();
        if (!(m_driverMode && error == kErrorIoIncomplete))
            common::ErrorBox(common::Format(common::msg::kDeviceIoControlFailed, static_cast<int>(error)));
        return false;
    }
    m_geo = ComputeGeometry(static_cast<DWORD>(geometry.sectors));
    std::vector<BYTE> sector(512, 0);
    bool read = m_geo.N >= 3 && ReadSectors(2008, 1, sector.data());
    if (!read || !IsBlockTag(platform::ReadLE32(sector.data()))) {
        common::ErrorBox(
            common::Format(common::msg::kCheckHardDriveFailed, static_cast<int>(GetLastError())));
        return false;
    }
    ReadSectors(m_geo.HeaderSector(), 1, m_header.data());
    platform::WriteLE32(m_header.data() + hdr::kOldestSegment, 0xFFFFFFFF);
    platform::WriteLE32(m_header.data() + hdr::kNewestSegment, 0xFFFFFFFF);
    return ProbeDrive();
}

bool CTavDiskSource::OpenImage(const char* path) {
    m_isImage = true;
    m_driverMode = false;
    m_handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE || !m_handle) {
        m_handle = nullptr;
        common::ErrorBox(
            common::Format(common::msg::kCreateFileFilenameFailed, path, static_cast<int>(GetLastError())));
        return false;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(m_handle, &size);
    m_imageSectors = static_cast<ULONGLONG>(size.QuadPart) / 512;
    m_sectorOffset = 0;
    ReadDeviceSectors(0, 1, m_header.data());
    const BYTE* h = m_header.data();
    TavGeometry g;
    bool ok = GeometryFromImage(platform::ReadLE32(h + hdr::kSegmentSize),
                                platform::ReadLE32(h + hdr::kSegmentCount),
                                platform::ReadLE32(h + hdr::kTPrime), &g);
    DWORD firstSection = platform::ReadLE32(h + hdr::kRangeFirstSection);
    DWORD lastSection = platform::ReadLE32(h + hdr::kRangeLastSection);
    m_rangeFirstSegment = platform::ReadLE32(h + hdr::kRangeFirstSegment);
    m_rangeLastSegment = platform::ReadLE32(h + hdr::kRangeLastSegment);
    DWORD fb = platform::ReadLE32(h + hdr::kRangeFirstBlock),
          lb = platform::ReadLE32(h + hdr::kRangeLastBlock);
    DWORD fe = platform::ReadLE32(h + hdr::kRangeFirstEntry),
          le = platform::ReadLE32(h + hdr::kRangeLastEntry);
    // The fields must describe one range of at most one pass over the drive. A pass may end in the
    // segment it starts in, one turn later, in the blocks before its first block.
    if (ok) {
        DWORD span = m_rangeLastSegment - m_rangeFirstSegment;
        ok = lastSection >= firstSection && lastSection - firstSection <= 2 * g.G + 1 &&
             m_rangeLastSegment >= m_rangeFirstSegment && (span < g.N - 1 || (span == g.N - 1 && lb < fb)) &&
             m_rangeFirstSegment < 2 * (g.N - 1) && fb < g.B && lb < g.B && fe < kMaxIndexEntries &&
             le < kMaxIndexEntries && ImageSegmentAddressable(m_rangeLastSegment, g.S);
    }
    if (!ok) {
        common::ErrorBox(common::Format(common::msg::kCheckHardDriveFailed, 0));
        return false;
    }
    m_geo = g;
    m_sectorOffset = platform::ReadLE32(h + hdr::kSectorOffset);
    m_rangeFirstBlock = static_cast<int>(fb);
    m_rangeLastBlock = static_cast<int>(lb);
    m_rangeFirstEntry = static_cast<int>(fe);
    m_rangeLastEntry = static_cast<int>(le);
    return ProbeImage();
}

bool CTavDiskSource::ReadIndex(DWORD segment, int block, BYTE* index) {
    return ReadSectors(IndexSector(segment, block), kIndexSectors, index);
}

bool CTavDiskSource::ProbeDrive() {
    std::vector<BYTE> trailer(512);
    DWORD found = 0xFFFFFFFF;
    for (DWORD s = 0; s + 1 < m_geo.N; ++s) {
        ReadSectors(ULONGLONG(s + 1) * m_geo.S - 12, 1, trailer.data());
        if (IsSegmentTag(platform::ReadLE32(trailer.data())) &&
            platform::ReadLE16(trailer.data() + trl::kBlocksUsed)) {
            found = s;
            break;
        }
    }
    if (found == 0xFFFFFFFF || found == m_geo.N - 2)
        return false;
    std::vector<BYTE> index(kIndexBytes);
    int block = -1;
    for (DWORD b = 0; b < m_geo.B; ++b) {
        ReadIndex(found, static_cast<int>(b), index.data());
        if (IsBlockTag(platform::ReadLE32(index.data())) && platform::ReadLE16(index.data() + idx::kCount)) {
            block = static_cast<int>(b);
            break;
        }
    }
    if (block < 0 || DWORD(block) == m_geo.B - 1)
        return false;
    m_code = index[idx::kEntries + ent::kCode];
    ProbeEntries(found, block, 3, 0, found);
    return true;
}

bool CTavDiskSource::ProbeImage() {
    std::vector<BYTE> index(kIndexBytes);
    ReadIndex(m_rangeFirstSegment, m_rangeFirstBlock, index.data());
    m_code =
        index[idx::kEntries + 30 * std::min<DWORD>(m_rangeFirstEntry, kMaxIndexEntries - 1) + ent::kCode];
    ProbeEntries(m_rangeFirstSegment, m_rangeFirstBlock, 2, m_rangeFirstEntry, m_rangeLastSegment);
    return true;
}

// Walks the entries of `blocks` blocks from (segment, firstBlock) looking for the first audio block and
// the first readable key frame.
void CTavDiskSource::ProbeEntries(DWORD segment, int block, int blocks, int firstEntry, DWORD lastSegment) {
    std::vector<BYTE> index(kIndexBytes);
    bool audio = false, video = false;
    for (int n = 0; n < blocks && !(audio && video); ++n) {
        if (DWORD(block) >= m_geo.B) {
            block = 0;
            ++segment;
        }
        if (segment > lastSegment)
            break;
        ReadIndex(segment, block, index.data());
        if (IsBlockTag(platform::ReadLE32(index.data()))) {
            DWORD count = std::min<DWORD>(platform::ReadLE16(index.data() + idx::kCount), kMaxIndexEntries);
            for (DWORD i = n == 0 ? static_cast<DWORD>(firstEntry) : 0; i < count && !(audio && video); ++i) {
                TavIndexEntry e = ReadIndexEntry(index.data() + idx::kEntries + 30 * i);
                ProbeEntry(e, BlockSector(segment, block), DataSectors(block), &audio, &video);
            }
        }
        ++block;
    }
    m_audioPresent = audio;
}

bool CTavDiskSource::ProbeEntry(const TavIndexEntry& e, DWORD blockSector, DWORD dataSectors, bool* audio,
                                bool* video) {
    if (!IsValidEntry(e, dataSectors * 512))
        return false;
    bool wantAudio = !*audio && e.type == kTypeAudio;
    bool wantVideo = !*video && e.type == kTypeKey;
    if (!wantAudio && !wantVideo)
        return false;
    if (wantAudio && e.size != 2080) {
        if (e.size == 4160)
            m_audioFormat = 1;
        *audio = true;
        return true;
    }
    Packet saved = m_pkt;
    m_pkt.blockSector = blockSector;
    m_pkt.dataSectors = dataSectors;
    m_pkt.offset = e.offset;
    m_pkt.size = e.size;
    m_pkt.wraps = dataSectors * 512 < ULONGLONG(e.offset) + e.size + kPacketTail;
    std::vector<BYTE> packet;
    ReadPacket(&packet);
    m_pkt = saved;
    if (wantAudio) {
        m_audioFormat = packet[60];
        *audio = true;
        return true;
    }
    WORD w = m_width, h = m_height;
    ParseVideoObjectLayer(packet.data() + 64, 64, &w, &h);
    DetectRecorderKind(packet.data(), e.size, &m_recorderKind);
    m_width = w;
    m_height = h;
    if (w && h) {
        m_measureChannel = e.channel;
        *video = true;
    }
    return true;
}

// Reads the current packet: the start sector, the run behind it inside the data area, and what runs
// past the data area from the first sector of the next block (never the block index behind the data).
DWORD CTavDiskSource::ReadPacket(std::vector<BYTE>* out) {
    CAutoLock disk(&m_diskLock);
    DWORD byteOffset = m_pkt.offset % 512;
    DWORD startIndex = m_pkt.offset / 512;
    DWORD n = ((byteOffset + m_pkt.size + kPacketTail) >> 9) + 1;
    DWORD o = 0;
    if (m_pkt.wraps) {
        WORD over = static_cast<WORD>(startIndex + n - m_pkt.dataSectors);
        o = std::min<DWORD>(over, n - 1);
    }
    BYTE* buf = m_packetBuf.data();
    ULONGLONG start = ULONGLONG(m_pkt.blockSector) + startIndex;
    ReadSectors(start, n - o, buf);
    if (o)
        ReadSectors(ULONGLONG(m_pkt.blockSector) + kBlockSectors, o, buf + ULONGLONG(n - o) * 512);
    DWORD bytes = n * 512 - byteOffset;
    out->assign(buf + byteOffset, buf + byteOffset + bytes);
    return bytes;
}

// ---- index load ----------------------------------------------------------------------------------

void CTavDiskSource::ScanTrailer(DWORD v, TavSegmentSlot& slot, BYTE* trailer) {
    slot.scanned = true;
    slot.trailerOnDevice = m_isImage && v == m_rangeLastSegment;
    slot.trailerSector = slot.trailerOnDevice ? 1 : ULONGLONG(v + 1) * m_geo.S - 12;
    if (slot.trailerOnDevice)
        ReadDeviceSectors(slot.trailerSector, kTrailerSectors, trailer);
    else
        ReadSectors(slot.trailerSector, kTrailerSectors, trailer);
    std::memcpy(slot.head.data(), trailer, trl::kEvents);
    DWORD count = std::min<DWORD>(slot.EventCount(), kMaxEventRecords);
    slot.events.assign(trailer + trl::kEvents, trailer + trl::kEvents + kEventRecordBytes * count);
}

void CTavDiskSource::ReadTrailer(const TavSegmentSlot& slot, BYTE* trailer) {
    std::memset(trailer, 0, kTrailerBytes);
    if (!slot.scanned)
        return;
    if (slot.trailerOnDevice)
        ReadDeviceSectors(slot.trailerSector, kTrailerSectors, trailer);
    else
        ReadSectors(slot.trailerSector, kTrailerSectors, trailer);
    std::memcpy(trailer, slot.head.data(), trl::kEvents);
}

void CTavDiskSource::Classify(TavSegmentSlot& slot) {
    DWORD tag = platform::ReadLE32(slot.head.data());
    if (!IsSegmentTag(tag))
        slot.status = SegmentStatus::NotSegment;
    else
        slot.status = slot.BlocksUsed() ? SegmentStatus::Valid : SegmentStatus::Empty;
    slot.hasOldest = slot.hasNewest = false;
    slot.eventsLoaded = false;
    slot.eventViews.clear();
    slot.eventCount = 0;
}

bool CTavDiskSource::SegmentUsable(DWORD segment) const {
    const TavSegmentSlot& s = m_slots[Slot(segment)];
    return s.status == SegmentStatus::Valid && s.BlocksUsed() <= m_geo.B;
}

HRESULT CTavDiskSource::LoadIndex() {
    {
        CAutoLock pos(&m_posLock);
        if (!m_handle)
            return E_FAIL;
        m_cancel = 0;
        m_progress = 0;
        ResetTables();
        m_slots.assign(m_geo.N, TavSegmentSlot{});
        bool ok = m_isImage ? ScanImage() : ScanDrive();
        if (!ok || m_sectionsInUse == 0) {
            m_sectionsInUse = 0;
            CloseDevice();
            return E_FAIL;
        }
        m_section = 0;
        BuildEventLists();
    }
    // The reader thread's initialise command counts the first section and goes to its start.
    return StartReaderThread();
}

DWORD CTavDiskSource::SegmentEndTime(DWORD segment) const {
    const TavSegmentSlot& slot = m_slots[Slot(segment)];
    if (m_wrapped && m_section == 0 && Slot(segment) == m_oldest && m_oldest == m_newest && slot.hasOldest)
        return slot.oldestEndTime;
    return slot.LastTime();
}

DWORD CTavDiskSource::LastEntryTime(DWORD segment, DWORD first, DWORD last) {
    std::vector<BYTE> index(kIndexBytes);
    for (DWORD b = last + 1; b-- > first;) {
        ReadIndex(segment, static_cast<int>(b), index.data());
        if (!IsBlockTag(platform::ReadLE32(index.data())))
            continue;
        DWORD count = std::min<DWORD>(platform::ReadLE16(index.data() + idx::kCount), kMaxIndexEntries);
        if (count)
            return platform::ReadLE32(index.data() + idx::kEntries + kIndexEntryBytes * (count - 1) +
                                      ent::kTime);
    }
    return 0;
}

void CTavDiskSource::SetSectionTimes(TavSection& sec) {
    DWORD first = sec.first, last = sec.last;
    while (first <= last && !SegmentUsable(first))
        ++first;
    while (last > first && !SegmentUsable(last))
        --last;
    if (first <= last && SegmentUsable(first)) {
        sec.first = first;
        sec.last = last;
        sec.start = m_slots[Slot(first)].FirstTime();
        sec.end = m_slots[Slot(last)].LastTime();
    }
}

bool CTavDiskSource::ScanDrive() {
    const DWORD N = m_geo.N, K = m_geo.K, G = m_geo.G;
    DWORD F = platform::ReadLE32(m_header.data() + hdr::kFirstSegment);
    DWORD h = platform::ReadLE32(m_header.data() + hdr::kFirstSection);
    if (F > N - 2)
        F = 0;
    if (h >= G)
        h = F / K;
    std::vector<BYTE> first(512);
    ReadSectors(ULONGLONG(F + 1) * m_geo.S - 12, 1, first.data());
    WORD expected = platform::ReadLE16(first.data() + trl::kSequence);
    bool firstRun = true, notWrapped = false;
    DWORD newest = 0xFFFFFFFF, lastValid = 0xFFFFFFFF;
    std::vector<BYTE> trailer(kTrailerBytes);
    for (DWORD s = F; s <= N - 2; ++s) {
        m_progress = static_cast<LONG>(ULONGLONG(s) * 1000 / N);
        if (m_cancel)
            return false;
        TavSegmentSlot& slot = m_slots[s];
        ScanTrailer(s, slot, trailer.data());
        Classify(slot);
        // Sequence numbers count segment positions, so a damaged trailer inside one recording pass
        // does not read as the recorder's writing point.
        WORD want = static_cast<WORD>(expected + (s - F));
        if (slot.status == SegmentStatus::Valid) {
            ++m_validSegments;
            if (firstRun && slot.Sequence() != want) {
                firstRun = false;
                newest = lastValid;
            }
            lastValid = s;
        } else if (slot.status == SegmentStatus::Empty) {
            notWrapped = true;
        }
    }
    if (lastValid == 0xFFFFFFFF)
        return false;
    // One section per GiB; the last ends before the system segment.
    m_sections.assign(G + 1, TavSection{});
    for (DWORD g = 0; g < G; ++g) {
        m_sections[g].first = g * K;
        m_sections[g].last = std::min((g + 1) * K - 1, N - 2);
    }
    for (DWORD g = h; g < G; ++g)
        SetSectionTimes(m_sections[g]);
    if (notWrapped || newest == 0xFFFFFFFF || newest < F) {
        FinishSections(h, lastValid);
        return true;
    }
    BuildWrappedSections(F, newest);
    return m_sectionsInUse > 0;
}

void CTavDiskSource::FinishSections(DWORD h, DWORD L) {
    LONG gl = (static_cast<LONG>(L) - 1) / static_cast<LONG>(m_geo.K);
    TavSection& sec = m_sections[static_cast<DWORD>(gl)];
    // A section that held no valid segment before its end moved onto L starts at L.
    if (sec.start == 0 || static_cast<DWORD>(gl) < h) {
        sec.first = L;
        sec.start = m_slots[L].FirstTime();
    }
    sec.last = L;
    sec.end = m_slots[L].LastTime();
    m_sectionsInUse = gl + 1;
    m_sections.resize(static_cast<DWORD>(m_sectionsInUse));
}

// A wrapped drive: W holds the newest data; the oldest start in W (its stale blocks) or in W + 1.
// The sections are rebuilt in time order: oldest .. N-2, then F .. W, cut at every GiB boundary, so
// the section that holds both ends of the recording appears twice: first with its oldest part, last
// with its newest.
void CTavDiskSource::BuildWrappedSections(DWORD F, DWORD W) {
    const DWORD N = m_geo.N, K = m_geo.K, G = m_geo.G;
    m_wrapped = true;
    TavSegmentSlot& w = m_slots[W];
    DWORD used = std::min<DWORD>(w.BlocksUsed(), m_geo.B);
    std::vector<BYTE> index(512);
    // The write sequence number of a block sits at index byte 19476, in the index's 39th sector.
    auto blockSequence = [&](DWORD segment, DWORD block) {
        ReadSectors(IndexSector(segment, static_cast<int>(block)) + idx::kSequence / 512, 1, index.data());
        return platform::ReadLE16(index.data() + idx::kSequence % 512);
    };
    DWORD stale = used;
    for (DWORD b = 0; b < used; ++b) {
        if (blockSequence(W, b) != w.Sequence()) {
            stale = b;
            break;
        }
    }
    DWORD O = W;
    w.hasNewest = true;
    w.newestEndTime = w.LastTime();
    if (stale < used) {
        w.newestFirst = 0;
        w.newestLast = stale ? stale - 1 : 0;
        w.hasOldest = true;
        w.oldestFirst = stale;
        w.oldestLast = used - 1;
        ReadSectors(IndexSector(W, static_cast<int>(stale)), 1, index.data());
        w.oldestBlockTime = platform::ReadLE32(index.data() + idx::kBlockTime);
        // The trailer's end time is the newest data's; the oldest part ends where its last block does.
        w.oldestEndTime = LastEntryTime(W, w.oldestFirst, w.oldestLast);
        if (!w.oldestEndTime)
            w.oldestEndTime = w.oldestBlockTime;
        if (stale == 0)
            w.hasNewest = false;
    } else {
        w.newestFirst = 0;
        w.newestLast = used ? used - 1 : 0;
        O = W + 1;
        TavSegmentSlot& o = m_slots[O];
        DWORD oused = std::min<DWORD>(o.BlocksUsed(), m_geo.B);
        DWORD from = 0;
        for (DWORD b = oused; b-- > 0;) {
            if (blockSequence(O, b) != o.Sequence()) {
                from = b + 1;
                break;
            }
        }
        if (from >= oused)
            from = 0;
        o.hasOldest = true;
        o.oldestFirst = from;
        o.oldestLast = oused ? oused - 1 : 0;
        ReadSectors(IndexSector(O, static_cast<int>(from)), 1, index.data());
        o.oldestBlockTime = platform::ReadLE32(index.data() + idx::kBlockTime);
    }
    m_oldest = O;
    m_newest = W;
    platform::WriteLE32(m_header.data() + hdr::kOldestSegment, O);
    platform::WriteLE32(m_header.data() + hdr::kNewestSegment, W);

    std::vector<TavSection> ordered;
    auto cut = [&](DWORD from, DWORD to) {
        for (DWORD s = from; s <= to;) {
            DWORD g = std::min(s / K, G - 1);
            DWORD end = std::min(g == G - 1 ? N - 2 : (g + 1) * K - 1, to);
            TavSection sec;
            sec.first = s;
            sec.last = end;
            SetSectionTimes(sec);
            if (sec.start || sec.end)
                ordered.push_back(sec);
            s = end + 1;
        }
    };
    cut(O, N - 2);
    cut(F, W);
    if (ordered.empty())
        return;
    if (ordered.front().first == O) {
        ordered.front().start = m_slots[O].oldestBlockTime;
        if (O == W && ordered.front().last == W)
            ordered.front().end = w.oldestEndTime;
    }
    if (ordered.back().last == W)
        ordered.back().end = w.LastTime();
    // The GiB that holds the write point holds both ends of the recording, so the cut gives one piece
    // more than the drive has sections. The oldest piece joins the section after it; when that one
    // lies across the end of the drive, the newest piece joins the section before it instead. Either
    // way every segment stays in a section, and the first section starts at the oldest data.
    auto join = [&](std::size_t i) {
        ordered[i].last = ordered[i + 1].last;
        ordered[i].end = ordered[i + 1].end;
        ordered.erase(ordered.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    };
    const std::size_t n = ordered.size();
    if (n > G && n >= 2) {
        if (ordered[1].first > ordered[0].last)
            join(0);
        else if (n >= 3 && ordered[n - 1].first > ordered[n - 2].last)
            join(n - 2);
    }
    m_sections = ordered;
    m_sectionsInUse = static_cast<int>(ordered.size());
}

bool CTavDiskSource::ScanImage() {
    const DWORD N = m_geo.N, K = m_geo.K, G = std::max<DWORD>(m_geo.G, 1);
    const BYTE* h = m_header.data();
    DWORD firstSection = platform::ReadLE32(h + hdr::kRangeFirstSection);
    DWORD lastSection = platform::ReadLE32(h + hdr::kRangeLastSection);
    std::vector<BYTE> trailer(kTrailerBytes);
    for (DWORD v = m_rangeFirstSegment; v <= m_rangeLastSegment; ++v) {
        m_progress = static_cast<LONG>(ULONGLONG(v - m_rangeFirstSegment) * 1000 / N);
        if (m_cancel)
            return false;
        TavSegmentSlot& slot = m_slots[Slot(v)];
        ScanTrailer(v, slot, trailer.data());
        Classify(slot);
        if (slot.status == SegmentStatus::Valid)
            ++m_validSegments;
    }
    // Sections of the range; numbers past the end of the drive continue at section 0, as the segment
    // numbers past N - 2 continue at segment 0.
    for (DWORD g = firstSection; g <= lastSection; ++g) {
        DWORD r = g % G;
        DWORD shift = g >= G ? N - 1 : 0;
        TavSection sec;
        sec.first = std::max(r * K + shift, m_rangeFirstSegment);
        sec.last = std::min(std::min((r + 1) * K - 1, N - 2) + shift, m_rangeLastSegment);
        if (sec.first > sec.last)
            continue;
        SetSectionTimes(sec);
        m_sections.push_back(sec);
    }
    if (m_sections.empty() || m_validSegments == 0)
        return false;
    DWORD t0 = platform::ReadLE32(h + hdr::kRangeStartTime), t1 = platform::ReadLE32(h + hdr::kRangeEndTime);
    m_sections.front().start = t0;
    m_sections.back().end = t1;
    platform::WriteLE32(m_slots[Slot(m_rangeFirstSegment)].head.data() + trl::kFirstTime, t0);
    platform::WriteLE32(m_slots[Slot(m_rangeLastSegment)].head.data() + trl::kLastTime, t1);
    m_sectionsInUse = static_cast<int>(m_sections.size());
    return true;
}

void CTavDiskSource::BuildEventLists() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return;
    const TavSection& sec = m_sections[m_section];
    for (DWORD s = sec.first; s <= sec.last; ++s) {
        TavSegmentSlot& slot = m_slots[Slot(s)];
        if (slot.eventsLoaded)
            continue;
        slot.eventsLoaded = true;
        slot.eventViews.clear();
        slot.eventCount = 0;
        DWORD count = std::min<DWORD>(slot.EventCount(), kMaxEventRecords);
        if (slot.status != SegmentStatus::Valid || count == 0)
            continue;
        slot.eventViews.assign(count * kEventViewBytes, 0);
        for (DWORD i = 0; i < count; ++i) {
            const BYTE* e = slot.events.data() + kEventRecordBytes * i;
            DWORD t = platform::ReadLE32(e);
            if (t < slot.FirstTime() || t > slot.LastTime())
                continue;
            BYTE* v = slot.eventViews.data() + kEventViewBytes * slot.eventCount++;
            platform::WriteLE32(v, platform::ReadLE32(e + 4));
            platform::WriteLE32(v + 4, platform::ReadLE32(e + 12));
            platform::WriteLE32(v + 8, t);
            platform::WriteLE16(v + 12, static_cast<WORD>(s));
            platform::WriteLE16(v + 16, platform::ReadLE16(e + 8));
            platform::WriteLE16(v + 20, platform::ReadLE16(e + 10));
        }
    }
}

DWORD CTavDiskSource::EventCount() {
    CAutoLock pos(&m_posLock);
    DWORD n = 0;
    if (m_sectionsInUse == 0)
        return 0;
    const TavSection& sec = m_sections[m_section];
    for (DWORD s = sec.first; s <= sec.last; ++s)
        n += m_slots[Slot(s)].eventCount;
    return n;
}

DWORD CTavDiskSource::GetEventTimes(BYTE* records, DWORD maxRecords) {
    CAutoLock pos(&m_posLock);
    DWORD n = 0;
    if (m_sectionsInUse == 0 || !records)
        return 0;
    const TavSection& sec = m_sections[m_section];
    for (DWORD s = sec.first; s <= sec.last; ++s) {
        const TavSegmentSlot& slot = m_slots[Slot(s)];
        for (DWORD i = 0; i < slot.eventCount && n < maxRecords; ++i, ++n)
            platform::WriteLE32(records + 12 * n,
                                platform::ReadLE32(slot.eventViews.data() + kEventViewBytes * i + 8));
    }
    return n;
}

// ---- sections and positions ------------------------------------------------------------------------

void CTavDiskSource::BlockRange(DWORD segment, int* first, int* last) const {
    const TavSegmentSlot& slot = m_slots[Slot(segment)];
    *first = 0;
    *last = static_cast<int>(std::min<DWORD>(slot.BlocksUsed(), m_geo.B)) - 1;
    if (m_wrapped) {
        if (slot.hasOldest && m_section == 0 && segment == m_oldest) {
            *first = static_cast<int>(slot.oldestFirst);
            *last = static_cast<int>(slot.oldestLast);
        } else if (slot.hasNewest && m_section == m_sectionsInUse - 1 && segment == m_newest) {
            *first = static_cast<int>(slot.newestFirst);
            *last = static_cast<int>(slot.newestLast);
        } else if (slot.hasOldest && segment == m_oldest && m_oldest == m_newest) {
            // The segment's stale blocks belong to the oldest section only.
            *last = static_cast<int>(slot.newestLast);
        }
    }
    if (m_isImage) {
        if (segment == m_rangeFirstSegment)
            *first = std::max(*first, m_rangeFirstBlock);
        if (segment == m_rangeLastSegment)
            *last = std::min(*last, m_rangeLastBlock);
    }
}

DWORD CTavDiskSource::CountSection(int section) {
    const TavSection& sec = m_sections[section];
    std::vector<BYTE> sector(512);
    DWORD total = 0;
    m_segCounts.assign(sec.last - sec.first + 1, 0);
    for (DWORD s = sec.first; s <= sec.last; ++s) {
        if (!SegmentUsable(s))
            continue;
        int first = 0, last = -1;
        BlockRange(s, &first, &last);
        DWORD count = 0;
        for (int b = first; b <= last; ++b) {
            ReadSectors(IndexSector(s, b), 1, sector.data());
            if (IsBlockTag(platform::ReadLE32(sector.data())))
                count += std::min<DWORD>(platform::ReadLE16(sector.data() + idx::kCount), kMaxIndexEntries);
        }
        m_segCounts[s - sec.first] = count;
        total += count;
    }
    return total;
}

HRESULT CTavDiskSource::InitSection() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    m_total = static_cast<LONG>(CountSection(m_section));
    return m_dir > 0 ? GoToStart() : GoToEnd();
}

bool CTavDiskSource::EnterSegment(int d) {
    const TavSection& sec = m_sections[m_section];
    std::vector<BYTE> sector(512);
    for (;;) {
        while (m_seg >= sec.first && m_seg <= sec.last && !SegmentUsable(m_seg))
            m_seg += static_cast<DWORD>(d);
        if (m_seg < sec.first || m_seg > sec.last)
            return false;
        BlockRange(m_seg, &m_blocks.first, &m_blocks.last);
        m_blocks.counts.assign(m_geo.B, 0);
        m_blocks.times.assign(m_geo.B + 1, 0);
        for (int b = m_blocks.first; b <= m_blocks.last; ++b) {
            ReadSectors(IndexSector(m_seg, b), 1, sector.data());
            WORD count = platform::ReadLE16(sector.data() + idx::kCount);
            if (IsBlockTag(platform::ReadLE32(sector.data())) && count) {
                m_blocks.counts[b] = static_cast<WORD>(std::min<DWORD>(count, kMaxIndexEntries));
                m_blocks.times[b] = platform::ReadLE32(sector.data() + idx::kFirstEntryTime);
            }
        }
        if (m_blocks.last >= m_blocks.first)
            m_blocks.times[m_blocks.last + 1] = 0xFFFFFFFF;
        int b = d > 0 ? m_blocks.first : m_blocks.last;
        while (b >= m_blocks.first && b <= m_blocks.last && m_blocks.counts[b] == 0)
            b += d;
        if (b < m_blocks.first || b > m_blocks.last) {
            m_seg += static_cast<DWORD>(d);
            continue;
        }
        m_block = b;
        ReadIndex(m_seg, m_block, m_index.data());
        SetEntryRange();
        m_entry = d > 0 ? m_entryFirst : m_entryLast;
        return true;
    }
}

void CTavDiskSource::SetEntryRange() {
    DWORD count = IsBlockTag(platform::ReadLE32(m_index.data()))
                      ? std::min<DWORD>(platform::ReadLE16(m_index.data() + idx::kCount), kMaxIndexEntries)
                      : 0;
    m_entryFirst = 0;
    m_entryLast = static_cast<int>(count) - 1;
    if (m_isImage) {
        if (m_seg == m_rangeFirstSegment && m_block == m_rangeFirstBlock)
            m_entryFirst = std::max(m_entryFirst, m_rangeFirstEntry);
        if (m_seg == m_rangeLastSegment && m_block == m_rangeLastBlock)
            m_entryLast = std::min(m_entryLast, m_rangeLastEntry);
    }
}

bool CTavDiskSource::LoadEntry() {
    if (m_entry < m_entryFirst || m_entry > m_entryLast)
        return false;
    TavIndexEntry e = ReadIndexEntry(m_index.data() + idx::kEntries + kIndexEntryBytes * m_entry);
    m_pkt.segment = m_seg;
    m_pkt.block = m_block;
    m_pkt.entry = m_entry;
    m_pkt.blockSector = BlockSector(m_seg, m_block);
    m_pkt.dataSectors = DataSectors(m_block);
    m_pkt.offset = e.offset;
    m_pkt.size = e.size;
    m_pkt.time = e.time;
    m_pkt.channel = e.channel;
    m_pkt.type = e.type;
    m_pkt.code = e.code;
    m_pkt.wraps = m_pkt.dataSectors * 512 < ULONGLONG(e.offset) + e.size + kPacketTail;
    m_curTime = e.time;
    return IsValidEntry(e, m_pkt.dataSectors * 512);
}

// Moves one entry in the current direction, across blocks and segments; false at the section's end.
bool CTavDiskSource::StepEntry() {
    const int d = m_dir;
    m_entry += d;
    m_running += d;
    if (m_entry >= m_entryFirst && m_entry <= m_entryLast)
        return true;
    for (int b = m_block + d; b >= m_blocks.first && b <= m_blocks.last; b += d) {
        ReadIndex(m_seg, b, m_index.data());
        m_block = b;
        SetEntryRange();
        if (m_entryLast >= m_entryFirst) {
            m_entry = d > 0 ? m_entryFirst : m_entryLast;
            return true;
        }
    }
    m_seg += static_cast<DWORD>(d);
    return EnterSegment(d);
}

int CTavDiskSource::NextEntry() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return 0;
    Position before = SavePosition();
    bool recovering = false;
    for (;;) {
        if (!StepEntry()) {
            RestorePosition(before);
            return 0;
        }
        bool valid = LoadEntry();
        if (valid && (!recovering || m_pkt.type == kTypeKey))
            return 1;
        // After an invalid entry the walk resumes at the next key frame.
        if (!recovering) {
            recovering = true;
            m_recoveryStart = timeGetTime();
        } else if (timeGetTime() - m_recoveryStart > kRecoveryTimeoutMs) {
            MessageBoxA(nullptr, "Data corruption detected. Go to next segment.", "Warning", MB_OK);
            return 0;
        }
    }
}

CTavDiskSource::Position CTavDiskSource::SavePosition() const {
    return Position{m_section, m_seg, m_block, m_entry, m_running};
}

void CTavDiskSource::RestorePosition(const Position& p) {
    m_section = p.section;
    m_seg = p.segment;
    EnterSegment(m_dir); // rebuilds the saved segment's block tables
    m_seg = p.segment;
    m_block = p.block;
    ReadIndex(m_seg, m_block, m_index.data());
    SetEntryRange();
    m_running = p.running;
    // A position one step before its first entry (as GoToStart and the marks leave it) still takes
    // the time and packet of the entry the next step arrives at.
    m_entry = std::clamp(p.entry, m_entryFirst, std::max(m_entryFirst, m_entryLast));
    LoadEntry();
    m_entry = p.entry;
}

HRESULT CTavDiskSource::GoToStart() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    m_running = 0;
    m_seg = m_sections[m_section].first;
    if (!EnterSegment(1))
        return E_FAIL;
    LoadEntry();
    m_entry -= m_dir;
    return S_OK;
}

HRESULT CTavDiskSource::GoToEnd() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    m_running = m_total;
    m_seg = m_sections[m_section].last;
    if (!EnterSegment(-1))
        return E_FAIL;
    LoadEntry();
    m_entry -= m_dir;
    return S_OK;
}

HRESULT CTavDiskSource::SeekToTime(DWORD t) {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    const TavSection& sec = m_sections[m_section];
    m_running = 0;
    m_seg = sec.first;
    while (m_seg < sec.last && (!SegmentUsable(m_seg) || t > SegmentEndTime(m_seg))) {
        m_running += static_cast<LONG>(m_segCounts[m_seg - sec.first]);
        ++m_seg;
    }
    // A time past the section's last segment lands on its last entry.
    if (!EnterSegment(1)) {
        m_seg = sec.last;
        if (!EnterSegment(-1))
            return E_FAIL;
    }
    int b = m_block;
    for (;;) {
        int next = b + 1;
        while (next <= m_blocks.last && m_blocks.counts[next] == 0)
            ++next;
        if (next > m_blocks.last || !(t > m_blocks.times[next]))
            break;
        m_running += m_blocks.counts[b];
        b = next;
    }
    if (b != m_block) {
        m_block = b;
        ReadIndex(m_seg, m_block, m_index.data());
        SetEntryRange();
    }
    auto entryTime = [&](int e) {
        return platform::ReadLE32(m_index.data() + idx::kEntries + kIndexEntryBytes * e + ent::kTime);
    };
    m_entry = m_entryFirst;
    while (m_entry < m_entryLast && t > entryTime(m_entry)) {
        ++m_entry;
        ++m_running;
    }
    // A block whose entries all lie before t (the next block starts exactly at t): the first entry not
    // before t opens the next block.
    if (m_entry == m_entryLast && t > entryTime(m_entry)) {
        int next = m_block + 1;
        while (next <= m_blocks.last && m_blocks.counts[next] == 0)
            ++next;
        if (next <= m_blocks.last) {
            m_running += 1;
            m_block = next;
            ReadIndex(m_seg, m_block, m_index.data());
            SetEntryRange();
            m_entry = m_entryFirst;
        }
    }
    LoadEntry();
    std::fill(std::begin(m_displayCounter), std::end(m_displayCounter), WORD(0));
    return S_OK;
}

HRESULT CTavDiskSource::SeekToSectionTime(DWORD t) {
    CAutoLock pos(&m_posLock);
    for (int i = 0; i < m_sectionsInUse; ++i) {
        const TavSection& sec = m_sections[i];
        if (sec.start && sec.end && t >= sec.start && t < sec.end) {
            m_section = i;
            InitSection();
            return SeekToTime(t);
        }
    }
    return E_FAIL;
}

HRESULT CTavDiskSource::SeekToFraction(LONG num, LONG den) {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    if (den == 0)
        return E_INVALIDARG;
    const TavSection& sec = m_sections[m_section];
    LONG target = static_cast<LONG>(static_cast<LONGLONG>(m_total - 1) * num / den);
    LONG r = target;
    m_seg = sec.first;
    for (;;) {
        r -= static_cast<LONG>(m_segCounts[m_seg - sec.first]);
        if (r <= 0 || m_seg == sec.last)
            break;
        ++m_seg;
    }
    r += static_cast<LONG>(m_segCounts[m_seg - sec.first]);
    DWORD seg = m_seg;
    if (!EnterSegment(1)) {
        m_seg = seg;
        if (!EnterSegment(-1))
            return E_FAIL;
    }
    int b = m_blocks.first;
    for (;;) {
        r -= m_blocks.counts[b];
        if (r <= 0 || b == m_blocks.last)
            break;
        ++b;
    }
    r += m_blocks.counts[b];
    if (b != m_block) {
        m_block = b;
        ReadIndex(m_seg, m_block, m_index.data());
        SetEntryRange();
    }
    LONG e = m_entryFirst + r;
    if (e < m_entryFirst)
        e = m_entryFirst - 1;
    else if (e > m_entryLast)
        e = m_entryLast + 1;
    m_entry = static_cast<int>(e);
    m_running = target;
    LoadEntry();
    std::fill(std::begin(m_displayCounter), std::end(m_displayCounter), WORD(0));
    return S_OK;
}

HRESULT CTavDiskSource::GetPosition(LONG* perMille, DWORD* time) {
    CAutoLock pos(&m_posLock);
    if (perMille)
        *perMille =
            m_total - 1 > 0 ? static_cast<LONG>(static_cast<LONGLONG>(m_running) * 1000 / (m_total - 1)) : 0;
    if (time) {
        if (m_sectionChanged) {
            *time = static_cast<DWORD>(m_section);
            m_sectionChanged = false;
        } else {
            *time = m_curTime;
        }
    }
    return S_OK;
}

HRESULT CTavDiskSource::Mark(TavMark* mark, DWORD* time) {
    CAutoLock pos(&m_posLock);
    mark->section = m_section;
    mark->segment = m_seg;
    mark->block = m_block;
    mark->entry = std::clamp(m_entry, m_entryFirst, std::max(m_entryFirst, m_entryLast));
    mark->running = m_running;
    mark->time = m_curTime;
    if (time)
        *time = mark->time;
    return S_OK;
}

HRESULT CTavDiskSource::GoToMark(const TavMark& mark) {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    if (m_section != std::clamp(mark.section, 0, m_sectionsInUse - 1)) {
        m_section = std::clamp(mark.section, 0, m_sectionsInUse - 1);
        m_total = static_cast<LONG>(CountSection(m_section));
    }
    const TavSection& sec = m_sections[m_section];
    if (mark.segment < sec.first || mark.segment > sec.last)
        return GoToStart();
    RestorePosition(Position{m_section, mark.segment, mark.block, mark.entry, mark.running});
    // One entry back, so that the next step arrives at the marked entry.
    m_entry -= m_dir;
    m_running -= m_dir;
    return S_OK;
}

// ---- frame rates -------------------------------------------------------------------------------------

void CTavDiskSource::MeasureFrameRates() {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return;
    Position saved = SavePosition();
    MeasureDurations([this](BYTE* type, BYTE* channel, DWORD* time) {
        if (!NextEntry())
            return false;
        *type = m_pkt.type, *channel = m_pkt.channel, *time = m_pkt.time;
        return true;
    });
    RestorePosition(saved);
}

} // namespace tav
