// A synthetic TAV v2.x recorder: writes a drive (a sparse file of any size) byte by byte from the
// on-disk layout — drive header, segment trailers with write sequence numbers and events, block
// indexes, packets with record header, stream header and PTS, an MPEG-4 video-object-layer header,
// the trailer and status record of each recorder kind, IMA ADPCM / A-law / mu-law audio, a wrapped
// recording with stale blocks, a protected partition, the system log ring, and damage on request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim_tav {

// Geometry as the recorder lays the drive out from its size.
struct Geometry {
    std::uint32_t T = 0, G = 0, Tprime = 0, P = 0, S = 0, N = 0, K = 0, B = 0;
};
Geometry GeometryFor(std::uint32_t totalSectors);

// Something to break on purpose.
struct Damage {
    enum Kind {
        TrailerTag,   // segment `segment`'s trailer tag := value
        BlockTag,     // index tag of (segment, block) := value
        EntryTime,    // entry (segment, block, entry) time := value
        EntryChannel, // channel := value
        EntryType,    // type byte := value
        EntrySize,    // size := value
        EntryOffset,  // offset := value
        EntryCount,   // entry count of (segment, block) := value
        EventCount,   // event count of segment's trailer := value
        Sector2008,   // first word of drive sector 2008 := value
        // Index damage that leaves the packets in place but out of the index's reach:
        StaleIndex,    // (segment, block)'s index is one an older pass left: entries a day older, at
                       // other offsets, and the older sequence number
        ZeroTrailer,   // segment `segment`'s trailer wiped to zeros
        ReinitTrailer, // segment `segment`'s trailer as a re-initialised drive writes it: tag, no blocks used
    } kind;
    std::uint32_t segment = 0, block = 0, entry = 0;
    std::uint32_t value = 0;
};

struct RecorderOptions {
    std::uint32_t gib = 3;          // drive size in whole GiB
    std::uint32_t extraSectors = 0; // sectors behind the whole GiB (ignored by the layout)
    std::uint32_t totalSectors = 0; // when nonzero: the exact size, overriding gib/extraSectors
    int recorderKind = 2;           // 0, 1, 2, 3, 4, 8 or 32
    int channels = 2;               // video channels 0 .. channels-1
    int audioFormat = 1;            // 0 none, 1 IMA ADPCM (4160-byte packets), 6 A-law, 7 mu-law (2080)
    int audioChannel = 0;
    int framesPerSecond = 2; // per channel
    int keyInterval = 4;     // every n-th frame of a channel is a key frame
    int audioPerSecond = 1;
    std::uint16_t width = 352, height = 240;
    bool interlaced = false;
    int aspectRatioInfo = 1;              // 15: extended PAR follows
    bool volControlParameters = false;    // with VBV parameters
    std::uint32_t startTime = 1262304000; // 2010/01/01 00:00:00
    std::uint32_t firstSegment = 0;       // first segment of the normal area
    std::uint32_t segments = 4; // segments written (ignored when wrapped: the pass covers the drive)
    std::uint32_t blocksPerSegment = 2;
    std::uint32_t packetsPerBlock = 24;
    // Wrapped: a first pass over every data segment, then a second pass over firstSegment ..
    // wrapNewest whose blocks from wrapStaleBlock on keep the first pass (stale blocks).
    bool wrapped = false;
    std::uint32_t wrapNewest = 0;
    std::uint32_t wrapStaleBlock = 1;
    bool letterTags = false; // 'SEG0'/'BLK0'/'MHD0' instead of the numeric tags
    bool highTypes = false;  // types 0x91/0x92/0x94
    std::uint32_t protectedSegments =
        0; // a protected partition of that many segments, with its own recording
    std::uint32_t logSize = 1024;
    std::uint32_t logNext = 13;
    std::uint32_t eventsEvery = 2; // segment s carries events when s % eventsEvery == 0 (0: none)
    // Events such a segment carries: 3 puts one at its start, one in its middle and one after its end
    // (which the reader leaves out); any other count (at most 283) spreads them over the segment.
    std::uint32_t eventsPerSegment = 3;
    std::uint16_t startSequence = 100;
    bool crossBlockEnd =
        false; // the last packet of every block but a segment's last runs into the next block
    std::uint8_t packetCode = 0x12; // index entry byte 22
    std::vector<Damage> damage;
    std::uint32_t streamPackets = 120; // packets a stream file holds (WriteTavStream)
    // When nonzero: channel 0's first key frame is padded behind its picture to this index size (the
    // packet bytes behind the record header; a valid entry stays below 204,800).
    std::uint32_t largeKeyFrame = 0;
    // Real pictures: key frames are MPEG-4 I-VOPs of the channel's test picture with its picture tag
    // (channel, packet time in seconds) and the label "CAMnn hh:mm:ss" drawn in; predicted frames are
    // P-VOPs whose macroblocks are all skipped, so they show their key frame's picture again. Width
    // and height must then be multiples of 16, at least 128 x 96.
    bool realPictures = false;
    int pictureQuant = 6;                // finest quantiser tried for a key frame
    std::uint32_t pictureBudget = 60000; // most bytes a key frame's VOP may take (coarser quantisers beyond)
};

// One packet as stored, in chronological order of what survives on the drive.
struct RecordedPacket {
    std::uint32_t segment = 0, block = 0, entry = 0;
    std::uint32_t offset = 0; // from the block's first byte
    std::uint32_t time = 0, size = 0;
    std::uint8_t channel = 0, type = 0; // reduced type
    std::uint32_t timestamp = 0;        // 32-bit PTS value
    bool crossesBlockEnd = false;
    // True when the index still reaches the packet after the damage: its segment's trailer is a used
    // segment holding the block, and the block index has a valid entry with the packet's offset, time,
    // channel and size.
    bool indexed = true;
};

struct SegmentInfo {
    std::uint32_t segment = 0;
    std::uint16_t sequence = 0;
    std::uint32_t firstTime = 0, lastTime = 0;
    std::uint32_t blocksUsed = 0;
    std::uint32_t events = 0;
};

struct Recording {
    Geometry geo;
    std::vector<RecordedPacket> packets; // chronological (oldest first), protected partition excluded
    std::vector<SegmentInfo> segments;   // the normal area's segments as their trailers end up
    std::uint32_t oldestSegment = 0, newestSegment = 0;
    std::uint32_t firstTime = 0, lastTime = 0;
};

// Writes a TAV drive into `path` (created or replaced, sparse). Throws std::runtime_error on I/O failure.
Recording WriteTavDrive(const std::string& path, const RecorderOptions& options);

// Writes a stream file (".arv", created or replaced): the packets the recorder would store, one after
// another in time order, each as record header, packet data and the recorder kind's trailer, without
// blocks or indexes. Returns the packets; `offset` is a record's file offset, `entry` its number from
// 0, segment and block 0. Throws std::runtime_error on I/O failure.
std::vector<RecordedPacket> WriteTavStream(const std::string& path, const RecorderOptions& options);

// Byte builders, also used on their own by tests.
// An MPEG-4 Visual video object + video-object-layer header (ISO/IEC 14496-2 6.2.3) and a VOP start code.
std::vector<std::uint8_t> VideoObjectLayerHeader(std::uint16_t width, std::uint16_t height, bool interlaced,
                                                 int aspectRatioInfo, bool volControlParameters);
// The PTS bytes 41..45 of a stored packet for a 33-bit time stamp.
void WritePts(std::uint8_t* packet, std::uint64_t timestamp);
// A complete stored audio packet of an IMA ADPCM stereo block in WAV layout (two 4-byte channel headers,
// then groups of 4 left + 4 right bytes): the 8 + 4096 bytes go to packet offsets 88 .. 4191.
std::vector<std::uint8_t> AdpcmPacket(const std::uint8_t* imaBlock, std::uint32_t time, std::uint8_t channel);
// A stored 2080-byte G.711 packet (format 6 A-law, 7 mu-law) with `samples` (2048 bytes).
std::vector<std::uint8_t> G711Packet(const std::uint8_t* samples, int format, std::uint32_t time,
                                     std::uint8_t channel);

// Copies an image of drive sectors [first, last) of the drive file into a TAV drive image in the
// layout the reader exports: header with the image fields, trailer copy, sectors. A range that wraps
// (its last block lies before its first block on the drive) runs to the system segment and continues at
// sector 0.
struct ImageRange {
    std::uint32_t firstSegment, firstBlock, firstEntry;
    std::uint32_t lastSegment, lastBlock, lastEntry;
    std::uint32_t firstTime, lastTime;
    std::uint32_t firstEntryOffset; // byte offset of the first entry's packet in its block
};
void WriteTavImage(const std::string& drivePath, const Recording& recording, const ImageRange& range,
                   const std::string& imagePath);

} // namespace sim_tav
