// The ORMA recorder's on-disk structures: units, magic numbers, time stamps and the fixed-offset
// readers of the marker sector, the D32M cluster record, the Disk01M block header and the D88M frame.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bytes.h"
#include "platform/types.h"

namespace orma {

constexpr DWORD kSectorBytes = 512;
constexpr DWORD kBlockSectors = 2048;        // 1 MiB
constexpr DWORD kClusterUnit = 65536;        // clusters are k × 32 MiB
constexpr DWORD kHeaderSectorInBlock = 2044; // the Disk01M header fills sectors 2044..2047 of a block
constexpr DWORD kBlockHeaderKept = 1536;     // bytes of the header the reader keeps
constexpr int kMaxEntryIndex = 126;          // entries 0..126 fit in the bytes kept

constexpr DWORD kMarkerMagic = 0xAA995599;
constexpr DWORD kD32MMagic = 0xAA325532;
constexpr DWORD kDisk01MMagic = 0xAA015501;
constexpr WORD kFrameMagic = 0x5588;
constexpr WORD kUnusedCluster = 0x55AA;
constexpr int kMaxAlarmsPerCluster = 40; // 12-byte entries from offset 0x20 of a 512-byte record

constexpr DWORD kSegmentRecordBytes = 28;
constexpr DWORD kAlarmRecordBytes = 12;

// A time stamp: year byte (year − 2000) and packed time (month 31–28, day 27–23, hour 22–18,
// minute 17–12, second 11–6).
inline int Month(DWORD t) {
    return static_cast<int>(t >> 28);
}
inline int Day(DWORD t) {
    return static_cast<int>((t >> 23) & 0x1F);
}
inline int Hour(DWORD t) {
    return static_cast<int>((t >> 18) & 0x1F);
}
inline int Minute(DWORD t) {
    return static_cast<int>((t >> 12) & 0x3F);
}
inline int Second(DWORD t) {
    return static_cast<int>((t >> 6) & 0x3F);
}
DWORD PackTime(int month, int day, int hour, int minute, int second);

// Time order: year bytes first (their difference); with equal years (t1 / 32) − (t2 / 32).
int CompareTime(BYTE year1, DWORD time1, BYTE year2, DWORD time2);
// "20%02d/%02d/%02d %02d:%02d:%02d".
std::string FormatTime(BYTE year, DWORD time);
// Seconds since 1970 of a year byte and packed time, read as UTC, or as local time when `local` (the
// time value of the source's binary status records).
long long UnixSeconds(BYTE year, DWORD time, bool local = false);
// Parses "20YY/MM/DD hh:mm:ss" (or "YYYY/MM/DD hh:mm:ss" with a year 2000..2255).
bool ParseTime(const std::string& text, BYTE* year, DWORD* time);

// Cluster size in sectors for a drive of `sectors` sectors (k × 65536, k = 1..9).
DWORD ClusterSizeForDrive(ULONGLONG sectors);

// ---- D32M record (last sector of every cluster) -------------------------------------------------------
struct D32M {
    const BYTE* p;
    DWORD Magic() const { return platform::ReadLE32(p); }
    DWORD FirstTime() const { return platform::ReadSwapped32(p + 0x04); }
    DWORD StartAddress() const { return platform::ReadSwapped32(p + 0x08); }
    DWORD LastTime() const { return platform::ReadSwapped32(p + 0x0C); }
    DWORD EndAddress() const { return platform::ReadSwapped32(p + 0x10); }
    WORD SegmentId() const { return platform::ReadLE16(p + 0x14); }
    SHORT AlarmField() const { return static_cast<SHORT>(platform::ReadLE16(p + 0x16)); }
    BYTE FirstYear() const { return p[0x18]; }
    BYTE LastYear() const { return p[0x19]; }
    const BYTE* Alarm(int j) const { return p + 0x20 + 12 * j; }
    // Entries that a well-formed record lists: alarm field + 1, none for −1 or a negative field, and at
    // most the 40 that fit in the record.
    int AlarmEntries() const;
};

// ---- Disk01M block header ---------------------------------------------------------------------------
struct Disk01M {
    const BYTE* p; // the kBlockHeaderKept bytes
    DWORD Magic() const { return platform::ReadLE32(p); }
    WORD SegmentId() const { return platform::ReadLE16(p + 4); }
    WORD PictureNumber() const { return platform::ReadLE16(p + 6); }
    // Index of the last frame entry: the picture number, −1 for 0xFFFF (none), at most 126.
    int LastEntry() const;
    DWORD EntryTime(int i) const { return platform::ReadSwapped32(p + 0x0C + 12 * i); }
    DWORD EntrySector(int i) const { return platform::ReadSwapped32(p + 0x0C + 12 * i + 4); }
    WORD EntrySize(int i) const { return platform::ReadBE16(p + 0x0C + 12 * i + 8); }
    BYTE EntryYear(int i) const { return p[0x0C + 12 * i + 11]; }
};

// ---- D88M frame -------------------------------------------------------------------------------------
namespace d88m {
constexpr DWORD kMagic = 0x000;
constexpr DWORD kChannelField = 0x002; // chnl_fld; its high byte (0x003) is the channel byte
constexpr DWORD kLength = 0x004;       // frame length L in 16-bit words
constexpr DWORD kSegmentId = 0x006;
constexpr DWORD kAudioChunks = 0x00C; // A
constexpr DWORD kAudioOffset = 0x00E; // Q, in 16-bit words
constexpr DWORD kTime = 0x010;
constexpr DWORD kYear = 0x015;
constexpr DWORD kChannelCode = 0x016;
constexpr DWORD kChannelCodeWords = 322;
constexpr DWORD kInfoWords = 0x28E;
constexpr DWORD kAudio = 0x29A;
constexpr DWORD kStatusText = 0x402;
constexpr DWORD kStatusTextBytes = 40;
constexpr DWORD kPicture = 0x42A;
constexpr DWORD kExtraChunkStride = 360;
} // namespace d88m

// Segment record (28 bytes): what GetSegmentList hands out.
struct OrmaSegment {
    DWORD start_time;
    DWORD start_address;
    DWORD first_cluster;
    DWORD end_time;
    DWORD end_address;
    DWORD last_cluster;
    WORD segment_id;
    BYTE start_year;
    BYTE end_year;
    void Write(BYTE* out) const;
};

// Which camera channel a frame's channel-code area names for recorder models 1 to 16. `area` is the 644
// bytes after their 16-bit words were put in host order; bits are read most significant first.
int DecodeChannel(int model, const BYTE* area);

} // namespace orma
