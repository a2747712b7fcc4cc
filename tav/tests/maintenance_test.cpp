#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "tav/status_text.h"
#include "tav_test_util.h"

namespace {

// ---- status text ----

std::array<BYTE, 295> Kind2Block() {
    std::array<BYTE, 295> b{};
    std::memcpy(&b[58], "FRONT", 5);
    b[4] = 12, b[5] = 6;
    b[6] = 40, b[7] = 26, b[8] = 5, b[9] = 'N';
    b[10] = 0, b[11] = 74, b[12] = 0, b[13] = 3, b[14] = 'W';
    b[15] = 0, b[16] = 35;
    b[2] = 0, b[3] = 55;
    return b;
}

TEST(TavStatusText, Kind2FlagsAndPositions) {
    auto b = Kind2Block();
    b[0] = 0x0A;
    EXPECT_EQ(
        tav::StatusText(2, b.data(), 0),
        ",\"FRONT\",\"40d26.5'N\",\"74d0.3'W\",\"12.6V\",\"35MPH\",\"55MPH\",\"\",\"STP\",\"\",\"WRN\",\"\"");
    b[9] = 0; // no latitude: its field is empty, the longitude still shows
    EXPECT_EQ(tav::StatusText(2, b.data(), 0).rfind(",\"FRONT\",\"\",\"74d0.3'W\",\"12.6V\"", 0), 0u);
}

TEST(TavStatusText, Kind3And4SpeedUnitsLabelsAndTexts) {
    auto b = Kind2Block();
    b[0] = 0x01;
    std::memcpy(&b[144], "IGN", 3);
    platform::WriteLE32(&b[32], 1);
    EXPECT_EQ(tav::StatusText(3, b.data(), 0), ",\"FRONT\",\"40d26.5'N\",\"74d0.3'W\",\"12.6V\",\"35KPH\","
                                               "\"55KPH\",\"IGN\",\"\",\"\",\"\",\"\"\r\n");
    platform::WriteLE32(&b[32], 7);
    EXPECT_NE(tav::StatusText(3, b.data(), 0).find("\"35KTS\",\"55KTS\""), std::string::npos);
    platform::WriteLE32(&b[32], 0);
    b[1] = 0x10;
    std::memcpy(&b[159 + 12], "HRN", 3);
    b[294] = 0x81;
    std::memcpy(&b[198], "DRIVER ONE12", 12);
    b[210] = 'X'; // the next field follows without a terminator: the first stays 12 characters
    std::memcpy(&b[198 + 84], "LAST", 4);
    std::string t = tav::StatusText(4, b.data(), 0);
    EXPECT_NE(
        t.find("\"35MPH\",\"55MPH\",\"IGN\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"HRN\",\"DRIVER ONE12\","
               "\"\",\"\",\"\",\"\",\"\",\"\",\"LAST\"\r\n"),
        std::string::npos)
        << t;
}

TEST(TavStatusText, Kind1Navigation) {
    BYTE r[32] = {};
    r[0] = 'A', r[1] = 'N', r[2] = 40, r[3] = 26, r[4] = 5, r[6] = 'W', r[7] = 74, r[8] = 0, r[9] = 3;
    platform::WriteLE16(r + 15, 270);
    platform::WriteLE16(r + 17, 15);
    struct Case {
        WORD knots, hundredths;
        const char* text;
    } cases[] = {{10, 50, "19.44KPH"}, {1, 0, "1.85KPH"}, {0, 5, "0.9KPH"}};
    for (const Case& c : cases) {
        platform::WriteLE16(r + 11, c.knots);
        platform::WriteLE16(r + 13, c.hundredths);
        EXPECT_EQ(tav::Kind1Text(r, 2), std::string("\r\n    Status A  Chnl 3\r\n    ") + c.text +
                                            "  DIR 270d15'\r\n    LAT 40d26.5'N LONG 74d0.3'W\r\n");
    }
}

TEST(TavStatusText, LineStartsWithTheTimeAndEndsOnce) {
    tav::TavStatusState st;
    for (int kind : {0, 8, 32})
        EXPECT_EQ(tav::FrameTextLine(978516997, kind, st, 0), "2001/01/03 10:16:37 \r\n");
    const std::string kind2 = tav::FrameTextLine(978516997, 2, st, 0);
    EXPECT_EQ(kind2.substr(0, 22), "2001/01/03 10:16:37 ,\"");
    EXPECT_EQ(kind2.substr(kind2.size() - 3), "\"\r\n");
    // Kinds whose text ends its own line get no second line end.
    for (int kind : {1, 3, 4}) {
        const std::string line = tav::FrameTextLine(978516997, kind, st, 0);
        EXPECT_NE(line.substr(line.size() - 4), "\r\n\r\n") << kind;
    }
}

// ---- maintenance on drives ----

class TavMaintenance : public ::testing::Test {
protected:
    tavtest::ScratchDir dir;
    tavtest::BoxRecorder boxes;

    void Patch(const std::string& path, ULONGLONG byte, DWORD value) {
        int fd = ::open(path.c_str(), O_RDWR);
        BYTE b[4];
        platform::WriteLE32(b, value);
        ASSERT_EQ(::pwrite(fd, b, 4, static_cast<off_t>(byte)), 4);
        ::close(fd);
    }
};

TEST_F(TavMaintenance, DiagnosticReport) {
    sim_tav::RecorderOptions o;
    o.gib = 40;
    o.segments = 2;
    o.protectedSegments = 1;
    std::string path = dir.File("diag.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    ULONGLONG header = 83820544ull * 512;
    Patch(path, header + 12, 5);
    Patch(path, header + 16, 3);
    auto src = tavtest::OpenDrive(path);
    std::string out = dir.File("diag.txt");
    EXPECT_EQ(src->WriteDiagnosticLog(out.c_str()), S_OK);
    auto bytes = tavtest::ReadAll(out);
    std::string text(bytes.begin(), bytes.end());
    std::string start = tav::FormatTime(rec.firstTime), end = tav::FormatTime(rec.lastTime);
    std::string want = "Diagnostic log file for KLTO Design Inc.\r\n"
                       "This log file is intended to assist in checking the v2.x drive format.\r\n\r\n"
                       "<<---- General drive info ---->>\r\n"
                       "|-- Total sectors = 83886080, cap in GB = 42.949673\r\n"
                       "|-- Recording start time = " +
                       start +
                       "\r\n"
                       "|-- Recording end time = " +
                       end +
                       "\r\n"
                       "|-- Current recording time = " +
                       end +
                       "\r\n"
                       "|-- Playback current reading-from sector = 333824\r\n"
                       "|-- Current writing-to sector = " +
                       std::to_string(2 * 65536) +
                       "\r\n\r\n"
                       "<<---- Protected partition ---->>\r\n"
                       "|-- Sectors = 0 to 65536, percentage of total drive = 0\r\n";
    EXPECT_EQ(text.substr(0, want.size()), want);
    EXPECT_NE(text.find("<<---- System log file ---->>\r\n|-- Log size = 1024 entries\r\n"
                        "|-- Current writing-to entry = 13\r\n"),
              std::string::npos);
}

TEST_F(TavMaintenance, SystemLogIsWrittenOldestFirst) {
    sim_tav::RecorderOptions o;
    o.logSize = 1024;
    o.logNext = 13;
    std::string path = dir.File("log.img");
    sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    std::string out = dir.File("syslog.bin");
    ASSERT_EQ(src->ExportSystemLog(out.c_str()), S_OK);
    auto log = tavtest::ReadAll(out);
    ASSERT_EQ(log.size(), 1024u * 64u);
    for (DWORD i = 0; i < 1024; ++i)
        ASSERT_EQ(platform::ReadLE32(log.data() + 64 * i), (13 + i) % 1024) << i;
    // A drive without a log refuses before creating any file.
    o.logSize = 0;
    sim_tav::WriteTavDrive(path, o);
    auto empty = tavtest::OpenDrive(path);
    std::string none = dir.File("none.bin");
    EXPECT_EQ(empty->ExportSystemLog(none.c_str()), E_FAIL);
    EXPECT_FALSE(std::filesystem::exists(none));
}

TEST_F(TavMaintenance, ExportedImageOfAWrappedRangeReopensAsOneRange) {
    sim_tav::RecorderOptions o;
    o.wrapped = true;
    o.wrapNewest = 3;
    o.wrapStaleBlock = 1;
    o.packetsPerBlock = 6;
    o.channels = 1;
    std::string path = dir.File("wrap.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto before = tavtest::Checksum(path);
    auto src = tavtest::OpenDrive(path);
    ASSERT_GE(src->SectionCount(), 3);
    // Start inside the last segment before the system area (oldest data), end in the newest section.
    std::size_t first = 0;
    while (rec.packets[first].segment != 94)
        ++first;
    first += 3;
    while (rec.packets[first].time == rec.packets[first - 1].time)
        --first;
    std::size_t last = rec.packets.size() - 4;
    int lastSection = src->SectionCount() - 1;
    src->SeekToSectionTime(rec.packets[first].time);
    auto p = src->CurrentPacket();
    ASSERT_EQ(p.segment, 94u);
    ASSERT_EQ(p.entry, static_cast<int>(rec.packets[first].entry));
    src->MarkStart(nullptr);
    src->SelectSection(lastSection);
    src->SeekToTime(rec.packets[last].time);
    while (rec.packets[last].time == rec.packets[last - 1].time)
        --last;
    src->MarkEnd(nullptr);
    std::string image = dir.File("range.tav");
    ASSERT_EQ(src->ExportImage(image.c_str()), S_OK);
    auto imageBytes = tavtest::ReadAll(image);
    const tav::TavGeometry g = src->Geometry();
    EXPECT_GT(platform::ReadLE32(imageBytes.data() + 180), g.G - 1);
    EXPECT_GT(platform::ReadLE32(imageBytes.data() + 184), g.N - 2);
    src.reset();
    EXPECT_EQ(tavtest::Checksum(path), before);

    auto imageSum = tavtest::Checksum(image);
    tav::CTavDiskSource img(4);
    ASSERT_GE(img.Open(tav::kOpenImage, 0, image.c_str()), 0);
    ASSERT_EQ(img.LoadIndex(), S_OK);
    auto walked = tavtest::WalkAll(img);
    ASSERT_EQ(walked.size(), last - first + 1);
    for (std::size_t i = 0; i < walked.size(); ++i) {
        ASSERT_EQ(walked[i].time, rec.packets[first + i].time) << i;
        ASSERT_EQ(walked[i].segment % (g.N - 1), rec.packets[first + i].segment) << i;
        ASSERT_EQ(walked[i].entry, static_cast<int>(rec.packets[first + i].entry)) << i;
    }
    // Frames read from the image equal the drive's.
    img.SelectSection(0);
    ASSERT_TRUE(img.NextEntry());
    std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    img.SetDisplayCounter(0, 1);
    EXPECT_GT(img.GetFrame(sample.data(), static_cast<DWORD>(sample.size()), 0), 4);
    EXPECT_EQ(tavtest::Checksum(image), imageSum);
    EXPECT_EQ(img.ClearDrive(), E_FAIL);
    EXPECT_TRUE(boxes.boxes.empty());
}

// The newest segment holds both ends of a range over the whole recording: its newest block comes just
// before its oldest, so the end block's copy (the block and the 400 sectors a packet may run on into)
// reaches past the start sector although the range wraps. Both the source's export and the
// simulator's image writer must still take the way round the end of the drive.
TEST_F(TavMaintenance, RangeEndingInTheBlockBeforeItsStartBlockIsExportedRoundTheDrive) {
    sim_tav::RecorderOptions o;
    o.gib = 1; // the range spans the drive: keep the images at 1 GiB
    o.wrapped = true;
    o.wrapNewest = 5;
    o.wrapStaleBlock = 1;
    o.packetsPerBlock = 6;
    o.channels = 1;
    std::string path = dir.File("wrap.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    const DWORD W = 5;
    // Start a few packets into the oldest data (block 1 of W), end a few before the newest (block 0 of W).
    std::size_t first = 3, last = rec.packets.size() - 4;
    while (rec.packets[first].time == rec.packets[first - 1].time)
        --first;
    while (rec.packets[last].time == rec.packets[last - 1].time)
        --last;
    ASSERT_EQ(rec.packets[first].segment, W);
    ASSERT_EQ(rec.packets[first].block, 1u);
    ASSERT_LT(rec.packets[first].offset / 512, 400u);
    ASSERT_EQ(rec.packets[last].segment, W);
    ASSERT_EQ(rec.packets[last].block, 0u);

    auto expectRange = [&](const std::string& image) {
        tav::CTavDiskSource img(4);
        ASSERT_GE(img.Open(tav::kOpenImage, 0, image.c_str()), 0);
        ASSERT_EQ(img.LoadIndex(), S_OK);
        const DWORD N = img.Geometry().N;
        auto walked = tavtest::WalkAll(img);
        ASSERT_EQ(walked.size(), last - first + 1);
        for (std::size_t i = 0; i < walked.size(); ++i) {
            const auto& want = rec.packets[first + i];
            ASSERT_EQ(walked[i].time, want.time) << i;
            ASSERT_EQ(walked[i].segment % (N - 1), want.segment) << i;
            ASSERT_EQ(walked[i].block, static_cast<int>(want.block)) << i;
            ASSERT_EQ(walked[i].entry, static_cast<int>(want.entry)) << i;
        }
        // The walk stops on the last frame, whose packet is read from the copy behind the drive's end.
        ASSERT_EQ(img.CurrentPacket().time, rec.packets[last].time);
        std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
        img.SetDisplayCounter(0, 1);
        EXPECT_GT(img.GetFrame(sample.data(), static_cast<DWORD>(sample.size()), 0), 4);
    };

    {
        auto src = tavtest::OpenDrive(path);
        ASSERT_EQ(src->SeekToSectionTime(rec.packets[first].time), S_OK);
        auto p = src->CurrentPacket();
        ASSERT_EQ(p.segment, W);
        ASSERT_EQ(p.entry, static_cast<int>(rec.packets[first].entry));
        src->MarkStart(nullptr);
        src->SelectSection(src->SectionCount() - 1);
        src->SeekToTime(rec.packets[last].time);
        ASSERT_EQ(src->CurrentPacket().entry, static_cast<int>(rec.packets[last].entry));
        src->MarkEnd(nullptr);
        std::string image = dir.File("exported.tav");
        ASSERT_EQ(src->ExportImage(image.c_str()), S_OK);
        src.reset();
        expectRange(image);
        std::filesystem::remove(image);
    }
    const auto& f = rec.packets[first];
    const auto& l = rec.packets[last];
    sim_tav::ImageRange r{f.segment, f.block, f.entry, l.segment, l.block, l.entry, f.time, l.time, f.offset};
    std::string image = dir.File("simulated.tav");
    sim_tav::WriteTavImage(path, rec, r, image);
    expectRange(image);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TavMaintenance, ClearDriveZeroesTheIndexStructuresOfACopy) {
    sim_tav::RecorderOptions o;
    o.gib = 100;
    o.segments = 3;
    std::string path = dir.File("clear.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    const auto& g = rec.geo; // 100 GiB: S = 131072, u = 131072
    DWORD u = 131072;
    DWORD lastUnit = (g.T / u - (g.T % u == 0 ? 1 : 0)) * u;
    Patch(path, ULONGLONG(lastUnit) * 512, 0xFFFFFFFF);
    auto src = tavtest::OpenDrive(path);
    ASSERT_EQ(src->ClearDrive(), S_OK);
    src.reset();
    int fd = ::open(path.c_str(), O_RDONLY);
    auto word = [&](ULONGLONG sector) {
        BYTE b[4] = {};
        EXPECT_EQ(::pread(fd, b, 4, static_cast<off_t>(sector * 512)), 4);
        return platform::ReadLE32(b);
    };
    EXPECT_EQ(word(lastUnit), 0u);
    EXPECT_EQ(word(2008), 0u);
    EXPECT_EQ(word(ULONGLONG(g.S) - 12), 0u);
    EXPECT_EQ(word(2048 + 2008), 0u); // every block index of the first segment
    EXPECT_EQ(word(g.Tprime - g.S), 0u);
    // The second segment's block index is not an index structure of segment F and stays.
    EXPECT_NE(word(ULONGLONG(g.S) + 2008), 0u);
    ::close(fd);
}

} // namespace

namespace {

// The largest drive a 32-bit sector number allows: 2047 GiB in 1 GiB segments, one section each.
TEST(TavBigDrive, TwoTerabyteSparseDriveOpensAndIndexes) {
    tavtest::ScratchDir dir;
    tavtest::BoxRecorder boxes;
    sim_tav::RecorderOptions o;
    o.totalSectors = 0xFFFFFFFFu;
    o.segments = 3;
    o.blocksPerSegment = 2;
    o.packetsPerBlock = 8;
    std::string path = dir.File("big.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    // Segments 0..2, one per section; the last section in use, (2 - 1) / K, ends at the last segment.
    ASSERT_EQ(src->SectionCount(), 2);
    EXPECT_EQ(src->Sections()[1].last, 2u);
    EXPECT_EQ(src->Geometry().N, 2047u);
    EXPECT_EQ(src->Geometry().HeaderSector(), 2046u << 21);
    auto walked = tavtest::WalkAll(*src);
    ASSERT_EQ(walked.size(), rec.packets.size());
    EXPECT_EQ(walked.back().time, rec.lastTime);
    std::string diag = dir.File("diag.txt");
    src->WriteDiagnosticLog(diag.c_str());
    auto text = tavtest::ReadAll(diag);
    EXPECT_NE(
        std::string(text.begin(), text.end()).find("Total sectors = 4292870144, cap in GB = 2197.949514"),
        std::string::npos);
    EXPECT_TRUE(boxes.boxes.empty());
}

// On a drive over 1 TB an image of a range that runs past the end of the drive would number its last
// segment beyond 32-bit sectors and never open again: the export refuses it before making the file. A
// range that does not wrap exports and opens as usual.
TEST(TavBigDrive, WrappedRangeImageOfADriveOver1TBIsRefusedUpFront) {
    tavtest::ScratchDir dir;
    tavtest::BoxRecorder boxes;
    sim_tav::RecorderOptions o;
    o.totalSectors = 0xFFFFFFFFu;
    o.wrapped = true;
    o.wrapNewest = 2;
    o.blocksPerSegment = 1;
    o.packetsPerBlock = 4;
    o.channels = 1;
    o.audioFormat = 0;
    o.eventsEvery = 0;
    std::string path = dir.File("big-wrapped.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    ASSERT_TRUE(src->Wrapped());
    src->SelectSection(0);
    ASSERT_TRUE(src->NextEntry());
    ASSERT_EQ(src->CurrentPacket().segment, 3u); // the oldest data, behind the write point
    src->MarkStart(nullptr);
    src->SelectSection(src->SectionCount() - 1);
    ASSERT_TRUE(src->NextEntry());
    src->MarkEnd(nullptr);
    std::string image = dir.File("wrapped.tav");
    EXPECT_EQ(src->ExportImage(image.c_str()), E_FAIL);
    EXPECT_FALSE(std::filesystem::exists(image));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "Error");
    EXPECT_NE(boxes.boxes[0].text.find("runs past the end of the drive"), std::string::npos);

    boxes.boxes.clear();
    ASSERT_TRUE(src->NextEntry());
    src->MarkStart(nullptr);
    ASSERT_TRUE(src->NextEntry());
    src->MarkEnd(nullptr);
    ASSERT_EQ(src->ExportImage(image.c_str()), S_OK);
    tav::CTavDiskSource img(4);
    ASSERT_GE(img.Open(tav::kOpenImage, 0, image.c_str()), 0);
    EXPECT_TRUE(boxes.boxes.empty());
}

} // namespace
