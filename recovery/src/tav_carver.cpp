// TAV carving. Packets start on 4-byte boundaries of a block's data area with a 32-byte record header
// (time, size, channel, type) and a stream header opening with a start code for video (00 00 01 E0) or
// audio (00 00 01 C0). A packet whose bytes run past the data area continues at the next block's first
// sector, as the recorder writes it. Video is kept when our MPEG-4 decoder decodes it (predicted
// frames on the channel's last key frame); audio when its block headers are sound.
#include <algorithm>
#include <map>
#include <optional>

#include "block_scan.h"
#include "platform/bytes.h"
#include "recovery/carver.h"
#include "tav/layout.h"
#include "tav/packet.h"
#include "validate.h"

namespace recovery {
namespace {

using platform::ReadLE16;
using platform::ReadLE32;

constexpr std::uint32_t kVideoStart = 0xE0010000; // 00 00 01 E0 read little-endian
constexpr std::uint32_t kAudioStart = 0xC0010000; // 00 00 01 C0
constexpr std::size_t kRecordHeader = 32;
constexpr std::size_t kStreamHeader = 32;
// Audio packet sizes the recorders write: IMA ADPCM blocks, and G.711 blocks.
constexpr std::uint32_t kAdpcmPacket = 4160;
constexpr std::uint32_t kG711Packet = 2080;
constexpr int kMaxImaStepIndex = 88;

class CTavCarver {
public:
    CTavCarver(IByteSource& source, const CarveOptions& options) : m_source(source), m_o(options) {}
    CarveReport Run();

private:
    void ScanBlock(std::uint64_t blockSector, const std::uint8_t* block, const std::uint8_t* nextBlock);
    bool TryPacket(std::uint64_t byteOffset, const std::uint8_t* at, std::size_t inArea,
                   const std::uint8_t* nextBlock, std::uint64_t nextBlockByte, std::size_t* packetBytes);
    bool Indexed(const CarvedFrame& f);

    IByteSource& m_source;
    const CarveOptions& m_o;
    tav::TavGeometry m_geo;
    CarveReport m_report;
    CChannelVideo m_video;
    std::uint64_t m_skipUntil = 0; // bytes below this belong to a packet already taken
    std::vector<std::uint8_t> m_packet;
    std::map<std::uint64_t, std::vector<std::uint8_t>> m_trailers, m_indexes;
};

bool CTavCarver::TryPacket(std::uint64_t byteOffset, const std::uint8_t* at, std::size_t inArea,
                           const std::uint8_t* nextBlock, std::uint64_t nextBlockByte,
                           std::size_t* packetBytes) {
    const std::uint32_t start = ReadLE32(at + kRecordHeader);
    const std::uint8_t type = tav::ReduceType(at[19]);
    const std::uint8_t channel = at[18];
    const std::uint32_t time = ReadLE32(at + 4);
    const std::uint32_t size = ReadLE32(at + 8);
    const bool video = start == kVideoStart;
    if (channel >= 16 || time < tav::kEarliestEntryTime || size <= kStreamHeader ||
        size >= tav::kMaxPacketSize)
        return false;
    if (video ? (type != tav::kTypeKey && type != tav::kTypePredicted) : type != tav::kTypeAudio)
        return false;
    if (!video && size != kAdpcmPacket && size != kG711Packet)
        return false;

    // Record header and packet data, spliced across the block end where the recorder split them.
    const std::size_t bytes = kRecordHeader + size;
    m_packet.resize(bytes);
    const std::size_t here = std::min(bytes, inArea);
    std::copy(at, at + here, m_packet.begin());
    if (here < bytes) {
        const std::size_t rest = bytes - here;
        if (nextBlock)
            std::copy(nextBlock, nextBlock + rest, m_packet.begin() + static_cast<std::ptrdiff_t>(here));
        else
            ReadSectors(m_source, nextBlockByte, m_packet.data() + here, rest);
    }
    const std::uint8_t* payload = m_packet.data() + kRecordHeader + kStreamHeader;
    const std::size_t payloadBytes = size - kStreamHeader;
    FrameKind kind = FrameKind::Audio;
    if (type == tav::kTypeKey) {
        kind = FrameKind::Key;
        if (!m_video.AcceptKey(channel, payload, payloadBytes))
            return false;
    } else if (type == tav::kTypePredicted) {
        kind = FrameKind::Predicted;
        if (!m_video.AcceptPredicted(channel, payload, payloadBytes))
            return false;
    } else if (size == kAdpcmPacket) {
        // Two channel headers (predicted sample, step index) open the ADPCM block.
        if (m_packet[90] > kMaxImaStepIndex || m_packet[94] > kMaxImaStepIndex)
            return false;
    }

    CarvedFrame f;
    f.sector = byteOffset / kSectorBytes;
    f.byteInSector = static_cast<std::uint32_t>(byteOffset % kSectorBytes);
    f.time = tav::FormatTime(time);
    f.timeValue = time;
    f.channel = channel;
    f.kind = kind;
    f.size = size;
    f.timestamp = tav::PacketTimestamp(m_packet.data());
    if (m_o.keepPayloads)
        f.payload.assign(payload, payload + payloadBytes);
    m_report.frames.push_back(std::move(f));
    *packetBytes = bytes;
    return true;
}

void CTavCarver::ScanBlock(std::uint64_t blockSector, const std::uint8_t* block,
                           const std::uint8_t* nextBlock) {
    if (blockSector >= std::uint64_t(m_geo.N - 1) * m_geo.S)
        return; // the system segment: drive header and log
    const std::uint32_t b = static_cast<std::uint32_t>((blockSector % m_geo.S) / 2048);
    const std::size_t area = std::size_t(tav::DataAreaSectors(b, m_geo.B)) * kSectorBytes;
    const std::uint64_t blockByte = blockSector * kSectorBytes;
    const std::uint64_t fromByte = m_o.fromSector * kSectorBytes;
    const std::uint64_t toByte =
        m_o.toSector >= UINT64_MAX / kSectorBytes ? UINT64_MAX : (m_o.toSector + 1) * kSectorBytes;
    for (std::size_t pos = 0; pos + kRecordHeader + kStreamHeader <= area; pos += 4) {
        const std::uint32_t start = ReadLE32(block + pos + kRecordHeader);
        if (start != kVideoStart && start != kAudioStart)
            continue;
        const std::uint64_t at = blockByte + pos;
        if (at < m_skipUntil || at < fromByte || at >= toByte)
            continue;
        std::size_t bytes = 0;
        if (!TryPacket(at, block + pos, area - pos, nextBlock, blockByte + kBlockBytes, &bytes))
            continue;
        if (pos + bytes > area) {
            m_skipUntil = blockByte + kBlockBytes + (pos + bytes - area);
            break;
        }
        m_skipUntil = at + bytes;
        pos = (pos + bytes + 3) / 4 * 4 - 4;
    }
}

// Whether the reader's index reaches a packet: its segment's trailer is a used segment holding the
// block, and the block index has a valid entry with the packet's offset, time, channel and size.
bool CTavCarver::Indexed(const CarvedFrame& f) {
    const std::uint64_t byte = f.sector * kSectorBytes + f.byteInSector;
    const std::uint64_t segment = f.sector / m_geo.S;
    const std::uint32_t b = static_cast<std::uint32_t>((f.sector % m_geo.S) / 2048);
    const std::uint64_t blockByte = (segment * m_geo.S + std::uint64_t(b) * 2048) * kSectorBytes;
    auto record = [&](std::map<std::uint64_t, std::vector<std::uint8_t>>& cache, std::uint64_t at,
                      std::size_t bytes) -> const std::vector<std::uint8_t>& {
        auto it = cache.find(at);
        if (it == cache.end()) {
            std::vector<std::uint8_t> r(bytes);
            ReadSectors(m_source, at, r.data(), bytes);
            it = cache.emplace(at, std::move(r)).first;
        }
        return it->second;
    };
    const auto& trailer =
        record(m_trailers, ((segment + 1) * m_geo.S - 12) * kSectorBytes, tav::kTrailerBytes);
    const std::uint32_t used = ReadLE16(trailer.data() + tav::trl::kBlocksUsed);
    if (!tav::IsSegmentTag(ReadLE32(trailer.data())) || used == 0 || used > m_geo.B || b >= used)
        return false;
    const std::uint32_t area = tav::DataAreaSectors(b, m_geo.B) * kSectorBytes;
    const auto& index = record(m_indexes, blockByte + area, tav::kIndexBytes);
    if (!tav::IsBlockTag(ReadLE32(index.data())))
        return false;
    const std::uint32_t count =
        std::min<std::uint32_t>(ReadLE16(index.data() + tav::idx::kCount), tav::kMaxIndexEntries);
    for (std::uint32_t e = 0; e < count; ++e) {
        const tav::TavIndexEntry entry = tav::ReadIndexEntry(index.data() + tav::idx::kEntries + 30 * e);
        if (tav::IsValidEntry(entry, area) && blockByte + entry.offset == byte && entry.time == f.timeValue &&
            entry.channel == f.channel && entry.size == f.size)
            return true;
    }
    return false;
}

CarveReport CTavCarver::Run() {
    const std::uint64_t sectors = m_source.Size() / kSectorBytes;
    if (sectors < (std::uint64_t(1) << 21) || sectors > 0xFFFFFFFFull) {
        m_report.error = "not the size of a TAV drive (1 GiB to 2 TiB)";
        return m_report;
    }
    m_geo = tav::ComputeGeometry(static_cast<std::uint32_t>(sectors));
    if (m_geo.N < 3) {
        m_report.error = "not the size of a TAV drive";
        return m_report;
    }
    m_report.indexKnown = true;
    const std::uint64_t last =
        std::min<std::uint64_t>(m_o.toSector, std::uint64_t(m_geo.N - 1) * m_geo.S - 1);
    if (m_o.fromSector > last)
        return m_report;
    const std::uint64_t first = m_o.fromSector / 2048 * 2048;
    const std::uint64_t end = (last / 2048 + 1) * 2048;
    CBlockScan scan(m_source, first * kSectorBytes, end * kSectorBytes, m_o.chunkBytes);
    std::uint64_t offset = 0;
    const std::uint8_t* data = nullptr;
    std::size_t bytes = 0;
    while (scan.Next(&offset, &data, &bytes)) {
        for (std::size_t b = 0; b < bytes; b += kBlockBytes) {
            const std::uint8_t* next = b + 2 * kBlockBytes <= bytes ? data + b + kBlockBytes : nullptr;
            ScanBlock((offset + b) / kSectorBytes, data + b, next);
        }
        if (m_o.progress &&
            !m_o.progress(offset + bytes - first * kSectorBytes, (end - first) * kSectorBytes)) {
            m_report.cancelled = true;
            break;
        }
    }
    m_report.unreadable = scan.Unreadable();
    for (CarvedFrame& f : m_report.frames)
        f.indexed = Indexed(f);
    return m_report;
}

} // namespace

CarveReport CarveTav(IByteSource& source, const CarveOptions& options) {
    return CTavCarver(source, options).Run();
}

} // namespace recovery
