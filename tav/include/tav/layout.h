// The TAV v2.x drive layout: geometry derived from the drive size, the fixed record offsets of the
// drive header, segment trailers, block indexes and index entries, and the rules that decide
// whether a record is usable. Records are read field by field from byte buffers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bytes.h"
#include "platform/types.h"

namespace tav {

constexpr DWORD kSectorBytes = 512;
constexpr DWORD kBlockSectors = 2048;                           // one block is 1 MiB
constexpr DWORD kIndexSectors = 40;                             // TavBlockIndex
constexpr DWORD kIndexBytes = kIndexSectors * kSectorBytes;     // 20,480
constexpr DWORD kTrailerSectors = 10;                           // TavSegmentTrailer
constexpr DWORD kTrailerBytes = kTrailerSectors * kSectorBytes; // 5120
// A segment ends in its trailer and two unused sectors: the trailer starts this far before the end.
constexpr DWORD kTrailerAreaSectors = 12;
// Data area of a block that is not a segment's last (2008): the block index follows it.
constexpr DWORD kDataSectors = kBlockSectors - kIndexSectors;
// Data area of a segment's last block (1996): the block index and the trailer area follow it.
constexpr DWORD kLastDataSectors = kBlockSectors - kIndexSectors - kTrailerAreaSectors;
constexpr DWORD kIndexEntryBytes = 30;
constexpr DWORD kEventRecordBytes = 18;
constexpr DWORD kEventViewBytes = 24;
// Entries that fit the index buffer behind its 20-byte head; later ones are never read.
constexpr DWORD kMaxIndexEntries = (kIndexBytes - 20) / kIndexEntryBytes;
// Event records that fit the trailer behind its 25-byte head.
constexpr DWORD kMaxEventRecords = (kTrailerBytes - 25) / kEventRecordBytes;

// Tags, as 32-bit little-endian words at offset 0 of their record.
constexpr DWORD kBlockTagA = 0xAA5555AA;
constexpr DWORD kBlockTagB = 0x424C4B30; // 'BLK0'
constexpr DWORD kSegmentTagA = 0x55AA55AA;
constexpr DWORD kSegmentTagB = 0x53454730; // 'SEG0'
constexpr DWORD kEntryTagA = 0xAA55AA55;
constexpr DWORD kEntryTagB = 0x4D484430;      // 'MHD0'
constexpr DWORD kDriveHeaderTag = 0x4B4C5430; // 'KLT0'

// Packet types of an index entry (after the 0x10 reduction).
constexpr BYTE kTypeKey = 0x81;
constexpr BYTE kTypePredicted = 0x82;
constexpr BYTE kTypeNone = 0x83;
constexpr BYTE kTypeAudio = 0x84;

// Sizes of an audio packet: IMA ADPCM (audio format 1), and A-law or mu-law, whose packet names its
// format in its stream header.
constexpr DWORD kAdpcmAudioPacketBytes = 4160;
constexpr DWORD kG711AudioPacketBytes = 2080;

// Entry validity limits.
constexpr DWORD kEarliestEntryTime = 978516997;
constexpr DWORD kMaxPacketSize = 204800; // sizes must stay below this
// Bytes read behind a packet's start beyond its size: header, stream header, trailer and status.
constexpr DWORD kPacketTail = 553;
// Largest read of one packet: ((511 + 204,799 + 553) >> 9) + 1 sectors.
constexpr DWORD kMaxPacketReadBytes =
    (((kSectorBytes - 1) + (kMaxPacketSize - 1) + kPacketTail) / kSectorBytes + 1) * kSectorBytes;
// A drive image numbers the segments of a range that wraps past the end of the drive one pass on
// (s + N - 1), and reads them by 32-bit sector numbers: the range's last segment must still end below
// 2^32 sectors, which a wrapped range on a drive over 1 TiB does not.
inline bool ImageSegmentAddressable(DWORD segment, DWORD S) {
    return ULONGLONG(segment + 1ull) * S <= 0xFFFFFFFFull;
}

// Largest frame sample: a packet of the largest valid size with the 553 bytes behind it.
constexpr DWORD kMaxSampleBytes = (kMaxPacketSize - 1) + kPacketTail;

// Drive header fields.
namespace hdr {
constexpr DWORD kStartTime = 4, kEndTime = 8, kPlaySegment = 12, kPlayBlock = 16, kWriteSegment = 20,
                kCurrentTime = 30, kProtSegments = 38, kProtPercent = 42, kProtWriteSegment = 46,
                kProtPlaySegment = 50, kProtPlayBlock = 54, kProtStartTime = 58, kProtEndTime = 62,
                kLogSize = 66, kLogNext = 74, kProtClearTime = 78, kFirstSection = 164, kFirstSegment = 168;
// Image fields (TavImageFields).
constexpr DWORD kSectorOffset = 148, kSegmentSize = 152, kSegmentCount = 156, kTPrime = 160,
                kRangeFirstSection = 164, kRangeFirstSegment = 168, kRangeFirstBlock = 172,
                kRangeFirstEntry = 176, kRangeLastSection = 180, kRangeLastSegment = 184,
                kRangeLastBlock = 188, kRangeLastEntry = 192, kOldestSegment = 196, kNewestSegment = 200,
                kRangeStartTime = 204, kRangeEndTime = 208;
} // namespace hdr

// Segment trailer fields.
namespace trl {
constexpr DWORD kTag = 0, kFirstTime = 8, kLastTime = 12, kSequence = 18, kEventCount = 20, kBlocksUsed = 22,
                kEvents = 25;
}
// Block index fields.
namespace idx {
constexpr DWORD kTag = 0, kBlockTime = 8, kCount = 12, kEntries = 20, kSequence = 19476, kFirstEntryTime = 28;
}
// Index entry fields.
namespace ent {
constexpr DWORD kTag = 0, kOffset = 4, kTime = 8, kSize = 12, kChannel = 20, kType = 21, kCode = 22;
}

// Geometry of a TAV drive, derived from its sector count.
struct TavGeometry {
    DWORD T = 0;      // total sectors as the geometry query gives them
    DWORD G = 0;      // whole GiB
    DWORD Tprime = 0; // G << 21, the sectors in use
    DWORD P = 0;      // segment size in MiB
    DWORD S = 0;      // segment size in sectors
    DWORD N = 0;      // segments
    DWORD K = 0;      // segments per section
    DWORD B = 0;      // blocks per segment
    // The drive header: the first sector of segment N - 1.
    DWORD HeaderSector() const { return Tprime - S; }
    // The system log: block 1 of the system segment.
    DWORD SystemLogSector() const { return (N - 1) * S + kBlockSectors; }
};

TavGeometry ComputeGeometry(DWORD totalSectors);
// Geometry of an image from its header fields (S, N, T'); false when they describe no TAV drive.
bool GeometryFromImage(DWORD S, DWORD N, DWORD Tprime, TavGeometry* out);

inline bool IsBlockTag(DWORD v) {
    return v == kBlockTagA || v == kBlockTagB;
}
inline bool IsSegmentTag(DWORD v) {
    return v == kSegmentTagA || v == kSegmentTagB;
}
inline bool IsEntryTag(DWORD v) {
    return v == kEntryTagA || v == kEntryTagB;
}

// A packet type reduced as the index stores it: 0x85 and above lose 0x10.
inline BYTE ReduceType(BYTE type) {
    return type >= 0x85 ? static_cast<BYTE>(type - 0x10) : type;
}

// One index entry, decoded.
struct TavIndexEntry {
    DWORD tag = 0;
    DWORD offset = 0;
    DWORD time = 0;
    DWORD size = 0;
    BYTE channel = 0;
    BYTE type = 0; // reduced
    BYTE code = 0;
};
TavIndexEntry ReadIndexEntry(const BYTE* entry);
// Tag, time, channel, type and size within their limits, and the packet starting inside the block's
// data area of `dataBytes`.
bool IsValidEntry(const TavIndexEntry& e, DWORD dataBytes);

// Data-area size in bytes of block `block` of a segment of `blocks` blocks.
inline DWORD DataAreaSectors(DWORD block, DWORD blocks) {
    return block + 1 == blocks ? kLastDataSectors : kDataSectors;
}

// Clearing a drive zeroes the first sector of its last unit of u sectors: u = k x 65,536 with k one
// more than the 80 GiB steps (80, 160, ... 640 GiB) the raw sector count reaches.
DWORD ClearUnitSectors(DWORD totalSectors);

// "%04d/%02d/%02d %02d:%02d:%02d", UTC.
std::string FormatTime(DWORD time);
// Parses that form back; false when malformed.
bool ParseTime(const std::string& text, DWORD* time);

} // namespace tav
