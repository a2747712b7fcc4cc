// CFileSource: a TAV stream file (".arv"), the packets a recorder stores written one after another
// without blocks, segments or indexes. Each record is the 32-byte record header, `size` bytes of
// packet data and, behind a video frame, an optional trailer (tag, length L, kind byte, L-byte status
// record). The source lists the file's records in a ring and provides the navigation the reader
// thread's loops run on: one section from the first record's time to the last one's, positions by
// record number, and each packet read from its record with what lies behind it.
//
// Locking (the base's): m_posLock guards the record list, the position and the current packet;
// m_diskLock guards every file read. The position lock is taken first, then the disk lock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tav/vt_source.h"

namespace tav {

// The probe looks for the first key frame and audio block among the records starting in the first
// 4 MiB of the file.
constexpr ULONGLONG kStreamProbeBytes = 0x400000;
constexpr DWORD kStreamRecordHeaderBytes = 32;
// Trailer bytes beside its status record: tag, length and kind byte.
constexpr DWORD kStreamTrailerHeadBytes = 9;
// Records listed at most (24 bytes each, 768 MiB): 16 channels at 30 frames per second with audio
// fill it in about 19 hours, longer than any archive a recorder writes; a damaged file of tiny
// records cannot make the list grow with the file's size beyond it.
constexpr std::size_t kMaxStreamRecords = std::size_t(1) << 25;

// One record of a stream file as the scan found it.
struct TavStreamRecord {
    ULONGLONG offset = 0; // of the record header
    DWORD time = 0;
    DWORD size = 0; // packet data bytes
    BYTE channel = 0;
    BYTE type = 0; // reduced (0x91/0x92/0x94 lose 0x10)
};

class CFileSource : public CVTSource {
public:
    explicit CFileSource(DWORD windowsMajor = 0);
    ~CFileSource() override;
    CFileSource(const CFileSource&) = delete;
    CFileSource& operator=(const CFileSource&) = delete;

    // Opens `path` (kind 10) read-only and probes it; 1 with audio, 0 without, E_FAIL when it cannot
    // be opened.
    HRESULT Open(int kind, int drive, const char* path) override;
    // Lists every record of the file and starts the reader thread; E_FAIL when none can be played or
    // the scan was cancelled (GetProgress with cancel 1).
    HRESULT LoadIndex() override;
    HRESULT GoToStart() override;
    HRESULT GoToEnd() override;
    HRESULT GetPosition(LONG* perMille, DWORD* time) override;
    HRESULT SeekToFraction(LONG numerator, LONG denominator) override;
    HRESULT SeekToSectionTime(DWORD time) override;
    HRESULT SeekToTime(DWORD time) override;
    HRESULT InitSection() override;
    // One step in the current direction: 1 when the cursor moved to the next record, 0 at either end
    // of the list (the cursor stays).
    int NextEntry() override;
    void MeasureFrameRates() override;
    // The current record from its header on: size + 553 bytes, zeros past the end of the file.
    DWORD ReadPacket(std::vector<BYTE>* out) override;
    HRESULT GoToMark(const TavMark& mark) override;
    // The counts reported for a stream file: 100 segments, none valid.
    DWORD SegmentCount() const override { return 100; }
    DWORD ValidSegmentCount() const override { return 0; }

    LONG RecordCount() const { return static_cast<LONG>(m_records.size()) - 1; }
    // Record n (1 .. count) as listed.
    TavStreamRecord Record(LONG number);
    // The number of the current record (0 before the first).
    LONG CurrentRecord();

    ULONGLONG FileSize() const { return m_fileSize; }
    // Reads `bytes` bytes at `offset` of the file; what lies past its end reads as zeros. Returns
    // the bytes the file held.
    DWORD ReadAt(ULONGLONG offset, BYTE* buffer, DWORD bytes);

protected:
    HRESULT Mark(TavMark* mark, DWORD* time) override;

private:
    void ResetProbe();
    void Probe();
    // Loads record `number` as the current packet and puts the cursor where the next step in the
    // current direction arrives at it.
    void Place(LONG number);
    void Load(LONG number);

    ULONGLONG m_fileSize = 0;
    std::string m_path;
    // The ring: node 0 is the head, records are nodes 1 .. count in file order.
    std::vector<TavStreamRecord> m_records = std::vector<TavStreamRecord>(1);
    LONG m_cursor = 0;
    LONG m_number = 0; // of the current packet
};

} // namespace tav
