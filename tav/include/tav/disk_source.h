// CTavDiskSource: a TAV v2.x drive or drive image — geometry, format check and probe, the segment and
// section tables with a wrapped recording put back into time order, the position (section, segment,
// block, entry) and every operation that moves it, packet reads into samples, the status text of a
// frame, and the maintenance operations (diagnostic report, system-log dump, image export, clearing).
//
// The reader thread and the pins that drive it belong to the source filter; this class holds the
// state they share and the operations they call, each taking the locks itself.
//
// Locking: two recursive critical sections. m_posLock guards the position, the tables and the
// current packet; m_diskLock guards every sequence of sector reads into the shared buffers. Where
// both are needed the position lock is always taken first, then the disk lock — never the reverse.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/sector.h"
#include "platform/sync.h"
#include "tav/layout.h"
#include "tav/packet.h"

namespace tav {

constexpr int kOpenDrive = 8;
constexpr int kOpenImage = 9;

enum class SegmentStatus : BYTE { NotSegment, Empty, Valid };

// One segment's trailer as read by LoadIndex, with the reader's state beside it.
struct TavSegmentSlot {
    std::vector<BYTE> trailer = std::vector<BYTE>(kTrailerBytes, 0);
    SegmentStatus status = SegmentStatus::NotSegment;
    bool hasOldest = false, hasNewest = false;
    DWORD oldestFirst = 0, oldestLast = 0;  // block range of the oldest data (wrap segment)
    DWORD newestFirst = 0, newestLast = 0;  // block range of the newest data (wrap segment)
    DWORD oldestBlockTime = 0;
    DWORD newestEndTime = 0;
    bool eventsLoaded = false;
    std::vector<BYTE> eventViews;  // 24 bytes each
    DWORD eventCount = 0;

    DWORD FirstTime() const { return platform::ReadLE32(trailer.data() + trl::kFirstTime); }
    DWORD LastTime() const { return platform::ReadLE32(trailer.data() + trl::kLastTime); }
    WORD Sequence() const { return platform::ReadLE16(trailer.data() + trl::kSequence); }
    WORD BlocksUsed() const { return platform::ReadLE16(trailer.data() + trl::kBlocksUsed); }
    WORD EventCount() const { return platform::ReadLE16(trailer.data() + trl::kEventCount); }
};

struct TavSection {
    DWORD first = 0;  // segment numbers; in an image, numbers past N - 2 continue at segment 0
    DWORD last = 0;
    DWORD start = 0;
    DWORD end = 0;
};

// A marked position (start or end of an export range).
struct TavMark {
    int section = 0;
    DWORD segment = 0;
    int block = 0;
    int entry = 0;
    LONG running = 0;
    DWORD time = 0;
};

class CTavDiskSource {
public:
    // `windowsMajor` picks the access to a drive (4 file, 5 or 6 driver); 0 reads it from the system.
    explicit CTavDiskSource(DWORD windowsMajor = 0);
    virtual ~CTavDiskSource();
    CTavDiskSource(const CTavDiskSource&) = delete;
    CTavDiskSource& operator=(const CTavDiskSource&) = delete;

    // ---- layout and index ----
    HRESULT Open(int kind, int drive, const char* path);
    HRESULT LoadIndex();
    void Close();
    HRESULT GetSections(BYTE* records, DWORD maxRecords);
    HRESULT SelectSection(int section);
    HRESULT InitSection();
    HRESULT GoToStart();
    HRESULT GoToEnd();
    HRESULT SeekToTime(DWORD time);
    HRESULT SeekToSectionTime(DWORD time);
    HRESULT SeekToFraction(LONG numerator, LONG denominator);
    HRESULT GetPosition(LONG* perMille, DWORD* time);
    // Writes event times into consecutive 12-byte records; returns how many (at most maxRecords).
    DWORD GetEventTimes(BYTE* records, DWORD maxRecords);
    HRESULT GetTimeBound(int which, DWORD* time);
    HRESULT GetProgress(LONG* perMille, int cancel);
    // One step of playback: 1 when the position moved to the next valid entry, 0 at the end of the section.
    int NextEntry();
    void BuildEventLists();
    void MeasureFrameRates();
    HRESULT MarkStart(DWORD* time);
    HRESULT MarkEnd(DWORD* time);

    // ---- packets ----
    // The current packet as a sample in `dest` (`capacity` bytes): size + 553, 4 for a placeholder, 0
    // when the sample would not fit.
    LONG GetFrame(BYTE* dest, DWORD capacity, int channel);
    // Appends the status line of the current frame to the text export file; returns 4.
    LONG GetFrameText(BYTE* dest, DWORD capacity, int channel);
    void SetTextExport(std::FILE* file, bool on);

    // ---- maintenance ----
    HRESULT WriteDiagnosticLog(const char* path);
    HRESULT ExportSystemLog(const char* path);
    HRESULT ExportImage(const char* path);
    HRESULT ClearDrive();

    // ---- state the filter and pins read and set ----
    const TavGeometry& Geometry() const { return m_geo; }
    bool IsImage() const { return m_isImage; }
    DWORD HeaderSector() const { return m_geo.HeaderSector(); }
    const BYTE* Header() const { return m_header.data(); }
    WORD Width() const { return m_width; }
    WORD Height() const { return m_height; }
    int RecorderKind() const { return m_recorderKind; }
    int AudioFormat() const { return m_audioFormat; }
    bool AudioPresent() const { return m_audioPresent; }
    BYTE PacketCode() const { return m_code; }
    int MeasuringChannel() const { return m_measureChannel; }
    int SectionCount() const { return m_sectionsInUse; }
    int CurrentSection() const { return m_section; }
    const std::vector<TavSection>& Sections() const { return m_sections; }
    const TavSegmentSlot& Segment(DWORD segment) const { return m_slots[Slot(segment)]; }
    DWORD SegmentCount() const { return m_geo.N; }
    DWORD ValidSegmentCount() const { return m_validSegments; }
    DWORD OldestSegment() const { return m_oldest; }
    DWORD NewestSegment() const { return m_newest; }
    bool Wrapped() const { return m_wrapped; }
    REFERENCE_TIME VideoDuration() const { return m_videoDuration; }
    REFERENCE_TIME AudioDuration() const { return m_audioDuration; }
    const TavStatusState& Status() const { return m_status; }

    // The current entry.
    struct Packet {
        DWORD segment = 0;
        int block = 0, entry = 0;
        DWORD blockSector = 0;  // first sector of the block (drive numbering)
        DWORD dataSectors = 0;
        DWORD offset = 0;  // from the block's first byte
        DWORD size = 0, time = 0;
        BYTE channel = 0, type = kTypeNone, code = 0;
        bool wraps = false;  // runs past its block's data area
    };
    Packet CurrentPacket();
    LONG RunningEntry() const { return m_running; }
    LONG SectionTotal() const { return m_total; }

    void SetDirection(int direction) { m_dir = direction < 0 ? -1 : 1; }
    void SetDisplayCounter(int channel, WORD value) { m_displayCounter[channel & 15] = value; }
    void SetChannelMask(DWORD mask);
    void SetDisplayOption(BYTE option) { m_displayOption = option; }
    void SetSectionChanged() { m_sectionChanged = true; }
    // The packet of the current entry exactly as stored, n x 512 - byte offset bytes.
    DWORD ReadPacket(std::vector<BYTE>* out);

protected:
    DWORD Slot(DWORD segment) const { return m_geo.N > 1 ? segment % (m_geo.N - 1) : 0; }
    // Sector I/O on the device: drive numbering (an image maps it through its sector offset).
    bool ReadSectors(ULONGLONG sector, DWORD count, BYTE* buffer);
    bool ReadDeviceSectors(ULONGLONG deviceSector, DWORD count, BYTE* buffer);

private:
    struct BlockTables {
        std::vector<WORD> counts;
        std::vector<DWORD> times;  // first-entry time of each block, closed by 0xFFFFFFFF
        int first = 0, last = -1;  // usable block range
    };

    void ResetTables();
    bool OpenDrive(int drive, const char* path);
    bool OpenImage(const char* path);
    bool ProbeDrive();
    bool ProbeImage();
    void ProbeEntries(DWORD segment, int firstBlock, int blocks, int firstEntry, DWORD lastSegment);
    bool ProbeEntry(const TavIndexEntry& e, DWORD blockSector, DWORD dataSectors, bool* audio, bool* video);
    void Classify(TavSegmentSlot& slot);
    bool ScanDrive();
    bool ScanImage();
    void FinishSections(DWORD firstSection, DWORD lastValid);
    void BuildWrappedSections(DWORD F, DWORD W);
    void SetSectionTimes(TavSection& sec);

    DWORD BlockSector(DWORD segment, int block) const;
    DWORD IndexSector(DWORD segment, int block) const;
    DWORD DataSectors(int block) const;
    bool SegmentUsable(DWORD segment) const;
    void BlockRange(DWORD segment, int* first, int* last) const;
    bool EnterSegment(int direction);
    bool ReadIndex(DWORD segment, int block, BYTE* index);
    void SetEntryRange();
    bool StepEntry();
    bool LoadEntry();
    DWORD SectionCount(int section);

    struct Position {
        int section;
        DWORD segment;
        int block, entry;
        LONG running;
    };
    Position SavePosition() const;
    void RestorePosition(const Position& p);
    HRESULT Mark(TavMark* mark, DWORD* time);

    // The position lock, then the disk lock.
    CCritSec m_posLock;
    CCritSec m_diskLock;

    DWORD m_winMajor = 0;
    bool m_isImage = false;
    bool m_driverMode = false;
    HANDLE m_handle = nullptr;
    int m_drive = 0;
    std::string m_path;
    ULONGLONG m_imageSectors = 0;
    DWORD m_sectorOffset = 0;  // image: drive sector = image sector + this

    TavGeometry m_geo;
    std::vector<BYTE> m_header = std::vector<BYTE>(512, 0);
    std::vector<TavSegmentSlot> m_slots;
    std::vector<TavSection> m_sections;
    int m_sectionsInUse = 0;
    DWORD m_validSegments = 0;
    bool m_wrapped = false;
    DWORD m_oldest = 0xFFFFFFFF, m_newest = 0xFFFFFFFF;
    // Image range.
    DWORD m_rangeFirstSegment = 0, m_rangeLastSegment = 0;
    int m_rangeFirstBlock = 0, m_rangeLastBlock = 0, m_rangeFirstEntry = 0, m_rangeLastEntry = 0;

    // Probe results.
    WORD m_width = 0, m_height = 0;
    int m_recorderKind = 0;
    int m_audioFormat = 1;
    bool m_audioPresent = false;
    BYTE m_code = 0;
    int m_measureChannel = 0;

    // Position.
    int m_section = 0;
    DWORD m_seg = 0;
    int m_block = 0;
    int m_entry = 0;
    int m_dir = 1;
    LONG m_running = 0;
    LONG m_total = 0;
    std::vector<DWORD> m_segCounts;
    BlockTables m_blocks;
    std::vector<BYTE> m_index = std::vector<BYTE>(kIndexBytes, 0);
    int m_entryFirst = 0, m_entryLast = -1;
    Packet m_pkt;
    std::atomic<DWORD> m_curTime{0};
    bool m_sectionChanged = false;
    DWORD m_recoveryStart = 0;

    std::atomic<LONG> m_progress{0};
    std::atomic<int> m_cancel{0};

    // Per-channel state set by playback.
    WORD m_displayCounter[16] = {};
    BYTE m_channelOn[16] = {};
    BYTE m_displayOption = 0;
    TavStatusState m_status;
    std::FILE* m_textFile = nullptr;
    bool m_textExport = false;
    REFERENCE_TIME m_videoDuration = 0, m_audioDuration = 0;
    TavMark m_markStart, m_markEnd;

    std::vector<BYTE> m_packetBuf = std::vector<BYTE>(kMaxPacketReadBytes, 0);
};

}  // namespace tav
