#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>

#include "orma_test_util.h"
#include "platform/glmdrv.h"

namespace orma {
namespace {

using simorma::SecondsOf;
using simorma::StampAt;
using test::Capture;
using test::Recording;

TEST(OrmaIndex, ImageOpensWithItsGeometryBaseAndSegments) {
    Recording rec("index_image.orm", test::SmallImage());
    ASSERT_EQ(rec.result.error, "");
    const auto before = test::Checksum(rec.path);
    COrmaSlotBank pins;
    COrmaDisk disk(&pins);
    ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), S_OK);
    EXPECT_EQ(disk.ClusterSize(), 65536u);
    EXPECT_EQ(disk.ClusterCount(), 3u);
    EXPECT_EQ(disk.SystemStart(), 3u * 65536);
    EXPECT_EQ(disk.SectorBase(), 3u * 65536);
    EXPECT_EQ(disk.WriteCluster(), 0u);
    EXPECT_EQ(disk.BlocksPerCluster(), 32u);
    EXPECT_EQ(disk.CapacityMB(), (3u * 65536 / 15625) * 8);
    EXPECT_EQ(disk.UsedMB(), 3u * 65536 / 1953);
    EXPECT_EQ(disk.AlarmTotal(), 2u); // one entry in each cluster of segment 1

    UINT count = 0;
    EXPECT_EQ(disk.GetSegmentList(nullptr, &count), E_OUTOFMEMORY);
    ASSERT_EQ(count, 2u);
    std::vector<BYTE> list(count * 28);
    ASSERT_EQ(disk.GetSegmentList(list.data(), &count), S_OK);
    EXPECT_EQ(platform::ReadLE32(list.data() + 4), 0u);  // start address, base subtracted
    EXPECT_EQ(platform::ReadLE32(list.data() + 8), 0u);  // first cluster
    EXPECT_EQ(platform::ReadLE32(list.data() + 20), 1u); // last cluster
    EXPECT_EQ(platform::ReadLE16(list.data() + 24), 1);  // segment id
    EXPECT_EQ(list[26], 9);                              // 2009
    EXPECT_EQ(platform::ReadLE32(list.data()), StampAt(SecondsOf(2009, 3, 1, 8, 0, 0)).packed);
    EXPECT_EQ(platform::ReadLE32(list.data() + 28 + 8), 2u);
    EXPECT_EQ(platform::ReadLE16(list.data() + 28 + 24), 2);
    EXPECT_EQ(disk.CurrentSegment(), 0);
    // Segment 0 covers one whole cluster and 5 blocks of the next: blocks 0 … 32 + 4.
    EXPECT_EQ(disk.BlocksInSegment(), 36u);

    UINT alarms = 1;
    EXPECT_EQ(disk.GetAlarmList(nullptr, &alarms), E_OUTOFMEMORY);
    EXPECT_EQ(alarms, 2u);
    std::vector<BYTE> a(alarms * 12);
    ASSERT_EQ(disk.GetAlarmList(a.data(), &alarms), S_OK);
    EXPECT_EQ(platform::ReadLE32(a.data() + 4), 0u);    // sector, base subtracted
    EXPECT_EQ(platform::ReadLE16(a.data() + 8), 0x100); // big-endian on disk, host order here
    EXPECT_EQ(a[10], 9);                                // the entry's byte at +11: its year
    EXPECT_EQ(a[11], 0);                                // the entry's byte at +10
    EXPECT_EQ(platform::ReadLE32(a.data() + 12 + 4), 65536u);
    EXPECT_EQ(disk.GetAlarmList(a.data(), nullptr), E_POINTER);

    int capacity = 0, used = 0;
    EXPECT_EQ(disk.GetDiskInfo(&capacity, &used), S_OK);
    EXPECT_EQ(used, static_cast<int>(disk.UsedMB()));
    UINT permille = 0;
    disk.GetScanProgress(&permille, 0);
    EXPECT_EQ(permille, 2u * 1000 / 3); // the last cluster scanned was cluster 2
    disk.Close();
    EXPECT_EQ(test::Checksum(rec.path), before);
}

// Opening the same drive through the raw-disk driver (Windows 5 and 6) and as a physical drive
// (Windows 4), and the marker checks of both.
TEST(OrmaIndex, DriveOpensInDriverAndFileMode) {
    simorma::Options o = test::SmallImage();
    o.image = false;
    o.firstCluster = 2;
    o.driveSectors = 6 * 65536 + 5000;
    Recording rec("index_drive.img", o);
    ASSERT_EQ(rec.result.error, "");
    EXPECT_EQ(rec.result.clusterCount, 6u);
    ::setenv("SCRYDE_DRIVES", ("1=" + rec.path).c_str(), 1);
    const auto before = test::Checksum(rec.path);
    for (DWORD major : {4u, 5u, 6u}) {
        Capture cap;
        COrmaSlotBank pins;
        COrmaDisk disk(&pins);
        disk.SetWindowsMajor(major);
        ASSERT_EQ(disk.OpenDisk(1, "\\\\.\\PHYSICALDRIVE1"), S_OK) << major;
        EXPECT_EQ(disk.ClusterSize(), 65536u);
        EXPECT_EQ(disk.ClusterCount(), 6u);
        EXPECT_EQ(disk.SectorBase(), 0u);
        EXPECT_EQ(disk.WriteCluster(), 5u); // 2 + the 3 clusters recorded
        ASSERT_EQ(disk.Segments().size(), 2u);
        EXPECT_EQ(disk.Segments()[0].first_cluster, 2u);
        EXPECT_EQ(disk.Segments()[0].start_address, 2u * 65536);
        EXPECT_EQ(disk.Segments()[1].first_cluster, 4u);
        EXPECT_EQ(disk.UsedClusters(), 3u); // the 0x55AA clusters are not used
        EXPECT_EQ(cap.Saw("ClusterSize=65536, ClusterNum=6, SystemSize=393216\n"), major == 4);
    }
    EXPECT_EQ(test::Checksum(rec.path), before);

    // A broken marker: refused with a box through the driver, silently as a physical drive.
    test::PatchSector(rec.path, 6 * 65536, [](unsigned char* s) { s[0] = 0; });
    for (DWORD major : {4u, 5u}) {
        Capture cap;
        COrmaDisk disk(nullptr);
        disk.SetWindowsMajor(major);
        EXPECT_EQ(disk.OpenDisk(1, "\\\\.\\PHYSICALDRIVE1"), E_FAIL);
        // Neither try found the marker; the second lies past the end of the drive and cannot be read,
        // so the first is read again and found broken: through the driver the drive is corrupted.
        if (major == 5) {
            EXPECT_EQ(cap.Boxes(), std::vector<std::string>{"Error: The ORMA drive is corrupted!"});
        } else {
            EXPECT_TRUE(cap.Boxes().empty());
        }
    }
    {
        COrmaDisk disk(nullptr);
        disk.SetWindowsMajor(7);
        EXPECT_EQ(disk.OpenDisk(1, "\\\\.\\PHYSICALDRIVE1"), E_FAIL);
        EXPECT_EQ(disk.OpenDisk(-1, "x"), E_INVALIDARG);
        EXPECT_EQ(disk.OpenDisk(0, nullptr), E_INVALIDARG);
    }
    ::unsetenv("SCRYDE_DRIVES");
}

// Segment-list rules, each shown by editing the D32M records of a small image after it was written.
TEST(OrmaIndex, SegmentListRules) {
    using Patch = std::function<void(unsigned char*)>;
    const DWORD C = 65536;
    auto swapped = [](unsigned char* p, DWORD v) { platform::WriteSwapped32(p, v); };
    const DWORD t0 = simorma::PackTime(3, 1, 8, 0, 0);
    struct Case {
        const char* name;
        std::vector<std::pair<int, Patch>> patches; // cluster → edit of its D32M
        int segments;
        DWORD first, last; // clusters of segment 0
        DWORD alarms;
        DWORD used;
    };
    const std::vector<Case> cases = {
        {"as written", {}, 2, 0, 1, 2, 3},
        {"equal first times: the cluster seen first stays the start",
         {{0, [&](unsigned char* s) { swapped(s + 4, t0); }},
          {1, [&](unsigned char* s) { swapped(s + 4, t0); }}},
         2,
         0,
         1,
         2,
         3},
        {"equal last times: the cluster seen later becomes the end",
         {{0,
           [&](unsigned char* s) {
               swapped(s + 0x0C, t0);
               s[0x19] = 9;
           }},
          {1,
           [&](unsigned char* s) {
               swapped(s + 0x0C, t0);
               s[0x19] = 9;
           }}},
         2,
         0,
         1,
         2,
         3},
        {"an earlier first frame later in recording order moves the start",
         {{1, [&](unsigned char* s) { swapped(s + 4, t0 - 64); }}},
         2,
         1,
         1,
         2,
         3},
        {"years before times: 2008-12-31 starts before 2009-01-01",
         {{0,
           [&](unsigned char* s) {
               swapped(s + 4, simorma::PackTime(1, 1, 0, 0, 0));
               s[0x18] = 9;
           }},
          {1,
           [&](unsigned char* s) {
               swapped(s + 4, simorma::PackTime(12, 31, 23, 59, 0));
               s[0x18] = 8;
           }}},
         2,
         1,
         1,
         2,
         3},
        {"years before times for the end too",
         {{0,
           [&](unsigned char* s) {
               swapped(s + 0x0C, simorma::PackTime(1, 1, 0, 0, 0));
               s[0x19] = 10;
           }}},
         2,
         0,
         0,
         2,
         3},
        {"0x55AA never starts a segment and is not used",
         {{0, [&](unsigned char* s) { platform::WriteLE16(s + 0x14, 0x55AA); }}},
         2,
         1,
         1,
         1,
         2},
        {"alarm count -1 adds nothing, 0 adds one",
         {{0, [&](unsigned char* s) { platform::WriteLE16(s + 0x16, 0xFFFF); }},
          {2, [&](unsigned char* s) { platform::WriteLE16(s + 0x16, 0); }}},
         2,
         0,
         1,
         2,
         3},
        {"a broken magic still counts as a segment, without its alarms",
         {{1, [&](unsigned char* s) { s[0] = 0; }}},
         2,
         0,
         1,
         1,
         3},
        {"more alarm entries than a record holds count as 40",
         {{2, [&](unsigned char* s) { platform::WriteLE16(s + 0x16, 500); }}},
         2,
         0,
         1,
         42,
         3},
        {"all unused: no segment, the open fails",
         {{0, [&](unsigned char* s) { platform::WriteLE16(s + 0x14, 0x55AA); }},
          {1, [&](unsigned char* s) { platform::WriteLE16(s + 0x14, 0x55AA); }},
          {2, [&](unsigned char* s) { platform::WriteLE16(s + 0x14, 0x55AA); }}},
         0,
         0,
         0,
         0,
         0},
    };
    simorma::Options o = test::SmallImage();
    o.framesPerBlock = 1;
    o.sparseContent = true;
    for (const Case& c : cases) {
        Recording rec("rules.orm", o);
        ASSERT_EQ(rec.result.error, "");
        for (const auto& [cluster, edit] : c.patches)
            test::PatchSector(rec.path, (cluster + 1ull) * C - 1, edit);
        Capture cap;
        COrmaDisk disk(nullptr);
        HRESULT hr = disk.OpenDisk(0, rec.path.c_str());
        if (c.segments == 0) {
            EXPECT_EQ(hr, E_FAIL) << c.name;
            continue;
        }
        ASSERT_EQ(hr, S_OK) << c.name;
        ASSERT_EQ(disk.Segments().size(), static_cast<std::size_t>(c.segments)) << c.name;
        EXPECT_EQ(disk.Segments()[0].first_cluster, c.first) << c.name;
        EXPECT_EQ(disk.Segments()[0].last_cluster, c.last) << c.name;
        EXPECT_EQ(disk.AlarmTotal(), c.alarms) << c.name;
        EXPECT_EQ(disk.UsedClusters(), c.used) << c.name;
        UINT n = disk.AlarmTotal();
        std::vector<BYTE> list(std::max<std::size_t>(1, n * 12u));
        EXPECT_EQ(disk.GetAlarmList(list.data(), &n), S_OK) << c.name;
    }
}

TEST(OrmaIndex, BrokenRecordIsReportedAndKept) {
    simorma::Options o = test::SmallImage();
    o.sparseContent = true;
    o.framesPerBlock = 1;
    o.damage.brokenD32M = {1};
    Recording rec("broken_d32m.orm", o);
    Capture cap;
    COrmaDisk disk(nullptr);
    ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), S_OK);
    EXPECT_TRUE(cap.Saw("D32M structure broken! (1-th cluster)\n"));
    EXPECT_EQ(disk.Segments().size(), 2u);
}

TEST(OrmaIndex, WrappedRecordingSkipsTheOverwrittenOldestCluster) {
    simorma::Options o;
    o.driveSectors = 5 * 65536 + 3000;
    o.firstCluster = 0;
    o.wrapped = true;
    o.overwrittenBlocks = 2;
    o.framesPerBlock = 1;
    o.width = 64;
    o.height = 48;
    o.segments = {{11, 3, SecondsOf(2010, 6, 1, 0, 0, 0), 3000, 0, 0},
                  {12, 2, SecondsOf(2010, 6, 2, 0, 0, 0), 2000, 0, 7}};
    Recording rec("wrapped.img", o);
    ASSERT_EQ(rec.result.error, "");
    COrmaSlotBank pins;
    COrmaDisk disk(&pins);
    ASSERT_EQ(disk.OpenDrive(1, rec.path.c_str(), common::AccessMode::File), S_OK);
    EXPECT_EQ(disk.WriteCluster(), 0u);
    ASSERT_EQ(disk.Segments().size(), 2u);
    const OrmaSegment& oldest = disk.Segments()[0];
    EXPECT_EQ(oldest.segment_id, 11);
    // Clusters 0, 1, 2 hold segment 11; segment 12 (clusters 3, 4) has gone on into cluster 0, so
    // segment 11 now starts at cluster 1, with cluster 1's time and address.
    EXPECT_EQ(oldest.first_cluster, 1u);
    EXPECT_EQ(oldest.last_cluster, 2u);
    EXPECT_EQ(oldest.start_address, 65536u);
    EXPECT_EQ(oldest.start_time, disk.ClusterRecord(1).FirstTime());
    EXPECT_EQ(disk.Segments()[1].first_cluster, 3u);
    EXPECT_EQ(disk.Segments()[1].last_cluster, 4u);
    // Playback of the oldest segment begins in cluster 1.
    EXPECT_EQ(disk.CurrentCluster(), 1u);
}

TEST(OrmaIndex, WrappedCorrectionNeedsFirstBelowLast) {
    // The oldest segment runs from cluster 3 round to cluster 0: first (3) is not below last (0) in
    // cluster numbers, so the start stays although the cluster was overwritten.
    simorma::Options o;
    o.driveSectors = 4 * 65536 + 3000;
    o.firstCluster = 3;
    o.wrapped = true;
    o.framesPerBlock = 1;
    o.width = 64;
    o.height = 48;
    o.segments = {{11, 2, SecondsOf(2010, 6, 1, 0, 0, 0), 3000, 0, 0},
                  {12, 2, SecondsOf(2010, 6, 2, 0, 0, 0), 2000, 0, 7}};
    Recording rec("wrapped2.img", o);
    ASSERT_EQ(rec.result.error, "");
    COrmaDisk disk(nullptr);
    ASSERT_EQ(disk.OpenDrive(1, rec.path.c_str(), common::AccessMode::File), S_OK);
    EXPECT_EQ(disk.Segments()[0].first_cluster, 3u);
}

TEST(OrmaIndex, DamagedAndTruncatedImagesOpenOrFailCleanly) {
    struct Case {
        const char* name;
        std::function<void(simorma::Options&)> setup;
        HRESULT open;
        DWORD clusters;
    };
    const std::vector<Case> cases = {
        {"broken marker", [](simorma::Options& o) { o.damage.brokenMarker = true; }, E_FAIL, 0},
        {"unreadable tail: the marker claims two clusters more",
         [](simorma::Options& o) { o.damage.unreadableTailClusters = 2; }, S_OK, 3},
        {"truncated by one sector: no marker", [](simorma::Options& o) { o.damage.truncateSectors = 1; },
         E_FAIL, 0},
        {"truncated into the last cluster", [](simorma::Options& o) { o.damage.truncateSectors = 70000; },
         E_FAIL, 0},
        {"broken block headers",
         [](simorma::Options& o) {
             o.damage.brokenDisk01M = {{0, 0}, {0, 1}, {2, 0}};
         },
         S_OK, 3},
        {"small frame sizes", [](simorma::Options& o) { o.damage.smallFrameSizeEvery = 3; }, S_OK, 3},
        {"frames without magic", [](simorma::Options& o) { o.damage.missingFrameMagicEvery = 2; }, S_OK, 3},
        {"broken D32M of every cluster",
         [](simorma::Options& o) {
             o.damage.brokenD32M = {0, 1, 2};
         },
         S_OK, 3},
    };
    for (const Case& c : cases) {
        simorma::Options o = test::SmallImage();
        c.setup(o);
        Recording rec("damaged.orm", o);
        ASSERT_EQ(rec.result.error, "") << c.name;
        const auto before = test::Checksum(rec.path);
        Capture cap;
        COrmaSlotBank pins;
        COrmaDisk disk(&pins);
        ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), c.open) << c.name;
        if (c.open == S_OK) {
            EXPECT_EQ(disk.ClusterCount(), c.clusters) << c.name;
            // Walking the whole recording twice round ends or wraps without a fault.
            disk.StartPlayback();
            test::Walk(disk, 400);
            disk.SetPlaybackSpeed(-1000);
            disk.SetPointerSegment(1, 1);
            test::Walk(disk, 400);
        }
        EXPECT_EQ(test::Checksum(rec.path), before) << c.name;
    }
}

TEST(OrmaIndex, CancelledScanFailsThisAndEveryLaterOpen) {
    Recording rec("cancel.orm", test::SmallImage());
    COrmaDisk disk(nullptr);
    UINT permille = 7;
    EXPECT_EQ(disk.GetScanProgress(&permille, 1), S_OK);
    EXPECT_EQ(permille, 0u);
    EXPECT_EQ(disk.OpenDisk(0, rec.path.c_str()), E_FAIL);
    EXPECT_EQ(disk.OpenDisk(0, rec.path.c_str()), E_FAIL);
    EXPECT_FALSE(disk.IsOpen());
    UINT n = 0;
    EXPECT_EQ(disk.GetSegmentList(nullptr, &n), E_FAIL);
    EXPECT_EQ(disk.GetAlarmList(nullptr, &n), E_FAIL);
}

} // namespace
} // namespace orma

namespace orma {
namespace {

// Every request the raw-disk driver receives while a damaged drive is opened and walked stays inside
// the drive.
TEST(OrmaIndex, DamagedDriveIsNeverReadPastItsEnd) {
    simorma::Options o = test::SmallImage();
    o.image = false;
    o.driveSectors = 4 * 65536 + 7000;
    o.damage.smallFrameSizeEvery = 5;
    o.damage.missingFrameMagicEvery = 3;
    o.damage.brokenDisk01M = {{0, 2}, {1, 0}};
    o.damage.brokenD32M = {2};
    Recording rec("bounds.img", o);
    ASSERT_EQ(rec.result.error, "");
    ::setenv("SCRYDE_DRIVES", ("1=" + rec.path).c_str(), 1);
    const unsigned long long bytes = rec.result.fileBytes;
    std::atomic<int> requests{0}, outside{0};
    platform::SetDriverFaultHook([&](const platform::DriverRequest& r) {
        ++requests;
        if (r.byteOffset + ULONGLONG(r.sectorCount ? r.sectorCount : 1) * 512 > bytes)
            ++outside;
        return platform::DriverFault{};
    });
    {
        Capture cap;
        COrmaSlotBank pins;
        COrmaDisk disk(&pins);
        disk.SetWindowsMajor(5);
        ASSERT_EQ(disk.OpenDisk(1, "\\\\.\\PHYSICALDRIVE1"), S_OK);
        disk.StartPlayback();
        std::vector<BYTE> audio(51040);
        auto readOn = [&](int frames) { // keeps reading past failures, as a restarted stream would
            for (int i = 0; i < frames; ++i) {
                LONG length = static_cast<LONG>(audio.size());
                BYTE ch = 0;
                disk.GetFrame(audio.data(), &length, &ch);
            }
        };
        for (int round = 0; round < 6; ++round) {
            readOn(100);
            disk.SetPlaybackSpeed(round % 2 ? 1000 : -2000);
            disk.SetPointerSegment(round % 3, round % 2);
        }
        disk.SetPointerTime(0xFF, 0xFFFFFFFF);
        disk.SetPointerPosition(1000);
        readOn(20);
    }
    platform::SetDriverFaultHook({});
    ::unsetenv("SCRYDE_DRIVES");
    EXPECT_GT(requests.load(), 500);
    EXPECT_EQ(outside.load(), 0);
}

} // namespace
} // namespace orma
