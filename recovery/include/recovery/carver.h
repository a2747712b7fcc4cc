// Carving: finding a recorder's frames by their own structure rather than through its index, so that
// pictures survive a damaged, stale or re-initialised index. The scan reads the source in order, in
// large requests, checks every place a frame may start, and keeps a candidate only when our own
// decoder accepts its picture. Each find says whether the recorder's index still reaches it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "recovery/byte_source.h"

namespace recovery {

enum class Family { Orma, Tav };
enum class FrameKind { Jpeg, Key, Predicted, Audio };
const char* KindName(FrameKind kind); // "jpeg", "key", "predicted", "audio"

struct CarvedFrame {
    std::uint64_t sector = 0;       // sector of the source where the frame begins
    std::uint32_t byteInSector = 0; // TAV packets start on 4-byte boundaries inside a sector
    std::string time;               // as the family shows times
    std::uint32_t timeValue = 0;    // ORMA: packed time; TAV: seconds since 1970
    std::uint8_t year = 0;          // ORMA year byte
    int channel = 0;                // 0..15
    FrameKind kind = FrameKind::Jpeg;
    std::uint32_t size = 0;      // ORMA: picture bytes; TAV: the packet size an index entry would give
    bool indexed = false;        // the recorder's index also reaches this frame
    std::uint32_t timestamp = 0; // TAV: the 32-bit presentation stamp of the packet
    // Kept when CarveOptions::keepPayloads: the JPEG picture (ORMA), or the elementary-stream bytes
    // (TAV video: the MPEG-4 frame; audio: the packet data behind the stream header).
    std::vector<std::uint8_t> payload;
};

struct CarveOptions {
    std::uint64_t fromSector = 0;
    std::uint64_t toSector = UINT64_MAX; // inclusive: frames starting at fromSector..toSector
    bool ormaImage = false; // ORMA: the source is a drive image of the reader's export (not a whole drive)
    int ormaModel = 101;    // ORMA recorder model deciding where the channel is read
    bool keepPayloads = false;
    // Bytes per read request; rounded to whole 1 MiB blocks. Two requests are in flight.
    std::size_t chunkBytes = 16u << 20;
    // Called after every request with the bytes scanned and to scan; returning false cancels.
    std::function<bool(std::uint64_t done, std::uint64_t total)> progress;
};

struct UnreadableRange {
    std::uint64_t firstSector, sectors;
};

struct CarveReport {
    std::vector<CarvedFrame> frames; // in the order found on the source
    std::vector<UnreadableRange> unreadable;
    bool cancelled = false;
    bool indexKnown = false; // false when the drive's layout could not be found: nothing counts as indexed
    std::string error;       // empty on success
};

CarveReport CarveOrma(IByteSource& source, const CarveOptions& options);
CarveReport CarveTav(IByteSource& source, const CarveOptions& options);

} // namespace recovery
