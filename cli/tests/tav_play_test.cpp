// scryde play and export on TAV recordings made by the synthetic recorder with real MPEG-4 pictures: a
// drive image and a stream file, played through the reader's graph, exported, and left unchanged.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>
#include <optional>
#include <sstream>

#include "media/clsids.h"
#include "platform/registry.h"
#include "run_scryde.h"
#include "testsupport/temp.h"

namespace {

using clitest::RunScryde;
using clitest::Slurp;

// The numbers of a JSON array that follows `key`.
std::vector<long> Numbers(const std::string& json, const std::string& key) {
    std::vector<long> out;
    std::size_t at = json.find("\"" + key + "\": [");
    if (at == std::string::npos)
        return out;
    const char* p = json.c_str() + json.find('[', at) + 1;
    while (*p && *p != ']') {
        char* end = nullptr;
        out.push_back(std::strtol(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
    }
    return out;
}

long Number(const std::string& json, const std::string& key) {
    std::size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::strtol(json.c_str() + at + key.size() + 4, nullptr, 10);
}

class TavPlayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = s_scratch.emplace("tav_play_test").Path();
        auto drive = RunScryde({"sim", "tav", "--out", s_dir + "/drive.img", "--image", s_dir + "/rec.tav",
                                "--channels", "4", "--kind", "2", "--pictures", "--segments", "3"});
        ASSERT_EQ(drive.status, 0) << drive.err;
        auto stream = RunScryde({"sim", "tav", "--stream", s_dir + "/rec.arv", "--channels", "4", "--kind",
                                 "2", "--pictures", "--stream-packets", "300"});
        ASSERT_EQ(stream.status, 0) << stream.err;
    }
    static void TearDownTestSuite() { s_scratch.reset(); }
    void SetUp() override {
        if (!platform::LookupClass(CLSID_FilterGraph))
            GTEST_SKIP() << "the stock filters are not registered in this build";
    }
    static std::optional<testsupport::CTempDir> s_scratch;
    static std::string s_dir;
};
std::optional<testsupport::CTempDir> TavPlayTest::s_scratch;
std::string TavPlayTest::s_dir;

TEST_F(TavPlayTest, ImageAndStreamFilePlayPicturesAndSoundAndStayUnchanged) {
    for (const char* name : {"rec.tav", "rec.arv"}) {
        SCOPED_TRACE(name);
        const std::string path = s_dir + "/" + name;
        const std::string before = Slurp(path);
        auto r = RunScryde({"play", path, "--seconds", "3", "--out", s_dir, "--time-limit", "60", "--json"});
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_NE(r.out.find("\"end\": \"limit\", \"message\": \"\""), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"first_time\": \"2010/01/01 00:00:0"), std::string::npos) << r.out;
        // The four cameras' pictures count as pictures; the other channels show only blank ones.
        auto counts = Numbers(r.out, "frames_per_channel");
        auto blanks = Numbers(r.out, "blank_per_channel");
        ASSERT_EQ(counts.size(), 16u) << r.out;
        ASSERT_EQ(blanks.size(), 16u) << r.out;
        for (int ch = 0; ch < 16; ++ch) {
            SCOPED_TRACE(testing::Message() << "channel " << ch + 1 << ": " << r.out);
            if (ch < 4) {
                EXPECT_GT(counts[ch], 0);
            } else {
                EXPECT_EQ(counts[ch], 0);
                EXPECT_GT(blanks[ch], 0);
            }
        }
        EXPECT_GT(Number(r.out, "audio_samples"), 0) << r.out;
        EXPECT_EQ(Slurp(s_dir + "/contact-sheet.png").substr(1, 3), "PNG");
        EXPECT_EQ(Slurp(path), before);
    }
}

TEST_F(TavPlayTest, FastReverseAndStepPlayEndAndBadOptionsAreRefused) {
    const std::string path = s_dir + "/rec.tav";
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--speed", "8000", "--seconds", "6"},
          std::vector<std::string>{"--reverse", "--seconds", "3"}, std::vector<std::string>{"--step", "5"},
          std::vector<std::string>{"--channels", "0x1", "--frames", "10"}}) {
        std::vector<std::string> args = {"play", path, "--out", s_dir, "--time-limit", "60", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto r = RunScryde(args);
        SCOPED_TRACE(extra.front());
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_NE(r.out.find("\"end\": \"limit\", \"message\": \"\""), std::string::npos) << r.out;
        // Which channels show a picture in a few seconds of key frames depends on where the play began
        // (a loaded machine notes its first time later): some channel must.
        const std::vector<long> frames = Numbers(r.out, "frames_per_channel");
        EXPECT_GT(std::accumulate(frames.begin(), frames.end(), 0L), 0) << r.out;
    }
    auto section = RunScryde({"play", path, "--segment", "4", "--out", s_dir});
    EXPECT_EQ(section.status, 1);
    EXPECT_EQ(section.err, "scryde: play: there is no section 4 (the recording has 1)\n");
    auto channel = RunScryde({"play", path, "--audio-channel", "17"});
    EXPECT_EQ(channel.status, 2);
}

// Without a limit play stops at the end of the recording; --loop goes round as the reader does. The
// contact sheet's folder is made when missing, and a sheet that cannot be written fails the command.
TEST_F(TavPlayTest, PlaysToTheEndUnlessLoopingAndWritesItsSheetOrFails) {
    const std::string path = s_dir + "/short.arv";
    auto sim = RunScryde(
        {"sim", "tav", "--stream", path, "--channels", "2", "--pictures", "--stream-packets", "30"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    const std::string folder = s_dir + "/new/sheets";
    auto r = RunScryde({"play", path, "--out", folder, "--time-limit", "60", "--json"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("\"end\": \"complete\", \"message\": \"\""), std::string::npos) << r.out;
    EXPECT_GT(Numbers(r.out, "frames_per_channel").at(0), 0) << r.out;
    EXPECT_EQ(Slurp(folder + "/contact-sheet.png").substr(1, 3), "PNG");

    // Round and round: more pictures than one pass holds (about 24).
    auto loop =
        RunScryde({"play", path, "--loop", "--speed", "2000", "--frames", "60", "--out", folder, "--json"});
    ASSERT_EQ(loop.status, 0) << loop.err << loop.out;
    EXPECT_NE(loop.out.find("\"end\": \"limit\", \"message\": \"\""), std::string::npos) << loop.out;

    std::ofstream(s_dir + "/plain-file") << "x";
    auto bad = RunScryde({"play", path, "--frames", "4", "--out", s_dir + "/plain-file/sheets", "--json"});
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_NE(bad.err.find("cannot make the folder"), std::string::npos) << bad.err;
}

// What a program we did not write reads back from an AVI of recorded frames: ffprobe (installed by
// scripts/deps) sees the MPEG-4 stream at the recorded size with every recorded picture of the channel
// and the sound, and ffmpeg decodes it all without one error.
TEST_F(TavPlayTest, DirectAviOfARangeReadsBackInFFmpeg) {
    const std::string path = s_dir + "/rec.arv", before = Slurp(path), avi = s_dir + "/range.avi";
    auto e = RunScryde({"export", path, "--from", "2010/01/01 00:00:05", "--to", "2010/01/01 00:00:20",
                        "--type", "avi", "--direct", "--channel", "2", "--out", avi});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.out.find("  " + avi), std::string::npos) << e.out; // the digest line
    auto probe = [&](const std::string& args) {
        std::string command = "ffprobe -v error " + args + " -of csv=p=0 '" + avi + "' 2>&1";
        std::string out;
        if (FILE* p = ::popen(command.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, p))
                out += line;
            ::pclose(p);
        }
        return out;
    };
    const std::string video = probe(
        "-count_frames -select_streams v:0 -show_entries stream=codec_name,width,height,nb_read_frames");
    ASSERT_EQ(video.rfind("mpeg4,352,240,", 0), 0u) << video;
    EXPECT_GE(std::strtol(video.c_str() + 14, nullptr, 10), 20) << video; // 15 s of 2 pictures a second
    EXPECT_EQ(probe("-select_streams a:0 -show_entries stream=codec_name,sample_rate,channels"),
              "pcm_s16le,8000,2\n");
    // Key frames as recorded: the first picture is one, and every fourth of the channel after it.
    const std::string flags = probe("-select_streams v:0 -show_entries packet=flags");
    EXPECT_EQ(flags.rfind("K", 0), 0u) << flags;
    std::size_t keys = 0;
    for (std::size_t at = 0; (at = flags.find('K', at)) != std::string::npos; ++at)
        ++keys;
    EXPECT_GE(keys, 6u) << flags;
    EXPECT_LE(keys, 9u) << flags;
    std::string errors;
    if (FILE* p =
            ::popen(("ffmpeg -nostdin -v error -xerror -i '" + avi + "' -f null - 2>&1").c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, p))
            errors += line;
        EXPECT_EQ(::pclose(p), 0) << errors;
    }
    EXPECT_EQ(errors, "");
    EXPECT_EQ(Slurp(path), before);
}

// A dump of a recorder's disk given --as-drive plays as a drive of the drive map does.
TEST_F(TavPlayTest, DumpGivenAsADrivePlays) {
    const std::string drive = s_dir + "/drive.img", before = Slurp(drive);
    auto r = RunScryde(
        {"play", drive, "--as-drive", "--frames", "8", "--out", s_dir, "--time-limit", "60", "--json"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_GT(Numbers(r.out, "frames_per_channel").at(0), 0) << r.out;
    EXPECT_EQ(Slurp(drive), before);
}

TEST_F(TavPlayTest, DamagedStreamFileEndsWithinItsTimeLimit) {
    // The file cut in the middle of a record, and garbage over a key frame's picture data.
    std::string bytes = Slurp(s_dir + "/rec.arv");
    bytes.resize(bytes.size() * 2 / 3 + 17);
    for (std::size_t i = 200; i < 2000 && i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 37);
    const std::string damaged = s_dir + "/damaged.arv";
    std::ofstream(damaged, std::ios::binary) << bytes;
    auto r = RunScryde({"play", damaged, "--speed", "3000", "--seconds", "20", "--out", s_dir, "--time-limit",
                        "40", "--json"});
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;
    EXPECT_NE(r.out.find("\"end\": "), std::string::npos) << r.out << r.err;
}

TEST_F(TavPlayTest, ExportsARangeAsAnImageThatOpensAgainAndAsStatusLines) {
    const std::string path = s_dir + "/rec.tav", before = Slurp(path);
    const std::string image = s_dir + "/range.tav", text = s_dir + "/range.txt";
    auto e = RunScryde(
        {"export", path, "--from", "2010/01/01 00:00:03", "--to", "2010/01/01 00:00:08", "--out", image});
    ASSERT_EQ(e.status, 0) << e.err;
    auto info = RunScryde({"info", image, "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\"sections\": [{\"index\": 0, \"start\": \"2010/01/01 00:00:03\""),
              std::string::npos)
        << info.out;

    auto t = RunScryde({"export", path, "--from", "2010/01/01 00:00:03", "--to", "2010/01/01 00:00:08",
                        "--out", text, "--type", "text", "--channel", "2"});
    ASSERT_EQ(t.status, 0) << t.err;
    // One status line per frame of the channel in the range: time, then the kind-2 fields.
    const std::string lines = Slurp(text);
    std::size_t count = 0;
    for (std::size_t at = lines.find("2010/01/01 00:00:0"); at != std::string::npos;
         at = lines.find("2010/01/01 00:00:0", at + 1)) {
        EXPECT_GE(lines.substr(at, 19), "2010/01/01 00:00:03");
        EXPECT_LE(lines.substr(at, 19), "2010/01/01 00:00:08");
        ++count;
    }
    EXPECT_GE(count, 4u) << lines;
    EXPECT_NE(lines.find("MPH\""), std::string::npos) << lines;
    EXPECT_EQ(Slurp(path), before);
}

} // namespace

// The same range through the reader's archive graph: decoded, the time and channel written in,
// compressed as Motion-JPEG, with the sound; FFmpeg reads it all.
TEST_F(TavPlayTest, ArchiveAviThroughTheCompressorGraph) {
    const std::string path = s_dir + "/rec.arv", before = Slurp(path), avi = s_dir + "/graph.avi";
    auto e = RunScryde({"export", path, "--from", "2010/01/01 00:00:05", "--to", "2010/01/01 00:00:15",
                        "--type", "avi", "--text", "--channel", "2", "--out", avi});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.out.find("  " + avi), std::string::npos) << e.out;
    std::string out;
    if (FILE* p = ::popen(
            ("ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,nb_read_frames "
             "-of csv=p=0 '" +
             avi + "' 2>&1")
                .c_str(),
            "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, p))
            out += line;
        ::pclose(p);
    }
    ASSERT_EQ(out.rfind("mjpeg,352,240,", 0), 0u) << out;
    EXPECT_GE(std::strtol(out.c_str() + 14, nullptr, 10), 10) << out; // 10 s of 2 pictures a second
    EXPECT_NE(out.find("pcm_s16le"), std::string::npos) << out;
    EXPECT_EQ(Slurp(path), before);
}
