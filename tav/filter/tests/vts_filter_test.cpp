// The TAV source filter without running its threads: creation by class id, opening, the interface's
// answers, the pins' media types, and the export of a marked range by pull.
#include <gtest/gtest.h>

#include "vts_filter.h"
#include "vts_test_util.h"

namespace {

using namespace vtstest;

class VTSFilter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseTestEnvironment();
        s_drive = std::make_unique<Drive>("four.tav", FourChannels());
        s_sum = tavtest::Checksum(s_drive->path);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(tavtest::Checksum(s_drive->path), s_sum); // opening and exporting never write the drive
        s_drive.reset();
    }
    void SetUp() override {
        ASSERT_EQ(m_filter.created, S_OK);
        ASSERT_EQ(m_filter.Open(tav::kOpenDrive, s_drive->path), 1)
            << (m_boxes.boxes.empty() ? std::string("-") : m_boxes.boxes[0].text); // success with audio
        ASSERT_EQ(m_filter.vts->LoadIndex(0, s_drive->path.c_str()), S_OK);
    }
    IVTSourceFilter* V() { return m_filter.vts.Get(); }

    static std::unique_ptr<Drive> s_drive;
    static unsigned long long s_sum;
    tavtest::BoxRecorder m_boxes;
    Filter m_filter;
};
std::unique_ptr<Drive> VTSFilter::s_drive;
unsigned long long VTSFilter::s_sum = 0;

TEST(VTSFilterBare, AnswersWithoutSourceAndRefusesUnknownKinds) {
    Filter f;
    ASSERT_EQ(f.created, S_OK);
    DWORD rate = 0;
    EXPECT_EQ(f.vts->GetFrameRate(&rate), E_FAIL); // nothing opened yet
    EXPECT_EQ(f.vts->SetChannelMask(1), S_OK);     // settings are kept for the next source
    for (int kind : {0, 7, 11, 255})
        EXPECT_EQ(f.Open(kind, "/nonexistent"), E_FAIL) << kind;
    EXPECT_EQ(f.vts->Open(nullptr), E_POINTER);
}

TEST_F(VTSFilter, InformationAfterOpen) {
    const auto& rec = s_drive->rec;
    struct Case {
        BYTE item;
        DWORD want;
    } cases[] = {{vtinfo::kFirstTime, rec.firstTime},
                 {vtinfo::kLastTime, rec.lastTime},
                 {vtinfo::kWidth, 352},
                 {vtinfo::kHeight, 240},
                 {vtinfo::kPacketCode, 0x12},
                 {vtinfo::kAudioFormat, 1},
                 {vtinfo::kRecorderKind, 2}};
    for (const Case& c : cases) {
        DWORD v = 0xDEAD;
        EXPECT_EQ(V()->GetInfo(c.item, &v), S_OK) << int(c.item);
        EXPECT_EQ(v, c.want) << int(c.item);
    }
    DWORD v = 0;
    EXPECT_EQ(V()->GetInfo(3, &v), E_FAIL);
    EXPECT_EQ(V()->GetInfo(vtinfo::kWidth, nullptr), E_FAIL);

    DWORD rate = 0;
    ASSERT_EQ(V()->GetFrameRate(&rate), S_OK);
    EXPECT_EQ(rate, 15u); // not measured before the first start
    DWORD n = 0, valid = 0, sections = 0, unit = 0;
    EXPECT_EQ(V()->GetSegmentCounts(&n, nullptr), S_OK);
    EXPECT_EQ(V()->GetSegmentCounts(nullptr, &valid), S_OK);
    EXPECT_GT(n, valid);
    EXPECT_EQ(valid, 2u);
    ASSERT_EQ(V()->GetSectionCount(&sections), S_OK);
    ASSERT_GE(sections, 1u);
    std::vector<BYTE> records(sections * kVTSectionRecordBytes);
    EXPECT_EQ(V()->GetSections(records.data()), S_OK);
    EXPECT_EQ(platform::ReadLE32(records.data()), rec.firstTime);
    EXPECT_EQ(V()->GetSectionUnit(&unit), S_OK);
    EXPECT_GT(unit, 0u);
}

TEST_F(VTSFilter, UnknownKindLeavesTheOpenSource) {
    EXPECT_EQ(m_filter.Open(11, s_drive->path), E_FAIL);
    DWORD w = 0, h = 0;
    ASSERT_EQ(V()->GetFrameSize(&w, &h), S_OK);
    EXPECT_EQ(w, 352u);
    EXPECT_EQ(h, 240u);
    // A drive that is not there: the failure's low byte comes back, and in the request.
    std::vector<BYTE> r = OpenRequest(tav::kOpenImage, s_drive->dir.File("missing.tav"));
    EXPECT_EQ(V()->Open(r.data()), 5);
    EXPECT_EQ(r[vtopen::kResult], 5);
}

TEST_F(VTSFilter, StreamFileOpensAsKind10) {
    std::string path = s_drive->dir.File("four.arv");
    sim_tav::WriteTavStream(path, FourChannels());
    EXPECT_EQ(m_filter.Open(tav::kOpenStreamFile, path), 1); // with audio
    ASSERT_EQ(V()->LoadIndex(0, path.c_str()), S_OK);
    auto* filter = static_cast<CVTSourceFilter*>(m_filter.vts.Get());
    EXPECT_EQ(filter->SourceKindCode(), 1);
    DWORD n = 0, valid = 1, w = 0, h = 0;
    EXPECT_EQ(V()->GetSegmentCounts(&n, &valid), S_OK);
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(valid, 0u);
    EXPECT_EQ(V()->GetFrameSize(&w, &h), S_OK);
    EXPECT_EQ(w, 352u);
    EXPECT_EQ(V()->ClearDrive(), E_FAIL); // only a drive can be cleared
    // Back to the drive: kind 8 makes a drive source again.
    EXPECT_EQ(m_filter.Open(tav::kOpenDrive, s_drive->path), 1);
    EXPECT_EQ(filter->SourceKindCode(), 0);
}

TEST_F(VTSFilter, PinsOfferTheirTypes) {
    media::CFilterHarness h(m_filter.base.Get());
    int index = -1;
    ASSERT_EQ(h.ConnectOutput(&index, {}, {}, "Video03"), S_OK);
    ASSERT_EQ(h.ConnectOutput(&index, {}, {}, "Audio PIN"), S_OK);
    CMediaType video = h.CaptureType(0);
    EXPECT_TRUE(*video.Type() == MEDIATYPE_Stream);
    EXPECT_TRUE(*video.Subtype() == MEDIASUBTYPE_TavStream);
    VIDEOINFOHEADER vih;
    ASSERT_TRUE(GetVideoInfo(video, &vih));
    EXPECT_EQ(vih.bmiHeader.biSize, 40u);
    EXPECT_EQ(vih.bmiHeader.biWidth, 352);
    EXPECT_EQ(vih.bmiHeader.biHeight, 240);
    EXPECT_EQ(vih.dwBitRate, 3u); // the channel
    EXPECT_EQ(vih.dwBitErrorRate, 0x12u);
    EXPECT_EQ(h.CaptureAllocator(0).cbBuffer, 204799 + 553); // the largest valid packet and its tail
    WAVEFORMATEX wfx;
    ASSERT_TRUE(GetWaveFormat(h.CaptureType(1), &wfx));
    EXPECT_EQ(wfx.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wfx.nChannels, 2);
    EXPECT_EQ(wfx.wBitsPerSample, 16);
    EXPECT_EQ(wfx.nSamplesPerSec, 8000u);
    EXPECT_EQ(wfx.nAvgBytesPerSec, 32000u);
    EXPECT_EQ(h.CaptureAllocator(1).cbBuffer, 40960);
}

TEST_F(VTSFilter, ExportByPullDeliversTheMarkedRangeOfOneChannel) {
    const auto& packets = s_drive->rec.packets;
    DWORD startTime = 0, endTime = 0;
    ASSERT_EQ(V()->SeekPerMille(200), S_OK);
    ASSERT_EQ(V()->MarkStart(&startTime), S_OK);
    ASSERT_EQ(V()->SeekPerMille(700), S_OK);
    ASSERT_EQ(V()->MarkEnd(&endTime), S_OK);
    ASSERT_LT(startTime, endTime);
    BYTE format = 0xFF;
    ASSERT_EQ(V()->PrepareExport(&format, 1), S_OK);
    EXPECT_EQ(format, 1);

    std::vector<BYTE> buf(kVTExportBufferBytes);
    int video = 0, audio = 0;
    DWORD lastSecond = 0;
    for (int i = 0; i < 1000 && V()->ExportNextPacket(buf.data()) == S_FALSE; ++i) {
        ASSERT_EQ(platform::ReadLE32(buf.data()), 0x311F42C1u);
        DWORD second = platform::ReadLE32(buf.data() + 20);
        EXPECT_GE(second + 1, lastSecond);
        lastSecond = second;
        if (buf[19] == tav::kTypeAudio) {
            ++audio;
            EXPECT_EQ(platform::ReadLE32(buf.data() + 28), 16384u + 32u); // PCM behind the header
        } else {
            ++video;
            EXPECT_EQ(buf[18], 1) << i; // only the export channel
        }
    }
    EXPECT_EQ(V()->ExportNextPacket(buf.data()), S_OK); // stays at the end
    // Channel 1's frames of the marked seconds, give or take the entries at the marks.
    int expected = 0;
    for (const auto& p : packets)
        expected += p.channel == 1 && p.type != tav::kTypeAudio && p.time >= startTime && p.time <= endTime;
    EXPECT_GT(video, 0);
    EXPECT_LE(video, expected);
    EXPECT_GE(video, expected - 4);
    EXPECT_GT(audio, 0);
    EXPECT_EQ(V()->EndExport(), S_OK);
}

TEST_F(VTSFilter, StatusBlockBySourceKind) {
    std::vector<BYTE> buf(kVTStatusBufferBytes, 0xEE);
    ASSERT_EQ(V()->GetStatusBlock(buf.data()), S_OK);
    // Kind 2: the 295-byte block, then zeros up to 512 (never bytes from beyond the block).
    for (std::size_t i = tav::kStatusBlockBytes; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0) << i;
}

} // namespace

namespace {

// A section whose segments carry up to 283 events each holds more than its unit of K × 256 records:
// the count asked with a null buffer covers every event, and a smaller buffer is told it was too small.
TEST(VTSFilterEvents, EveryEventOfAFullSectionIsListed) {
    UseTestEnvironment();
    sim_tav::RecorderOptions o;
    o.segments = 30; // of section 0's 32 (a 3 GiB drive)
    o.blocksPerSegment = 1;
    o.packetsPerBlock = 6;
    o.channels = 1;
    o.eventsEvery = 1;
    o.eventsPerSegment = 283;
    Drive drive("events.tav", o);
    tavtest::BoxRecorder boxes;
    Filter f;
    ASSERT_EQ(f.created, S_OK);
    ASSERT_GE(f.Open(tav::kOpenDrive, drive.path), 0);
    ASSERT_EQ(f.vts->LoadIndex(0, drive.path.c_str()), S_OK);
    DWORD unit = 0, count = 0;
    ASSERT_EQ(f.vts->GetSectionUnit(&unit), S_OK);
    ASSERT_EQ(f.vts->GetEventTimes(nullptr, &count), S_OK);
    EXPECT_EQ(unit, 32u * 256u);
    EXPECT_EQ(count, 30u * 283u);
    std::vector<BYTE> records(count * kVTEventRecordBytes);
    DWORD got = count;
    EXPECT_EQ(f.vts->GetEventTimes(records.data(), &got), S_OK);
    EXPECT_EQ(got, count);
    for (DWORD i = 0; i < got; ++i)
        ASSERT_GE(platform::ReadLE32(records.data() + kVTEventRecordBytes * i), drive.rec.firstTime) << i;
    got = unit;
    EXPECT_EQ(f.vts->GetEventTimes(records.data(), &got), S_FALSE);
    EXPECT_EQ(got, unit);
}

} // namespace
