// CFileSource: a TAV stream file (".arv"), the packets a recorder stores written one after another
// without blocks, segments or indexes. Each record is the 32-byte record header, `size` bytes of
// packet data and, behind a video frame, an optional trailer (tag, length L, kind byte, L-byte status
// record). The source lists the file's records in a ring and offers the disk source's operations
// over it: one section from the first record's time to the last one's, positions by record number,
// and the packets read as the same samples the disk source delivers.
//
// Locking: m_posLock guards the record list, the position and the current packet; m_diskLock guards
// every file read. Where both are needed the position lock is taken first, then the disk lock.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "tav/disk_source.h"
#include "tav/layout.h"
#include "tav/packet.h"

namespace tav {

constexpr int kOpenStream = 10;

// The probe looks for the first key frame and audio block among the records starting in the first
// 4 MiB of the file.
constexpr ULONGLONG kStreamProbeBytes = 0x400000;
constexpr DWORD kStreamRecordHeaderBytes = 32;
// Trailer bytes beside its status record: tag, length and kind byte.
constexpr DWORD kStreamTrailerHeadBytes = 9;

// One record of a stream file as the scan found it.
struct TavStreamRecord {
    ULONGLONG offset = 0;  // of the record header
    DWORD time = 0;
    DWORD size = 0;        // packet data bytes
    BYTE channel = 0;
    BYTE type = 0;         // reduced (0x91/0x92/0x94 lose 0x10)
};

class CFileSource {
public:
    explicit CFileSource(DWORD windowsMajor = 0);
    virtual ~CFileSource();
    CFileSource(const CFileSource&) = delete;
    CFileSource& operator=(const CFileSource&) = delete;

    // ---- file and record list ----
    // Opens `path` read-only and probes it; 1 with audio, 0 without, E_FAIL when it cannot be opened.
    HRESULT Open(int kind, int drive, const char* path);
    // Lists every record of the file; E_FAIL when none can be played.
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
    DWORD GetEventTimes(BYTE* records, DWORD maxRecords);
    HRESULT GetTimeBound(int which, DWORD* time);
    HRESULT GetProgress(LONG* perMille, int cancel);
    // One step in the current direction: 1 when the cursor moved to the next record, 0 at either end
    // of the list (the cursor stays).
    int NextEntry();
    void BuildEventLists() {}
    void MeasureFrameRates();
    HRESULT MarkStart(DWORD* time);
    HRESULT MarkEnd(DWORD* time);
    // Puts the position on a marked record, so that the next step delivers it.
    HRESULT GoToMark(const TavMark& mark);

    // ---- packets ----
    // The current packet as a sample in `dest` (`capacity` bytes): size + 553, 4 for a placeholder, 0
    // when there is no packet or the sample would not fit.
    LONG GetFrame(BYTE* dest, DWORD capacity, int channel);
    // Appends the status line of the current frame to the text export file; returns 4.
    LONG GetFrameText(BYTE* dest, DWORD capacity, int channel);
    void SetTextExport(std::FILE* file, bool on);

    // ---- state the filter and pins read and set ----
    WORD Width() const { return m_width; }
    WORD Height() const { return m_height; }
    int RecorderKind() const { return m_recorderKind; }
    int AudioFormat() const { return m_audioFormat; }
    bool AudioPresent() const { return m_audioPresent; }
    BYTE PacketCode() const { return 0; }
    int MeasuringChannel() const { return m_measureChannel; }
    int SectionCount() const { return m_sectionsInUse; }
    int CurrentSection() const { return 0; }
    const std::vector<TavSection>& Sections() const { return m_sections; }
    // The counts reported for a stream file: 100 segments, none valid.
    DWORD SegmentCount() const { return 100; }
    DWORD ValidSegmentCount() const { return 0; }
    REFERENCE_TIME VideoDuration() const { return m_videoDuration; }
    REFERENCE_TIME AudioDuration() const { return m_audioDuration; }
    const TavStatusState& Status() const { return m_status; }
    const TavMark& StartMark() const { return m_markStart; }
    const TavMark& EndMark() const { return m_markEnd; }

    // The current record (number 0 before the first record).
    struct Packet {
        LONG number = 0;
        ULONGLONG offset = 0;
        DWORD size = 0, time = 0;
        BYTE channel = 0, type = kTypeNone, code = 0;
    };
    Packet CurrentPacket();
    LONG RecordCount() const { return static_cast<LONG>(m_records.size()) - 1; }
    // Record n (1 .. count) as listed.
    TavStreamRecord Record(LONG number);

    void SetDirection(int direction) { m_dir = direction < 0 ? -1 : 1; }
    int Direction() const { return m_dir; }
    void SetDisplayCounter(int channel, WORD value) { m_displayCounter[channel & 15] = value; }
    void ClearDisplayCounters();
    void SetChannelMask(DWORD mask);
    void SetDisplayOption(BYTE option) { m_displayOption = option; }
    void SetSectionChanged() { m_sectionChanged = true; }

    // Reads `bytes` bytes at `offset` of the file; what lies past its end reads as zeros. Returns
    // the bytes the file held.
    DWORD ReadAt(ULONGLONG offset, BYTE* buffer, DWORD bytes);

private:
    void ResetProbe();
    void Probe();
    // Loads record `number` as the current packet and puts the cursor where the next step in the
    // current direction arrives at it.
    void Place(LONG number);
    void Load(LONG number);
    HRESULT Mark(TavMark* mark, DWORD* time);

    // The position lock, then the disk lock.
    CCritSec m_posLock;
    CCritSec m_diskLock;

    DWORD m_winMajor = 0;
    HANDLE m_handle = nullptr;
    ULONGLONG m_fileSize = 0;
    std::string m_path;

    // Probe results.
    WORD m_width = 0, m_height = 0;
    int m_recorderKind = 0;
    int m_audioFormat = 1;
    bool m_audioPresent = false;
    int m_measureChannel = 0;

    // The ring: node 0 is the head, records are nodes 1 .. count in file order.
    std::vector<TavStreamRecord> m_records = std::vector<TavStreamRecord>(1);
    std::vector<TavSection> m_sections;
    int m_sectionsInUse = 0;
    LONG m_cursor = 0;
    int m_dir = 1;
    Packet m_pkt;
    bool m_sectionChanged = false;
    std::atomic<LONG> m_progress{0};

    WORD m_displayCounter[16] = {};
    BYTE m_channelOn[16] = {};
    BYTE m_displayOption = 0;
    TavStatusState m_status;
    std::FILE* m_textFile = nullptr;
    bool m_textExport = false;
    REFERENCE_TIME m_videoDuration = 0, m_audioDuration = 0;
    TavMark m_markStart, m_markEnd;
};

}  // namespace tav
