// Writes an ORMA drive or drive image, structure by structure, at the sectors the layout gives.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>

#include "platform/bytes.h"
#include "sim_orma/orma_sim.h"

namespace simorma {
namespace {

using platform::WriteBE16;
using platform::WriteLE16;
using platform::WriteLE32;
using platform::WriteSwapped32;

constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kBlockSectors = 2048;
constexpr std::uint32_t kFrameArea = 2044; // sectors of a block before its Disk01M header
constexpr std::uint32_t kMarkerMagic = 0xAA995599;
constexpr std::uint32_t kD32MMagic = 0xAA325532;
constexpr std::uint32_t kDisk01MMagic = 0xAA015501;
constexpr std::uint16_t kFrameMagic = 0x5588;
constexpr std::uint16_t kUnusedCluster = 0x55AA;
constexpr int kMaxEntries = 127;
constexpr int kMaxAlarms = 40;
constexpr std::size_t kHeaderBytes = 0x42A; // frame header, channel code, audio and status text
constexpr std::size_t kExtraChunkStride = 360;

class File {
public:
    explicit File(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644)) {}
    ~File() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    bool Resize(std::uint64_t bytes) { return ::ftruncate(m_fd, static_cast<off_t>(bytes)) == 0; }
    bool Write(std::uint64_t sector, const std::uint8_t* data, std::size_t bytes) {
        std::uint64_t offset = sector * kSector;
        while (bytes) {
            ssize_t n = ::pwrite(m_fd, data, bytes, static_cast<off_t>(offset));
            if (n <= 0)
                return false;
            data += n;
            bytes -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
        return true;
    }

private:
    int m_fd;
};

struct Entry {
    Stamp time;
    std::uint32_t sector;
    std::uint16_t size;
};

class Recorder {
public:
    Recorder(const Options& o, File& f, Result& r) : m_o(o), m_file(f), m_r(r) {}

    bool Run();

private:
    struct Built {
        std::vector<std::uint8_t> bytes;
        FrameInfo info;
    };
    std::uint32_t C() const { return m_r.clusterSectors; }
    std::uint32_t P() const { return m_r.clusterSectors / kBlockSectors; }
    std::uint32_t Abs(std::uint64_t fileSector) const {
        return static_cast<std::uint32_t>(fileSector + m_r.sectorBase);
    }
    Built BuildFrame(std::uint16_t segId, Stamp t);
    // Writes the frames of one block; returns the frames written, the continuation sectors it left at
    // the start of the next block in *carry, and the last frame's sector in *lastSector.
    bool WriteBlock(std::uint16_t segId, std::uint32_t cluster, std::uint32_t block, bool nextBlockRecorded,
                    const std::function<Stamp()>& nextTime, std::uint32_t* carry, std::uint32_t* lastSector,
                    Stamp* first, Stamp* last, int* count);
    bool WriteD32M(std::uint32_t cluster, std::uint16_t segId, Stamp first, Stamp last,
                   std::uint32_t endSector, int alarms);
    bool Fail(const std::string& what) {
        m_r.error = what;
        return false;
    }

    const Options& m_o;
    File& m_file;
    Result& m_r;
    std::uint64_t m_frameCount = 0; // frames of the whole recording, for channel rotation and damage
    std::uint64_t m_audioSample = 0;
    std::uint32_t m_blockEnd = 0; // sector after the last frame WriteBlock wrote, from its block start
    std::vector<std::uint8_t> m_lastPicture;
    std::uint64_t m_lastPictureNumber = ~0ull;
};

Recorder::Built Recorder::BuildFrame(std::uint16_t segId, Stamp t) {
    Built out;
    const std::uint64_t g = m_frameCount++;
    const std::uint64_t pictureNumber = g / static_cast<std::uint64_t>(std::max(1, m_o.fieldsPerPicture));
    const int channel =
        static_cast<int>(pictureNumber % static_cast<std::uint64_t>(std::max(1, m_o.channels)));
    if (pictureNumber != m_lastPictureNumber) {
        m_lastPicture = MakePicture(m_o.width, m_o.height, m_o.quality, channel,
                                    static_cast<int>(pictureNumber), FormatStamp(t), m_o.tagPictures);
        if (m_lastPicture.size() % 2)
            m_lastPicture.push_back(0);
        m_lastPictureNumber = pictureNumber;
    }
    const std::vector<std::uint8_t>& jpeg = m_lastPicture;
    const int extra =
        m_o.extraAudioEvery > 0 && (g + 1) % static_cast<std::uint64_t>(m_o.extraAudioEvery) == 0
            ? std::max(1, m_o.extraAudioChunks)
            : 0;
    const std::size_t chunk = m_o.pal ? 352 : 294;
    const std::size_t jpegEnd = kHeaderBytes + jpeg.size();
    std::size_t total = jpegEnd;
    if (extra > 0)
        total = jpegEnd + kExtraChunkStride * static_cast<std::size_t>(extra - 1) + chunk;
    total = (total + 1) & ~std::size_t(1);
    out.bytes.assign((total + kSector - 1) / kSector * kSector, 0);
    std::uint8_t* f = out.bytes.data();

    const bool magic = !(m_o.damage.missingFrameMagicEvery > 0 &&
                         (g + 1) % static_cast<std::uint64_t>(m_o.damage.missingFrameMagicEvery) == 0);
    WriteLE16(f + 0x000, magic ? kFrameMagic : 0);
    const std::uint8_t channelByte = static_cast<std::uint8_t>(m_o.model == 102 ? channel : channel + 1);
    f[0x002] = static_cast<std::uint8_t>(g % static_cast<std::uint64_t>(std::max(1, m_o.fieldsPerPicture)));
    f[0x003] = channelByte;
    WriteLE16(f + 0x004, static_cast<std::uint16_t>(total / 2));
    WriteLE16(f + 0x006, segId);
    WriteLE32(f + 0x008, static_cast<std::uint32_t>(g));
    WriteLE16(f + 0x00C, static_cast<std::uint16_t>(extra));
    WriteLE16(f + 0x00E, static_cast<std::uint16_t>(extra > 0 ? jpegEnd / 2 : 0));
    WriteSwapped32(f + 0x010, t.packed);
    f[0x014] = 0;
    f[0x015] = t.year;
    if (m_o.model >= 1 && m_o.model <= 16)
        EncodeChannelCode(m_o.model, channel, f + 0x016);
    WriteLE32(f + 0x28E, static_cast<std::uint32_t>(g));
    WriteLE32(f + 0x292, static_cast<std::uint32_t>(channel));
    WriteLE32(f + 0x296, 0x12345678);

    // Audio: 8-bit signed stereo at 8820 samples per second, a 441 Hz tone left and 882 Hz right.
    auto fillChunk = [&](std::uint8_t* p) {
        for (std::size_t i = 0; i + 1 < chunk; i += 2, ++m_audioSample) {
            double s = static_cast<double>(m_audioSample) / 8820.0;
            p[i] = static_cast<std::uint8_t>(
                static_cast<std::int8_t>(std::lround(60 * std::sin(2 * M_PI * 441 * s))));
            p[i + 1] = static_cast<std::uint8_t>(
                static_cast<std::int8_t>(std::lround(40 * std::sin(2 * M_PI * 882 * s))));
        }
    };
    for (int i = 0; i < extra; ++i)
        fillChunk(f + jpegEnd + kExtraChunkStride * static_cast<std::size_t>(i));
    fillChunk(f + 0x29A);

    // Status text: 40 characters stored as big-endian 16-bit words.
    char text[41] = {};
    std::snprintf(text, sizeof text, "CH%02d %s SEG%u", channel + 1, FormatStamp(t).c_str(), segId);
    for (int i = 0; i < 40; i += 2) {
        f[0x402 + i] = static_cast<std::uint8_t>(text[i + 1]);
        f[0x402 + i + 1] = static_cast<std::uint8_t>(text[i]);
    }
    for (std::size_t i = 0; i < jpeg.size(); i += 2) {
        f[kHeaderBytes + i] = jpeg[i + 1];
        f[kHeaderBytes + i + 1] = jpeg[i];
    }

    out.info.segmentId = segId;
    out.info.time = t;
    out.info.channel = magic ? channel : -1;
    out.info.pictureBytes =
        static_cast<std::uint32_t>(extra > 0 ? jpegEnd - kHeaderBytes : total - kHeaderBytes);
    out.info.audioBytes = static_cast<std::uint32_t>(chunk * static_cast<std::size_t>(extra + 1));
    out.info.extraChunks = extra;
    out.info.straddles = false;
    out.info.listed = !(m_o.damage.smallFrameSizeEvery > 0 &&
                        (g + 1) % static_cast<std::uint64_t>(m_o.damage.smallFrameSizeEvery) == 0);
    return out;
}

bool Recorder::WriteBlock(std::uint16_t segId, std::uint32_t cluster, std::uint32_t block,
                          bool nextBlockRecorded, const std::function<Stamp()>& nextTime,
                          std::uint32_t* carry, std::uint32_t* lastSector, Stamp* first, Stamp* last,
                          int* count) {
    const std::uint64_t blockStart = std::uint64_t(cluster) * C() + std::uint64_t(block) * kBlockSectors;
    std::uint32_t s = *carry;
    *carry = 0;
    std::vector<Entry> entries;
    const int want = std::clamp(m_o.framesPerBlock, 0, kMaxEntries);
    for (int i = 0; i < want; ++i) {
        Built frame = BuildFrame(segId, nextTime());
        const std::uint32_t sectors = static_cast<std::uint32_t>(frame.bytes.size() / kSector);
        if (sectors > 255)
            return Fail("a frame needs more than 255 sectors; make the pictures smaller");
        std::uint32_t h = s;
        // A block's first frame always starts at the block start; a later last frame may run over the header.
        const bool straddle = m_o.straddle && i > 0 && i == want - 1 && nextBlockRecorded;
        if (straddle) {
            h = std::max(s, kFrameArea - (sectors + 1) / 2);
            if (h >= kFrameArea) {
                --m_frameCount;
                break;
            }
        } else if (s + sectors > kFrameArea) {
            --m_frameCount;
            break;
        }
        const std::size_t inBlock =
            std::min<std::size_t>(frame.bytes.size(), std::size_t(kFrameArea - h) * kSector);
        if (!m_file.Write(blockStart + h, frame.bytes.data(), inBlock))
            return Fail("write failed");
        if (inBlock < frame.bytes.size()) {
            if (!m_file.Write(blockStart + kBlockSectors, frame.bytes.data() + inBlock,
                              frame.bytes.size() - inBlock))
                return Fail("write failed");
            *carry = static_cast<std::uint32_t>((frame.bytes.size() - inBlock) / kSector);
            frame.info.straddles = true;
        }
        s = h + sectors;
        Entry e{frame.info.time, Abs(blockStart + h),
                static_cast<std::uint16_t>(frame.info.listed ? sectors << 8 : 0x00FF)};
        entries.push_back(e);
        if (entries.size() == 1)
            *first = e.time;
        *last = e.time;
        *lastSector = e.sector;
        ++m_r.framesWritten;
        if (m_o.recordFrames) {
            frame.info.cluster = cluster;
            frame.info.block = block;
            frame.info.entry = static_cast<std::uint32_t>(entries.size() - 1);
            frame.info.sector = e.sector;
            m_r.frames.push_back(frame.info);
        }
        if (*carry)
            break;
    }
    std::uint8_t header[4 * kSector] = {};
    WriteLE32(header, kDisk01MMagic);
    WriteLE16(header + 4, segId);
    WriteLE16(header + 6, entries.empty() ? 0xFFFF : static_cast<std::uint16_t>(entries.size() - 1));
    WriteLE32(header + 8, block);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint8_t* p = header + 0x0C + 12 * i;
        WriteSwapped32(p, entries[i].time.packed);
        WriteSwapped32(p + 4, entries[i].sector);
        WriteBE16(p + 8, entries[i].size);
        p[11] = entries[i].time.year;
    }
    for (const auto& [c, b] : m_o.damage.staleDisk01M) {
        if (c != cluster || b != block)
            continue;
        // The header an older pass left: its own segment, and frames of other sizes a day earlier.
        WriteLE16(header + 4, static_cast<std::uint16_t>(segId ^ 0x4000));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            std::uint8_t* p = header + 0x0C + 12 * i;
            WriteSwapped32(p + 4, entries[i].sector + 1);
            p[11] = static_cast<std::uint8_t>(entries[i].time.year - 1);
        }
    }
    for (const auto& [c, b] : m_o.damage.brokenDisk01M)
        if (c == cluster && b == block)
            WriteLE32(header, 0xDEADBEEF);
    for (const Damage::Field& d : m_o.damage.fields) {
        if (d.cluster != cluster || d.block != block)
            continue;
        if (d.kind == Damage::Field::PictureNumber)
            WriteLE16(header + 6, static_cast<std::uint16_t>(d.value));
        else if (d.kind == Damage::Field::PicturePosition && d.entry < kMaxEntries)
            WriteSwapped32(header + 0x0C + 12 * d.entry + 4, d.value);
    }
    *count = static_cast<int>(entries.size());
    m_blockEnd = s;
    return m_file.Write(blockStart + kFrameArea, header, sizeof header) || Fail("write failed");
}

bool Recorder::WriteD32M(std::uint32_t cluster, std::uint16_t segId, Stamp first, Stamp last,
                         std::uint32_t endSector, int alarms) {
    std::uint8_t rec[kSector] = {};
    WriteLE32(rec, kD32MMagic);
    WriteSwapped32(rec + 0x04, first.packed);
    WriteSwapped32(rec + 0x08, Abs(std::uint64_t(cluster) * C()));
    WriteSwapped32(rec + 0x0C, last.packed);
    WriteSwapped32(rec + 0x10, endSector);
    WriteLE16(rec + 0x14, segId);
    const int n = std::clamp(alarms, -1, kMaxAlarms);
    WriteLE16(rec + 0x16, n <= 0 ? 0xFFFF : static_cast<std::uint16_t>(n - 1));
    if (alarms == -1)
        WriteLE16(rec + 0x16, 0xFFFF);
    rec[0x18] = first.year;
    rec[0x19] = last.year;
    for (int j = 0; j < n; ++j) {
        std::uint8_t* p = rec + 0x20 + 12 * j;
        WriteSwapped32(p, first.packed);
        WriteSwapped32(p + 4, Abs(std::uint64_t(cluster) * C() + std::uint64_t(j % P()) * kBlockSectors));
        WriteBE16(p + 8, static_cast<std::uint16_t>(0x100 + j));
        p[10] = static_cast<std::uint8_t>(j % std::max(1, m_o.channels)); // the camera that raised it
        p[11] = first.year;
        ++m_r.alarmsWritten;
    }
    for (std::uint32_t c : m_o.damage.brokenD32M)
        if (c == cluster)
            WriteLE32(rec, 0x0BADF00D);
    for (const Damage::Field& d : m_o.damage.fields) {
        if (d.cluster != cluster)
            continue;
        if (d.kind == Damage::Field::StartAddress)
            WriteSwapped32(rec + 0x08, d.value);
        else if (d.kind == Damage::Field::EndAddress)
            WriteSwapped32(rec + 0x10, d.value);
        else if (d.kind == Damage::Field::EventNumber)
            WriteLE16(rec + 0x16, static_cast<std::uint16_t>(d.value));
        else if (d.kind == Damage::Field::EventPosition && d.entry < kMaxAlarms)
            WriteSwapped32(rec + 0x20 + 12 * d.entry + 4, d.value);
    }
    if (std::find(m_o.damage.staleD32M.begin(), m_o.damage.staleD32M.end(), cluster) !=
        m_o.damage.staleD32M.end()) {
        std::memset(rec, 0, sizeof rec);
        WriteLE32(rec, kD32MMagic);
        WriteLE16(rec + 0x14, kUnusedCluster);
        WriteLE16(rec + 0x16, 0xFFFF);
    }
    if (std::find(m_o.damage.zeroedD32M.begin(), m_o.damage.zeroedD32M.end(), cluster) !=
        m_o.damage.zeroedD32M.end())
        std::memset(rec, 0, sizeof rec);
    return m_file.Write(std::uint64_t(cluster + 1) * C() - 1, rec, sizeof rec) || Fail("write failed");
}

bool Recorder::Run() {
    const std::uint32_t N = m_r.clusterCount;
    std::uint64_t used = 0;
    for (const Segment& s : m_o.segments)
        used += s.clusters;
    // Every cluster starts unused; the recorded ones are overwritten below.
    for (std::uint32_t c = 0; c < N; ++c)
        if (!WriteD32M(c, kUnusedCluster, {}, {}, 0, 0))
            return false;

    const std::uint32_t start = m_o.image ? 0 : m_o.firstCluster % N;
    std::uint32_t position = 0; // clusters in recording order so far
    Stamp newestEnd{};
    std::int64_t newestEndSeconds = 0;
    for (const Segment& seg : m_o.segments) {
        std::uint64_t planned = 0;
        for (std::uint32_t ci = 0; ci < seg.clusters; ++ci) {
            std::uint32_t blocks =
                ci + 1 == seg.clusters && seg.lastClusterBlocks ? std::min(seg.lastClusterBlocks, P()) : P();
            planned += std::uint64_t(blocks) * static_cast<std::uint64_t>(std::max(1, m_o.framesPerBlock));
        }
        std::uint64_t k = 0;
        auto timeOf = [&](std::uint64_t index) {
            std::int64_t span = planned > 1 ? seg.seconds * static_cast<std::int64_t>(index) /
                                                  static_cast<std::int64_t>(planned - 1)
                                            : 0;
            return StampAt(seg.start + span);
        };
        auto nextTime = [&]() { return timeOf(k++); };
        for (std::uint32_t ci = 0; ci < seg.clusters; ++ci, ++position) {
            const std::uint32_t cluster = (start + position) % N;
            const std::uint32_t blocks =
                ci + 1 == seg.clusters && seg.lastClusterBlocks ? std::min(seg.lastClusterBlocks, P()) : P();
            Stamp first{}, last{};
            std::uint32_t endSector = Abs(std::uint64_t(cluster) * C());
            const bool content = !m_o.sparseContent || ci == 0 || ci + 1 == seg.clusters;
            if (content) {
                std::uint32_t carry = 0;
                bool any = false;
                for (std::uint32_t b = 0; b < blocks; ++b) {
                    Stamp f{}, l{};
                    int count = 0;
                    std::uint32_t lastSector = 0;
                    if (!WriteBlock(seg.id, cluster, b, b + 1 < blocks, nextTime, &carry, &lastSector, &f, &l,
                                    &count))
                        return false;
                    if (count > 0) {
                        if (!any)
                            first = f;
                        any = true;
                        last = l;
                        endSector = lastSector;
                    }
                }
            } else {
                const std::uint64_t n =
                    std::uint64_t(blocks) * static_cast<std::uint64_t>(std::max(1, m_o.framesPerBlock));
                first = timeOf(k);
                last = timeOf(k + n - 1);
                k += n;
                m_frameCount += n;
                endSector = Abs(std::uint64_t(cluster) * C() + std::uint64_t(blocks - 1) * kBlockSectors);
            }
            if (!WriteD32M(cluster, seg.id, first, last, endSector, seg.alarmsPerCluster))
                return false;
        }
        newestEnd = timeOf(planned ? planned - 1 : 0);
        newestEndSeconds = seg.start + seg.seconds;
    }
    (void)newestEnd;

    if (m_o.wrapped && !m_o.image && !m_o.segments.empty()) {
        // The newest segment has gone on into the oldest cluster: its first blocks carry the newest
        // segment's frames, while that cluster's D32M still describes the oldest segment.
        const Segment& newest = m_o.segments.back();
        std::int64_t t = newestEndSeconds;
        auto nextTime = [&]() { return StampAt(++t); };
        std::uint32_t carry = 0;
        const std::uint32_t blocks = std::min(std::max(1u, m_o.overwrittenBlocks), P());
        const std::size_t before = m_r.frames.size();
        std::vector<std::uint32_t> newEnd(blocks, 0);
        for (std::uint32_t b = 0; b < blocks; ++b) {
            Stamp f{}, l{};
            int count = 0;
            std::uint32_t lastSector = 0;
            if (!WriteBlock(newest.id, start, b, b + 1 < blocks, nextTime, &carry, &lastSector, &f, &l,
                            &count))
                return false;
            newEnd[b] = m_blockEnd;
        }
        if (m_o.recordFrames) {
            // The older frames of those blocks are gone where the new ones were written; a frame that
            // began behind them (and ran into no rewritten block) is still whole, but its block header
            // is the new pass's now. The new frames' cluster keeps the oldest segment's D32M.
            std::vector<FrameInfo> kept;
            for (std::size_t i = 0; i < m_r.frames.size(); ++i) {
                FrameInfo fi = m_r.frames[i];
                if (i >= before) {
                    fi.indexed = fi.listed && newest.id == m_o.segments.front().id;
                } else if (fi.cluster == start && fi.block < blocks) {
                    const std::uint32_t h =
                        fi.sector - Abs(std::uint64_t(start) * C() + std::uint64_t(fi.block) * kBlockSectors);
                    fi.overwritten = h < newEnd[fi.block] || (fi.straddles && fi.block + 1 < blocks);
                    fi.indexed = false;
                }
                kept.push_back(fi);
            }
            m_r.frames = std::move(kept);
        }
    }
    m_r.writeCluster = m_o.image ? 0 : (m_o.wrapped ? start : static_cast<std::uint32_t>((start + used) % N));

    // The marker sector at the start of the system area.
    std::uint8_t marker[kSector] = {};
    WriteLE32(marker, m_o.damage.brokenMarker ? 0 : kMarkerMagic);
    const std::uint32_t claimed = N + (m_o.image ? m_o.damage.unreadableTailClusters : 0);
    if (m_o.image) {
        WriteLE32(marker + 4, claimed * C());
        WriteLE32(marker + 8, C());
        WriteLE32(marker + 12, claimed);
    } else {
        WriteSwapped32(marker + 4, N * C());
        WriteSwapped32(marker + 8, C());
        WriteSwapped32(marker + 12, N);
        WriteSwapped32(marker + 16, m_r.writeCluster * C());
    }
    Stamp now = StampAt(newestEndSeconds);
    WriteSwapped32(marker + 32, now.packed);
    WriteLE32(marker + 36, 0x56781234);
    marker[47] = now.year;
    WriteLE32(marker + 48, m_o.wrapped ? 1 : 0);
    WriteLE32(marker + 52, 0x24681357);
    for (int i = 56; i < 512; ++i)
        marker[i] = static_cast<std::uint8_t>(i);
    return m_file.Write(m_r.systemStart, marker, sizeof marker) || Fail("write failed");
}

// Which frames the damaged index still reaches (FrameInfo::indexed). Wrap overwrites were settled
// while recording.
void MarkIndexed(const Options& o, Result* r) {
    auto has = [](const std::vector<std::uint32_t>& v, std::uint32_t c) {
        return std::find(v.begin(), v.end(), c) != v.end();
    };
    for (FrameInfo& f : r->frames) {
        if (!f.listed || has(o.damage.zeroedD32M, f.cluster) || has(o.damage.staleD32M, f.cluster))
            f.indexed = false;
        for (const auto& [c, b] : o.damage.staleDisk01M)
            if (c == f.cluster && b == f.block)
                f.indexed = false;
        for (const Damage::Field& d : o.damage.fields) {
            if (d.cluster != f.cluster || d.block != f.block)
                continue;
            if (d.kind == Damage::Field::PicturePosition && d.entry == f.entry && d.value != f.sector)
                f.indexed = false;
            const int last =
                d.value == 0xFFFF ? -1 : static_cast<int>(std::min<std::uint32_t>(d.value, kMaxEntries - 1));
            if (d.kind == Damage::Field::PictureNumber && static_cast<int>(f.entry) > last)
                f.indexed = false;
        }
    }
}

} // namespace

Result Write(const std::string& path, const Options& o) {
    Result r;
    if (o.segments.empty()) {
        r.error = "no segments to record";
        return r;
    }
    std::uint64_t used = 0;
    for (const Segment& s : o.segments) {
        if (s.clusters == 0 || s.id == kUnusedCluster) {
            r.error = "a segment needs at least one cluster and an id other than 0x55AA";
            return r;
        }
        used += s.clusters;
    }
    std::uint64_t fileBytes = 0;
    if (o.image) {
        r.clusterSectors = o.clusterSectors ? o.clusterSectors : 65536;
        r.clusterCount = o.clusterCount ? o.clusterCount : static_cast<std::uint32_t>(used);
        r.sectorBase = o.imageFirstCluster * r.clusterSectors;
        fileBytes = (std::uint64_t(r.clusterCount) * r.clusterSectors + 1) * kSector;
    } else {
        std::uint64_t t = o.driveSectors;
        if (t == 0) {
            std::uint32_t c = o.clusterSectors ? o.clusterSectors : 65536;
            t = (std::max<std::uint64_t>(used, o.firstCluster + 1) + (o.wrapped ? 0 : 1)) * c +
                2 * kBlockSectors;
        }
        r.clusterSectors = o.clusterSectors ? o.clusterSectors : RecorderClusterSectors(t);
        std::uint64_t n = t / r.clusterSectors;
        if (t % r.clusterSectors == 0)
            --n;
        r.clusterCount = static_cast<std::uint32_t>(n);
        fileBytes = t * kSector;
    }
    if (r.clusterSectors < kBlockSectors || r.clusterSectors % kBlockSectors) {
        r.error = "the cluster size must be a whole number of 1 MiB blocks";
        return r;
    }
    if (r.clusterCount == 0 || used > r.clusterCount || (o.wrapped && used != r.clusterCount)) {
        r.error = "the segments need " + std::to_string(used) + " clusters, the drive has " +
                  std::to_string(r.clusterCount) + (o.wrapped ? " (a wrapped recording fills them all)" : "");
        return r;
    }
    if (std::uint64_t(r.clusterCount) * r.clusterSectors > 0xFFFFFFFFull) {
        r.error = "the system area would lie beyond the last 32-bit sector number";
        return r;
    }
    r.systemStart = r.clusterCount * r.clusterSectors;
    File file(path);
    if (!file.Ok() || !file.Resize(fileBytes)) {
        r.error = path + ": " + std::strerror(errno);
        return r;
    }
    Recorder rec(o, file, r);
    if (!rec.Run())
        return r;
    MarkIndexed(o, &r);
    if (o.damage.truncateSectors) {
        std::uint64_t cut =
            std::min<std::uint64_t>(fileBytes, std::uint64_t(o.damage.truncateSectors) * kSector);
        fileBytes -= cut;
        if (!file.Resize(fileBytes))
            r.error = "truncate failed";
    }
    r.fileBytes = fileBytes;
    return r;
}

} // namespace simorma
