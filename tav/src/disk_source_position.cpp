// CTavDiskSource: sections and positions: the block tables of a segment, the step from entry to entry
// across blocks and segments, the seeks, the marks and the position report.
#include "tav/disk_source.h"

#include <algorithm>

#include "platform/system.h"

namespace tav {
namespace {

constexpr DWORD kRecoveryTimeoutMs = 8000;

} // namespace

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
    CAutoLock disk(&m_diskLock); // held across the count's reads, one per block
    const TavSection& sec = m_sections[section];
    std::vector<BYTE> sector(kSectorBytes);
    DWORD total = 0;
    m_segCounts.assign(sec.last - sec.first + 1, 0);
    SectionBlocks& table = m_sectionBlocks;
    table.section = section;
    table.first = sec.first;
    table.counts.assign(std::size_t(sec.last - sec.first + 1) * m_geo.B, 0);
    table.times.assign(table.counts.size(), 0);
    for (DWORD s = sec.first; s <= sec.last; ++s) {
        if (!SegmentUsable(s))
            continue;
        int first = 0, last = -1;
        BlockRange(s, &first, &last);
        DWORD count = 0;
        for (int b = first; b <= last; ++b) {
            ReadSectors(IndexSector(s, b), 1, sector.data());
            if (!IsBlockTag(platform::ReadLE32(sector.data())))
                continue;
            WORD entries = platform::ReadLE16(sector.data() + idx::kCount);
            count += std::min<DWORD>(entries, kMaxIndexEntries);
            if (entries) {
                std::size_t i = std::size_t(s - sec.first) * m_geo.B + DWORD(b);
                table.counts[i] = static_cast<WORD>(std::min<DWORD>(entries, kMaxIndexEntries));
                table.times[i] = platform::ReadLE32(sector.data() + idx::kFirstEntryTime);
            }
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
    std::vector<BYTE> sector(kSectorBytes);
    for (;;) {
        while (m_seg >= sec.first && m_seg <= sec.last && !SegmentUsable(m_seg))
            m_seg += static_cast<DWORD>(d);
        if (m_seg < sec.first || m_seg > sec.last)
            return false;
        BlockRange(m_seg, &m_blocks.first, &m_blocks.last);
        m_blocks.counts.assign(m_geo.B, 0);
        m_blocks.times.assign(m_geo.B + 1, 0);
        const SectionBlocks& table = m_sectionBlocks;
        const bool counted = table.section.load() == m_section;
        for (int b = m_blocks.first; b <= m_blocks.last; ++b) {
            if (counted) {
                std::size_t i = std::size_t(m_seg - table.first) * m_geo.B + DWORD(b);
                m_blocks.counts[b] = table.counts[i];
                m_blocks.times[b] = table.times[i];
                continue;
            }
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
    m_pkt.wraps = m_pkt.dataSectors * kSectorBytes < ULONGLONG(e.offset) + e.size + kPacketTail;
    m_curTime = e.time;
    return IsValidEntry(e, m_pkt.dataSectors * kSectorBytes);
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

} // namespace tav
