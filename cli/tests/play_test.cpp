#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cli/sha256.h"
#include "media/clsids.h"
#include "platform/registry.h"
#include "run_scryde.h"
#include "testsupport/temp.h"

namespace {

using clitest::RunScryde;
using clitest::Slurp;

class PlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::LookupClass(CLSID_FilterGraph))
            GTEST_SKIP() << "the stock filters are not registered in this build";
        m_image = m_dir + "/rec.orm";
        auto sim = RunScryde({"sim", "orma", m_image, "--image", "--channels", "4", "--minutes", "1"});
        ASSERT_EQ(sim.status, 0) << sim.err;
    }
    testsupport::CTempDir m_scratch{"play_test"};
    std::string m_dir = m_scratch.Path(), m_image;
};

TEST_F(PlayTest, PlaysFourChannelsThroughTheGraphAndLeavesTheImageAlone) {
    std::string before = Slurp(m_image);
    auto r = RunScryde({"play", m_image, "--frames", "40", "--out", m_dir, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"end\": \"limit\""), std::string::npos) << r.out;
    // Channels 1-4 carry pictures; the others get the blue screen once.
    std::size_t at = r.out.find("[") + 1;
    for (int ch = 0; ch < 4; ++ch) {
        long n = std::strtol(r.out.c_str() + at, nullptr, 10);
        EXPECT_GT(n, 1) << "channel " << ch + 1 << ": " << r.out;
        at = r.out.find(',', at) + 1;
    }
    EXPECT_NE(r.out.find("\"first_time\": \"2009/03/01 08:00"), std::string::npos) << r.out;
    // The audio renderer played the recording's sound alongside (the dummy SDL driver takes it).
    std::size_t audio = r.out.find("\"audio_samples\": ");
    ASSERT_NE(audio, std::string::npos);
    EXPECT_GT(std::strtol(r.out.c_str() + audio + 17, nullptr, 10), 10) << r.out;
    EXPECT_EQ(Slurp(m_dir + "/contact-sheet.png").substr(1, 3), "PNG");
    EXPECT_EQ(Slurp(m_image), before);
}

// Played fast without a limit, the recording ends where it ends; channels without a camera show only
// the blue screen, which is not counted as their pictures.
TEST_F(PlayTest, FastPlayEndsAtTheEndOfTheRecording) {
    auto r = RunScryde({"play", m_image, "--speed", "16000", "--out", m_dir, "--time-limit", "60", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"end\": \"complete\""), std::string::npos) << r.out;
    std::size_t at = r.out.find("[") + 1;
    for (int ch = 0; ch < 16; ++ch) {
        long n = std::strtol(r.out.c_str() + at, nullptr, 10);
        if (ch < 4)
            EXPECT_GT(n, 0) << "channel " << ch + 1 << ": " << r.out;
        else
            EXPECT_EQ(n, 0) << "channel " << ch + 1 << ": " << r.out;
        at = r.out.find(',', at) + 1;
    }
}

// Frame by frame, as the reader steps an ORMA recording through the graph: each step shows one more
// picture of each camera, the first being the one the pause shows.
TEST_F(PlayTest, StepsFrameByFrame) {
    auto r = RunScryde({"play", m_image, "--step", "3", "--out", m_dir, "--time-limit", "60", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"end\": \"limit\", \"message\": \"\""), std::string::npos) << r.out;
    std::size_t at = r.out.find("[") + 1;
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(std::strtol(r.out.c_str() + at, nullptr, 10), 3) << "channel " << ch + 1 << ": " << r.out;
        at = r.out.find(',', at) + 1;
    }
}

TEST_F(PlayTest, PlaysSecondsOfASegmentAndRefusesOneThatIsNotThere) {
    // The recording is circular (play runs on into the next segment), so a range ends by its length.
    auto r = RunScryde(
        {"play", m_image, "--segment", "1", "--seconds", "5", "--channels", "0x1", "--out", m_dir, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"end\": \"limit\", \"message\": \"\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"first_time\": \"2009/03/01 09:0"), std::string::npos) << r.out;
    auto bad = RunScryde({"play", m_image, "--segment", "7", "--out", m_dir});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "scryde: play: there is no segment 7 (the recording has 2)\n");
}

TEST_F(PlayTest, ADamagedImageEndsWithAClearMessage) {
    std::string damaged = m_dir + "/broken.orm";
    auto sim = RunScryde(
        {"sim", "orma", damaged, "--image", "--channels", "2", "--minutes", "1", "--damage", "small-frames"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    auto r = RunScryde({"play", damaged, "--out", m_dir, "--time-limit", "60", "--json"});
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;
    EXPECT_EQ(r.out.find("\"end\": \"limit\""), std::string::npos)
        << r.out; // ended by the stream, not the clock
}

TEST_F(PlayTest, ExportsOneClusterAsAnImageThatOpensAgain) {
    std::string before = Slurp(m_image);
    std::string out = m_dir + "/one.orm";
    auto r = RunScryde(
        {"export", m_image, "--from", "2009/03/01 08:00:10", "--to", "2009/03/01 08:00:20", "--out", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string image = Slurp(out);
    EXPECT_EQ(image.size(), 65536u * 512 + 512);
    EXPECT_EQ(r.out, cli::Sha256Hex(image.data(), image.size()) + "  " + out + "\n");
    auto info = RunScryde({"info", out, "--json"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\"cluster_count\": 1"), std::string::npos) << info.out;
    EXPECT_EQ(Slurp(m_image), before);

    // An end before the start is refused and leaves no file behind.
    std::string bad = m_dir + "/bad.orm";
    auto refused = RunScryde(
        {"export", m_image, "--from", "2009/03/01 09:02:00", "--to", "2009/03/01 08:00:20", "--out", bad});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("cannot be exported"), std::string::npos) << refused.err;
    EXPECT_NE(::access(bad.c_str(), F_OK), 0);
}

TEST_F(PlayTest, ExportsTheStatusOfEveryFrameInTheRangeAsTextAndAsRecords) {
    std::string before = Slurp(m_image);
    const std::string text = m_dir + "/range.txt", binary = m_dir + "/range.bin";
    auto t = RunScryde({"export", m_image, "--from", "2009/03/01 08:00:10", "--to", "2009/03/01 08:00:20",
                        "--out", text, "--type", "text"});
    ASSERT_EQ(t.status, 0) << t.err;
    auto b = RunScryde({"export", m_image, "--from", "2009/03/01 08:00:10", "--to", "2009/03/01 08:00:20",
                        "--out", binary, "--type", "binary"});
    ASSERT_EQ(b.status, 0) << b.err;
    // One line per frame read, in reading order, all inside the range, from its first second to its last.
    std::istringstream lines(Slurp(text));
    std::vector<std::string> times;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_GE(line.size(), 21u) << line;
        EXPECT_EQ(line.back(), '\r');
        times.push_back(line.substr(0, 19));
        EXPECT_GE(times.back(), "2009/03/01 08:00:10");
        EXPECT_LE(times.back(), "2009/03/01 08:00:20");
        EXPECT_NE(line.find(" CH0"), std::string::npos) << line;
    }
    ASSERT_GT(times.size(), 20u);
    EXPECT_EQ(times.front(), "2009/03/01 08:00:10");
    EXPECT_EQ(times.back(), "2009/03/01 08:00:20");
    // The same frames as 44-byte records: time value, then the status text of the line.
    std::string records = Slurp(binary);
    ASSERT_EQ(records.size(), times.size() * 44);
    EXPECT_EQ(records.substr(4, 4), "CH01");
    EXPECT_EQ(Slurp(m_image), before);
    EXPECT_NE(::access((text + ".part").c_str(), F_OK), 0);
}

} // namespace
