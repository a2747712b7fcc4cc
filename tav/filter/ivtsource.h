// The TAV source filter's identifiers, its open-request record and its control interface
// IVTSourceFilter, shared by the plug-in and the programs that create it by class id. The methods are
// declared in the order of their interface slots (after the three IUnknown slots).
#pragma once

#include "platform/com.h"
#include "platform/guid.h"
#include "platform/types.h"

// {A66A1372-A4FB-489F-8372-34CA3F9AA36E}
constexpr CLSID CLSID_VTSourceFilter = {
    0xA66A1372, 0xA4FB, 0x489F, {0x83, 0x72, 0x34, 0xCA, 0x3F, 0x9A, 0xA3, 0x6E}};
// {ACEB3729-5A2D-44C1-905A-12F9511D17FE}
constexpr IID IID_IVTSourceFilter = {
    0xACEB3729, 0x5A2D, 0x44C1, {0x90, 0x5A, 0x12, 0xF9, 0x51, 0x1D, 0x17, 0xFE}};
// The video pins' media subtype: a TAV sample (64-byte header, MPEG-4 payload, status area).
// {700E8189-15FC-44FD-94B0-2484A1CDEFB8}
constexpr GUID MEDIASUBTYPE_TavStream = {
    0x700E8189, 0x15FC, 0x44FD, {0x94, 0xB0, 0x24, 0x84, 0xA1, 0xCD, 0xEF, 0xB8}};

constexpr const char* kVTSourceFilterName = "Veltrix Source Filter";

// The open request the application fills: drive number, kind (8 drive, 9 drive image, 10 stream
// file), the result byte written back, and the zero-terminated path.
namespace vtopen {
constexpr DWORD kDrive = 4, kKind = 5, kResult = 10, kPath = 12;
}

// GetInfo items.
namespace vtinfo {
constexpr BYTE kFirstTime = 0, kLastTime = 1, kCurrentTime = 2, kWidth = 8, kHeight = 9, kPacketCode = 10,
               kAudioFormat = 16, kRecorderKind = 24;
}

// Bytes the buffer of ExportNextPacket must hold (the largest packet, 204,799 bytes, with the 553 bytes
// behind it); GetStatusBlock's buffer must hold 512.
constexpr DWORD kVTExportBufferBytes = 205352;
constexpr DWORD kVTStatusBufferBytes = 512;
// Record sizes of the lists (section records of 28 bytes, event times of 12).
constexpr DWORD kVTSectionRecordBytes = 28;
constexpr DWORD kVTEventRecordBytes = 12;

// Every method but Open needs an opened source and answers E_FAIL without one; the playback settings
// (display option, channel mask, audio channel, playback, time stamps) are kept by the filter as well
// and carried over to the next source.
struct IVTSourceFilter : public IUnknown {
    // 3: item (vtinfo) → value; E_FAIL for other items or a null pointer.
    virtual HRESULT GetInfo(BYTE item, DWORD* value) = 0;
    // 4: byte 16 of every video sample header.
    virtual HRESULT SetDisplayOption(BYTE option) = 0;
    // 5: status-line text export on (flag 1) into `file` (from CreateFileA); the filter owns the handle
    // from then on and closes it at EndExport.
    virtual HRESULT SetTextExport(HANDLE file, int flag) = 0;
    // 6: the marked range as a drive image.
    virtual HRESULT ExportImage(const char* path) = 0;
    // 7: playback again on the next run; pin formats from the probe; text export file closed.
    virtual HRESULT EndExport() = 0;
    // 8
    virtual HRESULT ExportSystemLog(const char* path) = 0;
    // 9
    virtual HRESULT WriteDiagnosticLog(const char* path) = 0;
    // 10: E_FAIL unless the source is a drive.
    virtual HRESULT ClearDrive() = 0;
    // 11: segments per section × 256.
    virtual HRESULT GetSectionUnit(DWORD* unit) = 0;
    // 12: event times of the selected section, 12-byte records. *count holds the capacity in records on
    // entry and the records written on return; a null buffer asks for the most there can be (the
    // section unit, or the section's event count when it holds more). S_FALSE: events did not fit.
    virtual HRESULT GetEventTimes(BYTE* records, DWORD* count) = 0;
    // 13
    virtual HRESULT GetAudioFormat(BYTE* format) = 0;
    // 14: the selected section.
    virtual HRESULT GetCurrentSection(LONG* section) = 0;
    // 15
    virtual HRESULT GetRecorderKind(BYTE* kind) = 0;
    // 16: either pointer may be null.
    virtual HRESULT GetSegmentCounts(DWORD* segments, DWORD* valid) = 0;
    // 17: pictures per second; 15 until the first start measured them.
    virtual HRESULT GetFrameRate(DWORD* rate) = 0;
    // 18: kind 1 the 32-byte record; kind 8 144 bytes; kinds 2..7 512 bytes (the 295-byte status block,
    // zeros behind it); kinds 0 and 32 nothing.
    virtual HRESULT GetStatusBlock(BYTE* buffer) = 0;
    // 19
    virtual HRESULT GetFrameSize(DWORD* width, DWORD* height) = 0;
    // 20: the next packet of the marked range into `buffer` (kVTExportBufferBytes): S_FALSE (1) when
    // one was written, S_OK (0) at the end.
    virtual HRESULT ExportNextPacket(BYTE* buffer) = 0;
    // 21: per mille of the section and the current time (the section number once after a change).
    // `zone` is the recorder's time-zone byte where the recording keeps one; this source leaves it as
    // it is (it may be null).
    virtual HRESULT GetPosition(LONG* perMille, BYTE* zone, DWORD* time) = 0;
    // 22
    virtual HRESULT GetSectionCount(DWORD* count) = 0;
    // 23: GetSectionCount() records of 28 bytes.
    virtual HRESULT GetSections(BYTE* records) = 0;
    // 24: progress of LoadIndex in per mille; cancel = 1 stops it.
    virtual HRESULT GetProgress(LONG* perMille, int cancel) = 0;
    // 25
    virtual HRESULT LoadIndex(int drive, const char* path) = 0;
    // 26: the next run exports the marked range of `channel`; the audio format found (0 none).
    virtual HRESULT PrepareExport(BYTE* audioFormat, BYTE channel) = 0;
    // 27, 28: the current position as the start or end of the range; its time.
    virtual HRESULT MarkStart(DWORD* time) = 0;
    virtual HRESULT MarkEnd(DWORD* time) = 0;
    // 29: bit c on = channel c shows its pictures.
    virtual HRESULT SetChannelMask(DWORD mask) = 0;
    // 30
    virtual HRESULT SetAudioChannel(BYTE channel) = 0;
    // 31: clamped to the sections in use.
    virtual HRESULT SelectSection(LONG section) = 0;
    // 32: speed in thousandths (1000 normal), direction ±1, a value every pin keeps.
    virtual HRESULT SetPlayback(LONG speed, LONG direction, LONG value) = 0;
    // 33: 0 … 1000 of the section.
    virtual HRESULT SeekPerMille(LONG perMille) = 0;
    // 34: 0 start, other end of the section.
    virtual HRESULT GoToEnds(int end) = 0;
    // 35
    virtual HRESULT SeekToTime(DWORD time) = 0;
    // 36: plays `count` more steps of frame-by-frame playback.
    virtual HRESULT Step(LONG count) = 0;
    // 37: the video standard the reader chose (0 NTSC, 1 PAL); this source has no use for it.
    virtual HRESULT Reserved(LONG standard) = 0;
    // 38
    virtual HRESULT SetTimestamps(BYTE on) = 0;
    // 39: opens the request's drive, image or stream file; returns the low byte of the source's result
    // (0 or 1 success, 1 with audio), also stored at vtopen::kResult. E_FAIL for other kinds.
    virtual HRESULT Open(BYTE* request) = 0;

protected:
    ~IVTSourceFilter() = default;
};
