#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdio>
#include <fstream>

#include "platform/bytes.h"
#include "sim_orma/orma_sim.h"
#include "testsupport/temp.h"

namespace simorma {
namespace {

// One 512-byte sector of a (large, sparse) file.
std::vector<std::uint8_t> Sector(const std::string& path, std::uint64_t sector) {
    std::vector<std::uint8_t> out(512);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(sector * 512));
    in.read(reinterpret_cast<char*>(out.data()), 512);
    return in ? out : std::vector<std::uint8_t>();
}

std::uint64_t FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<std::uint64_t>(in.tellg());
}

std::string TempPath(const char* name) {
    return testsupport::TempPath("orma_sim", std::string("_") + name);
}

TEST(OrmaSim, TimesPackAndPrint) {
    Stamp s = StampAt(SecondsOf(2008, 12, 31, 23, 59, 58));
    EXPECT_EQ(s.year, 8);
    EXPECT_EQ(s.packed, PackTime(12, 31, 23, 59, 58));
    EXPECT_EQ(FormatStamp(s), "2008/12/31 23:59:58");
    EXPECT_EQ(FormatStamp(StampAt(SecondsOf(2008, 12, 31, 23, 59, 58) + 3)), "2009/01/01 00:00:01");
    EXPECT_EQ(FormatStamp(StampAt(SecondsOf(2008, 2, 28, 12, 0, 0) + 86400)), "2008/02/29 12:00:00");
}

TEST(OrmaSim, PictureIsABaselineJpegWithQuantTablesFirst) {
    std::vector<std::uint8_t> jpeg = MakePicture(352, 240, 25, 3, 7, "2009/01/01 00:00:00");
    ASSERT_GT(jpeg.size(), 100u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[2], 0xFF);
    EXPECT_EQ(jpeg[3], 0xDB);
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    EXPECT_EQ(tjDecompressHeader3(d, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs), 0);
    tjDestroy(d);
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 240);
}

TEST(OrmaSim, ImageHasTheExportLayout) {
    Options o;
    o.image = true;
    o.imageFirstCluster = 5;
    o.clusterSectors = 65536;
    o.framesPerBlock = 2;
    o.sparseContent = true;
    o.segments = {{7, 3, SecondsOf(2009, 5, 1, 10, 0, 0), 600, 2, 0}};
    std::string path = TempPath("sim_image.orm");
    Result r = Write(path, o);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.fileBytes, (3ull * 65536 + 1) * 512);
    EXPECT_EQ(r.sectorBase, 5u * 65536);
    ASSERT_EQ(FileSize(path), r.fileBytes);
    const std::vector<std::uint8_t> markerSector = Sector(path, 3ull * 65536);
    ASSERT_EQ(markerSector.size(), 512u);
    const std::uint8_t* marker = markerSector.data();
    EXPECT_EQ(platform::ReadLE32(marker), 0xAA995599u);
    EXPECT_EQ(platform::ReadLE32(marker + 4), 3u * 65536);
    EXPECT_EQ(platform::ReadLE32(marker + 8), 65536u);
    EXPECT_EQ(platform::ReadLE32(marker + 12), 3u);
    EXPECT_EQ(platform::ReadLE32(marker + 16), 0u);
    const std::vector<std::uint8_t> d32mSector = Sector(path, 65536ull - 1);
    const std::uint8_t* d32m = d32mSector.data();
    EXPECT_EQ(platform::ReadLE32(d32m), 0xAA325532u);
    EXPECT_EQ(platform::ReadSwapped32(d32m + 8), 5u * 65536);
    EXPECT_EQ(platform::ReadLE16(d32m + 0x14), 7);
    EXPECT_EQ(platform::ReadLE16(d32m + 0x16), 1); // two alarm entries
    const std::vector<std::uint8_t> headerSector = Sector(path, 2044);
    const std::uint8_t* header = headerSector.data();
    EXPECT_EQ(platform::ReadLE32(header), 0xAA015501u);
    EXPECT_EQ(platform::ReadLE16(header + 4), 7);
    EXPECT_EQ(platform::ReadLE16(header + 6), 1); // entries 0 and 1
    // The first frame lies at the block start, recorded as an absolute drive sector.
    EXPECT_EQ(platform::ReadSwapped32(header + 0x0C + 4), 5u * 65536);
    std::remove(path.c_str());
}

TEST(OrmaSim, DriveBeginsWithAFrameAndEndsWithTheMarker) {
    for (int framesPerBlock : {1, 3}) {
        Options o;
        o.driveSectors = 3 * 65536 + 777;
        o.framesPerBlock = framesPerBlock;
        o.width = o.height = 32;
        o.segments = {{1, 2, SecondsOf(2009, 5, 1, 10, 0, 0), 600, 0, 2}};
        std::string path = TempPath("sim_drive.img");
        Result r = Write(path, o);
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.clusterCount, 3u);
        EXPECT_EQ(r.writeCluster, 2u);
        ASSERT_EQ(FileSize(path), (3ull * 65536 + 777) * 512);
        EXPECT_EQ(platform::ReadLE16(Sector(path, 0).data()), 0x5588)
            << framesPerBlock; // the reader's drive signature
        const std::vector<std::uint8_t> markerSector = Sector(path, 3ull * 65536);
        const std::uint8_t* marker = markerSector.data();
        EXPECT_EQ(platform::ReadLE32(marker), 0xAA995599u);
        EXPECT_EQ(platform::ReadSwapped32(marker + 16), 2u * 65536); // the record start point
        std::remove(path.c_str());
    }
}

TEST(OrmaSim, RefusesWhatTheDriveCannotHold) {
    Options o;
    o.driveSectors = 3 * 65536 + 100; // room for 3 clusters
    o.segments = {{1, 4, 0, 60, 0, 0}};
    Result r = Write(TempPath("sim_refused.img"), o);
    EXPECT_NE(r.error, "");
    std::remove(TempPath("sim_refused.img").c_str());
}

} // namespace
} // namespace simorma
