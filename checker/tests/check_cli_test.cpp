// `scryde check` end to end: the JSON findings, the report file against the core's, the exit statuses.
#include <gtest/gtest.h>

#include "checker/report.h"
#include "checker/structure_check.h"
#include "checker_test_util.h"
#include "cli/tests/run_scryde.h"

namespace checker {
namespace {

using namespace checker::test;
using clitest::RunScryde;
using Field = simorma::Damage::Field;

TEST(ScrydeCheck, JsonListsEachFindingAndTheVerdict) {
    simorma::Options o = SoundDrive(3);
    o.damage.fields = {{Field::EventNumber, 0, 0, 0, 41}};
    o.damage.brokenDisk01M = {{1, 3}};
    Recording drive("cli_json.img", o);
    ASSERT_EQ(drive.result.error, "");
    const auto before = SparseChecksum(drive.path);
    const std::string event =
        "{\"cluster\": 0, \"block\": null, \"text\": \"| ERROR: Event number 41 in the cluster "
        "is out ofrange (0~40).\\r\\n\"}";
    const std::string block =
        "{\"cluster\": 1, \"block\": 3, \"text\": \"| | ERROR: The block magic #0xdeadbeef does "
        "no match the expected one.\\r\\n| | Block structure damaged\\r\\n\"}";
    const std::string verdict =
        "\"Total 2 errors found in the HD structure.\\r\\nThis HD should be reformatted "
        "before next usage.\\r\\n\"";
    auto r = RunScryde({"check", drive.path, "--as-drive", "--level", "block", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"clusters\": 3, \"errors\": 2, \"verdict\": " + verdict +
                         ", \"aborted\": false, \"findings\": [" + event + ", " + block + "]}\n");
    // At cluster level the block is not looked at.
    r = RunScryde({"check", drive.path, "--as-drive", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"errors\": 1, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"findings\": [" + event + "]}"), std::string::npos) << r.out;
    // For people: one line per finding and the verdict.
    r = RunScryde({"check", drive.path, "--as-drive", "--level", "block"});
    EXPECT_EQ(r.out, drive.path +
                         ": 3 clusters of 65536 sectors checked at block level, 2 errors\n"
                         "cluster 0: ERROR: Event number 41 in the cluster is out ofrange (0~40).\n"
                         "cluster 1 block 3: ERROR: The block magic #0xdeadbeef does no match the expected "
                         "one. Block structure damaged\n"
                         "Total 2 errors found in the HD structure. This HD should be reformatted before "
                         "next usage.\n");
    EXPECT_EQ(SparseChecksum(drive.path), before);
}

TEST(ScrydeCheck, ReportIsTheCheckersReport) {
    UseUtc();
    Recording drive("cli_report.img", SoundDrive(2));
    const std::string path = drive.path + ".txt";
    auto r = RunScryde({"check", "--drive", "1", "--level", "block", "--report", path},
                       {"SCRYDE_DRIVES=1=" + drive.path, "SCRYDE_WINVER=5.1", "TZ=UTC",
                        "SOURCE_DATE_EPOCH=" + std::to_string(kReportTime)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("No error found. This HD looks OK."), std::string::npos) << r.out;
    CStructureCheck check;
    ASSERT_EQ(check.OpenFile(drive.path), CStructureCheck::OpenResult::Opened);
    check.Run(true);
    EXPECT_EQ(Slurp(path), TextModeBytes(ComposeReport(check, kReportTime)));
    std::remove(path.c_str());
}

TEST(ScrydeCheck, ExitStatuses) {
    Recording drive("cli_status.img", SoundDrive(2, false));
    simorma::Options broken = SoundDrive(2, false);
    broken.damage.brokenMarker = true;
    Recording notOrma("cli_status_broken.img", broken);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"check", drive.path},
         2,
         "scryde: check: the check reads a whole drive; give the FILE with --as-drive\n"},
        {{"check"}, 2, "scryde: check: name --drive N or a FILE with --as-drive\n"},
        {{"check", drive.path, "--as-drive", "--level", "image"},
         2,
         "scryde: check: --level is cluster or block, not \"image\"\n"},
        {{"check", "--drive", "0"}, 1, "scryde: check: drive 0 is never opened for checking\n"},
        {{"check", "--drive", "3"},
         1,
         "scryde: check: there is no drive 3 in the drive map (see scryde drives)\n"},
        {{"check", notOrma.path, "--as-drive"},
         1,
         "scryde: check: " + notOrma.path + ": no ORMA marker sector, not an ORMA drive\n"},
        {{"check", "/nonexistent-chekra.img", "--as-drive"},
         1,
         "scryde: check: /nonexistent-chekra.img: cannot be opened\n"},
        {{"check", drive.path, "--as-drive", "--report", "/nonexistent-folder/r.txt"},
         1,
         "scryde: check: Failed to open the file for report. (/nonexistent-folder/r.txt)\n"},
    };
    for (const Case& c : cases) {
        auto r = RunScryde(c.args, {"SCRYDE_DRIVES=0=" + drive.path + ",1=" + drive.path});
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

} // namespace
} // namespace checker
