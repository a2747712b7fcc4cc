#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <fstream>
#include <iterator>

#include "orma_test_util.h"
#include "testsupport/files.h"

namespace orma {
namespace {

using simorma::SecondsOf;
using test::Capture;
using test::Recording;

// The frames the recorder listed, in recording order, for one segment id.
std::vector<simorma::FrameInfo> Listed(const simorma::Result& r, int segmentId) {
    std::vector<simorma::FrameInfo> out;
    for (const simorma::FrameInfo& f : r.frames)
        if (f.segmentId == segmentId && f.listed)
            out.push_back(f);
    return out;
}

bool DecodesAsJpeg(const COrmaSlot& slot) {
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    bool ok =
        tjDecompressHeader3(d, slot.picture, static_cast<unsigned long>(slot.length), &w, &h, &sub, &cs) == 0;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3 + 1);
    ok = ok && tjDecompress2(d, slot.picture, static_cast<unsigned long>(slot.length), rgb.data(), w, 0, h,
                             TJPF_RGB, 0) == 0;
    tjDestroy(d);
    return ok;
}

class OrmaFrames : public ::testing::Test {
protected:
    void Open(const simorma::Options& o) {
        m_rec = std::make_unique<Recording>("frames.orm", o);
        ASSERT_EQ(m_rec->result.error, "");
        m_before = test::Checksum(m_rec->path);
        ASSERT_EQ(m_disk.OpenDisk(0, m_rec->path.c_str()), S_OK);
        m_disk.StartPlayback();
    }
    void TearDown() override {
        if (m_rec) {
            m_disk.Close();
            EXPECT_EQ(test::Checksum(m_rec->path), m_before);
        }
    }
    static simorma::Options Base() {
        simorma::Options o = test::SmallImage();
        o.recordFrames = true;
        return o;
    }
    std::unique_ptr<Recording> m_rec;
    unsigned long long m_before = 0;
    COrmaSlotBank m_pins;
    COrmaDisk m_disk{&m_pins};
};

TEST_F(OrmaFrames, ForwardWalkReturnsEveryFrameInRecordingOrderAcrossBordersAndSegments) {
    simorma::Options o = Base();
    o.extraAudioEvery = 5;
    o.extraAudioChunks = 2;
    Open(o);
    std::vector<simorma::FrameInfo> expected = Listed(m_rec->result, 1);
    const auto seg2 = Listed(m_rec->result, 2);
    expected.insert(expected.end(), seg2.begin(), seg2.end());
    ASSERT_GE(expected.size(), 80u);
    int straddling = 0, extra = 0;
    for (const auto& f : expected) {
        straddling += f.straddles;
        extra += f.extraChunks > 0;
    }
    ASSERT_GT(straddling, 10);
    ASSERT_GT(extra, 10);
    // One frame more: after the last segment, playback goes round to the first.
    auto walked = test::Walk(m_disk, static_cast<int>(expected.size()) + 1);
    ASSERT_EQ(walked.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(walked[i].time, expected[i].time.packed);
        EXPECT_EQ(walked[i].year, expected[i].time.year);
        EXPECT_EQ(walked[i].channel, expected[i].channel);
        EXPECT_EQ(static_cast<DWORD>(walked[i].picture), expected[i].pictureBytes);
        EXPECT_EQ(static_cast<DWORD>(walked[i].audio), expected[i].audioBytes);
    }
    EXPECT_EQ(walked.back().time, expected.front().time.packed);
    EXPECT_EQ(m_disk.CurrentSegment(), 0);
}

TEST_F(OrmaFrames, StraddlingPictureIsWholeAfterTheBlockHeader) {
    simorma::Options o = Base();
    o.width = 352;
    o.height = 240;
    o.quality = 60;
    o.segments = {{1, 1, SecondsOf(2009, 3, 1, 8, 0, 0), 60, 0, 3}};
    Open(o);
    int checked = 0;
    std::vector<BYTE> audio(51040);
    for (const auto& f : Listed(m_rec->result, 1)) {
        LONG length = static_cast<LONG>(audio.size());
        BYTE ch = 0;
        ASSERT_EQ(m_disk.GetFrame(audio.data(), &length, &ch), S_OK);
        ASSERT_EQ(ch, f.channel);
        const COrmaSlot& slot = m_pins.Slot(ch);
        ASSERT_EQ(static_cast<DWORD>(slot.length), f.pictureBytes);
        EXPECT_TRUE(DecodesAsJpeg(slot))
            << "frame in block " << f.block << (f.straddles ? " (straddling)" : "");
        checked += f.straddles;
    }
    EXPECT_EQ(checked, 2); // blocks 0 and 1 end with a straddling frame, the last block does not
    // The audio of the last frame: the recorder's samples as stored (signed; the pin converts).
    EXPECT_EQ(m_disk.FrameInfo()[0], 0x88);
}

TEST_F(OrmaFrames, FrameWithoutMagicIsSkippedWithNoAudio) {
    simorma::Options o = Base();
    o.damage.missingFrameMagicEvery = 2;
    Open(o);
    std::vector<BYTE> audio(51040);
    LONG length = static_cast<LONG>(audio.size());
    BYTE ch = 0;
    ASSERT_EQ(m_disk.GetFrame(audio.data(), &length, &ch), S_OK);
    EXPECT_EQ(length, 294);
    length = static_cast<LONG>(audio.size());
    ASSERT_EQ(m_disk.GetFrame(audio.data(), &length, &ch), S_OK);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(m_disk.LastPictureLength(), 0);
    EXPECT_EQ(m_disk.CurrentEntry(), 2); // advanced past the last entry; the next read moves on
    EXPECT_EQ(m_disk.CurrentBlock(), 0u);
    int permille = 0;
    EXPECT_EQ(m_disk.GetPointerPosition(&permille, nullptr, nullptr),
              E_PENDING); // the last header lacks the magic
}

TEST_F(OrmaFrames, EntryOfSize255FailsBackToTheBlockStart) {
    simorma::Options o = Base();
    o.damage.smallFrameSizeEvery = 4;
    Open(o);
    Capture cap;
    std::vector<BYTE> audio(51040);
    HRESULT last = S_OK;
    auto walked = test::Walk(m_disk, 10, &last);
    EXPECT_EQ(walked.size(), 3u);
    EXPECT_EQ(last, E_FAIL);
    EXPECT_TRUE(cap.Saw("E_FAIL: num_sector or start_sector\n"));
    EXPECT_TRUE(cap.Saw("E_FAIL\n"));
    EXPECT_EQ(m_disk.CurrentBlock(), 1u); // the failing entry is entry 1 of block 1
    EXPECT_EQ(m_disk.CurrentEntry(), 0);
    EXPECT_FALSE(m_pins.m_playing);
    for (int ch = 0; ch < kChannels; ++ch)
        EXPECT_GE(m_pins.ReadyCount(ch), 1);
}

TEST_F(OrmaFrames, AudioCapacityTooSmallFails) {
    Open(Base());
    Capture cap;
    std::vector<BYTE> audio(100);
    LONG length = 100;
    BYTE ch = 0;
    EXPECT_EQ(m_disk.GetFrame(audio.data(), &length, &ch), E_FAIL);
    EXPECT_TRUE(cap.Saw("audio length problem? 0, 294, 294>100!\n"));
    EXPECT_EQ(m_disk.GetFrame(nullptr, nullptr, nullptr), E_POINTER);
}

TEST_F(OrmaFrames, PalChunksAreLonger) {
    simorma::Options o = Base();
    o.pal = true;
    Open(o);
    m_disk.SetVideo(1);
    m_disk.SetVideo(2); // changes nothing
    auto walked = test::Walk(m_disk, 3);
    ASSERT_EQ(walked.size(), 3u);
    EXPECT_EQ(walked[0].audio, 352);
}

TEST_F(OrmaFrames, ReverseFromTheFirstEntryOfABlockGoesToThePreviousCluster) {
    Open(Base());
    ASSERT_EQ(m_disk.SetPlaybackSpeed(-1000), S_OK);
    ASSERT_EQ(m_disk.SetPointer(1, 0, 0), S_OK);
    auto walked = test::Walk(m_disk, 2);
    ASSERT_EQ(walked.size(), 2u);
    const auto frames = Listed(m_rec->result, 1);
    auto at = [&](DWORD c, DWORD b, DWORD e) {
        for (const auto& f : frames)
            if (f.cluster == c && f.block == b && f.entry == e)
                return f.time.packed;
        return DWORD(0);
    };
    EXPECT_EQ(walked[0].time, at(1, 0, 0));
    // Entry −1 of block 0 of cluster 1: the last entry of block 31 of cluster 0.
    EXPECT_EQ(walked[1].time, at(0, 31, 1));
    EXPECT_EQ(m_disk.CurrentCluster(), 0u);
    EXPECT_EQ(m_disk.CurrentBlock(), 31u);
}

TEST_F(OrmaFrames, ReverseAtASegmentStartContinuesAtThePreviousSegmentsEnd) {
    Open(Base());
    ASSERT_EQ(m_disk.SetPlaybackSpeed(-1000), S_OK);
    ASSERT_EQ(m_disk.SetPointerSegment(1, 0), S_OK);
    auto walked = test::Walk(m_disk, 3);
    ASSERT_EQ(walked.size(), 3u);
    const auto seg1 = Listed(m_rec->result, 1);
    EXPECT_EQ(walked[0].time, Listed(m_rec->result, 2).front().time.packed);
    EXPECT_EQ(walked[1].time, seg1.back().time.packed);
    EXPECT_EQ(walked[2].time, seg1[seg1.size() - 2].time.packed);
    EXPECT_EQ(m_disk.CurrentSegment(), 0);
}

TEST_F(OrmaFrames, SegmentEndIsItsLastFrame) {
    Open(Base());
    ASSERT_EQ(m_disk.SetPointerSegment(0, 1), S_OK);
    auto walked = test::Walk(m_disk, 2);
    ASSERT_EQ(walked.size(), 2u);
    EXPECT_EQ(walked[0].time, Listed(m_rec->result, 1).back().time.packed);
    EXPECT_EQ(walked[1].time, Listed(m_rec->result, 2).front().time.packed);
    EXPECT_EQ(m_disk.SetPointerSegment(99, 0), S_OK); // past the list: the last segment
    EXPECT_EQ(m_disk.CurrentSegment(), 1);
    EXPECT_EQ(m_disk.SetPointerSegment(-1, 0), S_OK); // the current one
    EXPECT_EQ(m_disk.CurrentSegment(), 1);
    EXPECT_GE(m_pins.m_beginFlushes.load(), 3);
    EXPECT_EQ(m_pins.m_beginFlushes.load(), m_pins.m_endFlushes.load());
}

TEST_F(OrmaFrames, DuplicateFieldIsDroppedOnlyAtNormalSpeed) {
    simorma::Options o = Base();
    o.fieldsPerPicture = 2;
    o.channels = 2;
    o.extraAudioEvery = 0;
    Open(o);
    // At normal speed the round ends at frame 4, channel 0's next picture, with channel 1 seen; without
    // the suppression it ends at frame 1, the second field, and channel 1 is woken once more, unseen.
    struct Case {
        int speed;
        int timestamps;
        int readyOf8;
    } cases[] = {{1000, 0, 4}, {500, 0, 9}, {1000, 1, 9}};
    for (const Case& c : cases) {
        COrmaSlotBank pins;
        COrmaDisk disk(&pins);
        ASSERT_EQ(disk.OpenDisk(0, m_rec->path.c_str()), S_OK);
        disk.StartPlayback();
        disk.SetPlaybackSpeed(c.speed);
        disk.SetVideoTimestamp(c.timestamps);
        // Frames 0..7 hold pictures of channels 0, 0, 1, 1, 0, 0, 1, 1.
        test::Walk(disk, 8);
        EXPECT_EQ(pins.ReadyCount(0) + pins.ReadyCount(1), c.readyOf8) << c.speed;
    }
    // Extra audio on the second field: delivered even at normal speed.
    simorma::Options e = Base();
    e.fieldsPerPicture = 2;
    e.channels = 2;
    e.extraAudioEvery = 2;
    Recording rec("dup_audio.orm", e);
    COrmaSlotBank pins;
    COrmaDisk disk(&pins);
    ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), S_OK);
    disk.StartPlayback();
    test::Walk(disk, 8);
    EXPECT_EQ(pins.ReadyCount(0) + pins.ReadyCount(1) - 1, 8);
}

// The channels without a picture in a whole round (the first frame's channel coming round again) get
// the blue screen, or end without one; a recorded channel is never sent the blue screen before its own
// first picture (a paused renderer would hold it in place of the picture).
TEST_F(OrmaFrames, ChannelRoundsSendTheBlueScreenOrEndUnseenChannels) {
    Open(Base()); // four cameras in turn
    const BYTE blue[] = {0xFF, 0xD8, 0xFF, 0xDB, 1, 2, 3, 0xFF, 0xD9};
    const auto frames = Listed(m_rec->result, 1);
    test::Walk(m_disk, 4); // one of each camera: the round has not ended
    EXPECT_EQ(m_pins.ReadyCount(5), 0);
    test::Walk(m_disk, 1); // channel 0 again
    EXPECT_EQ(m_pins.ReadyCount(5), 1);
    EXPECT_EQ(m_pins.Slot(5).length, -1); // no blue screen: unseen channels end
    EXPECT_EQ(m_pins.Slot(0).length, static_cast<LONG>(frames[4].pictureBytes));
    m_disk.SetBlueScreen(blue, sizeof blue);
    // Back to the start, which empties the slots. Channel 0 was delivered last; the first frame there,
    // channel 0's, is still delivered (no second field follows a repositioning).
    m_disk.SetPointerSegment(0, 0);
    m_disk.StartPlayback();
    const auto round = test::Walk(m_disk, 4); // one picture of each camera
    ASSERT_EQ(round.size(), 4u);
    for (const auto& w : round)
        EXPECT_EQ(m_pins.Slot(w.channel).length, w.picture) << w.channel;
    EXPECT_EQ(m_pins.Slot(5).length, 0);
    test::Walk(m_disk, 1); // the first camera again: the round ends
    EXPECT_EQ(m_pins.Slot(5).length, static_cast<LONG>(sizeof blue));
    EXPECT_EQ(m_pins.Slot(5).picture[8], 0xD9);
    EXPECT_EQ(m_pins.ReadyCount(5), 2);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_GT(m_pins.Slot(ch).length, static_cast<LONG>(sizeof blue)) << ch; // never the blue screen
}

// After a move the first frame is delivered even when its channel is the one delivered last: it is no
// second field of that picture.
TEST_F(OrmaFrames, AMoveNeverDropsTheFirstPictureAsASecondField) {
    Open(Base());
    for (int move = 0; move < 2; ++move) {
        const auto walked = test::Walk(m_disk, move == 0 ? 5 : 4); // up to channel 0's second picture
        ASSERT_EQ(walked.back().channel, 0);
        if (move == 0)
            ASSERT_EQ(m_disk.SetPointerSegment(0, 0), S_OK);
        else
            ASSERT_EQ(m_disk.SetPointerPosition(0), S_OK); // the slider: a move without a flush
        const int before = m_pins.ReadyCount(0);
        ASSERT_EQ(test::Walk(m_disk, 1).at(0).channel, 0) << move;
        EXPECT_EQ(m_pins.ReadyCount(0), before + 1) << move;
    }
}

TEST_F(OrmaFrames, ModelsTakeTheChannelFromTheirOwnPlace) {
    for (int model : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 101, 102, 0}) {
        simorma::Options o = test::SmallImage();
        o.model = model == 0 ? 101 : model;
        o.channels = 4;
        o.framesPerBlock = 1;
        o.sparseContent = true;
        o.segments = {{1, 1, SecondsOf(2009, 3, 1, 8, 0, 0), 60, 0, 8}};
        Recording rec("model.orm", o);
        ASSERT_EQ(rec.result.error, "");
        COrmaSlotBank pins;
        COrmaDisk disk(&pins);
        ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), S_OK);
        ASSERT_EQ(disk.SetDvrModel(static_cast<UINT>(model)), S_OK);
        auto walked = test::Walk(disk, 8);
        ASSERT_EQ(walked.size(), 8u) << model;
        for (int i = 0; i < 8; ++i) {
            int expected = i % 4;
            if (model == 8)
                expected = expected >= 1 ? expected : 0;
            if (model == 0)
                expected = 0;
            EXPECT_EQ(walked[static_cast<std::size_t>(i)].channel, expected)
                << "model " << model << " frame " << i;
        }
    }
    COrmaDisk disk(nullptr);
    EXPECT_EQ(disk.SetDvrModel(103), E_INVALIDARG);
}

TEST_F(OrmaFrames, ChannelBytesOfModels101And102) {
    // Hand-edited channel bytes of the first frame: 101 takes byte − 1 (0 → 255 → channel 0),
    // 102 the byte itself.
    struct Case {
        int model;
        BYTE byte;
        int channel;
    } cases[] = {{102, 3, 3}, {101, 3, 2}, {101, 0, 0}, {102, 200, 0}};
    for (const Case& c : cases) {
        simorma::Options o = Base();
        o.segments = {{1, 1, SecondsOf(2009, 3, 1, 8, 0, 0), 60, 0, 1}};
        Recording rec("chbyte.orm", o);
        test::PatchSector(rec.path, 0, [&](unsigned char* s) { s[3] = c.byte; });
        COrmaSlotBank pins;
        COrmaDisk disk(&pins);
        ASSERT_EQ(disk.OpenDisk(0, rec.path.c_str()), S_OK);
        disk.SetDvrModel(static_cast<UINT>(c.model));
        auto walked = test::Walk(disk, 1);
        ASSERT_EQ(walked.size(), 1u);
        EXPECT_EQ(walked[0].channel, c.channel) << c.model << " " << int(c.byte);
    }
}

TEST_F(OrmaFrames, TimeSearch) {
    simorma::Options o = Base();
    // Segments in list order: 1 (08:00-08:10:40), 2 (09:00-09:05), 3 (07:00-07:01).
    o.segments.push_back({3, 1, SecondsOf(2009, 3, 1, 7, 0, 0), 60, 0, 2});
    Open(o);
    struct Case {
        const char* name;
        std::int64_t at;
        int segment;
        DWORD expectedTime; // of the frame read next
    };
    auto s1 = Listed(m_rec->result, 1), s2 = Listed(m_rec->result, 2), s3 = Listed(m_rec->result, 3);
    auto firstAtOrAfter = [&](std::int64_t t) {
        simorma::Stamp want = simorma::StampAt(t);
        for (const auto& f : s1)
            if ((f.time.packed & ~63u) >= (want.packed & ~63u))
                return f.time.packed;
        return DWORD(0);
    };
    const std::vector<Case> cases = {
        {"inside a segment: the first frame at or after", SecondsOf(2009, 3, 1, 8, 5, 1), 0,
         firstAtOrAfter(SecondsOf(2009, 3, 1, 8, 5, 1))},
        {"between segments: the start of the later", SecondsOf(2009, 3, 1, 8, 30, 0), 1,
         s2.front().time.packed},
        {"after the last: the end of the latest", SecondsOf(2009, 3, 2, 0, 0, 0), 1, s2.back().time.packed},
        {"before the first: the start of the earliest", SecondsOf(2009, 3, 1, 6, 0, 0), 2,
         s3.front().time.packed},
        {"a year earlier", SecondsOf(2008, 12, 31, 23, 0, 0), 2, s3.front().time.packed},
    };
    for (const Case& c : cases) {
        simorma::Stamp t = simorma::StampAt(c.at);
        ASSERT_EQ(m_disk.SetPointerTime(t.year, t.packed), S_OK) << c.name;
        EXPECT_EQ(m_disk.CurrentSegment(), c.segment) << c.name;
        auto walked = test::Walk(m_disk, 1);
        ASSERT_EQ(walked.size(), 1u) << c.name;
        EXPECT_EQ(walked[0].time, c.expectedTime) << c.name;
    }
}

TEST_F(OrmaFrames, PositionInPerMille) {
    Open(Base());
    int permille = -1;
    BYTE year = 0;
    DWORD time = 0;
    EXPECT_EQ(m_disk.GetPointerPosition(&permille, &year, &time), E_PENDING); // no frame read yet
    EXPECT_EQ(permille, 0);
    ASSERT_EQ(m_disk.SetPointerPosition(500), S_OK);
    // 36 blocks in segment 0: block 18 of the segment is block 18 of cluster 0.
    EXPECT_EQ(m_disk.CurrentCluster(), 0u);
    EXPECT_EQ(m_disk.CurrentBlock(), 18u);
    ASSERT_EQ(m_disk.SetPointerPosition(1000), S_OK);
    EXPECT_EQ(m_disk.CurrentCluster(), 1u);
    EXPECT_EQ(m_disk.CurrentBlock(), 4u);
    test::Walk(m_disk, 1);
    EXPECT_EQ(m_disk.GetPointerPosition(&permille, &year, &time), S_OK);
    EXPECT_EQ(permille, 1000);
    EXPECT_EQ(year, 9);
    EXPECT_EQ(m_disk.SetPointerPosition(1001), E_INVALIDARG);
}

TEST_F(OrmaFrames, FastPlaySkipsRounds) {
    simorma::Options o = Base();
    o.channels = 2;
    Open(o);
    m_disk.SetPlaybackSpeed(3000); // skip 2 rounds per round played
    auto walked = test::Walk(m_disk, 6);
    ASSERT_EQ(walked.size(), 6u);
    const auto frames = Listed(m_rec->result, 1);
    // Frame 0 (ch 0) starts the round, frame 1 (ch 1) is played, frame 2 (ch 0) ends the round and
    // jumps (2 − 0) × 2 entries ahead.
    EXPECT_EQ(walked[2].time, frames[2].time.packed);
    EXPECT_EQ(walked[3].time, frames[7].time.packed);
}

TEST_F(OrmaFrames, StatusExportAsTextAndRecords) {
    Open(Base());
    for (int mode : {1, 2}) {
        std::string path = test::TempPath("export.txt");
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        m_disk.SetPointerSegment(0, 0);
        m_disk.ArchiveDataFile(h, mode);
        test::Walk(m_disk, 2);
        m_disk.ArchiveDataFile(nullptr, 1);
        test::Walk(m_disk, 1);
        CloseHandle(h);
        std::string text = testsupport::ReadFileText(path);
        const auto frames = Listed(m_rec->result, 1);
        if (mode == 1) {
            std::string time0 = simorma::FormatStamp(frames[0].time);
            EXPECT_EQ(text.substr(0, time0.size() + 1 + 5), time0 + " CH01 ");
            EXPECT_EQ(text.find(" SEG1\r\n"), text.find("\r\n") - 5);
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
        } else {
            ASSERT_EQ(text.size(), 88u);
            EXPECT_EQ(text.substr(4, 4), "CH01");
            EXPECT_EQ(text.substr(44 + 4, 4), "CH02");
        }
        std::remove(path.c_str());
    }
}

TEST(OrmaFramesClosed, NoDriveWakesEveryChannel) {
    Capture cap;
    COrmaSlotBank pins;
    COrmaDisk disk(&pins);
    std::vector<BYTE> audio(1000);
    LONG length = 1000;
    BYTE ch = 0;
    EXPECT_EQ(disk.GetFrame(audio.data(), &length, &ch), E_FAIL);
    EXPECT_TRUE(cap.Saw("COrmaSrc::GetFrame: NULL device.\n"));
    for (int c = 0; c < kChannels; ++c) {
        EXPECT_EQ(pins.Slot(c).length, -1);
        EXPECT_TRUE(pins.FrameReady(c).Check());
    }
    EXPECT_EQ(disk.SetPointer(0, 0, 0), E_FAIL);
    EXPECT_EQ(disk.SetPointerSegment(0, 0), E_FAIL);
    EXPECT_EQ(disk.SetPointerPosition(0), E_FAIL);
    EXPECT_EQ(disk.SetPointerTime(9, 0), E_FAIL);
    EXPECT_EQ(disk.GetPointerPosition(nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(disk.SetPlaybackSpeed(1000), E_FAIL);
    EXPECT_EQ(disk.VerifyIndex(), 0);
}

} // namespace
} // namespace orma
