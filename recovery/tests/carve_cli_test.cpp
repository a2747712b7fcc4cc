// scryde carve end to end: the JSON lists the finds with their indexed marks, --export writes pictures
// that djpeg and FFmpeg decode and TAV streams with their sidecars, and every file lands in the audit log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "cli/tests/run_scryde.h"
#include "sim_orma/orma_sim.h"
#include "sim_tav/tav_recorder.h"
#include "testsupport/temp.h"

namespace {

using clitest::RunScryde;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

class CarveCli : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_dir.File(name); }
    clitest::Result Run(std::vector<std::string> args) {
        return RunScryde(args, {"SCRYDE_HOME=" + Path("home")});
    }
    testsupport::CTempDir m_dir{"carve_cli"};
};

TEST_F(CarveCli, OrmaImageWithAWipedClusterHeader) {
    simorma::Options o;
    o.image = true;
    o.clusterSectors = 65536;
    o.framesPerBlock = 2;
    o.width = 96;
    o.height = 64;
    o.sparseContent = true;
    o.recordFrames = true;
    o.segments = {{4, 3, simorma::SecondsOf(2010, 3, 2, 8, 0, 0), 300, 0, 2}};
    o.damage.zeroedD32M = {2};
    const std::string image = Path("drive.orm");
    simorma::Result written = simorma::Write(image, o);
    ASSERT_EQ(written.error, "");
    std::size_t outside = 0;
    for (const auto& f : written.frames)
        outside += f.indexed ? 0 : 1;
    ASSERT_GT(outside, 0u);

    clitest::Result r = Run({"carve", image, "--json", "--export", Path("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Count(r.out, "\"kind\": \"jpeg\""), written.frames.size()) << r.out;
    EXPECT_EQ(Count(r.out, "\"indexed\": false"), outside);
    EXPECT_NE(r.out.find("\"time\": \"2010/03/02 08:00:00\""), std::string::npos);

    std::size_t pictures = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Path("out"))) {
        ++pictures;
        const std::string jpg = entry.path().string();
        EXPECT_EQ(Shell("djpeg -outfile /dev/null '" + jpg + "'"), 0) << jpg;
        if (pictures == 1) {
            EXPECT_EQ(Shell("ffmpeg -v error -xerror -i '" + jpg + "' -f null - 2>" + Path("ffmpeg.err")), 0);
        }
    }
    EXPECT_EQ(pictures, written.frames.size());
    std::ifstream err(Path("ffmpeg.err"));
    std::stringstream ffmpegErr;
    ffmpegErr << err.rdbuf();
    EXPECT_EQ(ffmpegErr.str(), "");
    clitest::Result audit = Run({"audit", "--json"});
    EXPECT_EQ(Count(audit.out, ".jpg"), written.frames.size());

    // Sectors 0 .. 65535: the first cluster only.
    clitest::Result part = Run({"carve", image, "--from-sector", "0", "--to-sector", "65535", "--json"});
    ASSERT_EQ(part.status, 0) << part.err;
    std::size_t inFirst = 0;
    for (const auto& f : written.frames)
        inFirst += f.sector - written.sectorBase < 65536 ? 1 : 0;
    EXPECT_EQ(Count(part.out, "\"kind\""), inFirst);
    EXPECT_EQ(Run({"carve", image, "--from-sector", "9", "--to-sector", "3"}).status, 2);
}

TEST_F(CarveCli, TavDriveWithAStaleBlockIndexExportsStreams) {
    sim_tav::RecorderOptions o;
    o.gib = 1;
    o.realPictures = true;
    o.width = 144;
    o.height = 96;
    o.channels = 2;
    o.segments = 2;
    o.packetsPerBlock = 12;
    o.damage = {{sim_tav::Damage::StaleIndex, 0, 1}};
    const std::string drive = Path("tav.img");
    sim_tav::Recording rec = sim_tav::WriteTavDrive(drive, o);
    std::size_t outside = 0;
    for (const auto& p : rec.packets)
        outside += p.indexed ? 0 : 1;
    ASSERT_GT(outside, 0u);
    clitest::Result r = Run({"carve", drive, "--kind", "tav", "--json", "--export", Path("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Count(r.out, "\"sector\""), rec.packets.size());
    EXPECT_EQ(Count(r.out, "\"indexed\": false"), outside);
    EXPECT_TRUE(std::filesystem::exists(Path("out/ch01.m4v")));
    EXPECT_TRUE(std::filesystem::exists(Path("out/ch02.times.csv")));
    // The elementary stream of a channel plays on its own.
    EXPECT_EQ(Shell("ffmpeg -v error -xerror -f m4v -i '" + Path("out/ch01.m4v") + "' -f null - 2>" +
                    Path("m4v.err")),
              0);
    std::ifstream err(Path("m4v.err"));
    std::stringstream text;
    text << err.rdbuf();
    EXPECT_EQ(text.str(), "");
}

} // namespace
