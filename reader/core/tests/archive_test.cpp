// Archiving from the reader's core: AVI files through the archive graphs and the direct writer, read
// back with ffprobe and FFmpeg; a drive image and a data file through the sources; the precondition
// on the marks; the recording untouched.
#include <cstdio>
#include <fstream>

#include "reader_test_util.h"

namespace {

using namespace reader;
using readertest::Boxes;
using readertest::Scratch;

class CSilentUi : public IArchiveUi {
public:
    void Begin(const std::string& text, int, bool) override { texts.push_back(text); }
    void SetPosition(int p) override { last = p; }
    bool Cancelled() override { return cancelAfter >= 0 && ++polls > cancelAfter; }
    void Pump() override {}
    void End() override {}
    std::vector<std::string> texts;
    int last = -1;
    int polls = 0, cancelAfter = -1;
};

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p))
        out += buf;
    if (p)
        ::pclose(p);
    return out;
}

// ffprobe's answer for the video stream: codec, width, height and the packets counted.
std::string Probe(const std::string& path) {
    return Shell("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                 "stream=codec_name,width,height,nb_read_packets -of csv=p=0 " +
                 path);
}

TEST(ReaderArchive, OrmaRangeThroughTheArchiveGraphAndAsAnImage) {
    Scratch scratch;
    Boxes boxes;
    const std::string orm = scratch.File("rec.orm");
    ASSERT_EQ(simorma::Write(orm, readertest::OrmaOptions()).error, "");
    const std::string before = readertest::Sha256Of(orm);
    CPlayerCore core;
    ASSERT_TRUE(core.Open(FileTarget(orm)));
    // 20 s of the first segment.
    const ArchiveMark start{9, orma::PackTime(3, 1, 8, 0, 10)}, end{9, orma::PackTime(3, 1, 8, 0, 30)};
    ASSERT_TRUE(core.SetMarks(start, end));

    ArchiveOptions o;
    o.addText = true;
    o.text = "Gate 4";
    CSilentUi ui;
    const std::string avi = scratch.File("orma.avi");
    ASSERT_TRUE(core.Archive(0, avi, o, ui)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    EXPECT_EQ(ui.texts.back(), "Archiving CH01...");
    const std::string probe = Probe(avi);
    EXPECT_EQ(probe.substr(0, probe.rfind(',')), "mjpeg,720,576") << probe;
    const int pictures = std::atoi(probe.substr(probe.rfind(',') + 1).c_str());
    EXPECT_GE(pictures, 5) << probe;
    EXPECT_EQ(Shell("ffmpeg -v error -xerror -i " + avi + " -f null -"), "");
    EXPECT_TRUE(core.IsOpen());

    // Without full size the recorded pictures go in as they are.
    o.fullSize = false;
    const std::string raw = scratch.File("raw.avi");
    ASSERT_TRUE(core.Archive(1, raw, o, ui));
    EXPECT_NE(Probe(raw).find("mjpeg,176,"), std::string::npos) << Probe(raw);

    // The recorded pictures with their times, in Matroska: as many as the raw AVI holds, since the
    // archive graph stops at the end mark however fast it reads.
    o.fileType = 4;
    const std::string mkv = scratch.File("orma.mkv");
    ASSERT_TRUE(core.Archive(1, mkv, o, ui)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    const auto packets = [](const std::string& p) { return std::atoi(p.substr(p.rfind(',') + 1).c_str()); };
    EXPECT_EQ(packets(Probe(mkv)), packets(Probe(raw))) << Probe(mkv) << Probe(raw);
    EXPECT_EQ(Shell("ffmpeg -v error -xerror -i " + mkv + " -f null -"), "");

    // A drive image of the range opens again as a recording.
    o.fileType = 2;
    const std::string image = scratch.File("part.orm");
    ASSERT_TRUE(core.Archive(0, image, o, ui));
    EXPECT_EQ(ui.texts.back(), "Archiving disk image...");
    CPlayerCore again;
    EXPECT_TRUE(again.Open(FileTarget(image)));
    again.Close();

    // Marks in the wrong order refuse.
    ASSERT_TRUE(core.SetMarks(end, start));
    boxes.Clear();
    EXPECT_FALSE(core.Archive(0, scratch.File("no.avi"), o, ui));
    EXPECT_TRUE(boxes.Saw(
        "Archive end time earlier than start time! \nPlease correct it before start archiving.", "ERROR"));
    core.Close();
    EXPECT_EQ(readertest::Sha256Of(orm), before);
}

TEST(ReaderArchive, TavRangeDirectThroughTheTextFilterAndAsData) {
    Scratch scratch;
    Boxes boxes;
    sim_tav::RecorderOptions ro = readertest::TavOptions(2);
    ro.streamPackets = 200;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, ro);
    const std::string before = readertest::Sha256Of(arv);
    CPlayerCore core;
    ASSERT_TRUE(core.Open(FileTarget(arv)));
    ASSERT_TRUE(core.SetMarks({0, 1262304000 + 2}, {0, 1262304000 + 12}));

    // No text, no double height: the recorded MPEG-4 frames copied.
    ArchiveOptions o;
    o.drawTime = o.drawChannel = false;
    CSilentUi ui;
    const std::string direct = scratch.File("direct.avi");
    ASSERT_TRUE(core.Archive(1, direct, o, ui)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    EXPECT_EQ(Probe(direct).substr(0, 14), "mpeg4,352,240,") << Probe(direct);
    EXPECT_EQ(Shell("ffmpeg -v error -xerror -i " + direct + " -f null -"), "");

    // With the time and channel drawn: decoded, written on (this mobile recorder's own record lines;
    // a picture of this size is not a field, so not doubled), compressed again.
    o.drawTime = o.drawChannel = true;
    const std::string text = scratch.File("text.avi");
    ASSERT_TRUE(core.Archive(1, text, o, ui)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    const std::string probe = Probe(text);
    EXPECT_EQ(probe.substr(0, probe.rfind(',')), "mjpeg,352,240") << probe;
    EXPECT_GT(std::atoi(probe.substr(probe.rfind(',') + 1).c_str()), 5) << probe;
    EXPECT_EQ(Shell("ffmpeg -v error -xerror -i " + text + " -f null -"), "");

    // The recorded frames with their times, in MP4: as many as the direct copy holds.
    o.fileType = 5;
    const std::string mp4 = scratch.File("clip.mp4");
    ASSERT_TRUE(core.Archive(1, mp4, o, ui)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    EXPECT_EQ(Probe(mp4), Probe(direct));

    // The status lines only.
    o.fileType = 3;
    o.capture = 1;
    const std::string data = scratch.File("status.txt");
    ASSERT_TRUE(core.Archive(1, data, o, ui));
    EXPECT_EQ(ui.texts.back(), "Archiving CH 2 ...");
    EXPECT_GT(std::filesystem::file_size(data), 0u);
    EXPECT_TRUE(core.IsOpen());
    core.Close();
    EXPECT_EQ(readertest::Sha256Of(arv), before);
}

// An archive to a disc drive goes on over as many discs as it needs: at each volume limit the file
// is completed, the disc ejected, a blank one asked for (and asked again while the drive finds none),
// and the next file is "-N" of the chosen name. No picture is lost at the cuts.
TEST(ReaderArchive, OrmaRangeSpansDiscsWithoutLosingAPicture) {
    Scratch scratch;
    Boxes boxes;
    const std::string orm = scratch.File("rec.orm");
    ASSERT_EQ(simorma::Write(orm, readertest::OrmaOptions()).error, "");
    CPlayerCore core;
    ASSERT_TRUE(core.Open(FileTarget(orm)));
    core.Settings().delay = 10;
    ASSERT_TRUE(core.SetMarks({9, orma::PackTime(3, 1, 8, 0, 0)}, {9, orma::PackTime(3, 1, 8, 2, 0)}));
    ArchiveOptions o;
    CSilentUi ui;
    const auto packets = [](const std::string& path) {
        const std::string p = Probe(path);
        return std::atoi(p.substr(p.rfind(',') + 1).c_str());
    };
    const std::string whole = scratch.File("whole.avi");
    ASSERT_TRUE(core.Archive(0, whole, o, ui));
    const int pictures = packets(whole);
    ASSERT_GT(pictures, 10);

    const std::string drive = scratch.File("dvd");
    std::filesystem::create_directories(drive);
    // Discs of a quarter of the archive: the limit is looked at between pictures, so how far a file
    // runs past it, and so how many discs there are, depends on the machine's pace.
    const auto quarter = std::filesystem::file_size(whole) / 4;
    std::ofstream(drive + "/.optical") << "type=51\ncapacity=" << quarter << "\nempty_checks=1\n";
    ::setenv("SCRYDE_OPTICAL_SIM", drive.c_str(), 1);
    boxes.Clear();
    const bool ok = core.Archive(0, drive + "/arch.avi", o, ui);
    ::unsetenv("SCRYDE_OPTICAL_SIM");
    ASSERT_TRUE(ok) << (boxes.Seen().empty() ? "" : boxes.Seen().back().text);

    std::vector<std::string> files = {drive + "/disc-1/arch.avi"};
    for (int n = 0; std::filesystem::exists(drive + "/disc-" + std::to_string(n + 2)); ++n)
        files.push_back(drive + "/disc-" + std::to_string(n + 2) + "/arch-" + std::to_string(n) + ".avi");
    files.push_back(drive + "/arch-" + std::to_string(files.size() - 1) + ".avi");
    ASSERT_GE(files.size(), 2u);
    int sum = 0;
    for (const std::string& f : files) {
        ASSERT_TRUE(std::filesystem::exists(f)) << f;
        EXPECT_EQ(Shell("ffmpeg -v error -xerror -i " + f + " -f null -"), "") << f;
        sum += packets(f);
    }
    EXPECT_EQ(sum, pictures);
    int changes = 0, empty = 0;
    for (const auto& r : boxes.Seen()) {
        changes += r.text.rfind(" Disk has reached its capacity!", 0) == 0 && r.caption == "WARNING";
        empty += r.text.rfind("No disk found!", 0) == 0 && r.caption == "WARNING";
    }
    EXPECT_EQ(changes, static_cast<int>(files.size()) - 1);
    EXPECT_EQ(empty, changes);
    core.Close();
}

} // namespace
