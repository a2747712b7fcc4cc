// ORMA carving. Frames start on a sector of a block's frame area (sectors 0..2043) with the frame
// magic; the last frame of a block may run over the block header and continue at the next block's
// first sector. A candidate is kept when its header is plausible and its JPEG picture decodes.
#include <algorithm>
#include <map>
#include <optional>

#include "block_scan.h"
#include "orma/layout.h"
#include "platform/bytes.h"
#include "recovery/carver.h"
#include "validate.h"

namespace recovery {
namespace {

using platform::ReadLE16;
using platform::ReadLE32;

constexpr std::uint64_t kBlockSectors = orma::kBlockSectors;
constexpr std::uint64_t kFrameAreaSectors = orma::kHeaderSectorInBlock;
// A frame entry's size value holds at most 255 sectors, so no frame is longer.
constexpr std::size_t kMaxFrameBytes = 255 * kSectorBytes;
constexpr std::size_t kHeaderBytes = orma::d88m::kPicture; // header, channel code, audio and status text

// What the index says, read once the scan knows where the drive's clusters are.
struct Geometry {
    bool known = false;
    std::uint64_t clusterSectors = 0, clusterCount = 0;
    std::uint32_t sectorBase = 0;
};

bool PlausibleTime(std::uint32_t t) {
    const int month = orma::Month(t), day = orma::Day(t);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && orma::Hour(t) < 24 && orma::Minute(t) < 60 &&
           orma::Second(t) < 60;
}

// The drive's cluster size and count from its marker sector, as the reader finds them: a whole drive
// by its size, an export image by the marker at its last 65536-sector boundary.
Geometry FindGeometry(IByteSource& source, bool image) {
    Geometry g;
    const std::uint64_t sectors = source.Size() / kSectorBytes;
    std::uint8_t marker[kSectorBytes];
    auto markerAt = [&](std::uint64_t sector) {
        return sector < sectors && ReadSectors(source, sector * kSectorBytes, marker, kSectorBytes) &&
               ReadLE32(marker) == orma::kMarkerMagic;
    };
    if (image) {
        const std::uint64_t at = sectors & ~std::uint64_t(0xFFFF);
        if (!markerAt(at))
            return g;
        g.clusterSectors = ReadLE32(marker + 8);
        g.clusterCount = ReadLE32(marker + 12);
        if (g.clusterSectors < kBlockSectors || g.clusterSectors % kBlockSectors || g.clusterCount == 0)
            return g;
        std::uint8_t d32m[kSectorBytes];
        if (!ReadSectors(source, (g.clusterSectors - 1) * kSectorBytes, d32m, kSectorBytes))
            return g;
        g.sectorBase = orma::D32M{d32m}.StartAddress();
    } else {
        if (sectors > 0xFFFFFFFFull)
            return g;
        const std::uint64_t C = orma::ClusterSizeForDrive(sectors);
        std::uint64_t n = sectors / C;
        if (sectors % C == 0)
            --n;
        if (markerAt(n * C))
            g.clusterCount = n;
        else if (markerAt((n + 1) * C))
            g.clusterCount = n + 1;
        else
            return g;
        g.clusterSectors = C;
    }
    g.known = true;
    return g;
}

class COrmaCarver {
public:
    COrmaCarver(IByteSource& source, const CarveOptions& options) : m_source(source), m_o(options) {}
    CarveReport Run();

private:
    void ScanBlock(std::uint64_t blockSector, const std::uint8_t* block, const std::uint8_t* nextBlock);
    std::optional<CarvedFrame> TryFrame(std::uint64_t sector, const std::uint8_t* at, std::size_t inBlock,
                                        const std::uint8_t* nextBlock, std::uint64_t nextBlockSector,
                                        std::uint64_t* sectorsUsed);
    bool Indexed(const CarvedFrame& f);
    const std::vector<std::uint8_t>& Record(std::map<std::uint64_t, std::vector<std::uint8_t>>& cache,
                                            std::uint64_t sector, std::size_t bytes);

    IByteSource& m_source;
    const CarveOptions& m_o;
    Geometry m_geo;
    CarveReport m_report;
    std::uint64_t m_skipUntil = 0; // sectors below this belong to a frame already taken
    std::vector<std::uint8_t> m_frame, m_picture, m_continuation;
    std::map<std::uint64_t, std::vector<std::uint8_t>> m_blockHeaders, m_clusterRecords;
};

std::optional<CarvedFrame> COrmaCarver::TryFrame(std::uint64_t sector, const std::uint8_t* at,
                                                 std::size_t inBlock, const std::uint8_t* nextBlock,
                                                 std::uint64_t nextBlockSector, std::uint64_t* sectorsUsed) {
    namespace f = orma::d88m;
    const std::size_t length = std::size_t(ReadLE16(at + f::kLength)) * 2;
    const std::uint32_t chunks = ReadLE16(at + f::kAudioChunks);
    const std::size_t extraAt = std::size_t(ReadLE16(at + f::kAudioOffset)) * 2;
    const std::uint32_t time = platform::ReadSwapped32(at + f::kTime);
    const std::uint8_t year = at[f::kYear];
    if (length <= kHeaderBytes || length > kMaxFrameBytes || !PlausibleTime(time))
        return std::nullopt;
    // The picture is stored as big-endian words: on disk it begins D8 FF DB FF.
    if (at[kHeaderBytes] != 0xD8 || at[kHeaderBytes + 1] != 0xFF || at[kHeaderBytes + 2] != 0xDB ||
        at[kHeaderBytes + 3] != 0xFF)
        return std::nullopt;
    const std::size_t pictureEnd = chunks > 0 ? extraAt : length;
    if (pictureEnd <= kHeaderBytes || pictureEnd > length)
        return std::nullopt;
    const std::size_t pictureBytes = pictureEnd - kHeaderBytes;

    // The frame's bytes: from its sector to the block header, then on at the next block's start.
    const std::size_t frameBytes = (length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
    m_frame.assign(frameBytes, 0);
    const std::size_t here = std::min(frameBytes, inBlock);
    std::copy(at, at + here, m_frame.begin());
    if (here < frameBytes) {
        const std::size_t rest = frameBytes - here;
        if (nextBlock) {
            std::copy(nextBlock, nextBlock + rest, m_frame.begin() + static_cast<std::ptrdiff_t>(here));
        } else {
            m_continuation.resize(rest);
            ReadSectors(m_source, nextBlockSector * kSectorBytes, m_continuation.data(), rest);
            std::copy(m_continuation.begin(), m_continuation.end(),
                      m_frame.begin() + static_cast<std::ptrdiff_t>(here));
        }
    }
    m_picture.resize(pictureBytes);
    // Both ends of the picture are whole words (the header and every length count 16-bit words).
    for (std::size_t i = 0; i < pictureBytes; i += 2) {
        m_picture[i] = m_frame[kHeaderBytes + i + 1];
        m_picture[i + 1] = m_frame[kHeaderBytes + i];
    }
    if (!JpegDecodes(m_picture.data(), m_picture.size()))
        return std::nullopt;

    CarvedFrame out;
    out.sector = sector;
    out.time = orma::FormatTime(year, time);
    out.timeValue = time;
    out.year = year;
    out.kind = FrameKind::Jpeg;
    out.size = static_cast<std::uint32_t>(pictureBytes);
    int channel = 0;
    if (m_o.ormaModel == 101)
        channel = m_frame[f::kChannelField + 1] - 1;
    else if (m_o.ormaModel == 102)
        channel = m_frame[f::kChannelField + 1];
    else if (m_o.ormaModel >= 1 && m_o.ormaModel <= 16) {
        std::uint8_t area[f::kChannelCodeWords * 2];
        for (std::size_t i = 0; i < sizeof area; i += 2) {
            area[i] = m_frame[f::kChannelCode + i + 1];
            area[i + 1] = m_frame[f::kChannelCode + i];
        }
        channel = orma::DecodeChannel(m_o.ormaModel, area);
    }
    out.channel = channel < 0 || channel >= 16 ? 0 : channel;
    if (m_o.keepPayloads)
        out.payload = m_picture;
    *sectorsUsed = frameBytes / kSectorBytes;
    return out;
}

void COrmaCarver::ScanBlock(std::uint64_t blockSector, const std::uint8_t* block,
                            const std::uint8_t* nextBlock) {
    for (std::uint64_t h = 0; h < kFrameAreaSectors; ++h) {
        const std::uint64_t sector = blockSector + h;
        if (sector < m_skipUntil || sector < m_o.fromSector || sector > m_o.toSector)
            continue;
        const std::uint8_t* at = block + h * kSectorBytes;
        if (ReadLE16(at) != orma::kFrameMagic)
            continue;
        std::uint64_t used = 0;
        auto frame = TryFrame(sector, at, (kFrameAreaSectors - h) * kSectorBytes, nextBlock,
                              blockSector + kBlockSectors, &used);
        if (!frame)
            continue;
        const std::uint64_t inBlock = std::min<std::uint64_t>(used, kFrameAreaSectors - h);
        // A frame that runs over the header goes on at the next block's first sector.
        m_skipUntil = inBlock < used ? blockSector + kBlockSectors + (used - inBlock) : sector + used;
        h += inBlock - 1;
        m_report.frames.push_back(std::move(*frame));
    }
}

const std::vector<std::uint8_t>&
COrmaCarver::Record(std::map<std::uint64_t, std::vector<std::uint8_t>>& cache, std::uint64_t sector,
                    std::size_t bytes) {
    auto it = cache.find(sector);
    if (it == cache.end()) {
        std::vector<std::uint8_t> r(bytes);
        ReadSectors(m_source, sector * kSectorBytes, r.data(), bytes);
        it = cache.emplace(sector, std::move(r)).first;
    }
    return it->second;
}

// Whether the reader's index reaches a frame: the cluster's D32M names a segment, the frame's block
// header carries that segment, and one of its entries names the frame's first sector.
bool COrmaCarver::Indexed(const CarvedFrame& f) {
    if (!m_geo.known)
        return false;
    const std::uint64_t cluster = f.sector / m_geo.clusterSectors;
    if (cluster >= m_geo.clusterCount)
        return false;
    const std::uint64_t block = (f.sector % m_geo.clusterSectors) / kBlockSectors;
    const auto& d32m = Record(m_clusterRecords, (cluster + 1) * m_geo.clusterSectors - 1, kSectorBytes);
    const std::uint16_t segment = orma::D32M{d32m.data()}.SegmentId();
    if (segment == orma::kUnusedCluster)
        return false;
    const auto& header =
        Record(m_blockHeaders, cluster * m_geo.clusterSectors + block * kBlockSectors + kFrameAreaSectors,
               orma::kBlockHeaderKept);
    orma::Disk01M h{header.data()};
    if (h.SegmentId() != segment)
        return false;
    for (int i = 0; i <= h.LastEntry(); ++i)
        if ((h.EntrySize(i) >> 8) != 0 && std::uint64_t(h.EntrySector(i) - m_geo.sectorBase) == f.sector)
            return true;
    return false;
}

CarveReport COrmaCarver::Run() {
    const std::uint64_t sectors = m_source.Size() / kSectorBytes;
    if (sectors == 0) {
        m_report.error = "the source is empty";
        return m_report;
    }
    m_geo = FindGeometry(m_source, m_o.ormaImage);
    m_report.indexKnown = m_geo.known;
    const std::uint64_t last = std::min(m_o.toSector, sectors - 1);
    if (m_o.fromSector > last)
        return m_report;
    const std::uint64_t first = m_o.fromSector / kBlockSectors * kBlockSectors;
    const std::uint64_t end = (last / kBlockSectors + 1) * kBlockSectors;
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

const char* KindName(FrameKind kind) {
    switch (kind) {
    case FrameKind::Jpeg:
        return "jpeg";
    case FrameKind::Key:
        return "key";
    case FrameKind::Predicted:
        return "predicted";
    case FrameKind::Audio:
        return "audio";
    }
    return "?";
}

CarveReport CarveOrma(IByteSource& source, const CarveOptions& options) {
    return COrmaCarver(source, options).Run();
}

} // namespace recovery
