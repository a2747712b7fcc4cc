#include "sim_tav/tav_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "sim_m4v/m4v_encoder.h"

namespace sim_tav {
namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr u32 kBlock = 2048;
constexpr u32 kTail = 553;

void Le16(u8* p, u16 v) {
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
}
void Le32(u8* p, u32 v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<u8>(v >> (8 * i));
}

// A drive file written at byte offsets; everything not written stays a hole.
class DriveFile {
public:
    DriveFile(const std::string& path, u64 bytes, bool truncate) {
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | (truncate ? O_TRUNC : 0), 0644);
        if (m_fd < 0)
            throw std::runtime_error("cannot create " + path);
        if (truncate && ::ftruncate(m_fd, static_cast<off_t>(bytes)) != 0) {
            ::close(m_fd);
            throw std::runtime_error("cannot size " + path);
        }
    }
    ~DriveFile() { ::close(m_fd); }
    DriveFile(const DriveFile&) = delete;
    DriveFile& operator=(const DriveFile&) = delete;

    void Write(u64 offset, const void* data, std::size_t size) {
        const u8* p = static_cast<const u8*>(data);
        while (size) {
            ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(offset));
            if (n <= 0)
                throw std::runtime_error("write failed");
            p += n;
            offset += static_cast<u64>(n);
            size -= static_cast<std::size_t>(n);
        }
    }
    void Read(u64 offset, void* data, std::size_t size) {
        std::memset(data, 0, size);
        ssize_t n = ::pread(m_fd, data, size, static_cast<off_t>(offset));
        (void)n;
    }
    void WriteSectorWord(u32 sector, u32 value) {
        u8 b[4];
        Le32(b, value);
        Write(u64(sector) * 512, b, 4);
    }

private:
    int m_fd = -1;
};

// A little bit writer, most significant bit first, for the video-object-layer header.
class BitWriter {
public:
    void Put(u32 value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (m_bit == 0)
                m_out.push_back(0);
            if ((value >> i) & 1)
                m_out.back() |= static_cast<u8>(0x80 >> m_bit);
            m_bit = (m_bit + 1) & 7;
        }
    }
    // next_start_code(): a zero bit then ones up to the byte boundary.
    void Stuff() {
        Put(0, 1);
        while (m_bit != 0)
            Put(1, 1);
    }
    std::vector<u8> m_out;

private:
    int m_bit = 0;
};

struct PacketSpec {
    u32 time = 0;
    u8 channel = 0;
    u8 type = 0; // reduced
    u32 frameNo = 0;
    u32 timestamp = 0;
    u32 sub = 0; // frame of its channel within the second
};

class Recorder {
public:
    Recorder(const std::string& path, const RecorderOptions& o) : m_o(o) {
        u32 total = o.totalSectors ? o.totalSectors : (o.gib << 21) + o.extraSectors;
        m_g = GeometryFor(total);
        if (m_g.N < 3)
            throw std::runtime_error("drive too small for a TAV layout");
        m_file = std::make_unique<DriveFile>(path, u64(total) * 512, true);
        m_rec.geo = m_g;
        m_frameNo.assign(16, 0);
        CheckPictures();
    }

    // A stream file: no drive layout, only the packets one after another.
    explicit Recorder(const RecorderOptions& o) : m_o(o) {
        m_frameNo.assign(16, 0);
        CheckPictures();
    }

    std::vector<RecordedPacket> RunStream(const std::string& path) {
        DriveFile file(path, 0, true);
        m_time = m_o.startTime;
        m_tsBase = m_o.startTime;
        std::vector<RecordedPacket> out;
        u64 offset = 0;
        for (u32 i = 0; i < m_o.streamPackets; ++i) {
            PacketSpec spec = NextSpec();
            u32 size = 0;
            std::vector<u8> bytes = Packet(spec, &size);
            file.Write(offset, bytes.data(), bytes.size());
            RecordedPacket rp;
            rp.entry = i;
            rp.offset = static_cast<u32>(offset);
            rp.time = spec.time;
            rp.size = size;
            rp.channel = spec.channel;
            rp.type = spec.type;
            rp.timestamp = spec.timestamp;
            out.push_back(rp);
            offset += bytes.size();
        }
        return out;
    }

    Recording Run() {
        u32 F = m_o.protectedSegments ? std::max(m_o.firstSegment, m_o.protectedSegments) : m_o.firstSegment;
        if (F > m_g.N - 2)
            throw std::runtime_error("first segment outside the data segments");
        m_first = F;
        if (m_o.protectedSegments)
            RecordProtected();
        m_time = m_o.startTime;
        m_tsBase = m_o.startTime;
        u16 seq = m_o.startSequence;
        std::vector<Written> pass1;
        u32 last = m_o.wrapped ? m_g.N - 2 : std::min(m_g.N - 2, F + std::max<u32>(m_o.segments, 1) - 1);
        for (u32 s = F; s <= last; ++s)
            pass1.push_back(RecordSegment(s, seq++, 0, m_o.blocksPerSegment, nullptr));
        std::vector<Written> pass2;
        if (m_o.wrapped) {
            u32 W = std::min(std::max(m_o.wrapNewest, F), m_g.N - 2);
            for (u32 s = F; s <= W; ++s) {
                Written& old = pass1[s - F];
                u32 upto = s == W ? std::min(m_o.wrapStaleBlock, m_o.blocksPerSegment) : m_o.blocksPerSegment;
                pass2.push_back(RecordSegment(s, seq++, 0, upto, s == W ? &old : nullptr));
            }
            // Survivors in time order: the stale part of W, W+1 .. N-2, then the second pass.
            Written& w1 = pass1[W - F];
            u32 stale = std::min(m_o.wrapStaleBlock, m_o.blocksPerSegment);
            for (const RecordedPacket& p : w1.packets)
                if (p.block >= stale)
                    m_rec.packets.push_back(p);
            for (u32 s = W + 1; s <= m_g.N - 2; ++s)
                Append(pass1[s - F]);
            for (auto& w : pass2)
                Append(w);
            m_rec.newestSegment = W;
            m_rec.oldestSegment = stale < m_o.blocksPerSegment ? W : (W + 1 <= m_g.N - 2 ? W + 1 : F);
            for (u32 s = F; s <= m_g.N - 2; ++s)
                m_rec.segments.push_back(s <= W ? pass2[s - F].info : pass1[s - F].info);
        } else {
            for (auto& w : pass1) {
                Append(w);
                m_rec.segments.push_back(w.info);
            }
            m_rec.oldestSegment = F;
            m_rec.newestSegment = last;
        }
        if (!m_rec.packets.empty()) {
            m_rec.firstTime = m_rec.packets.front().time;
            m_rec.lastTime = m_rec.packets.back().time;
        }
        WriteHeader();
        WriteSystemLog();
        ApplyDamage();
        return std::move(m_rec);
    }

private:
    struct Written {
        SegmentInfo info;
        std::vector<RecordedPacket> packets;
    };

    void Append(const Written& w) {
        m_rec.packets.insert(m_rec.packets.end(), w.packets.begin(), w.packets.end());
    }

    u64 SectorByte(u32 sector) const { return u64(sector) * 512; }
    u32 BlockSector(u32 s, u32 b) const { return s * m_g.S + b * kBlock; }
    u32 DataSectors(u32 b) const { return b + 1 == m_g.B ? 1996 : 2008; }
    u32 IndexSector(u32 s, u32 b) const { return BlockSector(s, b) + DataSectors(b); }
    u32 TrailerSector(u32 s) const { return (s + 1) * m_g.S - 12; }

    PacketSpec NextSpec() {
        if (m_pending.empty()) {
            for (int f = 0; f < m_o.framesPerSecond; ++f)
                for (int c = 0; c < m_o.channels; ++c) {
                    PacketSpec p;
                    p.channel = static_cast<u8>(c);
                    p.frameNo = m_frameNo[c]++;
                    p.type = p.frameNo % static_cast<u32>(std::max(1, m_o.keyInterval)) == 0 ? 0x81 : 0x82;
                    p.time = m_time;
                    p.timestamp = Timestamp(m_time, f, m_o.framesPerSecond, c);
                    p.sub = static_cast<u32>(f);
                    m_pending.push_back(p);
                }
            if (m_o.audioFormat)
                for (int a = 0; a < m_o.audioPerSecond; ++a) {
                    PacketSpec p;
                    p.channel = static_cast<u8>(m_o.audioChannel);
                    p.type = 0x84;
                    p.frameNo = m_audioNo++;
                    p.time = m_time;
                    p.timestamp = Timestamp(m_time, a, m_o.audioPerSecond, 0);
                    m_pending.push_back(p);
                }
            ++m_time;
        }
        PacketSpec p = m_pending.front();
        m_pending.erase(m_pending.begin());
        return p;
    }

    // The 90 kHz-like stamp whose x 108 / 10^7 scaling gives back whole seconds since the start.
    // The 90 kHz-like presentation time (units of 10.8 us) of the `index`-th of `perSecond` packets of one
    // stream in second `time`: spread evenly over the second, as a recorder stamps what it captures, with
    // `order` units more for each channel so that packets of one instant still come out in order.
    u32 Timestamp(u32 time, int index, int perSecond, int order) const {
        const u64 second = 10000000ull / 108ull;
        u64 ts = u64(time - m_tsBase) * 10000000ull / 108ull +
                 u64(index) * second / u64(std::max(1, perSecond)) + u64(order) * 7;
        return static_cast<u32>(ts);
    }

    std::vector<u8> Packet(const PacketSpec& p, u32* size) {
        std::vector<u8> out;
        bool video = p.type != 0x84;
        if (!video) {
            if (m_o.audioFormat == 1) {
                std::vector<u8> block(8 + 4096);
                u32 x = 0x12345u + p.frameNo * 977u;
                Le16(block.data(), static_cast<u16>(p.frameNo * 31));
                block[2] = static_cast<u8>(p.frameNo % 60);
                Le16(block.data() + 4, static_cast<u16>(-static_cast<int>(p.frameNo * 17)));
                block[6] = static_cast<u8>((p.frameNo + 7) % 60);
                for (std::size_t i = 8; i < block.size(); ++i) {
                    x = x * 1103515245u + 12345u;
                    block[i] = static_cast<u8>(x >> 16);
                }
                out = AdpcmPacket(block.data(), p.time, p.channel);
            } else {
                std::vector<u8> samples(2048);
                for (std::size_t i = 0; i < samples.size(); ++i)
                    samples[i] = static_cast<u8>(i * 7 + p.frameNo);
                out = G711Packet(samples.data(), m_o.audioFormat, p.time, p.channel);
            }
            WritePts(out.data(), p.timestamp);
            if (m_o.highTypes)
                out[19] = 0x94;
            *size = platform32(out.data() + 8);
            return out;
        }
        u32 n = p.frameNo;
        // The elementary stream: a key frame starts with the video object layer header.
        std::vector<u8> vol;
        if (p.type == 0x81)
            vol = VideoObjectLayerHeader(m_o.width, m_o.height, m_o.interlaced, m_o.aspectRatioInfo,
                                         m_o.volControlParameters);
        std::vector<u8> picture;
        u32 es = 0;
        if (m_o.realPictures) {
            picture = PictureVop(p);
            es = static_cast<u32>(vol.size() + picture.size());
        } else {
            es = p.type == 0x81 ? 1200 + (n * 37) % 600 : 300 + (n * 53) % 400;
        }
        if (m_o.largeKeyFrame > 32 && p.type == 0x81 && p.channel == 0 && n == 0)
            es = std::max(es, m_o.largeKeyFrame - 32);
        u32 sz = 32 + es;
        std::vector<u8> status = StatusRecord(p);
        u32 trailer = m_o.recorderKind == 0 ? 0 : 9 + static_cast<u32>(status.size());
        out.assign(32 + sz + trailer, 0);
        u8* b = out.data();
        if (m_o.recorderKind == 4)
            Le32(b, 0x4D484430);
        Le32(b + 4, p.time);
        Le32(b + 8, sz);
        b[18] = p.channel;
        b[19] = static_cast<u8>(p.type + (m_o.highTypes ? 0x10 : 0));
        char title[24];
        std::snprintf(title, sizeof title, "CAM%02u", (p.channel + 1) % 100u);
        std::memcpy(b + 20, title, std::strlen(title));
        b[32] = 0;
        b[33] = 0;
        b[34] = 1;
        b[35] = 0xE0;
        WritePts(b, p.timestamp);
        u32 pos = 64;
        if (!vol.empty()) {
            std::memcpy(b + pos, vol.data(), vol.size());
            pos += static_cast<u32>(vol.size());
        }
        if (m_o.realPictures) {
            // A padded picture is followed by zeros, which hold no start code.
            std::memcpy(b + pos, picture.data(), picture.size());
        } else {
            // A VOP start code and coding type, then filler.
            const u8 vop[4] = {0, 0, 1, 0xB6};
            std::memcpy(b + pos, vop, 4);
            pos += 4;
            b[pos++] = p.type == 0x81 ? 0x10 : 0x50;
            for (u32 k = pos; k < 32 + sz; ++k)
                b[k] = static_cast<u8>(0x80 | ((k * 13 + p.channel * 7 + n) & 0x7F));
        }
        if (trailer) {
            u8* t = b + 32 + sz;
            u32 tag = m_o.recorderKind == 32 ? 0x5241494C : (m_o.letterTags ? 0x4D544130 : 0x88221177);
            Le32(t, tag);
            Le32(t + 4, static_cast<u32>(status.size()));
            t[8] = m_o.recorderKind == 1 ? 3 : m_o.recorderKind == 8 ? 5 : m_o.recorderKind == 32 ? 0 : 1;
            std::memcpy(t + 9, status.data(), status.size());
        }
        *size = sz;
        return out;
    }

    void CheckPictures() const {
        if (!m_o.realPictures)
            return;
        int w = m_o.width, h = m_o.height;
        if (w % 16 || h % 16 || w < simm4v::kTagColumns * simm4v::kTagBlockSize ||
            h < simm4v::kTagRows * simm4v::kTagBlockSize || w > simm4v::kMaxPictureSide ||
            h > simm4v::kMaxPictureSide)
            throw std::runtime_error(
                "real pictures need a width and height that are multiples of 16, at least 128 x 96");
    }

    // The VOP of a video packet: an I-VOP of the channel's tagged test picture for a key frame, a
    // P-VOP that repeats it for a predicted frame. The VOP times count from the channel's previous VOP.
    std::vector<u8> PictureVop(const PacketSpec& p) {
        simm4v::VopTime t;
        u32& last = m_vopSecond[p.channel & 15];
        t.secondsElapsed = last && p.time > last ? static_cast<int>(std::min<u32>(p.time - last, 60)) : 0;
        last = p.time;
        t.increment = p.sub * static_cast<u32>(simm4v::kTimeIncrementResolution) /
                      static_cast<u32>(std::max(1, m_o.framesPerSecond));
        if (p.type != 0x81)
            return simm4v::EncodePredictedVop(m_o.width, m_o.height, m_o.pictureQuant, m_o.interlaced, t);
        char label[32];
        u32 s = p.time % 86400;
        std::snprintf(label, sizeof label, "CAM%02u %02u:%02u:%02u", (p.channel + 1) % 100u, s / 3600,
                      s / 60 % 60, s % 60);
        simdraw::YuvImage picture = simm4v::TaggedPicture(m_o.width, m_o.height, p.channel, p.time, label);
        // A channel's pictures differ little from one key frame to the next: the search starts at the
        // quantiser its last key frame needed, which usually fits at the first try.
        int& quant = m_lastQuant[p.channel & 15];
        int used = 0;
        std::vector<u8> vop = simm4v::EncodeIntraVopWithin(picture, std::max(quant, m_o.pictureQuant),
                                                           m_o.pictureBudget, m_o.interlaced, t, &used);
        if (used)
            quant = used;
        if (vop.empty())
            vop = simm4v::EncodeNotCodedVop(t, true);
        return vop;
    }

    static u32 platform32(const u8* p) {
        return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24;
    }

    std::vector<u8> StatusRecord(const PacketSpec& p) const {
        int kind = m_o.recorderKind;
        u32 n = p.frameNo;
        if (kind == 1) {
            std::vector<u8> r(32, 0);
            r[0] = 'A';
            r[1] = 'N';
            r[2] = 40;
            r[3] = 26;
            r[4] = 5;
            r[6] = 'W';
            r[7] = 74;
            r[8] = 0;
            r[9] = 3;
            Le16(&r[11], static_cast<u16>(10 + n % 5));
            Le16(&r[13], 50);
            Le16(&r[15], 270);
            Le16(&r[17], 15);
            return r;
        }
        if (kind == 8) {
            std::vector<u8> r(20);
            for (u32 i = 0; i < 20; ++i)
                r[i] = static_cast<u8>(0x40 + i + n);
            return r;
        }
        if (kind == 32)
            return std::vector<u8>(16, 0x33);
        if (kind == 0)
            return {};
        std::vector<u8> r(kind == 2 ? 58 : 295, 0);
        r[0] = static_cast<u8>(n & 0x1F);
        r[1] = static_cast<u8>((n >> 1) & 0x1F);
        r[2] = 0;
        r[3] = static_cast<u8>(45 + n % 10);
        r[4] = 12;
        r[5] = 6;
        r[6] = 40;
        r[7] = 26;
        r[8] = 5;
        r[9] = 'N';
        r[10] = 0;
        r[11] = 74;
        r[12] = 0;
        r[13] = 3;
        r[14] = 'W';
        r[15] = 0;
        r[16] = static_cast<u8>(30 + n % 20);
        if (kind == 3)
            Le32(&r[32], 0x100); // knots; byte 33 nonzero marks this recorder
        else if (kind == 4)
            Le32(&r[32], 1);
        if (kind >= 3) {
            const char* labels[10] = {"IGN", "LT ", "RT ", "BRK", "REV", "AUX", "DR1", "DR2", "SIR", "HRN"};
            for (int i = 0; i < 5; ++i)
                std::memcpy(&r[144 + 3 * i], labels[i], 3);
            for (int i = 0; i < 5; ++i)
                std::memcpy(&r[159 + 3 * i], labels[5 + i], 3);
            for (int j = 0; j < 8; ++j) {
                char text[24];
                std::snprintf(text, sizeof text, "UNIT-%d", (j + 1) % 10);
                std::memcpy(&r[198 + 12 * j], text, std::strlen(text));
            }
            r[294] = 0x5A;
        }
        return r;
    }

    // Writes one segment's blocks [0, upto) with sequence `seq`; `old` keeps the first pass's later blocks.
    Written RecordSegment(u32 s, u16 seq, u32 from, u32 upto, const Written* old) {
        Written w;
        w.info.segment = s;
        w.info.sequence = seq;
        u32 used = std::min(std::max(upto, old ? old->info.blocksUsed : 0u), m_g.B);
        u32 writeUpto = std::min(upto, m_g.B);
        u32 startOffset = 0;
        for (u32 b = from; b < writeUpto; ++b) {
            bool cross = m_o.crossBlockEnd && b + 1 < writeUpto;
            startOffset = RecordBlock(s, b, seq, startOffset, cross, &w.packets);
        }
        w.info.blocksUsed = used;
        w.info.firstTime = w.packets.empty() ? 0 : w.packets.front().time;
        w.info.lastTime = w.packets.empty() ? 0 : w.packets.back().time;
        WriteTrailer(s, w.info);
        return w;
    }

    // Writes one block's packets and index; returns where the next block's packets may start.
    u32 RecordBlock(u32 s, u32 b, u16 seq, u32 startOffset, bool cross, std::vector<RecordedPacket>* out) {
        u32 dataBytes = DataSectors(b) * 512;
        std::vector<u8> index(20480, 0);
        u32 offset = startOffset;
        u32 count = 0;
        u32 next = 0;
        u32 blockTime = 0;
        for (u32 e = 0; e < m_o.packetsPerBlock && e < 600; ++e) {
            PacketSpec spec = NextSpec();
            u32 size = 0;
            const u32 vopSecond = m_vopSecond[spec.channel & 15];
            std::vector<u8> bytes = Packet(spec, &size);
            bool last = e + 1 == m_o.packetsPerBlock;
            bool crossing = false;
            if (cross && last) {
                u32 at = (dataBytes - static_cast<u32>(bytes.size()) / 2) & ~3u;
                offset = std::max(offset, at);
                crossing = offset + bytes.size() > dataBytes;
            }
            if (!crossing && offset + size + kTail > dataBytes) {
                // The block is full: the packet opens the next block instead of being lost.
                m_pending.insert(m_pending.begin(), spec);
                m_vopSecond[spec.channel & 15] = vopSecond;
                break;
            }
            u64 blockByte = SectorByte(BlockSector(s, b));
            if (crossing) {
                u32 inBlock = dataBytes - offset;
                m_file->Write(blockByte + offset, bytes.data(), inBlock);
                m_file->Write(SectorByte(BlockSector(s, b + 1)), bytes.data() + inBlock,
                              bytes.size() - inBlock);
                next = (static_cast<u32>(bytes.size()) - inBlock + 511) & ~511u;
            } else {
                m_file->Write(blockByte + offset, bytes.data(), bytes.size());
            }
            u8* en = index.data() + 20 + 30 * count;
            Le32(en, m_o.letterTags ? 0x4D484430 : 0xAA55AA55);
            Le32(en + 4, offset);
            Le32(en + 8, spec.time);
            Le32(en + 12, size);
            en[20] = spec.channel;
            en[21] = static_cast<u8>(spec.type + (m_o.highTypes ? 0x10 : 0));
            en[22] = m_o.packetCode;
            if (count == 0)
                blockTime = spec.time;
            RecordedPacket rp;
            rp.segment = s;
            rp.block = b;
            rp.entry = count;
            rp.offset = offset;
            rp.time = spec.time;
            rp.size = size;
            rp.channel = spec.channel;
            rp.type = spec.type;
            rp.timestamp = spec.timestamp;
            rp.crossesBlockEnd = crossing;
            out->push_back(rp);
            ++count;
            offset = (offset + static_cast<u32>(bytes.size()) + 3) & ~3u;
            if (crossing)
                break;
        }
        Le32(index.data(), m_o.letterTags ? 0x424C4B30 : 0xAA5555AA);
        Le32(index.data() + 8, blockTime);
        Le16(index.data() + 12, static_cast<u16>(count));
        Le16(index.data() + 19476, seq);
        m_file->Write(SectorByte(IndexSector(s, b)), index.data(), index.size());
        return next;
    }

    void WriteTrailer(u32 s, SegmentInfo& info) {
        std::vector<u8> t(5120, 0);
        Le32(t.data(), m_o.letterTags ? 0x53454730 : 0x55AA55AA);
        Le32(t.data() + 8, info.firstTime);
        Le32(t.data() + 12, info.lastTime);
        Le16(t.data() + 18, info.sequence);
        Le16(t.data() + 22, static_cast<u16>(info.blocksUsed));
        u32 events = 0;
        if (m_o.eventsEvery && s % m_o.eventsEvery == 0 && info.blocksUsed) {
            const u32 span = info.lastTime - info.firstTime;
            events = std::min<u32>(m_o.eventsPerSegment, (5120 - 25) / 18);
            for (u32 i = 0; i < events; ++i) {
                u32 time = events == 3 ? (i == 0   ? info.firstTime
                                          : i == 1 ? info.firstTime + span / 2
                                                   : info.lastTime + 1000)
                                       : info.firstTime + (events > 1 ? span * i / (events - 1) : 0);
                u8* e = t.data() + 25 + 18 * i;
                Le32(e, time);
                Le32(e + 4, 0x1000 + s);
                Le16(e + 8, static_cast<u16>(s));
                Le16(e + 10, static_cast<u16>(7 + i));
                Le32(e + 12, 0xD0000000u + s);
            }
        }
        Le16(t.data() + 20, static_cast<u16>(events));
        info.events = events;
        m_file->Write(SectorByte(TrailerSector(s)), t.data(), t.size());
    }

    void RecordProtected() {
        m_time = m_o.startTime - 86400;
        m_tsBase = m_time;
        u16 seq = 1;
        for (u32 s = 0; s < m_o.protectedSegments && s < m_first; ++s) {
            Written w = RecordSegment(s, seq++, 0, 1, nullptr);
            if (s == 0)
                m_protStart = w.info.firstTime;
            m_protEnd = w.info.lastTime;
        }
        m_pending.clear();
    }

    void WriteHeader() {
        std::vector<u8> h(512, 0);
        u8* p = h.data();
        Le32(p, 0x4B4C5430);
        Le32(p + 4, m_rec.firstTime);
        Le32(p + 8, m_rec.lastTime);
        Le32(p + 12, m_rec.oldestSegment);
        Le32(p + 16, 0);
        Le32(p + 20, m_rec.newestSegment);
        Le32(p + 30, m_rec.lastTime);
        Le32(p + 38, m_o.protectedSegments);
        Le32(p + 42, m_o.protectedSegments * 100 / (m_g.N - 1));
        if (m_o.protectedSegments) {
            Le32(p + 46, m_o.protectedSegments - 1);
            Le32(p + 50, 0);
            Le32(p + 54, 0);
            Le32(p + 58, m_protStart);
            Le32(p + 62, m_protEnd);
            Le32(p + 78, m_protStart - 3600);
        }
        Le32(p + 66, m_o.logSize);
        Le32(p + 74, m_o.logNext);
        Le32(p + 164, m_first / m_g.K);
        Le32(p + 168, m_first);
        m_file->Write(SectorByte(m_g.Tprime - m_g.S), h.data(), h.size());
    }

    void WriteSystemLog() {
        if (!m_o.logSize)
            return;
        u32 base = (m_g.N - 1) * m_g.S + kBlock;
        std::vector<u8> log(u64(m_o.logSize) * 64, 0);
        for (u32 i = 0; i < m_o.logSize; ++i) {
            u8* e = log.data() + u64(i) * 64;
            Le32(e, i);
            Le32(e + 4, m_o.startTime + i);
            std::snprintf(reinterpret_cast<char*>(e + 8), 56, "LOG ENTRY %05u", i);
        }
        m_file->Write(SectorByte(base), log.data(), log.size());
    }

    void PatchWord(u32 sector, u32 byte, u32 value, int width) {
        u8 b[4];
        Le32(b, value);
        m_file->Write(SectorByte(sector) + byte, b, static_cast<std::size_t>(width));
    }

    void ApplyDamage() {
        for (const Damage& d : m_o.damage) {
            u32 idx = IndexSector(d.segment, d.block);
            u32 entryByte = 20 + 30 * d.entry;
            switch (d.kind) {
            case Damage::TrailerTag:
                PatchWord(TrailerSector(d.segment), 0, d.value, 4);
                break;
            case Damage::BlockTag:
                PatchWord(idx, 0, d.value, 4);
                break;
            case Damage::EntryTime:
                PatchWord(idx, entryByte + 8, d.value, 4);
                break;
            case Damage::EntryChannel:
                PatchWord(idx, entryByte + 20, d.value, 1);
                break;
            case Damage::EntryType:
                PatchWord(idx, entryByte + 21, d.value, 1);
                break;
            case Damage::EntrySize:
                PatchWord(idx, entryByte + 12, d.value, 4);
                break;
            case Damage::EntryOffset:
                PatchWord(idx, entryByte + 4, d.value, 4);
                break;
            case Damage::EntryCount:
                PatchWord(idx, 12, d.value, 2);
                break;
            case Damage::EventCount:
                PatchWord(TrailerSector(d.segment), 20, d.value, 2);
                break;
            case Damage::Sector2008:
                m_file->WriteSectorWord(2008, d.value);
                break;
            case Damage::StaleIndex: {
                std::vector<u8> index(20480, 0);
                m_file->Read(SectorByte(idx), index.data(), index.size());
                const u32 count = std::min<u32>(Le16At(index.data() + 12), (20480 - 20) / 30);
                for (u32 e = 0; e < count; ++e) {
                    u8* en = index.data() + 20 + 30 * e;
                    Le32(en + 4, Le32At(en + 4) + 4 * (e + 1));
                    Le32(en + 8, Le32At(en + 8) - 86400);
                }
                Le32(index.data() + 8, Le32At(index.data() + 8) - 86400);
                Le16(index.data() + 19476, static_cast<u16>(Le16At(index.data() + 19476) - 1));
                m_file->Write(SectorByte(idx), index.data(), index.size());
                break;
            }
            case Damage::ZeroTrailer: {
                std::vector<u8> zeros(5120, 0);
                m_file->Write(SectorByte(TrailerSector(d.segment)), zeros.data(), zeros.size());
                break;
            }
            case Damage::ReinitTrailer: {
                std::vector<u8> t(5120, 0);
                Le32(t.data(), m_o.letterTags ? 0x53454730 : 0x55AA55AA);
                m_file->Write(SectorByte(TrailerSector(d.segment)), t.data(), t.size());
                break;
            }
            }
        }
        for (RecordedPacket& p : m_rec.packets)
            p.indexed = StillIndexed(p);
    }

    // Whether the damage list leaves packet `p` reachable through the index.
    bool StillIndexed(const RecordedPacket& p) const {
        for (const Damage& d : m_o.damage) {
            const bool sameBlock = d.segment == p.segment && d.block == p.block;
            switch (d.kind) {
            case Damage::TrailerTag:
                if (d.segment == p.segment && d.value != 0x55AA55AA && d.value != 0x53454730)
                    return false;
                break;
            case Damage::ZeroTrailer:
            case Damage::ReinitTrailer:
                if (d.segment == p.segment)
                    return false;
                break;
            case Damage::BlockTag:
                if (sameBlock && d.value != 0xAA5555AA && d.value != 0x424C4B30)
                    return false;
                break;
            case Damage::StaleIndex:
                if (sameBlock)
                    return false;
                break;
            case Damage::EntryCount:
                if (sameBlock && p.entry >= d.value)
                    return false;
                break;
            case Damage::EntryTime:
                if (sameBlock && d.entry == p.entry && d.value != p.time)
                    return false;
                break;
            case Damage::EntryChannel:
                if (sameBlock && d.entry == p.entry && d.value != p.channel)
                    return false;
                break;
            case Damage::EntryType:
                if (sameBlock && d.entry == p.entry && d.value != p.type && d.value != p.type + 0x10u)
                    return false;
                break;
            case Damage::EntrySize:
                if (sameBlock && d.entry == p.entry && d.value != p.size)
                    return false;
                break;
            case Damage::EntryOffset:
                if (sameBlock && d.entry == p.entry && d.value != p.offset)
                    return false;
                break;
            case Damage::EventCount:
            case Damage::Sector2008:
                break;
            }
        }
        return true;
    }

    static u16 Le16At(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
    static u32 Le32At(const u8* p) { return platform32(p); }

    RecorderOptions m_o;
    Geometry m_g;
    std::unique_ptr<DriveFile> m_file;
    Recording m_rec;
    std::vector<u32> m_frameNo;
    u32 m_vopSecond[16] = {};
    int m_lastQuant[16] = {};
    u32 m_audioNo = 0;
    std::vector<PacketSpec> m_pending;
    u32 m_time = 0, m_tsBase = 0;
    u32 m_first = 0;
    u32 m_protStart = 0, m_protEnd = 0;
};

} // namespace

Geometry GeometryFor(std::uint32_t total) {
    Geometry g;
    g.T = total;
    g.G = total >> 21;
    g.Tprime = g.G << 21;
    u32 q = g.G * 1024 / 3072;
    u32 p = 32;
    if (q) {
        p = 1;
        while (p <= q)
            p *= 2;
        p = std::max<u32>(p, 32);
    }
    g.P = p;
    g.S = p * 2048;
    g.N = g.G * 1024 / p;
    g.K = (1u << 21) / g.S;
    g.B = g.S / 2048;
    return g;
}

std::vector<u8> VideoObjectLayerHeader(u16 width, u16 height, bool interlaced, int aspect, bool vcp) {
    BitWriter w;
    w.Put(0x00000100, 32); // video_object_start_code
    w.Put(0x00000120, 32); // video_object_layer_start_code
    w.Put(0, 1);           // random_accessible_vol
    w.Put(1, 8);           // video_object_type_indication: simple object
    w.Put(1, 1);           // is_object_layer_identifier
    w.Put(1, 4);           // video_object_layer_verid
    w.Put(1, 3);           // video_object_layer_priority
    w.Put(static_cast<u32>(aspect) & 15, 4);
    if ((aspect & 15) == 15) {
        w.Put(12, 8); // par_width
        w.Put(11, 8); // par_height
    }
    w.Put(vcp ? 1 : 0, 1); // vol_control_parameters
    if (vcp) {
        w.Put(1, 2); // chroma_format 4:2:0
        w.Put(1, 1); // low_delay
        w.Put(1, 1); // vbv_parameters
        // first_half_bit_rate(15) marker latter_half_bit_rate(15) marker first_half_vbv_buffer_size(15)
        // marker latter_half_vbv_buffer_size(3) first_half_vbv_occupancy(11) marker
        // latter_half_vbv_occupancy(15) marker: 79 bits
        w.Put(0, 15), w.Put(1, 1), w.Put(2000, 15), w.Put(1, 1), w.Put(0, 15), w.Put(1, 1), w.Put(7, 3);
        w.Put(0, 11), w.Put(1, 1), w.Put(100, 15), w.Put(1, 1);
    }
    w.Put(0, 2);      // video_object_layer_shape: rectangular
    w.Put(1, 1);      // marker
    w.Put(30000, 16); // vop_time_increment_resolution
    w.Put(1, 1);      // marker
    w.Put(0, 1);      // fixed_vop_rate
    w.Put(1, 1);
    w.Put(width, 13);
    w.Put(1, 1);
    w.Put(height, 13);
    w.Put(1, 1);
    w.Put(interlaced ? 1 : 0, 1);
    w.Put(1, 1); // obmc_disable
    w.Put(0, 1); // sprite_enable
    w.Put(0, 1); // not_8_bit
    w.Put(0, 1); // quant_type
    w.Put(1, 1); // complexity_estimation_disable
    w.Put(1, 1); // resync_marker_disable
    w.Put(0, 1); // data_partitioned
    w.Put(0, 1); // scalability
    w.Stuff();
    return w.m_out;
}

void WritePts(u8* p, u64 ts) {
    p[41] = static_cast<u8>(0x21 | ((ts >> 29) & 0x0E));
    p[42] = static_cast<u8>(ts >> 22);
    p[43] = static_cast<u8>(((ts >> 14) & 0xFE) | 1);
    p[44] = static_cast<u8>(ts >> 7);
    p[45] = static_cast<u8>(((ts << 1) & 0xFE) | 1);
}

std::vector<u8> AdpcmPacket(const u8* block, u32 time, u8 channel) {
    std::vector<u8> out(32 + 4160, 0);
    Le32(out.data() + 4, time);
    Le32(out.data() + 8, 4160);
    out[18] = channel;
    out[19] = 0x84;
    std::memcpy(out.data() + 20, "AUDIO", 5);
    out[34] = 1;
    out[35] = 0xC0;
    std::memcpy(out.data() + 88, block, 8 + 4096);
    return out;
}

std::vector<u8> G711Packet(const u8* samples, int format, u32 time, u8 channel) {
    std::vector<u8> out(32 + 2080, 0);
    Le32(out.data() + 4, time);
    Le32(out.data() + 8, 2080);
    out[18] = channel;
    out[19] = 0x84;
    out[34] = 1;
    out[35] = 0xC0;
    out[60] = static_cast<u8>(format);
    std::memcpy(out.data() + 64, samples, 2048);
    return out;
}

std::vector<RecordedPacket> WriteTavStream(const std::string& path, const RecorderOptions& options) {
    Recorder r(options);
    return r.RunStream(path);
}

Recording WriteTavDrive(const std::string& path, const RecorderOptions& options) {
    Recorder r(path, options);
    return r.Run();
}

void WriteTavImage(const std::string& drivePath, const Recording& rec, const ImageRange& r,
                   const std::string& imagePath) {
    const Geometry& g = rec.geo;
    DriveFile drive(drivePath, 0, false);
    DriveFile image(imagePath, 0, true);
    const u32 firstBlock = r.firstSegment * g.S + r.firstBlock * kBlock;
    const u32 lastBlock = r.lastSegment * g.S + r.lastBlock * kBlock;
    u32 R = firstBlock + r.firstEntryOffset / 512;
    // The copy takes 400 sectors of the block behind the last one, where its last packet may run on.
    // The range wraps when the last block lies before the first, even the block just before it, whose
    // copy then reaches past R.
    u32 E = lastBlock + 2448;
    bool wraps = lastBlock < firstBlock;
    std::vector<u8> h(512);
    drive.Read(u64(g.Tprime - g.S) * 512, h.data(), 512);
    Le32(&h[148], R - 11);
    Le32(&h[152], g.S);
    Le32(&h[156], g.N);
    Le32(&h[160], g.Tprime);
    Le32(&h[164], R >> 21);
    Le32(&h[168], r.firstSegment);
    Le32(&h[172], r.firstBlock);
    Le32(&h[176], r.firstEntry);
    Le32(&h[180], (E >> 21) + (wraps ? g.G : 0));
    Le32(&h[184], r.lastSegment + (wraps ? g.N - 1 : 0));
    Le32(&h[188], r.lastBlock);
    Le32(&h[192], r.lastEntry);
    Le32(&h[196], rec.oldestSegment);
    Le32(&h[200], rec.newestSegment);
    Le32(&h[204], r.firstTime);
    Le32(&h[208], r.lastTime);
    image.Write(0, h.data(), 512);
    std::vector<u8> t(5120);
    drive.Read(u64((r.lastSegment + 1) * g.S - 12) * 512, t.data(), t.size());
    image.Write(512, t.data(), t.size());
    u64 at = 11 * 512;
    auto copy = [&](u32 from, u32 to) {
        std::vector<u8> buf(1 << 20);
        for (u32 s = from; s < to;) {
            u32 n = std::min<u32>(to - s, 2048);
            drive.Read(u64(s) * 512, buf.data(), u64(n) * 512);
            image.Write(at, buf.data(), u64(n) * 512);
            at += u64(n) * 512;
            s += n;
        }
    };
    if (!wraps) {
        copy(R, E);
    } else {
        copy(R, g.Tprime - g.S);
        copy(0, E);
    }
}

} // namespace sim_tav
