// The reader's core over simulated recordings: the tables and time rules, the settings, the drive
// list, opening each kind of recording with its failure texts, the pictures that reach each channel,
// and the transport.
#include <chrono>
#include <thread>

#include "platform/registry.h"
#include "platform/settings.h"
#include "reader/drive_list.h"
#include "reader_test_util.h"
#include "testsupport/files.h"

namespace {

using namespace reader;
using readertest::Boxes;
using readertest::Scratch;

TEST(ReaderTables, SearchTimesFollowTheGregorianCalendar) {
    struct Case {
        SearchFields f;
        bool valid;
    } cases[] = {
        {{2000, 2, 29, 0, 0, 0}, true},   {{2100, 2, 29, 0, 0, 0}, false},    {{2004, 2, 29, 12, 0, 0}, true},
        {{2003, 2, 29, 12, 0, 0}, false}, {{2254, 12, 31, 23, 59, 59}, true}, {{2255, 1, 1, 0, 0, 0}, false},
        {{1999, 12, 31, 0, 0, 0}, false}, {{2010, 4, 31, 0, 0, 0}, false},    {{2010, 13, 1, 0, 0, 0}, false},
        {{2010, 1, 0, 0, 0, 0}, false},   {{2010, 1, 1, 24, 0, 0}, false},    {{2010, 1, 1, 0, 60, 0}, false},
        {{2010, 1, 1, 0, 0, 60}, false},  {{2400, 2, 29, 0, 0, 0}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsValidSearchTime(c.f), c.valid) << c.f.year << "/" << c.f.month << "/" << c.f.day;
    EXPECT_EQ(UtcSeconds({2010, 1, 1, 0, 0, 0}), 1262304000u);
    EXPECT_EQ(UtcSeconds({2000, 2, 29, 13, 14, 15}), 951830055u);
    const SearchFields back = SplitUtc(951830055u);
    EXPECT_EQ(FormatUtcTime(UtcSeconds(back)), "2000/02/29 13:14:15");
    // ORMA: month, day, hour, minute, second packed, the year byte's low six bits below.
    const SearchFields t{2075, 11, 30, 22, 59, 58};
    EXPECT_EQ(OrmaYearByte(t), 75);
    EXPECT_EQ(OrmaSearchWord(t),
              (11u << 28) | (30u << 23) | (22u << 18) | (59u << 12) | (58u << 6) | (75u & 0x3F));
    EXPECT_EQ(FormatOrmaTime(9, OrmaSearchWord({2009, 3, 1, 8, 5, 7})), "2009/03/01 08:05:07");
}

TEST(ReaderTables, ZoneSpeedModelAndFiles) {
    EXPECT_EQ(ZoneSuffix(0x40 | 0x10 | 5), "  GMT +5:15");
    EXPECT_EQ(ZoneSuffix(0x20 | 8), "  GMT -8:30");
    EXPECT_EQ(ZoneSuffix(0x40 | 0x30), "  GMT +0:45");
    EXPECT_STREQ(kSpeeds[1].label, "0.10x");
    EXPECT_EQ(kSpeeds[8].value, 16000);
    EXPECT_EQ(ModelCode(0), 102u);
    EXPECT_EQ(ModelCode(9), 4u);
    EXPECT_EQ(ModelCode(17), 13u);
    EXPECT_EQ(ModelCode(18), 0u);
    struct FileCase {
        const char* path;
        BYTE kind, code;
        int drive;
    } files[] = {{"/a/b.tav", 8, 9, 0},    {"/a/b.arv", 8, 10, 0}, {"/a/b.avr", 16, 17, 0},
                 {"/a/b.m4k", 24, 25, -1}, {"/a/b.TAV", 0, 0, 0},  {"/a/b.orm", 0, 0, 0},
                 {"/a.tav/b", 0, 0, 0}};
    for (const FileCase& f : files) {
        const FileKind k = ClassifyFile(f.path);
        EXPECT_EQ(k.kind, f.kind) << f.path;
        EXPECT_EQ(k.fileCode, f.code) << f.path;
        EXPECT_EQ(k.drive, f.drive) << f.path;
    }
}

TEST(ReaderTables, BoxesAndPlacement) {
    EXPECT_EQ(BoxIndex(3, 15), 29);
    const BoxGeometry q3 = LayoutBox(1, 3);
    EXPECT_EQ(q3.x, 353);
    EXPECT_EQ(q3.y, 239);
    const BoxGeometry n5 = LayoutBox(2, 5);
    EXPECT_EQ(n5.x, 5 + 232 * 2);
    EXPECT_EQ(n5.y, 5 + 156);
    // W − w and H − h are negative: division truncates toward zero.
    Placement p = PlacePicture(101, 696, 468, 720, 480);
    EXPECT_EQ(p.left, -24);
    EXPECT_EQ(p.top, -8);
    p = PlacePicture(103, 348, 234, 360, 240);
    EXPECT_EQ(p.left, -13);
    EXPECT_EQ(p.top, -16);
    EXPECT_EQ(p.width, 363);
    EXPECT_EQ(p.height, 252);
    p = PlacePicture(8, 174, 117, 180, 120);
    EXPECT_EQ(p.left, -9);
    EXPECT_EQ(p.top, -6);
    EXPECT_EQ(p.width, 192);
}

TEST(ReaderSettings, DefaultsAndAllSixWrittenTogether) {
    Scratch scratch;
    const ReaderSettings d = ReaderSettings::Load();
    EXPECT_EQ(d.model, 1u);
    EXPECT_EQ(d.displayMode, 1u);
    EXPECT_EQ(d.video, 1u);
    EXPECT_EQ(d.audio, 1u);
    EXPECT_EQ(d.delay, 200u);
    EXPECT_EQ(d.hdd, 1u);
    ReaderSettings s = d;
    s.displayMode = 3;
    ASSERT_TRUE(s.Save());
    std::string text = testsupport::ReadFileText(scratch.Path() + "/config/Veltrix/GLM500.conf");
    for (const char* line : {"Model=1", "DisplayMode=3", "Video=1", "Audio=1", "Delay=200", "HDD=1"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(ReaderSettings::Load().displayMode, 3u);
}

TEST(ReaderDrives, ListsRecorderDrivesFromTheFirstNumber) {
    Scratch scratch;
    sim_tav::RecorderOptions tav = readertest::TavOptions(1);
    tav.realPictures = false;
    sim_tav::WriteTavDrive(scratch.File("tav.img"), tav);
    {
        std::ofstream junk(scratch.File("none.img"), std::ios::binary);
        junk.seekp(64 * 1024 * 1024 - 1);
        junk.put(0);
    }
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("none.img") + ",2=" + scratch.File("tav.img")).c_str(), 1);
    std::vector<DriveEntry> drives = ScanDrives(1, 5);
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].drive, 2);
    EXPECT_EQ(drives[0].kind, kKindTav);
    EXPECT_EQ(drives[0].row, "HDD02 3.2GB");
    EXPECT_EQ(drives[0].path, "\\\\.\\PHYSICALDRIVE2");
    EXPECT_TRUE(ScanDrives(3, 5).empty());
    EXPECT_TRUE(ScanDrives(16, 5).empty());
    EXPECT_FALSE(DriveScanAllowed(7));
    EXPECT_TRUE(DriveScanAllowed(4));
}

// Waits until every channel in `channels` showed a tagged picture of its own channel.
void ExpectChannelsPlay(CPlayerCore& core, int channels) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<int> seen(channels, -1);
    bool all = false;
    while (!all && std::chrono::steady_clock::now() < until) {
        all = true;
        for (int c = 0; c < channels; ++c) {
            seen[c] = readertest::TaggedChannel(core.Renderer(c));
            all = all && seen[c] == c;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int c = 0; c < channels; ++c)
        EXPECT_EQ(seen[c], c) << "renderer " << c;
}

TEST(ReaderPlayer, OpensATavDriveAndPlaysEachChannelWithItsOwnPictures) {
    Scratch scratch;
    Boxes boxes;
    sim_tav::Recording rec = sim_tav::WriteTavDrive(scratch.File("tav.img"), readertest::TavOptions());
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("tav.img")).c_str(), 1);
    auto drives = ScanDrives(1, 5);
    ASSERT_EQ(drives.size(), 1u);
    CPlayerCore core;
    OpenTarget t;
    t.kind = drives[0].kind;
    t.drive = drives[0].drive;
    t.path = drives[0].path;
    t.gigabytes = drives[0].gigabytes;
    ASSERT_TRUE(core.Open(t)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_TRUE(core.IsTav());
    ASSERT_EQ(core.SegmentRows().size(), 1u);
    EXPECT_EQ(core.SegmentRows()[0], "2010/01/01 00:00:00");
    EXPECT_EQ(core.MarkInText(), "2010/01/01 00:00:00");
    EXPECT_EQ(core.MarkOutText(), FormatUtcTime(rec.lastTime));
    EXPECT_EQ(core.State(), PlayState::Running);
    EXPECT_TRUE(core.PlayShowsPause());
    EXPECT_STREQ(core.SpeedLabel(), "1x");
    EXPECT_EQ(core.ModelRow(), kTavModelRow);
    EXPECT_FALSE(core.ModelListEnabled());
    EXPECT_EQ(core.DisplayMode(), 1);
    ExpectChannelsPlay(core, 4);

    // The tick shows the position; the graph description and the audio log are written.
    TickResult tick = core.Tick();
    for (int i = 0; i < 20 && tick.timeText.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tick = core.Tick();
    }
    EXPECT_EQ(tick.timeText.substr(0, 11), "2010/01/01 ");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string graph = testsupport::ReadFileText(scratch.Path() + "/docs/BuildVideoWindow.grf");
    EXPECT_NE(graph.find("Video Renderer Filter"), std::string::npos);
    std::string log = testsupport::ReadFileText(scratch.Path() + "/home/AUDIOSTATS.TXT");
    EXPECT_EQ(log.rfind("Audio render rate match mode = ", 0), 0u) << log;
    EXPECT_NE(log.find(" - Audio Breaks = "), std::string::npos);
    EXPECT_NE(log.find("Last buffer = "), std::string::npos);

    // Speeds stop at 16x and 0.10x.
    for (int i = 0; i < 6; ++i)
        core.SpeedUp();
    EXPECT_STREQ(core.SpeedLabel(), "16x");
    for (int i = 0; i < 10; ++i)
        core.SpeedDown();
    EXPECT_STREQ(core.SpeedLabel(), "0.10x");
    core.ApplySpeed(kNormalSpeed, 0);

    // Backward, step, play again.
    core.Backward();
    EXPECT_TRUE(core.BwPressed());
    EXPECT_FALSE(core.FwPressed());
    EXPECT_EQ(core.Direction(), -1);
    core.StepForward();
    EXPECT_EQ(core.State(), PlayState::FrameStep);
    EXPECT_TRUE(core.FwPressed());
    EXPECT_EQ(core.Direction(), 1);
    EXPECT_FALSE(core.PlayShowsPause());
    core.PlayPause();
    EXPECT_EQ(core.State(), PlayState::Running);
    core.End();
    EXPECT_EQ(core.State(), PlayState::Paused);
    EXPECT_TRUE(core.BwPressed());
    core.Begin();
    EXPECT_EQ(core.State(), PlayState::Running);
    EXPECT_TRUE(core.FwPressed());
    core.SeekSlider(500);
    EXPECT_EQ(core.State(), PlayState::Running);

    // A time outside the recording: the box, then playing on.
    core.SearchTime({2011, 5, 5, 0, 0, 0});
    EXPECT_TRUE(boxes.Saw("Search time cannot be found on the hard drive", "ERROR"));
    EXPECT_EQ(core.State(), PlayState::Running);
    boxes.Clear();
    core.SearchTime({2010, 2, 30, 0, 0, 0}); // no such day: nothing happens
    EXPECT_TRUE(boxes.Seen().empty());
    core.SearchTime({2010, 1, 1, 0, 0, 10});
    EXPECT_TRUE(boxes.Seen().empty());

    // Alarms of the section, listed when the tab is chosen.
    core.SelectTab(1);
    EXPECT_FALSE(core.AlarmRows().empty());
    core.SelectAlarmRow(0);
    EXPECT_EQ(core.State(), PlayState::Running);

    // Quad box 0 takes channel 2 from box 2, which gets channel 0.
    core.SetChannel(BoxIndex(1, 0), 2);
    EXPECT_EQ(core.Boxes()[BoxIndex(1, 0)].channel, 2);
    EXPECT_EQ(core.Boxes()[BoxIndex(1, 2)].channel, 0);
    core.ShowSingle(BoxIndex(1, 3));
    EXPECT_EQ(core.DisplayMode(), 0);
    EXPECT_EQ(core.Boxes()[0].channel, 3);
    EXPECT_EQ(ReaderSettings::Load().displayMode, 0u);
    core.Close();
    EXPECT_FALSE(core.IsOpen());
}

TEST(ReaderPlayer, OpensAnOrmaImageAndAStreamFileLeavingThemUnchanged) {
    Scratch scratch;
    Boxes boxes;
    const std::string image = scratch.File("rec.orm");
    ASSERT_EQ(simorma::Write(image, readertest::OrmaOptions()).error, "");
    const std::string before = readertest::Sha256Of(image);
    {
        CPlayerCore core;
        ASSERT_TRUE(core.Open(FileTarget(image))) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
        EXPECT_FALSE(core.IsTav());
        ASSERT_EQ(core.SegmentRows().size(), 2u);
        EXPECT_EQ(core.SegmentRows()[0], "2009/03/01 08:00:00");
        EXPECT_EQ(core.SegmentRows()[1], "2009/03/02 09:30:00");
        EXPECT_FALSE(core.AlarmRows().empty());
        EXPECT_TRUE(core.ModelListEnabled());
        EXPECT_EQ(core.ModelRow(), 1);
        EXPECT_TRUE(core.PlayShowsPause());
        ExpectChannelsPlay(core, 4);
        core.SelectSegmentRow(1);
        core.PlayPause();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        TickResult tick = core.Tick();
        EXPECT_EQ(tick.timeText.substr(0, 10), "2009/03/02");
        core.SearchTime({2009, 3, 1, 8, 1, 0});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(core.Tick().timeText.substr(0, 16), "2009/03/01 08:01");
        core.MarkIn();
        EXPECT_EQ(core.MarkInText().substr(0, 16), "2009/03/01 08:01");
        core.StepForward();
        core.StepBackward();
        core.SeekSlider(900);
        core.SetModelRow(0);
        EXPECT_EQ(ReaderSettings::Load().model, 0u);
    }
    EXPECT_EQ(readertest::Sha256Of(image), before);

    sim_tav::RecorderOptions o = readertest::TavOptions(2);
    o.streamPackets = 200;
    const std::string stream = scratch.File("clip.arv");
    sim_tav::WriteTavStream(stream, o);
    const std::string streamBefore = readertest::Sha256Of(stream);
    {
        CPlayerCore core;
        ASSERT_TRUE(core.Open(FileTarget(stream))) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
        ExpectChannelsPlay(core, 2);
    }
    EXPECT_EQ(readertest::Sha256Of(stream), streamBefore);
}

TEST(ReaderPlayer, OpensATavDriveImage) {
    Scratch scratch;
    Boxes boxes;
    sim_tav::RecorderOptions o = readertest::TavOptions(2);
    const std::string drive = scratch.File("tav.img"), image = scratch.File("range.tav");
    sim_tav::Recording rec = sim_tav::WriteTavDrive(drive, o);
    ASSERT_FALSE(rec.packets.empty());
    const auto& f = rec.packets.front();
    const auto& l = rec.packets.back();
    sim_tav::WriteTavImage(
        drive, rec, {f.segment, f.block, f.entry, l.segment, l.block, l.entry, f.time, l.time, f.offset},
        image);
    const std::string before = readertest::Sha256Of(image);
    {
        CPlayerCore core;
        ASSERT_TRUE(core.Open(FileTarget(image))) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
        EXPECT_TRUE(core.IsTav());
        EXPECT_FALSE(core.SegmentRows().empty());
        ExpectChannelsPlay(core, 2);
    }
    EXPECT_EQ(readertest::Sha256Of(image), before);
}

// The mobile recorder's source is an outside component. In its place the test registers a class under
// its id that hands out the TAV source, and opens a stream file with it as a kind-24 recording.
TEST(ReaderPlayer, MobileRecorderKindStartsPausedAndShowsItsZone) {
    Scratch scratch;
    Boxes boxes;
    platform::RegisterInProcessClass(CLSID_GlmSourceFilter, [](IUnknown* outer, REFIID riid, void** ppv) {
        return CoCreateInstance(CLSID_VTSourceFilter, outer, CLSCTX_INPROC_SERVER, riid, ppv);
    });
    sim_tav::RecorderOptions o = readertest::TavOptions(2);
    o.streamPackets = 200;
    const std::string stream = scratch.File("clip.arv");
    sim_tav::WriteTavStream(stream, o);
    {
        CPlayerCore core;
        OpenTarget t = FileTarget(stream);
        t.kind = kKindGlm;
        ASSERT_TRUE(core.Open(t)) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
        EXPECT_EQ(core.State(), PlayState::Paused);
        EXPECT_FALSE(core.PlayShowsPause());
        core.PlayPause();
        EXPECT_TRUE(core.PlayShowsPause());
        core.SpeedUp(); // 2x: the play bitmap stays while running
        EXPECT_EQ(core.State(), PlayState::Running);
        EXPECT_FALSE(core.PlayShowsPause());
        TickResult tick = core.Tick();
        for (int i = 0; i < 30 && tick.timeText.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            tick = core.Tick();
        }
        // The TAV source leaves the zone byte as it is: zero, west of Greenwich by 0:00.
        ASSERT_GT(tick.timeText.size(), 19u);
        EXPECT_EQ(tick.timeText.substr(19), "  GMT -0:00");
        core.SearchTime({2012, 1, 1, 0, 0, 0});
        EXPECT_TRUE(boxes.Saw("Search time cannot be found on the hard drive", "ERROR"));
        EXPECT_EQ(core.State(), PlayState::Paused);
    }
    platform::UnregisterInProcessClass(CLSID_GlmSourceFilter);
}

TEST(ReaderPlayer, FailureTexts) {
    Scratch scratch;
    Boxes boxes;
    CPlayerCore core;
    // The mobile recorder's source is not installed.
    EXPECT_FALSE(core.Open(FileTarget(scratch.File("x.m4k"))));
    EXPECT_TRUE(boxes.Saw("Insert source filter failed!\nSoftware is not properly installed.", "Error"));
    EXPECT_FALSE(core.IsOpen());
    // A Corvel image: the source refuses its code and reports no picture size.
    boxes.Clear();
    {
        std::ofstream f(scratch.File("x.avr"));
        f << "nothing";
    }
    EXPECT_FALSE(core.Open(FileTarget(scratch.File("x.avr"))));
    EXPECT_TRUE(boxes.Saw("Cannot detect video on hard drive or file. Try open another one.", "Error"));
    // An ORMA image that is not one.
    boxes.Clear();
    {
        std::ofstream f(scratch.File("x.orm"), std::ios::binary);
        f.seekp(4 * 1024 * 1024 - 1);
        f.put(0);
    }
    EXPECT_FALSE(core.Open(FileTarget(scratch.File("x.orm"))));
    EXPECT_TRUE(boxes.Saw("Cannot detect video on ORMA drive or file. Try open another one.", "Error"));
    EXPECT_FALSE(core.IsOpen());
}

} // namespace
