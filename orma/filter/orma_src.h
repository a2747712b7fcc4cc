// COrmaSrc: the source filter for ORMA drives and drive images. It owns the drive (COrmaDisk), the
// audio pin, sixteen video pins and the picture slots between them, answers IOrmaSrc, and runs the
// drive-image export on a thread of its own.
//
// Locks: the filter's state lock guards negotiation and state changes (taken by the framework); the
// disk lock serialises everything that reads or moves the drive position (the audio pin's frame
// reading, the positioning methods, the export thread's reads). The disk lock is never held while
// waiting for a streaming thread; a flush sent under it only releases downstream waits.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/sector.h"
#include "iormasrc.h"
#include "media/source.h"
#include "orma/orma_disk.h"
#include "orma_src_pins.h"

class COrmaSrc final : public CSource, public IOrmaSrc, public IOrmaSrcRange {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    COrmaSrc(LPUNKNOWN outer, HRESULT* phr);
    ~COrmaSrc() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IMediaFilter: a stop first releases the video threads waiting for a picture.
    HRESULT Stop() override;
    HRESULT Pause() override;

    // IOrmaSrc
    HRESULT ArchiveDataFile(HANDLE file, int mode) override;
    HRESULT ArchiveOrmaFile(HANDLE file, BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime,
                            int* progress) override;
    HRESULT GetAlarmList(BYTE* records, UINT* count) override;
    HRESULT GetCurrentFrame(int channel, BYTE* buffer, UINT* length) override;
    HRESULT GetCurrentSegment(int* index) override;
    HRESULT GetDiskInfo(int* capacityMB, int* usedMB) override;
    HRESULT GetPointerPosition(int* permille, BYTE* year, DWORD* time) override;
    HRESULT GetSegmentList(BYTE* records, UINT* count) override;
    HRESULT GetScanProgress(UINT* permille, int cancel) override;
    HRESULT OpenDisk(int drive, const char* path) override;
    HRESULT SetDvrModel(UINT model) override;
    HRESULT SetPlaybackSpeed(int speed) override;
    HRESULT SetPointerPosition(int permille) override;
    HRESULT SetPointerSegment(UINT segment, int end) override;
    HRESULT SetPointerTime(BYTE year, DWORD time) override;
    HRESULT SetVideo(int standard) override;
    HRESULT SetVideoTimestamp(int on) override;
    HRESULT GetFrameInfo(WORD* buffer, UINT count) override;
    HRESULT FormatDisk() override;
    HRESULT SetPlayRange(BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime) override;

    // Loads the blue-screen picture sent to channels that have no picture yet; a missing file, or one
    // larger than its 64 KiB buffer, leaves none. Returns the length kept.
    DWORD LoadBlueScreen(const std::string& path);

    // ---- For the pins ------------------------------------------------------------------------------
    COrmaSrcSlots& Slots() { return m_slots; }
    orma::COrmaDisk& Disk() { return m_disk; }
    CCritSec* DiskLock() { return &m_DiskLock; }
    // Whether a drive is open; OpenDisk changes that under the disk lock, so it is read under it too.
    bool HasDrive() const {
        CAutoLock disk(&m_DiskLock);
        return m_disk.IsOpen();
    }
    REFERENCE_TIME FrameDuration() const { return m_FrameDuration; }
    DWORD AudioChunk() const { return m_AudioChunk; }
    bool Timestamps() const { return m_Timestamps; }
    double SpeedFactor() const { return m_SpeedFactor; }
    COrmaSrcAudio* AudioPin() const { return m_audio; }
    COrmaSrcVideo* VideoPin(int channel) const { return m_video[static_cast<std::size_t>(channel)]; }

    // Settings kept beside the drive (what the pins and tests read back).
    int Direction() const { return m_Direction; }
    int FrameSkip() const { return m_FrameSkip; }
    DWORD WindowsMajor() const { return m_WinMajor; }

private:
    void ExportThread();
    // Ends an export thread that has finished (or waits for one that is finishing).
    void ReapExportThread();
    // Stops a running export and waits for its thread.
    void StopExport();

    COrmaSrcSlots m_slots;
    orma::COrmaDisk m_disk;
    mutable CCritSec m_DiskLock;

    COrmaSrcAudio* m_audio = nullptr;                      // owned by CSource (its pin list)
    std::array<COrmaSrcVideo*, orma::kChannels> m_video{}; // likewise

    // Drive and settings.
    int m_nDrive = 0;
    std::string m_path;
    bool m_isImage = false;
    DWORD m_WinMajor = 0;
    DWORD m_WinMinor = 0;
    std::atomic<REFERENCE_TIME> m_FrameDuration{166666};
    std::atomic<DWORD> m_AudioChunk{294};
    std::atomic<bool> m_Timestamps{false};
    std::atomic<double> m_SpeedFactor{1.0};
    std::atomic<int> m_Direction{1};
    std::atomic<int> m_FrameSkip{0};
    std::vector<BYTE> m_BlueScreen;

    // Drive-image export.
    HANDLE m_ArchiveFile = nullptr;
    DWORD m_ArchiveFirst = 0;
    DWORD m_ArchiveLast = 0;
    DWORD m_ArchiveClusterSize = 0;
    BYTE m_ArchiveMarker[orma::kSectorBytes] = {};
    std::atomic<int> m_ArchiveProgress{-1};
    std::atomic<bool> m_ArchiveRunning{false};
    std::unique_ptr<CAMEvent> m_ArchiveDone; // set by the thread as its last act
    std::thread m_ArchiveThread;
};
