// The playback position: block headers, stepping across block, cluster and segment borders, and the
// moves to a cluster, a segment, a fraction of a segment and a time.
#include <cstring>

#include "orma/orma_disk.h"
#include "platform/system.h"

namespace orma {

HRESULT COrmaDisk::ReadBlockHeader(DWORD* cluster, DWORD* block, BYTE* out) {
    const DWORD n = m_ClusterNum;
    const DWORD p = m_BlocksPerCluster;
    if (n == 0 || p == 0) {
        std::memset(out, 0, kBlockHeaderKept);
        return E_FAIL;
    }
    if (*block >= p) {
        *block %= p;
        *cluster += 1;
    }
    *cluster %= n;
    BYTE sectors[4 * kSectorBytes];
    const ULONGLONG at =
        ULONGLONG(*cluster) * m_ClusterSize + ULONGLONG(*block) * kBlockSectors + kHeaderSectorInBlock;
    if (!ReadSectors64(at, 4, sectors)) {
        std::memset(out, 0, kBlockHeaderKept);
        return E_FAIL;
    }
    std::memcpy(out, sectors, kBlockHeaderKept);
    if (platform::ReadLE32(out) != kDisk01MMagic) {
        OutputDebugStringA("Broken Disk01M!");
        return E_FAIL;
    }
    return S_OK;
}

int COrmaDisk::FindSegmentOfCluster(DWORD cluster) const {
    const WORD id = ClusterRecord(cluster).SegmentId();
    for (std::size_t i = 0; i < m_seg.size(); ++i)
        if (m_seg[i].segment_id == id)
            return static_cast<int>(i);
    return 0;
}

DWORD COrmaDisk::CountSegmentBlocks(const OrmaSegment& seg, DWORD* lastBlock, int* lastEntry) {
    const DWORD n = m_ClusterNum;
    const DWORD p = m_BlocksPerCluster;
    DWORD matching = 0;
    int entry = 0;
    BYTE header[kBlockHeaderKept];
    for (DWORD b = 0; b < p; ++b) {
        DWORD c = seg.last_cluster, bb = b;
        ReadBlockHeader(&c, &bb, header);
        Disk01M h{header};
        if (h.SegmentId() != seg.segment_id)
            break;
        ++matching;
        entry = h.LastEntry();
    }
    if (lastBlock)
        *lastBlock = matching > 0 ? matching - 1 : 0;
    if (lastEntry)
        *lastEntry = entry;
    return ((seg.last_cluster + n - seg.first_cluster % n) % n) * p + (matching > 0 ? matching - 1 : 0);
}

HRESULT COrmaDisk::SetPointer(DWORD cluster, DWORD block, int entry) {
    if (!m_open || m_ClusterNum == 0)
        return E_FAIL;
    cluster %= m_ClusterNum;
    const int s = FindSegmentOfCluster(cluster);
    if (s != m_CurSeg) {
        m_CurSeg = s;
        m_BlocksInSeg = CountSegmentBlocks(m_seg[static_cast<std::size_t>(s)], nullptr, nullptr);
    }
    if (m_pins)
        m_pins->BeginFlush();
    m_Cluster = cluster;
    m_Block = block;
    m_Entry = entry;
    ReadCurrentHeader();
    m_AwaitedChannel = -1;
    // The first frame at the new place is no second field of the picture delivered last.
    m_LastChannel = 0xFF;
    if (m_pins)
        for (int ch = 0; ch < kChannels; ++ch)
            m_pins->Slot(ch).length = 0;
    if (m_pins)
        m_pins->EndFlush();
    return S_OK;
}

int COrmaDisk::VerifyIndex() {
    const DWORD n = m_ClusterNum;
    const DWORD p = m_BlocksPerCluster;
    if (!m_open || n == 0 || p == 0 || m_CurSeg < 0 || m_CurSeg >= static_cast<int>(m_seg.size()))
        return 0;
    const OrmaSegment seg = m_seg[static_cast<std::size_t>(m_CurSeg)];
    const DWORD entryCluster = m_Cluster, entryBlock = m_Block;
    const char* failure = nullptr;
    if (m_Entry < 0) {
        do {
            if (m_Block == 0) {
                m_Block = p - 1;
                m_Cluster = (m_Cluster + n - 1) % n;
                OutputDebugStringA(common::Format("m_Disk32M_index(%d)(%d)\n", static_cast<int>(m_Cluster),
                                                  static_cast<int>((m_Cluster + n - 1) % n))
                                       .c_str());
                if (ClusterRecord(m_Cluster).SegmentId() != seg.segment_id || m_Cluster == seg.last_cluster) {
                    failure = "VerifyIndex() 1\n";
                    break;
                }
            } else {
                --m_Block;
            }
            ReadCurrentHeader();
            m_Entry += Disk01M{m_Disk01M}.LastEntry() + 1;
        } while (m_Entry < 0);
    } else if (m_Entry > Disk01M{m_Disk01M}.LastEntry()) {
        do {
            m_Entry -= Disk01M{m_Disk01M}.LastEntry() + 1;
            if (++m_Block >= p) {
                m_Block = 0;
                m_Cluster = (m_Cluster + 1) % n;
                if (ClusterRecord(m_Cluster).SegmentId() != seg.segment_id ||
                    m_Cluster == seg.first_cluster) {
                    failure = "VerifyIndex() 2\n";
                    break;
                }
            }
            ReadCurrentHeader();
            if (m_Cluster == seg.last_cluster && Disk01M{m_Disk01M}.SegmentId() != seg.segment_id) {
                failure = "VerifyIndex() 3\n";
                break;
            }
        } while (m_Entry > Disk01M{m_Disk01M}.LastEntry());
    }
    if (failure) {
        OutputDebugStringA(failure);
        m_Cluster = entryCluster;
        m_Block = entryBlock;
        ReadCurrentHeader();
        m_Entry = 0;
        return 0;
    }
    const int last = Disk01M{m_Disk01M}.LastEntry();
    if (m_Entry > last)
        m_Entry = last;
    return 1;
}

HRESULT COrmaDisk::SetPointerSegment(int segment, int end) {
    if (!m_open || m_seg.empty())
        return E_FAIL;
    if (segment < 0)
        segment = m_CurSeg < 0 ? 0 : m_CurSeg;
    if (segment >= static_cast<int>(m_seg.size()))
        segment = static_cast<int>(m_seg.size()) - 1;
    const OrmaSegment seg = m_seg[static_cast<std::size_t>(segment)];
    if (!end)
        return SetPointer(seg.first_cluster, 0, 0);
    DWORD lastBlock = 0;
    int lastEntry = 0;
    CountSegmentBlocks(seg, &lastBlock, &lastEntry);
    return SetPointer(seg.last_cluster, lastBlock, lastEntry);
}

HRESULT COrmaDisk::SetPointerPosition(int permille) {
    if (!m_open || m_ClusterNum == 0 || m_CurSeg < 0)
        return E_FAIL;
    if (permille < 0 || permille > 1000)
        return E_INVALIDARG;
    const OrmaSegment& seg = m_seg[static_cast<std::size_t>(m_CurSeg)];
    const ULONGLONG x = ULONGLONG(static_cast<unsigned>(permille)) * m_BlocksInSeg / 1000;
    m_Block = static_cast<DWORD>(x % m_BlocksPerCluster);
    m_Cluster = static_cast<DWORD>((x / m_BlocksPerCluster + seg.first_cluster) % m_ClusterNum);
    m_Entry = 0;
    ReadCurrentHeader();
    m_LastChannel = 0xFF; // as after every move: the first frame is no second field
    return S_OK;
}

HRESULT COrmaDisk::GetPointerPosition(int* permille, BYTE* year, DWORD* time) {
    if (!m_open || m_ClusterNum == 0 || m_CurSeg < 0)
        return E_FAIL;
    const DWORD n = m_ClusterNum;
    const OrmaSegment& seg = m_seg[static_cast<std::size_t>(m_CurSeg)];
    ULONGLONG value =
        (ULONGLONG((m_Cluster + n - seg.first_cluster % n) % n) * m_BlocksPerCluster + m_Block) * 1000;
    if (m_BlocksInSeg > 0)
        value /= m_BlocksInSeg;
    if (permille)
        *permille = static_cast<int>(value);
    if (year)
        *year = LastFrameYear();
    if (time)
        *time = LastFrameTime();
    return platform::ReadLE16(m_d88m) == kFrameMagic ? S_OK : E_PENDING;
}

HRESULT COrmaDisk::SetPointerTime(BYTE year, DWORD time) {
    if (!m_open)
        return E_FAIL;
    if (m_seg.empty())
        return S_OK;
    const DWORD n = m_ClusterNum;
    const DWORD p = m_BlocksPerCluster;
    int before = -1, after = -1;
    BYTE beforeYear = 0, afterYear = 0xFF;
    DWORD beforeTime = 0, afterTime = 0xFFFFFFFF;
    BYTE header[kBlockHeaderKept];
    for (std::size_t s = 0; s < m_seg.size(); ++s) {
        const OrmaSegment seg = m_seg[s];
        const bool afterStart = CompareTime(seg.start_year, seg.start_time, year, time) <= 0;
        const bool beforeEnd = CompareTime(year, time, seg.end_year, seg.end_time) <= 0;
        if (afterStart && beforeEnd) {
            const DWORD clusters = (seg.last_cluster + n - seg.first_cluster % n) % n + 1;
            for (DWORD k = 0; k < clusters; ++k) {
                const DWORD c = (seg.first_cluster + k) % n;
                D32M d = ClusterRecord(c);
                if (CompareTime(year, time, d.LastYear(), d.LastTime()) > 0)
                    continue;
                for (DWORD b = 0; b < p; ++b) {
                    DWORD cc = c, bb = b;
                    ReadBlockHeader(&cc, &bb, header);
                    Disk01M h{header};
                    for (int e = 0; e <= h.LastEntry(); ++e) {
                        // The first frame at or after the target: a later year, or the same year and a
                        // time not before it (bits 5..0 of the packed times do not count).
                        const BYTE ey = h.EntryYear(e);
                        if (ey > year || (ey == year && (h.EntryTime(e) & ~DWORD(63)) >= (time & ~DWORD(63))))
                            return SetPointer(c, b, e);
                    }
                }
            }
        } else if (!beforeEnd) {
            if (CompareTime(seg.end_year, seg.end_time, beforeYear, beforeTime) > 0) {
                before = static_cast<int>(s);
                beforeYear = seg.end_year;
                beforeTime = seg.end_time;
            }
        } else if (!afterStart) {
            if (CompareTime(seg.start_year, seg.start_time, afterYear, afterTime) < 0) {
                after = static_cast<int>(s);
                afterYear = seg.start_year;
                afterTime = seg.start_time;
            }
        }
    }
    if (after >= 0)
        SetPointerSegment(after, 0);
    else if (before >= 0)
        SetPointerSegment(before, 1);
    return S_OK;
}

} // namespace orma
