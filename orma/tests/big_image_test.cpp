// The largest image a 32-bit sector number allows: 65 535 clusters of 32 MiB, the marker sector at
// 65 535 × 65 536. It is a sparse file; only the structures are written.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "orma_test_util.h"

namespace orma {
namespace {

simorma::Options BigImage() {
    simorma::Options o;
    o.image = true;
    o.clusterSectors = 65536;
    o.clusterCount = 65535;
    o.sparseContent = true;
    o.framesPerBlock = 1;
    o.width = 32;
    o.height = 32;
    o.quality = 10;
    o.segments = {{1, 30000, simorma::SecondsOf(2011, 1, 1, 0, 0, 0), 30 * 86400, 1, 0},
                  {2, 35000, simorma::SecondsOf(2011, 2, 1, 0, 0, 0), 30 * 86400, 0, 4},
                  {3, 535, simorma::SecondsOf(2011, 3, 5, 0, 0, 0), 86400, 0, 2}};
    return o;
}

// Written once for the suite: about 256 MiB of structures really land on the disk.
class OrmaBigImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_rec = new test::Recording("big.orm", BigImage()); }
    static void TearDownTestSuite() {
        delete s_rec;
        s_rec = nullptr;
    }
    static test::Recording* s_rec;
};
test::Recording* OrmaBigImage::s_rec = nullptr;

TEST_F(OrmaBigImage, NearlyTwoTebibytesOpenWithinTheMemoryBound) {
    test::Recording& rec = *s_rec;
    ASSERT_EQ(rec.result.error, "");
    ASSERT_EQ(rec.result.fileBytes, (65535ull * 65536 + 1) * 512);

    // In a fresh process, so that its peak resident memory is the open's.
    const std::string command = std::string(SCRYDE_ORMA_PROBE) + " " + rec.path;
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512] = {};
    ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(::pclose(p), 0) << line;
    int result = -1;
    unsigned clusters = 0;
    std::size_t segments = 0, index = 0;
    double ms = 0;
    long hwmBefore = 0, hwm = 0;
    ASSERT_EQ(std::sscanf(line,
                          "result=%d clusters=%u segments=%zu index_bytes=%zu open_ms=%lf "
                          "vmhwm_before_kib=%ld vmhwm_kib=%ld",
                          &result, &clusters, &segments, &index, &ms, &hwmBefore, &hwm),
              7)
        << line;
    std::printf("[ figures  ] %s", line);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(clusters, 65535u);
    EXPECT_EQ(segments, 3u);
    EXPECT_EQ(index, 65535u * 512 + 65535u * 28);
    EXPECT_LE(static_cast<double>(hwm) * 1024, 1.5 * static_cast<double>(index) + 16.0 * 1024 * 1024)
        << "peak " << hwm << " KiB for an index of " << index << " bytes";
}

TEST_F(OrmaBigImage, SegmentsAndPositioningAtTheFarEnd) {
    test::Recording& rec = *s_rec;
    ASSERT_EQ(rec.result.error, "");
    COrmaSlotBank pins;
    COrmaDisk disk(&pins);
    ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), S_OK);
    EXPECT_EQ(disk.SystemStart(), 65535u * 65536);
    ASSERT_EQ(disk.Segments().size(), 3u);
    EXPECT_EQ(disk.Segments()[2].first_cluster, 65000u);
    EXPECT_EQ(disk.Segments()[2].last_cluster, 65534u);
    EXPECT_EQ(disk.AlarmTotal(), 30000u);
    // The last frames of the drive, in its last cluster, just below the marker sector.
    ASSERT_EQ(disk.SetPointerSegment(2, 1), S_OK);
    auto walked = test::Walk(disk, 1);
    ASSERT_EQ(walked.size(), 1u);
    EXPECT_EQ(walked[0].cluster, 65534u);
    simorma::Stamp last = simorma::StampAt(simorma::SecondsOf(2011, 3, 6, 0, 0, 0));
    EXPECT_EQ(walked[0].time, last.packed);
    // A time in the middle of segment 1 lands in its first cluster (the only one with frames).
    simorma::Stamp t = simorma::StampAt(simorma::SecondsOf(2011, 2, 1, 0, 0, 30));
    ASSERT_EQ(disk.SetPointerTime(t.year, t.packed), S_OK);
    EXPECT_EQ(disk.CurrentSegment(), 1);
    EXPECT_EQ(disk.CurrentCluster(), 30000u);
}

} // namespace
} // namespace orma
