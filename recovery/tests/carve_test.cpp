// Carving on simulated drives whose index was damaged in known ways: every frame the recorder left
// outside the index is found with its time and channel, frames the index still reaches are marked so,
// nothing else is listed, and the evidence is unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "common/digest.h"
#include "recovery/carver.h"
#include "sim_orma/orma_sim.h"
#include "sim_tav/tav_recorder.h"
#include "tav/layout.h"
#include "testsupport/temp.h"

namespace recovery {
namespace {

std::string TempPath(const std::string& name) {
    return testsupport::TempPath("carve", "_" + name);
}

// The SHA-256 of a (sparse) file's data extents with their offsets: any write shows, whether it
// changes data or fills a hole, without hashing gigabytes of holes.
std::string FileDigest(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    common::CSha256 sha;
    std::vector<char> buf(1 << 20);
    off_t at = 0;
    for (;;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        sha.Update(&data, sizeof data);
        for (off_t p = data; p < hole;) {
            const ssize_t n =
                ::pread(fd, buf.data(), static_cast<std::size_t>(std::min<off_t>(hole - p, 1 << 20)), p);
            if (n <= 0)
                break;
            sha.Update(buf.data(), static_cast<std::size_t>(n));
            p += n;
        }
        at = hole;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    sha.Update(&size, sizeof size);
    ::close(fd);
    return sha.HexDigest();
}

// Carves a file, checking that its bytes are the same afterwards.
CarveReport CarveFile(const std::string& path, Family family, CarveOptions o = {}) {
    const std::string before = FileDigest(path);
    CFileByteSource source(path);
    EXPECT_TRUE(source.IsOpen()) << source.Problem();
    CarveReport r = family == Family::Orma ? CarveOrma(source, o) : CarveTav(source, o);
    EXPECT_EQ(FileDigest(path), before) << "the carve changed " << path;
    return r;
}

// (sector, time, channel, indexed) of every find, for set comparison.
using Find = std::tuple<std::uint64_t, std::string, int, bool>;

struct OrmaCase {
    const char* name;
    bool image;
    void (*damage)(simorma::Options&);
};

simorma::Options OrmaRecording(bool image) {
    simorma::Options o;
    o.image = image;
    o.clusterSectors = 65536;
    o.framesPerBlock = 3;
    o.width = 64;
    o.height = 48;
    o.channels = 3;
    o.sparseContent = true; // frames in each segment's first and last cluster
    o.recordFrames = true;
    o.segments = {{1, 2, simorma::SecondsOf(2009, 5, 1, 10, 0, 0), 600, 0, 3},
                  {2, 2, simorma::SecondsOf(2009, 5, 1, 11, 0, 0), 600, 0, 2}};
    return o;
}

TEST(CarveOrma, FindsWhatTheSimulatorLeftOutsideTheIndex) {
    const OrmaCase cases[] = {
        {"intact drive", false, [](simorma::Options&) {}},
        {"intact image", true, [](simorma::Options&) {}},
        {"zeroed cluster header", false, [](simorma::Options& o) { o.damage.zeroedD32M = {1}; }},
        {"stale cluster header", true, [](simorma::Options& o) { o.damage.staleD32M = {2}; }},
        {"block headers of an older pass", false,
         [](simorma::Options& o) {
             o.damage.staleDisk01M = {{0, 1}, {3, 0}};
         }},
        {"entries without a size", true, [](simorma::Options& o) { o.damage.smallFrameSizeEvery = 4; }},
        {"frames without their magic", false,
         [](simorma::Options& o) { o.damage.missingFrameMagicEvery = 5; }},
        {"broken magics, ids intact", false,
         [](simorma::Options& o) {
             o.damage.brokenD32M = {0};
             o.damage.brokenDisk01M = {{1, 1}};
         }},
        {"wrapped over the oldest cluster", false,
         [](simorma::Options& o) {
             o.driveSectors = 4ull * 65536 + 2048;
             o.wrapped = true;
             o.overwrittenBlocks = 2;
         }},
    };
    for (const OrmaCase& c : cases) {
        SCOPED_TRACE(c.name);
        simorma::Options o = OrmaRecording(c.image);
        c.damage(o);
        const std::string path = TempPath("orma.img");
        simorma::Result written = simorma::Write(path, o);
        ASSERT_EQ(written.error, "");
        std::set<Find> expected;
        std::size_t outside = 0;
        for (const simorma::FrameInfo& f : written.frames) {
            if (f.channel < 0 || f.overwritten)
                continue; // no frame header left to find it by, or written over
            expected.emplace(f.sector - written.sectorBase, simorma::FormatStamp(f.time), f.channel,
                             f.indexed);
            outside += f.indexed ? 0 : 1;
        }
        CarveOptions co;
        co.ormaImage = c.image;
        co.chunkBytes = 3u << 20; // frames straddle the block header at request ends too
        CarveReport r = CarveFile(path, Family::Orma, co);
        ASSERT_EQ(r.error, "");
        EXPECT_TRUE(r.indexKnown);
        std::set<Find> found;
        for (const CarvedFrame& f : r.frames) {
            EXPECT_EQ(f.kind, FrameKind::Jpeg);
            found.emplace(f.sector, f.time, f.channel, f.indexed);
        }
        EXPECT_EQ(r.frames.size(), found.size()) << "a frame listed twice";
        EXPECT_EQ(found, expected) << outside << " frames outside the index";
        std::remove(path.c_str());
    }
}

sim_tav::RecorderOptions TavRecording() {
    sim_tav::RecorderOptions o;
    o.gib = 1;
    o.realPictures = true;
    o.width = 144;
    o.height = 96;
    o.channels = 2;
    o.framesPerSecond = 2;
    o.keyInterval = 3;
    o.segments = 3;
    o.blocksPerSegment = 2;
    o.packetsPerBlock = 16;
    o.crossBlockEnd = true;
    return o;
}

TEST(CarveTav, FindsWhatTheSimulatorLeftOutsideTheIndex) {
    using D = sim_tav::Damage;
    struct Case {
        const char* name;
        std::vector<D> damage;
        int audioFormat;
    };
    const Case cases[] = {
        {"intact", {}, 1},
        {"block index of an older pass", {{D::StaleIndex, 1, 0}}, 1},
        {"zeroed trailer", {{D::ZeroTrailer, 0}}, 7},
        {"trailer of a re-initialised drive", {{D::ReinitTrailer, 2}}, 1},
        {"broken block tag", {{D::BlockTag, 1, 1, 0, 0x12345678}}, 6},
        {"entries of a wrong time and size",
         {{D::EntryTime, 0, 1, 3, 5}, {D::EntrySize, 2, 0, 4, 999999}},
         1},
        {"index cut short", {{D::EntryCount, 1, 1, 0, 6}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_tav::RecorderOptions o = TavRecording();
        o.audioFormat = c.audioFormat;
        o.damage = c.damage;
        const std::string path = TempPath("tav.img");
        sim_tav::Recording rec = sim_tav::WriteTavDrive(path, o);
        std::set<Find> expected;
        for (const sim_tav::RecordedPacket& p : rec.packets) {
            const std::uint64_t byte =
                (std::uint64_t(p.segment) * rec.geo.S + std::uint64_t(p.block) * 2048) * 512 + p.offset;
            expected.emplace(byte, tav::FormatTime(p.time), p.channel, p.indexed);
        }
        CarveReport r = CarveFile(path, Family::Tav);
        ASSERT_EQ(r.error, "");
        std::set<Find> found;
        for (const CarvedFrame& f : r.frames)
            found.emplace(f.sector * 512 + f.byteInSector, f.time, f.channel, f.indexed);
        EXPECT_EQ(r.frames.size(), found.size());
        EXPECT_EQ(found, expected);
        std::remove(path.c_str());
    }
}

// A source that refuses reads of one sector range, as a failing drive does.
class CFailingSource : public IByteSource {
public:
    CFailingSource(IByteSource& inner, std::uint64_t firstBad, std::uint64_t endBad)
        : m_inner(inner), m_first(firstBad), m_end(endBad) {}
    std::uint64_t Size() const override { return m_inner.Size(); }
    bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t bytes) override {
        const std::uint64_t a = offset / 512, b = (offset + bytes + 511) / 512;
        if (a < m_end && b > m_first)
            return false;
        return m_inner.Read(offset, out, bytes);
    }

private:
    IByteSource& m_inner;
    std::uint64_t m_first, m_end;
};

TEST(CarveOrma, GoesOnPastAnUnreadableRegionAndKeepsToItsRange) {
    simorma::Options o = OrmaRecording(false);
    const std::string path = TempPath("orma_bad.img");
    simorma::Result written = simorma::Write(path, o);
    ASSERT_EQ(written.error, "");
    CFileByteSource file(path);
    // Block 1 of cluster 0 cannot be read.
    CFailingSource failing(file, 2048, 4096);
    CarveReport r = CarveOrma(failing, {});
    ASSERT_EQ(r.unreadable.size(), 1u);
    EXPECT_EQ(r.unreadable[0].firstSector, 2048u);
    EXPECT_EQ(r.unreadable[0].sectors, 2048u);
    std::size_t expected = 0;
    for (const simorma::FrameInfo& f : written.frames)
        expected += f.cluster == 0 && f.block == 1 ? 0 : 1;
    // A frame of block 0 that ran on into block 1 is lost with it.
    EXPECT_GE(r.frames.size() + 1, expected);
    EXPECT_LE(r.frames.size(), expected);
    for (const CarvedFrame& f : r.frames)
        EXPECT_FALSE(f.sector >= 2048 && f.sector < 4096);

    // Only frames starting inside the range, however the range cuts the blocks.
    CarveOptions range;
    range.fromSector = 3 * 65536 + 100;
    range.toSector = 3 * 65536 + 2048 + 500;
    CarveReport part = CarveOrma(file, range);
    std::size_t inRange = 0;
    for (const simorma::FrameInfo& f : written.frames)
        inRange += f.sector >= range.fromSector && f.sector <= range.toSector ? 1 : 0;
    EXPECT_GT(inRange, 0u);
    EXPECT_EQ(part.frames.size(), inRange);

    // Cancelling stops after the first request.
    CarveOptions cancel;
    cancel.chunkBytes = 1u << 20;
    int calls = 0;
    cancel.progress = [&](std::uint64_t, std::uint64_t) { return ++calls < 1; };
    CarveReport stopped = CarveOrma(file, cancel);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(calls, 1);
    EXPECT_LT(stopped.frames.size(), written.frames.size());
    std::remove(path.c_str());
}

TEST(Carve, RandomBytesGiveNothing) {
    const std::string path = TempPath("random.img");
    {
        std::mt19937_64 rng(19);
        std::ofstream out(path, std::ios::binary);
        std::vector<std::uint64_t> buf(1 << 17);
        for (int i = 0; i < 48; ++i) {
            for (auto& v : buf)
                v = rng();
            out.write(reinterpret_cast<const char*>(buf.data()),
                      static_cast<std::streamsize>(buf.size() * 8));
        }
    }
    EXPECT_TRUE(CarveFile(path, Family::Orma).frames.empty());
    // A TAV drive is at least 1 GiB: the random 48 MiB lie at its start, the rest is empty.
    ASSERT_EQ(truncate(path.c_str(), 1ll << 30), 0);
    CarveReport tav = CarveFile(path, Family::Tav);
    EXPECT_EQ(tav.error, "");
    EXPECT_TRUE(tav.frames.empty());
    std::remove(path.c_str());
}

} // namespace
} // namespace recovery
