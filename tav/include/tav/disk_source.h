// CTavDiskSource: a TAV v2.x drive or drive image — geometry, format check and probe, the segment and
// section tables with a wrapped recording put back into time order, the position (section, segment,
// block, entry) and every operation that moves it, packet reads into samples, the status text of a
// frame, and the maintenance operations (diagnostic report, system-log dump, image export, clearing).
//
// The reader thread, the hand-off to the pins and the playback and export loops are CVTSource's; this
// class supplies the drive navigation they run over, each operation taking the locks itself.
//
// Locking: two recursive critical sections (CVTSource's). m_posLock guards the position, the tables
// and the current packet; m_diskLock guards every sequence of sector reads into the shared buffers.
// Where both are needed the position lock is always taken first, then the disk lock — never the reverse.
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/sector.h"
#include "platform/sync.h"
#include "tav/layout.h"
#include "tav/packet.h"
#include "tav/vt_source.h"

namespace tav {

enum class SegmentStatus : BYTE { NotSegment, Empty, Valid };

// One segment's trailer as read by LoadIndex, with the reader's state beside it. Only the trailer's
// head and its event records are kept (a 2 TiB drive has over 2,000 trailers of 5 KiB, mostly unused
// space); where the whole trailer is wanted again it is read from where the scan found it.
struct TavSegmentSlot {
    std::array<BYTE, trl::kEvents> head{};
    std::vector<BYTE> events;     // the event records the head counts, 18 bytes each
    ULONGLONG trailerSector = 0;  // where the scan read the trailer (see ReadTrailer)
    bool scanned = false;         // false: never read, the trailer reads as zeros
    bool trailerOnDevice = false; // trailerSector numbers device sectors (an image's copy)
    SegmentStatus status = SegmentStatus::NotSegment;
    bool hasOldest = false, hasNewest = false;
    DWORD oldestFirst = 0, oldestLast = 0; // block range of the oldest data (wrap segment)
    DWORD newestFirst = 0, newestLast = 0; // block range of the newest data (wrap segment)
    DWORD oldestBlockTime = 0;
    DWORD newestEndTime = 0;
    DWORD oldestEndTime = 0; // time of the last packet of the oldest data, when they share W with the newest
    bool eventsLoaded = false;
    std::vector<BYTE> eventViews; // 24 bytes each
    DWORD eventCount = 0;

    DWORD FirstTime() const { return platform::ReadLE32(head.data() + trl::kFirstTime); }
    DWORD LastTime() const { return platform::ReadLE32(head.data() + trl::kLastTime); }
    WORD Sequence() const { return platform::ReadLE16(head.data() + trl::kSequence); }
    WORD BlocksUsed() const { return platform::ReadLE16(head.data() + trl::kBlocksUsed); }
    WORD EventCount() const { return platform::ReadLE16(head.data() + trl::kEventCount); }
};

class CTavDiskSource : public CVTSource {
public:
    // `windowsMajor` picks the access to a drive (4 file, 5 or 6 driver); 0 reads it from the system.
    explicit CTavDiskSource(DWORD windowsMajor = 0);
    ~CTavDiskSource() override;
    CTavDiskSource(const CTavDiskSource&) = delete;
    CTavDiskSource& operator=(const CTavDiskSource&) = delete;

    // ---- layout and index ----
    HRESULT Open(int kind, int drive, const char* path) override;
    // Scans the drive, then starts the reader thread, which goes to the first section's start.
    HRESULT LoadIndex() override;
    HRESULT InitSection() override;
    HRESULT GoToStart() override;
    HRESULT GoToEnd() override;
    HRESULT SeekToTime(DWORD time) override;
    HRESULT SeekToSectionTime(DWORD time) override;
    HRESULT SeekToFraction(LONG numerator, LONG denominator) override;
    HRESULT GetPosition(LONG* perMille, DWORD* time) override;
    // Writes event times into consecutive 12-byte records; returns how many (at most maxRecords).
    DWORD GetEventTimes(BYTE* records, DWORD maxRecords) override;
    // Events of the current section: how many records GetEventTimes needs for all of them.
    DWORD EventCount() override;
    // One step of playback: 1 when the position moved to the next valid entry, 0 at the end of the section.
    int NextEntry() override;
    void BuildEventLists() override;
    void MeasureFrameRates() override;
    HRESULT GoToMark(const TavMark& mark) override;

    // ---- packets ----
    // The packet of the current entry exactly as stored, n x 512 - byte offset bytes.
    DWORD ReadPacket(std::vector<BYTE>* out) override;

    // ---- maintenance ----
    HRESULT WriteDiagnosticLog(const char* path) override;
    HRESULT ExportSystemLog(const char* path) override;
    HRESULT ExportImage(const char* path) override;
    HRESULT ClearDrive() override;

    // ---- state the filter and pins read and set ----
    const TavGeometry& Geometry() const { return m_geo; }
    bool IsImage() const { return m_isImage; }
    DWORD HeaderSector() const { return m_geo.HeaderSector(); }
    const BYTE* Header() const { return m_header.data(); }
    const TavSegmentSlot& Segment(DWORD segment) const { return m_slots[Slot(segment)]; }
    DWORD SegmentCount() const override { return m_geo.N; }
    DWORD ValidSegmentCount() const override { return m_validSegments; }
    DWORD SectionUnit() const override { return m_geo.K * 256; }
    DWORD OldestSegment() const { return m_oldest; }
    DWORD NewestSegment() const { return m_newest; }
    bool Wrapped() const { return m_wrapped; }

    using Packet = TavPacket;
    LONG RunningEntry() const { return m_running; }
    LONG SectionTotal() const { return m_total; }

protected:
    DWORD Slot(DWORD segment) const { return m_geo.N > 1 ? segment % (m_geo.N - 1) : 0; }
    // Sector I/O on the device: drive numbering (an image maps it through its sector offset).
    bool ReadSectors(ULONGLONG sector, DWORD count, BYTE* buffer);
    bool ReadDeviceSectors(ULONGLONG deviceSector, DWORD count, BYTE* buffer);

private:
    struct BlockTables {
        std::vector<WORD> counts;
        std::vector<DWORD> times; // first-entry time of each block, closed by 0xFFFFFFFF
        int first = 0, last = -1; // usable block range
    };
    // What CountSection read from the first sector of each block index of a section: the entry count
    // (0 for no index) and the first entry's time, [(segment - first) x B + block]. Entering a segment
    // of that section takes its block tables from here instead of reading the same sectors again.
    // The section is atomic because ClearDrive, which holds the disk lock only, drops the table.
    struct SectionBlocks {
        std::atomic<int> section{-1}; // the section counted; -1: none
        DWORD first = 0;              // its first segment
        std::vector<WORD> counts;
        std::vector<DWORD> times;
    };

    void ResetTables();
    bool OpenDrive(int drive, const char* path);
    bool OpenImage(const char* path);
    bool ProbeDrive();
    bool ProbeImage();
    void ProbeEntries(DWORD segment, int firstBlock, int blocks, int firstEntry, DWORD lastSegment);
    bool ProbeEntry(const TavIndexEntry& e, DWORD blockSector, DWORD dataSectors, bool* audio, bool* video);
    void Classify(TavSegmentSlot& slot);
    // Reads the trailer of segment v (range numbering for an image) into `slot`, keeping its head and
    // event records; `trailer` is the caller's kTrailerBytes buffer, left holding the whole trailer.
    void ScanTrailer(DWORD v, TavSegmentSlot& slot, BYTE* trailer);
    // The whole trailer a slot was read from, as the scan read it (zeros for a slot never read), with
    // the head as the scan left it.
    void ReadTrailer(const TavSegmentSlot& slot, BYTE* trailer);
    bool ScanDrive();
    bool ScanImage();
    void FinishSections(DWORD firstSection, DWORD lastValid);
    void BuildWrappedSections(DWORD F, DWORD W);
    void SetSectionTimes(TavSection& sec);
    // Time of the last packet of a segment of the current section: the trailer's end time, but for the
    // write point in the oldest section, where the segment holds the oldest data only.
    DWORD SegmentEndTime(DWORD segment) const;
    // Time of the last entry in blocks [first, last] of a segment, scanning back from `last`; 0 when none.
    DWORD LastEntryTime(DWORD segment, DWORD first, DWORD last);

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
    DWORD CountSection(int section);

    struct Position {
        int section;
        DWORD segment;
        int block, entry;
        LONG running;
    };
    Position SavePosition() const;
    void RestorePosition(const Position& p);
    HRESULT Mark(TavMark* mark, DWORD* time) override;

    bool m_isImage = false;
    bool m_driverMode = false;
    int m_drive = 0;
    std::string m_path;
    ULONGLONG m_imageSectors = 0;
    DWORD m_sectorOffset = 0; // image: drive sector = image sector + this

    TavGeometry m_geo;
    std::vector<BYTE> m_header = std::vector<BYTE>(kSectorBytes, 0);
    std::vector<TavSegmentSlot> m_slots;
    DWORD m_validSegments = 0;
    bool m_wrapped = false;
    DWORD m_oldest = 0xFFFFFFFF, m_newest = 0xFFFFFFFF;
    // Image range.
    DWORD m_rangeFirstSegment = 0, m_rangeLastSegment = 0;
    int m_rangeFirstBlock = 0, m_rangeLastBlock = 0, m_rangeFirstEntry = 0, m_rangeLastEntry = 0;

    // Position.
    DWORD m_seg = 0;
    int m_block = 0;
    int m_entry = 0;
    LONG m_running = 0;
    LONG m_total = 0;
    std::vector<DWORD> m_segCounts;
    SectionBlocks m_sectionBlocks;
    BlockTables m_blocks;
    std::vector<BYTE> m_index = std::vector<BYTE>(kIndexBytes, 0);
    int m_entryFirst = 0, m_entryLast = -1;
    DWORD m_recoveryStart = 0;

    std::vector<BYTE> m_packetBuf; // grows to the largest packet read (at most kMaxPacketReadBytes)
};

} // namespace tav
