// CTavDiskSource: the index load: every segment trailer read and classified, the sections built, a
// wrapped recording put back into time order, and the event lists of a section.
#include "tav/disk_source.h"

#include <algorithm>
#include <cstring>

namespace tav {

void CTavDiskSource::ScanTrailer(DWORD v, TavSegmentSlot& slot, BYTE* trailer) {
    slot.scanned = true;
    slot.trailerOnDevice = m_isImage && v == m_rangeLastSegment;
    slot.trailerSector = slot.trailerOnDevice ? 1 : ULONGLONG(v + 1) * m_geo.S - kTrailerAreaSectors;
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
        // Held across the scan's thousands of reads, so each takes it again without contention.
        CAutoLock disk(&m_diskLock);
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
    std::vector<BYTE> first(kSectorBytes);
    ReadSectors(ULONGLONG(F + 1) * m_geo.S - kTrailerAreaSectors, 1, first.data());
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
    std::vector<BYTE> index(kSectorBytes);
    // The write sequence number of a block sits at index byte 19476, in the index's 39th sector.
    auto blockSequence = [&](DWORD segment, DWORD block) {
        ReadSectors(IndexSector(segment, static_cast<int>(block)) + idx::kSequence / kSectorBytes, 1,
                    index.data());
        return platform::ReadLE16(index.data() + idx::kSequence % kSectorBytes);
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

} // namespace tav
