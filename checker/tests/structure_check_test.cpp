#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "checker/report.h"
#include "checker/structure_check.h"
#include "checker_test_util.h"
#include "common/debug.h"
#include "common/sector.h"
#include "platform/glmdrv.h"

namespace checker {
namespace {

using namespace checker::test;
using Field = simorma::Damage::Field;

struct Checked {
    std::string log;
    int errors = 0;
    std::vector<Finding> findings;
    std::string result;
    bool aborted = false;
};

Checked CheckFile(const std::string& path, bool blocks) {
    CStructureCheck check;
    Checked out;
    EXPECT_EQ(check.OpenFile(path), CStructureCheck::OpenResult::Opened) << path;
    check.Run(blocks);
    out.log = check.Log();
    out.errors = check.ErrorCount();
    out.findings = check.Findings();
    out.result = check.Result();
    out.aborted = check.Aborted();
    return out;
}

simorma::Damage BrokenRecord(std::uint32_t cluster) {
    simorma::Damage d;
    d.brokenD32M = {cluster};
    return d;
}
simorma::Damage BrokenHeader(std::uint32_t cluster, std::uint32_t block) {
    simorma::Damage d;
    d.brokenDisk01M = {{cluster, block}};
    return d;
}
simorma::Damage Planted(Field f) {
    simorma::Damage d;
    d.fields = {f};
    return d;
}

bool Has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

TEST(CheckerTexts, DiskInformationFollowsMediaTypeAndSize) {
    struct Case {
        DWORD media;
        LONGLONG sectors;
        const char* type;
        const char* size;
    } cases[] = {
        {12, 198656, "Fixed Media", "Total size:\t101MB\r\n"},
        {11, 1953500, "Removable Media", "Total size:\t1000MB\r\n"}, // exactly 1000 MB stays in MB
        {3, 1955500, "Floppy Media", "Total size:\t\t1GB\r\n"},
        {0, 3907029168, "Unknown Media", "Total size:\t\t2000GB\r\n"}, // 2 TB: no 32-bit overflow
    };
    for (const Case& c : cases) {
        DISK_GEOMETRY g{c.sectors, c.media, 1, 1, 512};
        std::string want = std::string("Type:\t\t\t") + c.type +
                           "\r\nBytes per sector:\t512\r\nSectors per track:\t1\r\n" +
                           "Tracks per cylinder:\t1\r\nTotal cylinders:   \t" +
                           std::to_string(static_cast<int>(static_cast<DWORD>(c.sectors))) + "\r\n" + c.size;
        EXPECT_EQ(DiskInfoText(g), want) << c.type;
    }
}

TEST(CheckerTexts, DeviceInformationOfAMarkerSector) {
    BYTE m[512] = {};
    platform::WriteLE32(m, 0xAA995599);
    platform::WriteSwapped32(m + 4, 196608);
    platform::WriteSwapped32(m + 8, 65536);
    platform::WriteSwapped32(m + 12, 99); // the recorder's count is not shown; the one found is
    platform::WriteSwapped32(m + 16, 131072);
    platform::WriteSwapped32(m + 32, orma::PackTime(12, 10, 11, 1, 2));
    m[46] = 0x55; // not the year
    m[47] = 26;   // the playback year as the recorder keeps it
    platform::WriteLE32(m + 36, 0x56781234);
    platform::WriteLE32(m + 48, 1);
    platform::WriteLE32(m + 52, 0x13572468);
    EXPECT_EQ(DeviceInfoText(m, 3), "System size:\t\t\t196608 sectors\r\n"
                                    "Cluster size:\t\t\t65536 sectors\r\n"
                                    "Cluster number:\t\t\t3\r\n"
                                    "Record start point:\t\t131072\r\n"
                                    "Disk overwriten:\t\tYes\r\n"
                                    "Device index verfication A:\tCorrect\r\n"
                                    "Device index verfication B:\tWrong\r\n"
                                    "Playback year:\t\t\t12/10/2026\r\n"
                                    "Playback time:\t\t\t11:01:02\r\n");
    platform::WriteLE32(m + 48, 0);
    EXPECT_TRUE(Has(DeviceInfoText(m, 3), "Disk overwritten:\t\tNot yet\r\n"));
}

TEST(CheckerTexts, VerdictByErrorCount) {
    EXPECT_EQ(ResultText(0), "No error found. This HD looks OK.\r\n");
    EXPECT_EQ(
        ResultText(15),
        "Total 15 errors found in the HD structure.\r\nThis HD should be reformatted before next usage.\r\n");
    EXPECT_EQ(ResultText(16), "Total 16 errors found in the HD structure.\r\n"
                              "This HD should be performed with the physical surface check.\r\n");
}

TEST(CheckerReport, SoundDriveGivesTheCleanReportByteForByte) {
    UseUtc();
    Recording drive("clean.img", SoundDrive(3));
    ASSERT_EQ(drive.result.error, "");
    const auto before = SparseChecksum(drive.path);
    CStructureCheck check;
    ASSERT_EQ(check.OpenFile(drive.path), CStructureCheck::OpenResult::Opened);
    check.Run(false);
    const std::string path = drive.path + ".report.txt";
    ASSERT_TRUE(WriteReport(path, check, [] { return kReportTime; }));
    std::string want =
        "--------\r\nLog Time\r\n--------\r\n"
        "Time of this report: 12/22/2026, 11:45:7\r\n\r\r\n\r"
        "----------------\r\nDisk Information\r\n----------------\r\n"
        "Type:\t\t\tFixed Media\r\r\nBytes per sector:\t512\r\r\nSectors per track:\t1\r\r\n"
        "Tracks per cylinder:\t1\r\r\nTotal cylinders:   \t198656\r\r\nTotal size:\t101MB\r\r\n"
        "\r\n\r"
        "------------------\r\nDevice Information\r\n------------------\r\n"
        "System size:\t\t\t196608 sectors\r\r\nCluster size:\t\t\t65536 sectors\r\r\n"
        "Cluster number:\t\t\t3\r\r\nRecord start point:\t\t0\r\r\n"
        "Disk overwritten:\t\tNot yet\r\r\nDevice index verfication A:\tCorrect\r\r\n"
        "Device index verfication B:\tCorrect\r\r\nPlayback year:\t\t\t12/10/2026\r\r\n"
        "Playback time:\t\t\t11:01:00\r\r\n"
        "\r\n\r"
        "----------------\r\nChecking Details\r\n----------------\r\n"
        "+ Checking the cluster #0 at sector #65535 ...\r\r\n| The cluster 0 PASSED\r\r\n|\r\r\n"
        "+ Checking the cluster #1 at sector #131071 ...\r\r\n| The cluster 1 PASSED\r\r\n|\r\r\n"
        "+ Checking the cluster #2 at sector #196607 ...\r\r\n| The cluster 2 PASSED\r\r\n|\r\r\n"
        "\r\n\r\n"
        "--------------\r\nOverall Result\r\n--------------\r\n"
        "No error found. This HD looks OK.\r\r\n";
    EXPECT_EQ(Slurp(path), want);
    EXPECT_EQ(SparseChecksum(drive.path), before) << "the check wrote to the drive";
    std::remove(path.c_str());
}

TEST(CheckerReport, UncreatableReportFileFailsAndTheLogIsChekraLogHere) {
    CStructureCheck check;
    EXPECT_FALSE(WriteReport("/nonexistent-folder/report.txt", check));

    const std::string folder = orma::test::TempPath("log");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(folder.c_str()), 0);
    OpenCheckerLog();
    common::DebugPrint(1, "checked %d clusters", 3);
    common::DebugClose();
    EXPECT_EQ(Slurp("Chekra.log"), "1|checked 3 clusters\n");
    EXPECT_EQ(std::string(common::DebugProgramName()), "Chekra");
    EXPECT_EQ(common::DebugLevel(), 1);
    std::remove("Chekra.log");
    ASSERT_EQ(::chdir(previous), 0);
    ::rmdir(folder.c_str());
}

TEST(CheckerRun, SoundDriveAtBlockLevelPassesEveryBlock) {
    Recording drive("clean_blocks.img", SoundDrive(2));
    ASSERT_EQ(drive.result.error, "");
    Checked r = CheckFile(drive.path, true);
    EXPECT_EQ(r.errors, 0) << r.log;
    EXPECT_TRUE(
        Has(r.log, "| + Checking the block #0 at sector #2044 ...\r\n| | The block 0 PASSED\r\n| |\r\n"));
    EXPECT_TRUE(Has(r.log,
                    "| + Checking the block #31 at sector #131068 ...\r\n| | The block 31 PASSED\r\n| |\r\n"
                    "| The cluster 1 PASSED\r\n|\r\n"));
    EXPECT_EQ(r.result, "No error found. This HD looks OK.\r\n");
}

// Each damage planted by the recorder gives its text at its cluster and block, and that cluster's verdict.
TEST(CheckerRun, PlantedDamagesGiveTheirTextsAtTheirPlace) {
    struct Case {
        const char* name;
        simorma::Damage damage;
        bool blocks;
        int errors; // 0: the damage is within the limits
        std::uint32_t cluster;
        int block;
        std::string text;
        std::string verdict;
    } cases[] = {
        {"D32M magic", BrokenRecord(1), true, 1, 1, -1,
         "| ERROR: Cluster magic #0xbadf00d doesn't match the expected one.\r\n| Cluster structure "
         "damaged\r\n",
         "| The cluster 1 FAILED\r\n|\r\n"},
        {"start address", Planted({Field::StartAddress, 2, 0, 0, 0x20001}), false, 1, 2, -1,
         "| ERROR: Start address in cluster structure 0x20001 doesn't match with the actual address "
         "0x20000.\r\n",
         "| The cluster 2 FAILED\r\n|\r\n"},
        {"end address one past the cluster", Planted({Field::EndAddress, 1, 0, 0, 2 * kC}), false, 1, 1, -1,
         "| ERROR: End address in cluster structure 0x20000 is out of range (0x10000, 0x1ffff).\r\n",
         "| The cluster 1 FAILED\r\n|\r\n"},
        {"end address at the last sector", Planted({Field::EndAddress, 1, 0, 0, 2 * kC - 1}), true, 0, 1, -1,
         "", "| The cluster 1 PASSED\r\n|\r\n"},
        {"event number 41", Planted({Field::EventNumber, 0, 0, 0, 41}), true, 1, 0, -1,
         "| ERROR: Event number 41 in the cluster is out ofrange (0~40).\r\n",
         "| The cluster 0 FAILED\r\n|\r\n"},
        {"event number 0xFFFF", Planted({Field::EventNumber, 0, 0, 0, 0xFFFF}), true, 0, 0, -1, "",
         "| The cluster 0 PASSED\r\n|\r\n"},
        // A warning counts but leaves the cluster to its blocks.
        {"event position", Planted({Field::EventPosition, 1, 0, 1, kC - 1}), true, 1, 1, -1,
         "| WARNING: Event position 0xffff is out of range.\r\n", "| The cluster 1 PASSED\r\n|\r\n"},
        {"block magic", BrokenHeader(1, 3), true, 1, 1, 3,
         "| | ERROR: The block magic #0xdeadbeef does no match the expected one.\r\n| | Block structure "
         "damaged\r\n",
         "| | The block 3 FAILED\r\n| |\r\n"},
        // In block 0 of cluster 0 the unwritten entries (position 0) lie inside the block.
        {"picture number 128", Planted({Field::PictureNumber, 0, 0, 0, 128}), true, 1, 0, 0,
         "| | ERROR: Picture number(128) is out of range(1~127).\r\n", "| The cluster 0 FAILED\r\n|\r\n"},
        {"picture number 127", Planted({Field::PictureNumber, 0, 0, 0, 127}), true, 0, 0, 0, "",
         "| The cluster 0 PASSED\r\n|\r\n"},
        {"picture position at the cluster end", Planted({Field::PicturePosition, 1, 5, 0, 2 * kC}), true, 0,
         1, 5, "", "| | The block 5 PASSED\r\n| |\r\n"},
        {"picture position one sector more", Planted({Field::PicturePosition, 1, 5, 0, 2 * kC + 1}), true, 1,
         1, 5, "| | ERROR: Picture position 0x20001 is out of block range.\r\n",
         "| | The block 5 FAILED\r\n| |\r\n"},
        {"picture position before its block", Planted({Field::PicturePosition, 1, 5, 0, kC + 5 * 2048 - 1}),
         true, 1, 1, 5, "| | ERROR: Picture position 0x127ff is out of block range.\r\n",
         "| | The block 5 FAILED\r\n| |\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        simorma::Options o = SoundDrive(3, c.blocks);
        o.damage = c.damage;
        Recording drive("damage.img", o);
        ASSERT_EQ(drive.result.error, "");
        const auto before = SparseChecksum(drive.path);
        Checked r = CheckFile(drive.path, c.blocks);
        EXPECT_EQ(SparseChecksum(drive.path), before);
        EXPECT_EQ(r.errors, c.errors) << r.log;
        EXPECT_TRUE(Has(r.log, c.verdict)) << r.log;
        if (c.errors == 0) {
            EXPECT_EQ(r.result, ResultText(0));
            continue;
        }
        ASSERT_EQ(r.findings.size(), 1u);
        EXPECT_EQ(r.findings[0].cluster, c.cluster);
        EXPECT_EQ(r.findings[0].block, c.block);
        EXPECT_EQ(r.findings[0].text, c.text);
        EXPECT_TRUE(Has(r.log, c.text));
        EXPECT_EQ(r.result, ResultText(1));
    }
}

TEST(CheckerRun, ClusterErrorSkipsItsBlocks) {
    simorma::Options o = SoundDrive(2);
    o.damage.fields = {{Field::StartAddress, 0, 0, 0, 7}};
    Recording drive("skip.img", o);
    Checked r = CheckFile(drive.path, true);
    EXPECT_EQ(r.errors, 1);
    const std::string cluster0 = r.log.substr(0, r.log.find("+ Checking the cluster #1"));
    EXPECT_FALSE(Has(cluster0, "Checking the block")) << cluster0;
    EXPECT_TRUE(Has(cluster0, "| The cluster 0 FAILED\r\n|\r\n"));
    EXPECT_TRUE(Has(r.log, "| + Checking the block #31 at sector #131068 ...\r\n"));
}

// A D32M record zeroed with dd in a copy of a sound drive: magic, start and end address all fail.
TEST(CheckerRun, SectorZeroedWithDdInACopy) {
    Recording drive("dd_source.img", SoundDrive(3, false));
    ASSERT_EQ(drive.result.error, "");
    const std::string copy = drive.path + ".copy";
    const std::string cmd = "cp --sparse=always '" + drive.path + "' '" + copy + "' && dd if=/dev/zero of='" +
                            copy + "' bs=512 seek=" + std::to_string(2 * kC - 1) +
                            " count=1 conv=notrunc status=none";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_NE(SparseChecksum(copy), SparseChecksum(drive.path)) << "the checksum sees one sector changed";
    Checked r = CheckFile(copy, false);
    EXPECT_EQ(r.errors, 3) << r.log;
    EXPECT_TRUE(
        Has(r.log,
            "+ Checking the cluster #1 at sector #131071 ...\r\n"
            "| ERROR: Cluster magic #0x0 doesn't match the expected one.\r\n| Cluster structure damaged\r\n"
            "| ERROR: Start address in cluster structure 0x0 doesn't match with the actual address "
            "0x10000.\r\n"
            "| ERROR: End address in cluster structure 0x0 is out of range (0x10000, 0x1ffff).\r\n"
            "| The cluster 1 FAILED\r\n|\r\n+ Checking the cluster #2"));
    std::remove(copy.c_str());
}

TEST(CheckerRun, ThirtyErrorsStopTheRunAndSayItOnce) {
    // 31 damaged clusters: the run stops after the 30th, which is the verdict's "physical surface" count.
    simorma::Options o = SoundDrive(33, false);
    for (std::uint32_t c = 0; c < 31; ++c)
        o.damage.brokenD32M.push_back(c);
    Recording drive("ceiling.img", o);
    ASSERT_EQ(drive.result.error, "");
    Checked r = CheckFile(drive.path, false);
    EXPECT_EQ(r.errors, 30);
    EXPECT_FALSE(Has(r.log, "cluster #30 ")) << "the 31st damaged cluster is not reached";
    const std::string tail =
        "| The cluster 29 FAILED\r\n|\r\nHas reached the maximum error number. Checking exits.\n";
    ASSERT_GE(r.log.size(), tail.size());
    EXPECT_EQ(r.log.substr(r.log.size() - tail.size()), tail);
    EXPECT_EQ(r.result, ResultText(30));

    // In the middle of a cluster's blocks: thirty broken headers in cluster 1 stop at block 29.
    simorma::Options b = SoundDrive(3);
    for (std::uint32_t k = 0; k < 31; ++k)
        b.damage.brokenDisk01M.push_back({1, k});
    Recording blocks("ceiling_blocks.img", b);
    r = CheckFile(blocks.path, true);
    EXPECT_EQ(r.errors, 30);
    EXPECT_FALSE(Has(r.log.substr(r.log.find("cluster #1 ")), "block #30 "));
    EXPECT_FALSE(Has(r.log, "cluster #2 "));
    const std::string blockTail = "| | The block 29 FAILED\r\n| |\r\n| The cluster 1 FAILED\r\n|\r\n"
                                  "Has reached the maximum error number. Checking exits.\n";
    EXPECT_EQ(r.log.substr(r.log.size() - blockTail.size()), blockTail);
    EXPECT_EQ(r.log.find("Has reached"), r.log.rfind("Has reached")) << "said once";
}

TEST(CheckerRun, SectorsBeyondTwoToThe31AreShownUnsigned) {
    // A 1.2 TB drive: 4 069 clusters of 288 MiB; the last ones lie above sector 2^31.
    simorma::Options o = SoundDrive(1, false);
    o.driveSectors = 2400000000ull;
    o.framesPerBlock = 1;
    o.segments[0].clusters = 4069;
    Recording drive("large_sectors.img", o);
    ASSERT_EQ(drive.result.error, "");
    Checked r = CheckFile(drive.path, false);
    EXPECT_EQ(r.errors, 0);
    EXPECT_TRUE(
        Has(r.log, "+ Checking the cluster #4068 at sector #2399993855 ...\r\n| The cluster 4068 PASSED"))
        << r.log.substr(r.log.size() - 200);
}

TEST(CheckerRun, AbortStopsBeforeTheNextClusterAndSaysSo) {
    Recording drive("abort.img", SoundDrive(5, false));
    CStructureCheck check;
    ASSERT_EQ(check.OpenFile(drive.path), CStructureCheck::OpenResult::Opened);
    DWORD range = 0;
    std::vector<std::string> statuses;
    check.SetCallbacks({[&](DWORD n) { range = n; },
                        [&](DWORD cluster, DWORD, const std::string& status) {
                            statuses.push_back(status);
                            if (cluster == 3)
                                check.Abort();
                        }});
    check.Run(false);
    EXPECT_EQ(range, 5u);
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0], "Elapsed time: 00:00:00. Checking the cluster 1/5 ...");
    EXPECT_TRUE(check.Aborted());
    EXPECT_TRUE(Has(check.Log(), "| The cluster 1 PASSED\r\n|\r\nUser Aborted.\r\n"));
    EXPECT_FALSE(Has(check.Log(), "cluster #2"));
    EXPECT_EQ(check.Result(), ResultText(0));
}

TEST(CheckerRun, UnreadableRecordIsCheckedAsZeros) {
    // A bad sector under cluster 1's D32M: checked as zeros, not as cluster 0's record left in the buffer.
    Recording drive("bad_sector.img", SoundDrive(3, false));
    ::setenv("SCRYDE_DRIVES", ("1=" + drive.path).c_str(), 1);
    platform::SetDriverFaultHook(platform::FailingSectorHook(2 * kC - 1));
    CStructureCheck check;
    check.SetWindowsMajor(5);
    ASSERT_EQ(check.SelectDrive(1), CStructureCheck::OpenResult::Opened);
    check.Run(false);
    platform::SetDriverFaultHook({});
    ::unsetenv("SCRYDE_DRIVES");
    EXPECT_EQ(check.ErrorCount(), 3) << check.Log();
    EXPECT_TRUE(Has(check.Log(), "| ERROR: Cluster magic #0x0 doesn't match the expected one."));

    // Without its marker sector a drive is not opened: its clusters are unknown.
    simorma::Options o = SoundDrive(2, false);
    o.damage.brokenMarker = true;
    Recording broken("no_marker.img", o);
    EXPECT_EQ(check.OpenFile(broken.path), CStructureCheck::OpenResult::NoMarker);
    EXPECT_FALSE(check.IsOpen());
}

TEST(CheckerRun, CheckingTimeAddsUpClustersShorterThanAMillisecond) {
    // Every D32M read takes 0.3 ms: forty of them are 12 ms of checking time, not forty times nothing.
    Recording drive("elapsed.img", SoundDrive(40, false));
    ::setenv("SCRYDE_DRIVES", ("1=" + drive.path).c_str(), 1);
    platform::SetDriverFaultHook([](const platform::DriverRequest&) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        return platform::DriverFault{};
    });
    CStructureCheck check;
    check.SetWindowsMajor(5);
    ASSERT_EQ(check.SelectDrive(1), CStructureCheck::OpenResult::Opened);
    check.Run(false);
    platform::SetDriverFaultHook({});
    ::unsetenv("SCRYDE_DRIVES");
    EXPECT_EQ(check.ErrorCount(), 0);
    EXPECT_GE(check.ElapsedMinutes() * 60000 + check.ElapsedMilliseconds(), 12);
}

TEST(CheckerDrives, ListShowsOrmaDrivesAbove20GBAndSelectionRules) {
    // Drive 1: 20.48 GB, listed; drive 2: a small ORMA drive, not listed; drive 3: not ORMA.
    simorma::Options big = SoundDrive(610, false);
    big.driveSectors = 40000000;
    Recording large("large.img", big);
    ASSERT_EQ(large.result.error, "");
    Recording small("small.img", SoundDrive(2, false));
    const std::string other = small.path + ".zero";
    ASSERT_EQ(::truncate((other).c_str(), 0) == 0 || true, true);
    {
        std::FILE* f = std::fopen(other.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fclose(f);
    }
    ASSERT_EQ(::truncate(other.c_str(), 60000000LL * 512), 0);
    ::setenv("SCRYDE_DRIVES",
             ("0=" + large.path + ",1=" + large.path + ",2=" + small.path + ",3=" + other).c_str(), 1);
    Capture boxes;
    for (DWORD major : {4u, 5u}) {
        SCOPED_TRACE(major);
        CStructureCheck check;
        check.SetWindowsMajor(major);
        std::vector<int> steps;
        auto list = check.FindDrives([&](int d) { steps.push_back(d); });
        EXPECT_EQ(steps.size(), 16u);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].label, "HDD00 20.5GB");
        EXPECT_EQ(list[1].label, "HDD01 20.5GB");
        EXPECT_EQ(check.SelectDrive(0), CStructureCheck::OpenResult::DriveZero);
        EXPECT_FALSE(check.IsOpen());
        ASSERT_EQ(check.SelectDrive(1), CStructureCheck::OpenResult::Opened);
        EXPECT_TRUE(Has(check.DeviceInfo(), "Cluster number:\t\t\t610\r\n"));
        EXPECT_TRUE(Has(check.DiskInfo(), "Total size:\t\t20GB\r\n"));
        EXPECT_EQ(check.SelectDrive(1), CStructureCheck::OpenResult::Opened)
            << "the open drive keeps its handle";
        EXPECT_EQ(check.SelectDrive(16), CStructureCheck::OpenResult::NotValid);
        EXPECT_EQ(check.SelectDrive(9), major == 5 ? CStructureCheck::OpenResult::CannotOpen
                                                   : CStructureCheck::OpenResult::CannotOpen);
    }
    EXPECT_EQ(boxes.Boxes(),
              (std::vector<std::string>{"Error: Not a valid HD.", "Error: Failed to open the disk.",
                                        "Error: Not a valid HD.", "Error: Failed to open the disk."}));
    CStructureCheck other6;
    other6.SetWindowsMajor(6);
    EXPECT_TRUE(other6.FindDrives().empty()) << "the search runs on Windows 4 and 5 only";
    ::unsetenv("SCRYDE_DRIVES");
    std::remove(other.c_str());
}

} // namespace
} // namespace checker
