// The synthetic ORMA recorder. It writes what a recorder leaves on its video drive: clusters of
// 1 MiB blocks, a D32M index record at the end of every cluster, a Disk01M header at the end of every
// block, D88M frames with real JPEG pictures, audio chunks and status text, and the marker sector at
// the start of the system area. It writes either a whole drive (a sparse file of the drive's size)
// or a drive image in the layout of the reader's own export.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace simorma {

// A recorder time stamp: year byte (year - 2000) and the packed month/day/hour/minute/second word.
struct Stamp {
    std::uint8_t year = 0;
    std::uint32_t packed = 0;
};
std::uint32_t PackTime(int month, int day, int hour, int minute, int second);
// Seconds counted from 2000-01-01 00:00:00 (calendar arithmetic, no time zone).
Stamp StampAt(std::int64_t secondsSince2000);
std::int64_t SecondsOf(int year, int month, int day, int hour, int minute, int second);
// "20YY/MM/DD hh:mm:ss".
std::string FormatStamp(const Stamp& s);

// The cluster size in sectors the recorder picks for a drive of `sectors` sectors.
std::uint32_t RecorderClusterSectors(std::uint64_t sectors);

// One recording segment, in recording order.
struct Segment {
    std::uint16_t id = 1;
    std::uint32_t clusters = 1;
    std::int64_t start = 0;    // seconds since 2000 of the first frame
    std::int64_t seconds = 60; // time from the first to the last frame
    int alarmsPerCluster = 0;  // 0..40 alarm entries in each cluster's D32M; -1 writes the count as 0xFFFF
    std::uint32_t lastClusterBlocks = 0; // blocks recorded in the segment's last cluster (0 = all)
};

struct Damage {
    bool brokenMarker = false;             // marker magic destroyed
    std::vector<std::uint32_t> brokenD32M; // clusters whose D32M magic is destroyed
    std::vector<std::pair<std::uint32_t, std::uint32_t>> brokenDisk01M; // (cluster, block) headers
    std::uint32_t unreadableTailClusters =
        0;                             // image: the marker claims this many clusters more than the file holds
    int smallFrameSizeEvery = 0;       // every k-th frame entry gets a size value below 256
    int missingFrameMagicEvery = 0;    // every k-th frame lacks the 0x5588 magic
    std::uint32_t truncateSectors = 0; // cut this many sectors off the end of the file
    // A D32M or Disk01M field stored with a wrong value, as a failing recorder or a bad write leaves it.
    struct Field {
        enum Kind {
            StartAddress,    // D32M 0x08 of `cluster`
            EndAddress,      // D32M 0x10
            EventNumber,     // D32M 0x16 (16 bits)
            EventPosition,   // sector of alarm entry `entry` (0..39)
            PictureNumber,   // Disk01M 0x06 of block `block` of `cluster` (16 bits)
            PicturePosition, // first sector of frame entry `entry` (0..126) of that block
        } kind;
        std::uint32_t cluster = 0;
        std::uint32_t block = 0;
        std::uint32_t entry = 0;
        std::uint32_t value = 0; // addresses and positions are absolute drive sectors
    };
    std::vector<Field> fields;
    // Index damage that leaves frames on the drive which no index entry reaches any more:
    std::vector<std::uint32_t> zeroedD32M; // clusters whose D32M sector was wiped to zeros
    std::vector<std::uint32_t> staleD32M;  // clusters whose D32M still says "unused" (0x55AA), as
                                           // before the recorder first wrote them
    // Block headers left from an older recording pass: another segment id, entries a day older that
    // name sectors one past where this pass's frames start.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> staleDisk01M;
};

struct Options {
    bool image = false;                  // a drive image (export layout) instead of a whole drive
    std::uint64_t driveSectors = 0;      // drive: its size T in sectors (0 = just large enough)
    std::uint32_t clusterSectors = 0;    // 0 = the recorder's choice for the drive size (images: 65536)
    std::uint32_t clusterCount = 0;      // image: clusters in the image (0 = as many as the segments use)
    std::uint32_t imageFirstCluster = 0; // image: drive cluster number of the image's cluster 0
    std::uint32_t firstCluster = 0;      // drive: cluster where the oldest recorded segment starts
    bool wrapped = false;                // drive: the recording has gone round; the newest segment has
                                         // begun overwriting the oldest cluster (its first blocks)
    std::uint32_t overwrittenBlocks = 1; // wrapped: blocks of the oldest cluster already overwritten
    int model = 101;                     // recorder model: 101/102 channel byte, 1..16 channel-code area
    bool pal = false;                    // audio chunks of 352 bytes (PAL) instead of 294 (NTSC)
    int channels = 4;                    // cameras, recorded in turn 0, 1, ..., channels-1
    int framesPerBlock = 6;              // frames written into each block (fewer when they do not fit)
    int fieldsPerPicture = 1;            // 2: each camera's picture is stored twice in a row
    int extraAudioEvery = 0;             // every k-th frame carries extra audio chunks
    int extraAudioChunks = 1;
    bool straddle = true;       // the last frame of a block runs over the block header
    bool sparseContent = false; // frames only in the first and last cluster of each segment
    int width = 352, height = 240, quality = 25;
    std::vector<Segment> segments;
    Damage damage;
    bool recordFrames = false; // fill Result::frames
    bool tagPictures = false;  // draw the machine-readable tag (channel, picture number) in
};

// One frame as written, in recording order.
struct FrameInfo {
    std::uint16_t segmentId;
    std::uint32_t cluster, block, entry; // cluster number in the written file's numbering
    std::uint32_t sector;                // recorded (absolute) first sector
    Stamp time;
    int channel; // -1 for a frame written without the frame magic
    std::uint32_t pictureBytes;
    std::uint32_t audioBytes; // own chunk plus extra chunks
    int extraChunks;
    bool straddles;
    bool listed; // false when its entry carries a size below 256
    // True when the index still reaches the frame: its cluster's D32M names a segment (any id but
    // 0x55AA, whatever its magic), its block header carries that segment id, and one of the header's
    // entries names the frame's first sector with a size of at least 256.
    bool indexed = true;
    // Wrapped recordings: the frame was written over by the newest segment's frames (its first sector
    // or its continuation now holds newer data), so nothing of it can be found any more.
    bool overwritten = false;
};

struct Result {
    std::uint32_t clusterSectors = 0; // C
    std::uint32_t clusterCount = 0;   // N (as the reader will find it)
    std::uint32_t systemStart = 0;    // N × C
    std::uint32_t sectorBase = 0;     // what the reader subtracts from recorded sectors
    std::uint32_t writeCluster = 0;   // W
    std::uint64_t fileBytes = 0;
    std::uint64_t framesWritten = 0;
    std::uint64_t alarmsWritten = 0;
    std::vector<FrameInfo> frames;
    std::string error; // empty on success
};

// Writes the drive or image to `path` (created or truncated). Result::error says what went wrong.
Result Write(const std::string& path, const Options& options);

// Channel-code area encoding (the 644 bytes at frame offset 0x016, as they lie on disk, i.e. 16-bit
// words in big-endian order) that the recorder `model` (1..16) writes for camera `channel`.
// Model 8 can express only channels 1..3; other channels are written as its "no channel" code.
void EncodeChannelCode(int model, int channel, std::uint8_t* area644);

// One JPEG picture (baseline, 4:2:0, beginning FF D8 FF DB) of the test pattern for a channel, with the
// channel number and time drawn in; `tag`: the machine-readable tag of (channel, frame) in its corner.
std::vector<std::uint8_t> MakePicture(int width, int height, int quality, int channel, int frame,
                                      const std::string& timeText, bool tag = false);

} // namespace simorma
