// The ORMA source filter's identifiers and its control interface IOrmaSrc, shared by the plug-in and
// the programs that create it by class id. The methods are declared in the order of their interface
// slots (after the three IUnknown slots); callers reach them only through this table.
#pragma once

#include "platform/com.h"
#include "platform/guid.h"
#include "platform/types.h"

// {9AF7E2D9-5A5C-4A04-991D-9C285B79ECA8}
constexpr CLSID CLSID_OrmaSrc = {
    0x9AF7E2D9, 0x5A5C, 0x4A04, {0x99, 0x1D, 0x9C, 0x28, 0x5B, 0x79, 0xEC, 0xA8}};
// {3DFEC196-FC2C-4ADE-9217-AB77C8C549BE}
constexpr IID IID_IOrmaSrc = {0x3DFEC196, 0xFC2C, 0x4ADE, {0x92, 0x17, 0xAB, 0x77, 0xC8, 0xC5, 0x49, 0xBE}};

constexpr const char* kOrmaSrcName = "Veltrix GLM500 Filter";

// Record sizes of the two lists (segment records of 28 bytes, alarm records of 12 bytes).
constexpr UINT kOrmaSegmentRecordBytes = 28;
constexpr UINT kOrmaAlarmRecordBytes = 12;
// GetFrameInfo wants room for at least this many 16-bit words.
constexpr UINT kOrmaFrameInfoMinWords = 112;

struct IOrmaSrc : public IUnknown {
    // 3: per-frame status export into an open file (mode 1 text lines, 2 records of 44 bytes); a null
    // handle ends it. The caller owns the file.
    virtual HRESULT ArchiveDataFile(HANDLE file, int mode) = 0;
    // 4: drive-image export of the clusters covering a time range, on a thread of its own. A null
    // handle polls the progress (−1 when no export runs); the handle value −1 cancels. The export
    // closes the file it was given when it ends.
    virtual HRESULT ArchiveOrmaFile(HANDLE file, BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime,
                                    int* progress) = 0;
    // 5: 12-byte alarm records; a null buffer asks for the count.
    virtual HRESULT GetAlarmList(BYTE* records, UINT* count) = 0;
    // 6: the JPEG picture last handed to a channel's pin; a null buffer asks for the length.
    virtual HRESULT GetCurrentFrame(int channel, BYTE* buffer, UINT* length) = 0;
    // 7
    virtual HRESULT GetCurrentSegment(int* index) = 0;
    // 8: capacity and used size in MB.
    virtual HRESULT GetDiskInfo(int* capacityMB, int* usedMB) = 0;
    // 9: position in the current segment (per mille) and the time of the last frame read.
    virtual HRESULT GetPointerPosition(int* permille, BYTE* year, DWORD* time) = 0;
    // 10: 28-byte segment records; a null buffer asks for the count.
    virtual HRESULT GetSegmentList(BYTE* records, UINT* count) = 0;
    // 11: progress of a running OpenDisk in per mille; cancel = 1 stops the scan.
    virtual HRESULT GetScanProgress(UINT* permille, int cancel) = 0;
    // 12: drive 0 opens the drive image `path`; drive n > 0 the physical drive n.
    virtual HRESULT OpenDisk(int drive, const char* path) = 0;
    // 13: 0 … 102.
    virtual HRESULT SetDvrModel(UINT model) = 0;
    // 14: per mille of normal speed, negative for reverse.
    virtual HRESULT SetPlaybackSpeed(int speed) = 0;
    // 15: 0 … 1000 of the current segment.
    virtual HRESULT SetPointerPosition(int permille) = 0;
    // 16: segment index (−1 = the current one), start (end = 0) or end (end = 1).
    virtual HRESULT SetPointerSegment(UINT segment, int end) = 0;
    // 17
    virtual HRESULT SetPointerTime(BYTE year, DWORD time) = 0;
    // 18: 0 NTSC, 1 PAL.
    virtual HRESULT SetVideo(int standard) = 0;
    // 19
    virtual HRESULT SetVideoTimestamp(int on) = 0;
    // 20: the 184-byte information block of the last picture, as 92 byte-swapped 16-bit words.
    virtual HRESULT GetFrameInfo(WORD* buffer, UINT count) = 0;
    // 21: erases the index structures of a drive (never of an image).
    virtual HRESULT FormatDisk() = 0;

protected:
    ~IOrmaSrc() = default;
};

// {5B0E9C41-7D2A-4F3B-8E61-2C4A9D7F1B08}
constexpr IID IID_IOrmaSrcRange = {
    0x5B0E9C41, 0x7D2A, 0x4F3B, {0x8E, 0x61, 0x2C, 0x4A, 0x9D, 0x7F, 0x1B, 0x08}};

// The range an archive run plays: forward playback ends (every pin at end of stream) at the first
// frame after the end, or at one before the start (played round into an older segment), so nothing
// past the range reaches the file however fast the graph reads. Zero times clear it.
struct IOrmaSrcRange : public IUnknown {
    virtual HRESULT SetPlayRange(BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime) = 0;

protected:
    ~IOrmaSrcRange() = default;
};
