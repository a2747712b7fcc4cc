#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "run_scryde.h"
#include "testsupport/temp.h"

namespace {

using clitest::RunScryde;

TEST(ScrydeCli, HelpVersionAndUsageErrors) {
    auto help = RunScryde({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("drives"), std::string::npos);
    // The overview promises nothing that is not there.
    EXPECT_EQ(help.out.find("as they land"), std::string::npos) << help.out;
    EXPECT_EQ(RunScryde({"--version"}).status, 0);
    EXPECT_EQ(RunScryde({"drives", "--help"}).status, 0);
    auto none = RunScryde({});
    EXPECT_EQ(none.status, 2);
    auto unknown = RunScryde({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "scryde: unknown command \"frobnicate\" (see scryde --help)\n");
    EXPECT_EQ(RunScryde({"drives", "--bogus"}).status, 2);
}

TEST(ScrydeCli, DrivesListsAnAttachedImageWithItsExactSectorCount) {
    std::string path = testsupport::TempPath("drives_test", ".img");
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(1000 * 512 + 511); // 1001 sectors, the last one partial: 1000 whole sectors
        out.put('\0');
    }
    auto r = RunScryde({"drives", "--json"}, {"SCRYDE_DRIVES=1=" + path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[{\"drive\": 1, \"path\": \"" + path +
                         "\", \"sectors\": 1001, \"gb\": 0.0, \"media\": \"fixed\", \"kind\": null}]\n");
    auto text = RunScryde({"drives"}, {"SCRYDE_DRIVES=1=" + path});
    EXPECT_NE(text.out.find("1001"), std::string::npos);
    ::unlink(path.c_str());
}

TEST(ScrydeCli, BadEnvironmentGivesOneClearLine) {
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"SCRYDE_DRIVES=1:/dev/sdb"},
         {"drives"},
         "scryde: SCRYDE_DRIVES: \"1:/dev/sdb\" is not of the form NUMBER=PATH\n"},
        {{"SCRYDE_WINVER=xp"},
         {"drives"},
         "scryde: SCRYDE_WINVER: \"xp\" is not a Windows version such as 5.1\n"},
        {{"SCRYDE_DRIVES=1=/nonexistent-scryde.img"},
         {"info", "--drive", "2"},
         "scryde: info: there is no drive 2 in the drive map (see scryde drives)\n"},
        {{"SCRYDE_DRIVES=1=/nonexistent-scryde.img"},
         {"info", "--drive", "1"},
         "scryde: info: drive 1 (/nonexistent-scryde.img): No such file or directory\n"},
        {{},
         {"info", "/nonexistent-scryde.img"},
         "scryde: info: /nonexistent-scryde.img: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        auto r = RunScryde(c.args, c.env);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
    // An unreadable device is reported on its own line, and the listing goes on.
    auto r = RunScryde({"drives"}, {"SCRYDE_DRIVES=1=/nonexistent-scryde.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("cannot be read: No such file or directory"), std::string::npos) << r.out;
}

} // namespace

#include "cli/sha256.h"

namespace {

TEST(Sha256, KnownAnswers) {
    EXPECT_EQ(cli::Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(cli::Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"; // two blocks once padded
    EXPECT_EQ(cli::Sha256Hex(two.data(), two.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

} // namespace

namespace {

// RFC 1321 A.5, and the same digests fed in uneven pieces that straddle the 64-byte blocks.
TEST(Md5, KnownAnswersWholeAndInPieces) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : cases) {
        EXPECT_EQ(common::Md5Hex(text.data(), text.size()), digest) << text;
        common::CMd5 pieces;
        for (std::size_t at = 0; at < text.size(); at += 7)
            pieces.Update(text.data() + at, std::min<std::size_t>(7, text.size() - at));
        EXPECT_EQ(pieces.HexDigest(), digest) << text;
    }
    common::CSha256 sha;
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    sha.Update(two.data(), 5);
    sha.Update(two.data() + 5, two.size() - 5);
    EXPECT_EQ(sha.HexDigest(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

} // namespace

#include "cli/status_track.h"

namespace {

TEST(StatusTrack, PositionsInDecimalDegrees) {
    const struct {
        const char* text;
        std::optional<double> degrees;
    } cases[] = {
        {"40d26.5'N", 40 + 26.5 / 60},
        {"74d0.3'W", -(74 + 0.3 / 60)},
        {"33d52.12'S", -(33 + 52.12 / 60)},
        {"151d12.7'E", 151 + 12.7 / 60},
        {"", std::nullopt},
        {"40d26.5'X", std::nullopt},
        {"40d26'N", std::nullopt},
        {"d26.5'N", std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = cli::ParsePosition(c.text);
        ASSERT_EQ(got.has_value(), c.degrees.has_value()) << c.text;
        if (got) {
            EXPECT_NEAR(*got, *c.degrees, 1e-9) << c.text;
        }
    }
}

// Both line shapes: the quoted fields of kinds 2-4 and the kind-1 navigation block over several lines.
TEST(StatusTrack, ParsesBothRecordShapesIntoRows) {
    auto rows =
        cli::ParseStatusLines("2010/01/01 00:00:02 ,\"CAM\",\"40d26.5'N\",\"\",\"12.6V\",\"36KPH\",\"51KPH\","
                              "\"\",\"STP\"\r\n");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].fields,
              (std::vector<std::string>{"CAM", "40d26.5'N", "", "12.6V", "36KPH", "51KPH", "", "STP"}));
    EXPECT_TRUE(rows[0].latitude.has_value());
    EXPECT_FALSE(rows[0].longitude.has_value()); // no fix: no track point
    EXPECT_NEAR(*rows[0].speedMetres, 10.0, 1e-9);
    EXPECT_EQ(cli::StatusGpx(rows, "x").find("<trkpt"), std::string::npos);

    rows = cli::ParseStatusLines(
        "2010/01/01 00:00:01 \r\n    Status A  Chnl 1\r\n    12.5KPH  DIR 90d30'\r\n"
        "    LAT 40d26.5'N LONG 74d0.3'W\r\n2010/01/01 00:00:02 \r\n    Status V  Chnl 1\r\n");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].navigation);
    EXPECT_EQ(rows[0].fields, (std::vector<std::string>{"A", "12.5KPH", "90d30'", "40d26.5'N", "74d0.3'W"}));
    EXPECT_NEAR(*rows[0].longitude, -74.005, 1e-9);
    EXPECT_EQ(rows[1].time, "2010/01/01 00:00:02");
    const std::string csv = cli::StatusCsv(rows, 0);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "time,channel,latitude,longitude,status,speed,heading,latitude_text,"
              "longitude_text");
    EXPECT_NE(
        csv.find("2010/01/01 00:00:01,1,40.4416667,-74.0050000,A,12.5KPH,90d30',40d26.5'N,74d0.3'W\r\n"),
        std::string::npos)
        << csv;
}

} // namespace
