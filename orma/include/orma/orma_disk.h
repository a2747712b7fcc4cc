// An open ORMA drive or drive image: its geometry, its index (one D32M record per cluster, the list of
// recording segments, the alarm total) and the playback position with frame-by-frame reading.
//
// The ORMA source filter owns one COrmaDisk for its whole life. Its audio pin's thread calls GetFrame;
// the filter's interface methods call the positioning and list operations. Pictures go to the
// filter's video pins through IOrmaPinHandoff.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/sector.h"
#include "orma/layout.h"
#include "orma/pins.h"
#include "platform/hresult.h"

namespace orma {

constexpr DWORD kFrameBufferBytes = 131072; // the largest frame with its continuation after a block header
constexpr DWORD kFrameInfoBytes = 184;
constexpr DWORD kBlueScreenBytes = 65536;

// Cluster geometry of a drive found by its marker sector.
struct DriveGeometry {
    DWORD clusterSize = 0;  // C, in sectors
    DWORD clusterCount = 0; // N
    DWORD systemStart = 0;  // N × C: the marker sector
};
// Reads one sector into a 512-byte buffer; nonzero on success.
using SectorReader = int (*)(void* context, DWORD sector, BYTE* out);
// The marker search of a drive with `sectors` sectors: C from the size, then the sector n × C
// (n = sectors / C, one less for an exact multiple) and, when that is not the marker, (n + 1) × C.
// False when neither try holds the marker magic; *out then names the last try.
bool FindMarker(ULONGLONG sectors, SectorReader read, void* context, DriveGeometry* out);

class COrmaDisk {
public:
    explicit COrmaDisk(IOrmaPinHandoff* pins);
    ~COrmaDisk();
    COrmaDisk(const COrmaDisk&) = delete;
    COrmaDisk& operator=(const COrmaDisk&) = delete;

    // ---- Opening (the drive number and path of the source's OpenDisk) ------------------------------------
    // drive 0: `path` is a drive image; drive > 0: a physical drive in the access mode the Windows
    // major version picks (driver mode on 5 and 6, file mode on `path` on 4).
    HRESULT OpenDisk(int drive, const char* path);
    // The same with the access mode given (the command line opens a dump of a whole drive in file mode).
    HRESULT OpenDrive(int drive, const char* path, common::AccessMode mode);
    HRESULT OpenImage(const char* path);
    void Close();
    bool IsOpen() const { return m_open; }

    // ---- Settings -------------------------------------------------------------------------------------
    void SetWindowsMajor(DWORD major) { m_windowsMajor = major; }
    void SetSectorVariant(const common::SectorVariant& v) { m_variant = &v; }
    HRESULT SetDvrModel(UINT model);
    // 0 NTSC (294-byte audio chunks), 1 PAL (352); other values change nothing.
    void SetVideo(int standard);
    void SetVideoTimestamp(int on) { m_timestamps = on != 0; }
    // Forward playback ends at the first frame outside [start, end]; zero times clear the range.
    void SetPlayRange(BYTE startYear, DWORD startTime, BYTE endYear, DWORD endTime) {
        m_rangeStartYear = startYear;
        m_rangeStart = startTime;
        m_rangeEndYear = endYear;
        m_rangeEnd = endTime;
        m_rangeEntered = false;
    }
    // Direction from the sign; |speed| < 1000 slows down (speed factor 1000 / |speed|), |speed| >= 1000
    // fast-forwards by skipping rounds (frame skip |speed| / 1000 − 1). Ends any awaited round.
    HRESULT SetPlaybackSpeed(int speed);
    // The blue-screen picture sent to channels that have no picture yet (length 0: none).
    void SetBlueScreen(const BYTE* jpeg, DWORD length);
    // Per-frame status export: an open file and mode 1 (text lines) or 2 (44-byte records); null stops it.
    void ArchiveDataFile(HANDLE file, int mode);
    // Starts a playback run: frame counter 0, no channel awaited, all seen flags clear, all stamps 0.
    void StartPlayback();

    // ---- Index results ----------------------------------------------------------------------------------
    DWORD ClusterSize() const { return m_ClusterSize; }
    DWORD ClusterCount() const { return m_ClusterNum; }
    DWORD SystemStart() const { return m_SystemSize; }
    ULONGLONG DriveSectors() const { return m_DriveSectors; }
    DWORD SectorBase() const { return m_SectorBase; }
    DWORD WriteCluster() const { return m_WriteCluster; }
    DWORD BlocksPerCluster() const { return m_BlocksPerCluster; }
    DWORD AlarmTotal() const { return m_AlarmTotal; }
    DWORD UsedClusters() const { return m_UsedClusters; }
    DWORD CapacityMB() const { return m_CapacityMB; }
    DWORD UsedMB() const { return m_UsedMB; }
    const BYTE* Marker() const { return m_marker; }
    const std::vector<OrmaSegment>& Segments() const { return m_seg; }
    D32M ClusterRecord(DWORD cluster) const {
        return D32M{m_Disk32M_index.get() + std::size_t(cluster) * kSectorBytes};
    }
    // Bytes the index holds: the records and the reserved segment array.
    std::size_t IndexBytes() const {
        return std::size_t(m_IndexClusters) * (kSectorBytes + kSegmentRecordBytes);
    }

    HRESULT GetSegmentList(BYTE* records, UINT* count) const;
    HRESULT GetAlarmList(BYTE* records, UINT* count) const;
    HRESULT GetDiskInfo(int* capacityMB, int* usedMB) const;
    // per mille of the clusters scanned so far; cancel = 1 stops the scan (and every later open).
    HRESULT GetScanProgress(UINT* permille, int cancel);

    // ---- Frames and positioning ------------------------------------------------------------------------
    HRESULT GetFrame(BYTE* audio, LONG* audioLength, BYTE* channel);
    HRESULT SetPointer(DWORD cluster, DWORD block, int entry);
    int VerifyIndex();
    HRESULT SetPointerSegment(int segment, int end);
    HRESULT SetPointerPosition(int permille);
    HRESULT GetPointerPosition(int* permille, BYTE* year, DWORD* time);
    HRESULT SetPointerTime(BYTE year, DWORD time);

    int CurrentSegment() const { return m_CurSeg; }
    DWORD CurrentCluster() const { return m_Cluster; }
    DWORD CurrentBlock() const { return m_Block; }
    int CurrentEntry() const { return m_Entry; }
    DWORD BlocksInSegment() const { return m_BlocksInSeg; }
    DWORD FrameCounter() const { return m_FrameCounter; }
    // The picture length of the last frame read (0 for a frame without a picture).
    LONG LastPictureLength() const { return m_LastPictureLength; }
    // The year byte and packed time of the last frame header read.
    BYTE LastFrameYear() const { return m_d88m[d88m::kYear]; }
    DWORD LastFrameTime() const { return platform::ReadSwapped32(m_d88m + d88m::kTime); }
    const BYTE* FrameInfo() const { return m_FrameInfo; }
    const BYTE* FrameHeader() const { return m_d88m; }

private:
    struct OpenParts;
    bool ReadSectors(DWORD sector, int count, BYTE* out);
    bool ReadSectors64(ULONGLONG sector, int count, BYTE* out);
    HRESULT ScanIndex();
    HRESULT BuildSegments();
    void CorrectOverwrittenStart();
    // Reads the header of (cluster, block) into `out`; block ≥ P moves into the next cluster first.
    HRESULT ReadBlockHeader(DWORD* cluster, DWORD* block, BYTE* out);
    HRESULT ReadCurrentHeader() { return ReadBlockHeader(&m_Cluster, &m_Block, m_Disk01M); }
    DWORD CountSegmentBlocks(const OrmaSegment& seg, DWORD* lastBlock, int* lastEntry);
    int FindSegmentOfCluster(DWORD cluster) const;
    HRESULT FailFrame(DWORD cluster, DWORD block);
    void ExportStatus();
    void WakeAllChannels();

    IOrmaPinHandoff* m_pins;
    const common::SectorVariant* m_variant = &common::kOrmaSourceVariant;
    DWORD m_windowsMajor = 5;

    // Drive access.
    bool m_open = false;
    bool m_driverMode = false;
    bool m_isImage = false;
    HANDLE m_hDisk = nullptr;
    int m_nDrive = 0;
    std::string m_path;

    // Index.
    DWORD m_ClusterSize = 0;
    DWORD m_ClusterNum = 0;
    DWORD m_IndexClusters = 0; // clusters the arrays were allocated for
    DWORD m_SystemSize = 0;
    ULONGLONG m_DriveSectors = 0;
    DWORD m_SectorBase = 0;
    DWORD m_WriteCluster = 0;
    DWORD m_BlocksPerCluster = 0;
    BYTE m_marker[kSectorBytes] = {};
    struct FreeIndex {
        void operator()(BYTE* p) const;
    };
    std::unique_ptr<BYTE[], FreeIndex> m_Disk32M_index;
    std::vector<OrmaSegment> m_seg;
    DWORD m_AlarmTotal = 0;
    DWORD m_UsedClusters = 0;
    DWORD m_CapacityMB = 0;
    DWORD m_UsedMB = 0;
    std::atomic<DWORD> m_ScanProgress{0};
    std::atomic<DWORD> m_ScanTotal{0}; // clusters to scan, for the progress read from another thread
    std::atomic<bool> m_ScanContinue{true};

    // Position.
    DWORD m_Cluster = 0;
    DWORD m_Block = 0;
    int m_Entry = 0;
    int m_CurSeg = -1;
    DWORD m_BlocksInSeg = 0;
    BYTE m_Disk01M[kBlockHeaderKept] = {};

    // Frame reading.
    std::unique_ptr<BYTE[]> m_FrameBuffer;
    BYTE m_d88m[kSectorBytes] = {};
    BYTE m_FrameInfo[kFrameInfoBytes] = {};
    LONG m_LastPictureLength = 0;
    int m_dvr_model = 101;
    DWORD m_AudioChunk = 294;
    bool m_timestamps = false;
    BYTE m_rangeStartYear = 0, m_rangeEndYear = 0;
    DWORD m_rangeStart = 0, m_rangeEnd = 0; // no range while m_rangeEnd is 0
    bool m_rangeEntered = false;            // a frame inside the range has been read
    int m_Direction = 1;
    int m_FrameSkip = 0;
    double m_SpeedFactor = 1.0;
    DWORD m_FrameCounter = 0;
    int m_AwaitedChannel = -1;
    bool m_Seen[kChannels] = {};
    bool m_RoundPending = false;    // the unseen channels are signalled when the round ends
    bool m_RoundBlueScreen = false; // they get the blue screen (the round began on emptied slots)
    BYTE m_LastChannel = 0xFF;
    std::vector<BYTE> m_BlueScreen;
    HANDLE m_ExportFile = nullptr;
    int m_ExportMode = 1;
};

} // namespace orma
