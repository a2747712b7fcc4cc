// Forensic images end to end: EWF files made by the acquisition tools and split copies made by `split`
// read exactly like the raw image in every command; `verify` agrees with the standard tools; every file a
// command writes leaves an audit line whose SHA-256 is the file's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "media/clsids.h"
#include "platform/registry.h"
#include "run_scryde.h"
#include "testsupport/temp.h"

namespace {

using clitest::RunScryde;
using clitest::Slurp;

// Standard output of a shell command.
std::string Capture(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(command.c_str(), "r"), &::pclose);
    std::string out;
    char buf[4096];
    std::size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p.get())) > 0)
        out.append(buf, n);
    return out;
}

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string Sum(const std::string& tool, const std::string& path) {
    return Capture(tool + " " + path).substr(0, tool == "md5sum" ? 32 : 64);
}

// The pictures of a contact sheet without its title line, which names the source file. The sheet is written
// as raw RGB scanlines in stored deflate blocks, so taking it apart needs no decoder.
std::string SheetPictures(const std::string& path) {
    const std::string png = Slurp(path);
    std::string z;
    std::uint32_t width = 0;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        auto be32 = [&](std::size_t i) {
            return std::uint32_t(std::uint8_t(png[i])) << 24 | std::uint32_t(std::uint8_t(png[i + 1])) << 16 |
                   std::uint32_t(std::uint8_t(png[i + 2])) << 8 | std::uint8_t(png[i + 3]);
        };
        const std::uint32_t length = be32(at);
        const std::string type = png.substr(at + 4, 4);
        if (type == "IHDR")
            width = be32(at + 8);
        if (type == "IDAT")
            z += png.substr(at + 8, length);
        at += 12 + length;
    }
    std::string rows;
    for (std::size_t at = 2; at + 5 <= z.size();) { // after the zlib header: stored blocks
        const std::size_t length = std::uint8_t(z[at + 1]) | std::uint8_t(z[at + 2]) << 8;
        rows += z.substr(at + 5, length);
        const bool last = z[at] & 1;
        at += 5 + length;
        if (last)
            break;
    }
    const std::size_t title = 24 * (1 + std::size_t(width) * 3);
    return rows.size() > title ? rows.substr(title) : "";
}

class EvidenceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = s_scratch.emplace("evidence_test").Path();
        auto orma =
            RunScryde({"sim", "orma", s_dir + "/rec.orm", "--image", "--channels", "2", "--minutes", "1"});
        ASSERT_EQ(orma.status, 0) << orma.err;
        // The TAV drive as small as the recorder makes one, and its ".tav" image.
        auto tav = RunScryde({"sim", "tav", "--out", s_dir + "/drive.img", "--gib", "1", "--image",
                              s_dir + "/rec.tav", "--channels", "2", "--kind", "2", "--pictures",
                              "--segments", "2"});
        ASSERT_EQ(tav.status, 0) << tav.err;
        for (const char* name : {"rec.orm", "rec.tav", "drive.img"}) {
            const std::string raw = s_dir + "/" + name;
            ASSERT_EQ(Shell("ewfacquire -u -c fast -C CASE-18 -e Examiner -t " + raw + " " + raw), 0)
                << "ewfacquire (Debian ewf-tools, installed by scripts/deps) is needed";
            if (std::string(name) == "drive.img")
                continue; // split copies of the sparse drive would fill the disk with its holes
            ASSERT_EQ(Shell("split -n 3 --numeric-suffixes=1 -a 3 " + raw + " " + raw + "."), 0);
            ASSERT_EQ(Shell("split -n 4 -a 2 " + raw + " " + raw + "."), 0);
        }
    }
    static void TearDownTestSuite() { s_scratch.reset(); }
    void SetUp() override {
        if (!platform::LookupClass(CLSID_FilterGraph))
            GTEST_SKIP() << "the stock filters are not registered in this build";
        m_home = s_dir + "/home-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::mkdir(m_home.c_str(), 0755);
    }
    clitest::Result Run(const std::vector<std::string>& args) {
        return RunScryde(args, {"SCRYDE_HOME=" + m_home});
    }

    static std::optional<testsupport::CTempDir> s_scratch;
    static std::string s_dir;
    std::string m_home;
};
std::optional<testsupport::CTempDir> EvidenceTest::s_scratch;
std::string EvidenceTest::s_dir;

TEST_F(EvidenceTest, ImagesReadExactlyLikeTheRawDriveAndStayUnchanged) {
    struct Source {
        std::string raw;
        std::vector<std::string> containers;
        std::vector<std::string> extra; // --as-drive for the TAV drive
        std::string from;
        std::vector<std::string> play; // empty: not played
        std::string exportTo;          // the end of an exported range whose checksum is compared
    } sources[] = {
        // The ORMA source's play limit stops on its threads' timing, so the last picture shown varies from
        // run to run even on the raw image: an exported range's checksum stands in for the played picture.
        {"rec.orm", {".E01", ".001", ".aa"}, {}, "2009/03/01 08:00:05", {}, "2009/03/01 08:00:20"},
        {"rec.tav",
         {".E01", ".001", ".aa"},
         {},
         "2010/01/01 00:00:01",
         {"--channels", "0x1", "--frames", "6"},
         ""},
        // play reads no file given --as-drive, so the drive is compared by what info and frames say.
        {"drive.img", {".E01"}, {"--as-drive"}, "2010/01/01 00:00:01", {}, ""},
    };
    for (const Source& s : sources) {
        const std::string raw = s_dir + "/" + s.raw;
        auto sums = [&] {
            std::string all;
            for (const char* suffix : {".E01", ".001", ".002", ".003", ".aa", ".ad"})
                if (::access((raw + suffix).c_str(), F_OK) == 0)
                    all += Sum("sha256sum", raw + suffix);
            return all;
        };
        const std::string before = sums();
        auto run = [&](const std::string& path, std::vector<std::string> args) {
            args.insert(args.begin() + 1, path);
            args.insert(args.end(), s.extra.begin(), s.extra.end());
            auto r = Run(args);
            EXPECT_EQ(r.status, 0) << args[0] << " " << path << ": " << r.err;
            return r.out;
        };
        // What the commands say about `path`, and the checksum of the picture it plays.
        auto answers = [&](const std::string& path) {
            std::string all = run(path, {"info", "--json"}) +
                              run(path, {"frames", "--from", s.from, "--count", "40", "--json"});
            if (!s.exportTo.empty()) {
                const std::string out = s_dir + "/export-" + std::to_string(std::hash<std::string>{}(path));
                run(path, {"export", "--from", s.from, "--to", s.exportTo, "--out", out});
                all += Sum("sha256sum", out);
            }
            if (!s.play.empty()) {
                const std::string out = s_dir + "/play-" + std::to_string(std::hash<std::string>{}(path));
                ::mkdir(out.c_str(), 0755);
                std::vector<std::string> args = {"play", "--out", out, "--time-limit", "60"};
                args.insert(args.end(), s.play.begin(), s.play.end());
                run(path, args);
                const std::string pictures = SheetPictures(out + "/contact-sheet.png");
                EXPECT_GT(pictures.size(), 100000u) << path;
                all += std::to_string(std::hash<std::string>{}(pictures));
            }
            return all;
        };
        const std::string want = answers(raw);
        ASSERT_NE(want.find("\"time\""), std::string::npos) << want;
        for (const std::string& suffix : s.containers)
            EXPECT_EQ(answers(raw + suffix), want) << raw + suffix;
        EXPECT_EQ(sums(), before) << "a container of " << raw << " was written";
    }
    // The acquisition facts head the people's text of info.
    auto info = Run({"info", s_dir + "/rec.orm.E01"});
    EXPECT_NE(info.out.find("case_number                CASE-18"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("acquisition MD5            " + Sum("md5sum", s_dir + "/rec.orm")),
              std::string::npos)
        << info.out;
}

TEST_F(EvidenceTest, AMissingOrTruncatedSegmentIsNamed) {
    const std::string dir = s_dir + "/broken";
    ::mkdir(dir.c_str(), 0755);
    ASSERT_EQ(Shell("cp " + s_dir + "/rec.orm.00? " + dir + " && rm " + dir + "/rec.orm.002"), 0);
    const std::string e01 = Slurp(s_dir + "/rec.orm.E01");
    {
        std::FILE* f = std::fopen((dir + "/cut.orm.E01").c_str(), "wb");
        std::fwrite(e01.data(), 1, e01.size() / 2, f);
        std::fclose(f);
    }
    for (const std::string command : {"info", "verify"}) {
        auto gap = Run({command, dir + "/rec.orm.001"});
        EXPECT_EQ(gap.status, 1);
        EXPECT_NE(gap.err.find("part " + dir + "/rec.orm.002 is missing"), std::string::npos) << gap.err;
        auto cut = Run({command, dir + "/cut.orm.E01"});
        EXPECT_EQ(cut.status, 1);
        EXPECT_NE(cut.err.find(dir + "/cut.orm.E01"), std::string::npos) << cut.err;
        EXPECT_NE(cut.err.find("damaged"), std::string::npos) << cut.err;
        EXPECT_EQ(cut.err.find('\n'), cut.err.size() - 1) << "one line: " << cut.err;
    }
    // In the drive map the drive is listed with the problem.
    auto drives = RunScryde({"drives"}, {"SCRYDE_DRIVES=1=" + dir + "/rec.orm.001"});
    EXPECT_NE(drives.out.find("rec.orm.002 is missing"), std::string::npos) << drives.out;
}

TEST_F(EvidenceTest, VerifyAgreesWithTheStandardTools) {
    for (const char* name : {"rec.orm", "rec.tav"}) {
        const std::string raw = s_dir + "/" + name;
        const std::string sha = Sum("sha256sum", raw), md5 = Sum("md5sum", raw);
        auto plain = Run({"verify", raw});
        EXPECT_EQ(plain.status, 0) << plain.err;
        EXPECT_EQ(plain.out, "SHA256  " + sha + "\nMD5  " + md5 + "\n");
        auto split = Run({"verify", raw + ".aa", "--json"});
        EXPECT_EQ(split.out,
                  "{\"sha256\": \"" + sha + "\", \"md5\": \"" + md5 +
                      "\", \"stored_md5\": null, \"stored_sha1\": null, \"match\": null, \"bytes\": " +
                      std::to_string(Slurp(raw).size()) + "}\n");
        // ewfverify checks the same stored hash against the same data.
        ASSERT_EQ(Shell("ewfverify -q " + raw + ".E01"), 0);
        auto ewf = Run({"verify", raw + ".E01", "--json"});
        EXPECT_EQ(ewf.status, 0) << ewf.err;
        EXPECT_NE(ewf.out.find("\"md5\": \"" + md5 + "\", \"stored_md5\": \"" + md5 + "\""),
                  std::string::npos)
            << ewf.out;
        EXPECT_NE(ewf.out.find("\"sha256\": \"" + sha + "\""), std::string::npos) << ewf.out;
        EXPECT_NE(ewf.out.find("\"match\": true"), std::string::npos) << ewf.out;
    }
}

TEST_F(EvidenceTest, EveryWrittenFileLeavesOneAuditLineWithItsDigest) {
    const std::string e01 = s_dir + "/rec.orm.E01";
    const std::string tav = s_dir + "/drive.img.E01";
    struct {
        std::vector<std::string> args;
        std::string out;
    } writes[] = {
        {{"export", e01, "--from", "2009/03/01 08:00:10", "--to", "2009/03/01 08:00:20", "--out",
          m_home + "/x.orm"},
         m_home + "/x.orm"},
        {{"export", e01, "--from", "2009/03/01 08:00:10", "--to", "2009/03/01 08:00:20", "--type", "text",
          "--out", m_home + "/x.txt"},
         m_home + "/x.txt"},
        {{"diag", tav, "--as-drive", "--out", m_home + "/diag.txt"}, m_home + "/diag.txt"},
        {{"syslog", tav, "--as-drive", "--out", m_home + "/syslog.txt"}, m_home + "/syslog.txt"},
        {{"check", s_dir + "/rec.orm.001", "--as-drive", "--report", m_home + "/check.txt"},
         m_home + "/check.txt"},
        {{"play", tav, "--as-drive", "--seconds", "2", "--time-limit", "60", "--out", m_home},
         m_home + "/contact-sheet.png"},
    };
    std::size_t lines = 0;
    for (const auto& w : writes) {
        auto r = Run(w.args);
        ASSERT_EQ(r.status, 0) << w.args[0] << ": " << r.err;
        auto log = Run({"audit", "--json"});
        ASSERT_EQ(log.status, 0) << log.err;
        // Each command opened its source once and wrote one file.
        const std::string sha = Sum("sha256sum", w.out);
        std::size_t at = log.out.find("\"output\": \"" + w.out + "\"");
        ASSERT_NE(at, std::string::npos) << log.out;
        const std::string line =
            log.out.substr(log.out.rfind('{', at), log.out.find('}', at) - log.out.rfind('{', at));
        EXPECT_NE(line.find("\"action\": \"write\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"sha256\": \"" + sha + "\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"output_bytes\": " + std::to_string(Slurp(w.out).size())), std::string::npos)
            << line;
        EXPECT_NE(line.find("\"program\": \"scryde " + w.args[0] + "\""), std::string::npos) << line;
        lines += 2;
        EXPECT_EQ(static_cast<std::size_t>(std::count(log.out.begin(), log.out.end(), '{')), lines)
            << log.out;
    }
    // The export printed the same digest it logged.
    auto text = Run({"audit"});
    EXPECT_NE(text.out.find("-> " + m_home + "/x.orm"), std::string::npos) << text.out;

    // A log that cannot be written is said so, and the file is still written whole.
    const std::string blocked = m_home + "/blocked";
    ::mkdir(blocked.c_str(), 0755);
    ::mkdir((blocked + "/audit.jsonl").c_str(), 0755); // a folder where the log should be
    auto r = RunScryde({"export", e01, "--from", "2009/03/01 08:00:10", "--to", "2009/03/01 08:00:20",
                        "--out", m_home + "/y.orm"},
                       {"SCRYDE_HOME=" + blocked});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("audit log " + blocked + "/audit.jsonl cannot be written"), std::string::npos)
        << r.err;
    EXPECT_EQ(Sum("sha256sum", m_home + "/y.orm"), Sum("sha256sum", m_home + "/x.orm"));
}

// The GPX track and the CSV table of a range hold the same frames and positions as the status lines,
// read back by independent parsers (Python's XML and csv modules).
TEST_F(EvidenceTest, GpsTrackAndStatusTableMatchTheStatusLines) {
    const std::string source = s_dir + "/rec.tav.E01";
    const std::vector<std::string> range = {"--from", "2010/01/01 00:00:01", "--to", "2010/01/01 00:00:09"};
    for (const char* type : {"text", "gpx", "csv"}) {
        std::vector<std::string> args = {"export", source,  "--type",
                                         type,     "--out", m_home + "/track." + type};
        args.insert(args.end(), range.begin(), range.end());
        auto r = Run(args);
        ASSERT_EQ(r.status, 0) << type << ": " << r.err;
        EXPECT_EQ(r.out,
                  Sum("sha256sum", m_home + "/track." + type) + "  " + m_home + "/track." + type + "\n");
    }
    ASSERT_EQ(Shell("xmllint --noout " + m_home + "/track.gpx"), 0);
    const std::string check = R"py(
import csv, re, sys, xml.etree.ElementTree as ET
home = sys.argv[1]
def degrees(text):
    m = re.fullmatch(r"(\d+)d(\d+\.\d+)'([NSEW])", text)
    v = int(m.group(1)) + float(m.group(2)) / 60
    return -v if m.group(3) in "SW" else v
lines = [l for l in open(home + "/track.text", newline="").read().split("\r\n") if l]
want = []
for l in lines:
    fields = re.findall(r',"([^"]*)"', l)
    want.append((l[:19].replace("/", "-").replace(" ", "T") + "Z", degrees(fields[1]), degrees(fields[2])))
ns = {"g": "http://www.topografix.com/GPX/1/1"}
root = ET.parse(home + "/track.gpx").getroot()
assert root.tag == "{http://www.topografix.com/GPX/1/1}gpx" and root.get("version") == "1.1"
got = [(p.find("g:time", ns).text, float(p.get("lat")), float(p.get("lon"))) for p in root.iterfind(".//g:trkpt", ns)]
assert len(got) == len(want) > 0, (len(got), len(want))
for (t1, a1, o1), (t2, a2, o2) in zip(got, want):
    assert t1 == t2 and abs(a1 - a2) < 1e-6 and abs(o1 - o2) < 1e-6, (t1, a1, o1, t2, a2, o2)
rows = list(csv.DictReader(open(home + "/track.csv", newline="")))
assert len(rows) == len(lines), (len(rows), len(lines))
for row, l in zip(rows, lines):
    assert row["time"] == l[:19] and row["channel"] == "1"
    assert [row[k] for k in ("title", "latitude_text", "longitude_text", "voltage", "first_speed")] == re.findall(r',"([^"]*)"', l)[:5]
print(len(rows))
)py";
    std::FILE* f = std::fopen((m_home + "/check.py").c_str(), "w");
    std::fputs(check.c_str(), f);
    std::fclose(f);
    const std::string frames = Capture("python3 " + m_home + "/check.py " + m_home + " 2>&1");
    EXPECT_GT(std::atoi(frames.c_str()), 5) << frames;
}

} // namespace
