// scryde export --type mkv|mp4 end to end: FFmpeg's own tools see the tracks and codecs, play the file
// without a complaint, and find one packet per recorded frame, at its recorded time, whose bytes are
// the recorded payload.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/tests/run_scryde.h"
#include "recovery/carver.h"
#include "sim_orma/orma_sim.h"
#include "sim_tav/tav_recorder.h"
#include "tav/layout.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace {

// Standard output of a shell command; *status its exit status.
std::string Capture(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    *status = ::pclose(p);
    return out;
}

std::vector<double> Lines(const std::string& text) {
    std::vector<double> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            v.push_back(std::stod(line));
    return v;
}

class ExportLossless : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_dir.File(name); }
    clitest::Result Run(std::vector<std::string> args) {
        return clitest::RunScryde(args, {"SCRYDE_HOME=" + Path("home")});
    }
    // ffprobe's one-line answers for a stream, and that the file plays without an error message.
    void CheckPlays(const std::string& file) {
        int status = -1;
        const std::string errors =
            Capture("ffmpeg -v error -xerror -i '" + file + "' -f null - 2>&1", &status);
        EXPECT_EQ(status, 0) << file;
        EXPECT_EQ(errors, "") << file;
    }
    std::string Probe(const std::string& file, const std::string& stream, const std::string& entries) {
        int status = -1;
        return Capture("ffprobe -v error -select_streams " + stream + " -show_entries " + entries +
                           " -of csv=p=0 '" + file + "'",
                       &status);
    }
    testsupport::CTempDir m_dir{"lossless"};
};

TEST_F(ExportLossless, TavChannelKeepsItsFramesTimesAndSound) {
    sim_tav::RecorderOptions o;
    o.gib = 1;
    o.realPictures = true;
    o.width = 144;
    o.height = 96;
    o.channels = 2;
    o.segments = 2;
    o.packetsPerBlock = 12;
    const std::string drive = Path("drive.img");
    sim_tav::Recording rec = sim_tav::WriteTavDrive(drive, o);

    // The recorded payloads of channel 1 in recording order, as carving reads them off the drive.
    recovery::CFileByteSource source(drive);
    recovery::CarveOptions co;
    co.keepPayloads = true;
    recovery::CarveReport carved = recovery::CarveTav(source, co);
    std::vector<const recovery::CarvedFrame*> recorded;
    for (const auto& f : carved.frames)
        if (f.channel == 0 && f.kind != recovery::FrameKind::Audio)
            recorded.push_back(&f);
    ASSERT_GT(recorded.size(), 10u);

    for (const std::string type : {"mkv", "mp4"}) {
        SCOPED_TRACE(type);
        const std::string out = Path("ch1." + type);
        clitest::Result r =
            Run({"export", drive, "--kind", "tav", "--as-drive", "--from", tav::FormatTime(rec.firstTime),
                 "--to", tav::FormatTime(rec.lastTime - 1), "--type", type, "--channel", "1", "--out", out});
        ASSERT_EQ(r.status, 0) << r.err;
        CheckPlays(out);
        EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,width,height"), "mpeg4,144,96\n");
        if (type == "mkv") {
            EXPECT_EQ(Probe(out, "a:0", "stream=codec_name,sample_rate,channels"), "pcm_s16le,8000,2\n");
        }
        EXPECT_NE(Probe(out, "v:0", "format_tags=creation_time").find("2010-01-01T00:00:00"),
                  std::string::npos);

        const std::vector<double> times = Lines(Probe(out, "v:0", "packet=pts_time"));
        ASSERT_GT(times.size(), recorded.size() / 2);
        ASSERT_LE(times.size(), recorded.size());
        const long long base = static_cast<long long>(recorded[0]->timestamp) * 108 / 10;
        std::string expectedBytes;
        for (std::size_t i = 0; i < times.size(); ++i) {
            const long long micros = static_cast<long long>(recorded[i]->timestamp) * 108 / 10 - base;
            EXPECT_NEAR(times[i], micros / 1e6, 0.0011) << "packet " << i;
            expectedBytes.append(recorded[i]->payload.begin(), recorded[i]->payload.end());
        }
        int status = -1;
        Capture("ffmpeg -v error -i '" + out + "' -map 0:v:0 -c copy -f data -y '" + Path("v.bin") + "'",
                &status);
        const std::string bytes = testsupport::ReadFileText(Path("v.bin"));
        EXPECT_TRUE(bytes == expectedBytes) << "the packets are not the recorded payloads";
    }
}

TEST_F(ExportLossless, OrmaChannelAsMotionJpeg) {
    simorma::Options o;
    o.image = true;
    o.clusterSectors = 65536;
    o.framesPerBlock = 4;
    o.width = 96;
    o.height = 64;
    o.channels = 2;
    o.recordFrames = true;
    o.segments = {{3, 1, simorma::SecondsOf(2011, 7, 4, 12, 0, 0), 40, 0, 3}};
    const std::string image = Path("drive.orm");
    simorma::Result written = simorma::Write(image, o);
    ASSERT_EQ(written.error, "");
    // The recorded second of every picture of channel 2, from the recording's first second.
    const long long first = simorma::SecondsOf(2011, 7, 4, 12, 0, 0);
    std::vector<long long> seconds;
    for (const auto& f : written.frames) {
        const std::uint32_t t = f.time.packed;
        if (f.channel == 1)
            seconds.push_back(
                simorma::SecondsOf(2000 + f.time.year, static_cast<int>(t >> 28),
                                   static_cast<int>((t >> 23) & 31), static_cast<int>((t >> 18) & 31),
                                   static_cast<int>((t >> 12) & 63), static_cast<int>((t >> 6) & 63)) -
                first);
    }
    const std::string out = Path("ch2.mkv");
    clitest::Result r = Run({"export", image, "--from", simorma::FormatStamp(written.frames.front().time),
                             "--to", simorma::FormatStamp(written.frames.back().time), "--type", "mkv",
                             "--channel", "2", "--out", out});
    ASSERT_EQ(r.status, 0) << r.err;
    CheckPlays(out);
    EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,width,height"), "mjpeg,96,64\n");
    EXPECT_EQ(Probe(out, "a:0", "stream=codec_name,sample_rate,channels"), "pcm_u8,8820,2\n");
    const std::vector<double> pts = Lines(Probe(out, "v:0", "packet=pts_time"));
    ASSERT_EQ(pts.size(), seconds.size());
    // Each picture lies within its recorded second, counted from the first exported picture's second.
    for (std::size_t i = 0; i < pts.size(); ++i) {
        EXPECT_GE(pts[i], static_cast<double>(seconds[i] - seconds[0])) << i;
        EXPECT_LT(pts[i], static_cast<double>(seconds[i] - seconds[0] + 1)) << i;
    }
}

} // namespace
