#include <gtest/gtest.h>

#include <cstdlib>

#include "tav_test_util.h"

namespace {

using tavtest::Walked;

void ExpectSameOrder(const std::vector<Walked>& walked,
                     const std::vector<sim_tav::RecordedPacket>& recorded) {
    ASSERT_EQ(walked.size(), recorded.size());
    for (std::size_t i = 0; i < walked.size(); ++i) {
        const Walked& w = walked[i];
        const sim_tav::RecordedPacket& r = recorded[i];
        ASSERT_EQ(w.segment, r.segment) << i;
        ASSERT_EQ(w.block, static_cast<int>(r.block)) << i;
        ASSERT_EQ(w.entry, static_cast<int>(r.entry)) << i;
        ASSERT_EQ(w.time, r.time) << i;
        ASSERT_EQ(w.channel, r.channel) << i;
        ASSERT_EQ(w.type, r.type) << i;
    }
}

class TavIndex : public ::testing::Test {
protected:
    tavtest::ScratchDir dir;
    tavtest::BoxRecorder boxes;
};

TEST_F(TavIndex, OpensProbesAndWalksARecordingInOrderWithoutChangingIt) {
    sim_tav::RecorderOptions o;
    o.segments = 5;
    o.width = 704;
    o.height = 480;
    std::string path = dir.File("drive.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto before = tavtest::Checksum(path);
    HRESULT open = 0, load = 0;
    auto src = tavtest::OpenDrive(path, &open, &load);
    EXPECT_EQ(open, 1); // audio found
    ASSERT_EQ(load, S_OK);
    EXPECT_EQ(src->Width(), 704);
    EXPECT_EQ(src->Height(), 480);
    EXPECT_EQ(src->RecorderKind(), 2);
    EXPECT_EQ(src->AudioFormat(), 1);
    EXPECT_EQ(src->PacketCode(), 0x12);
    EXPECT_EQ(src->SectionCount(), 1);
    EXPECT_EQ(src->ValidSegmentCount(), 5u);
    EXPECT_FALSE(src->Wrapped());
    DWORD t0 = 0, t1 = 0;
    src->GetTimeBound(0, &t0);
    src->GetTimeBound(1, &t1);
    EXPECT_EQ(t0, rec.firstTime);
    EXPECT_EQ(t1, rec.lastTime);
    ExpectSameOrder(tavtest::WalkAll(*src), rec.packets);
    // Events inside their segment's time range are listed; the one behind it is not.
    src->SelectSection(0);
    std::vector<BYTE> events(12 * 64);
    DWORD n = src->GetEventTimes(events.data(), 64);
    EXPECT_EQ(n, 6u); // segments 0, 2 and 4, two events each
    EXPECT_EQ(platform::ReadLE32(events.data()), rec.segments[0].firstTime);
    src.reset();
    EXPECT_EQ(tavtest::Checksum(path), before);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TavIndex, LetterTagsAndHighTypesReadAlike) {
    sim_tav::RecorderOptions o;
    o.letterTags = true;
    o.highTypes = true;
    o.recorderKind = 4;
    o.audioFormat = 7;
    std::string path = dir.File("letters.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    HRESULT open = 0, load = 0;
    auto src = tavtest::OpenDrive(path, &open, &load);
    EXPECT_EQ(open, 1);
    ASSERT_EQ(load, S_OK);
    EXPECT_EQ(src->RecorderKind(), 4);
    EXPECT_EQ(src->AudioFormat(), 7);
    ExpectSameOrder(tavtest::WalkAll(*src), rec.packets);
}

TEST_F(TavIndex, FirstPopulatedSegmentNMinus2DoesNotOpen) {
    sim_tav::RecorderOptions o;
    o.firstSegment = 94; // N = 96 on a 3 GiB drive
    o.segments = 1;
    // The format check reads segment 0's first index: give it one, as a cleared drive would not have.
    o.protectedSegments = 0;
    std::string path = dir.File("late.img");
    sim_tav::WriteTavDrive(path, o);
    // Sector 2008 carries no index on this drive, so the format check already refuses it...
    auto src = std::make_unique<tav::CTavDiskSource>(4);
    EXPECT_EQ(src->Open(tav::kOpenDrive, 0, path.c_str()), E_FAIL);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "Error");
    EXPECT_EQ(boxes.boxes[0].text.rfind("Check hard drive failed! [Error code=", 0), 0u);
    // ...and with a valid-looking index at 2008 the probe refuses it: no segment before N - 2 is used.
    o.damage = {{sim_tav::Damage::Sector2008, 0, 0, 0, 0xAA5555AA}};
    sim_tav::WriteTavDrive(path, o);
    boxes.boxes.clear();
    EXPECT_EQ(src->Open(tav::kOpenDrive, 0, path.c_str()), E_FAIL);
    EXPECT_TRUE(boxes.boxes.empty());
    // One segment earlier it opens.
    o.firstSegment = 93;
    sim_tav::WriteTavDrive(path, o);
    EXPECT_GE(src->Open(tav::kOpenDrive, 0, path.c_str()), 0);
}

// A wrapped 3 GiB drive (K = 32, segments 0..94) with its write point W in each of its sections, with
// and without stale blocks in W: G sections at most, in time order, the first starting at the oldest
// block; one walk gives every packet oldest to newest; a time search in any section lands on the first
// packet not before the time, also in the write point's segment when it holds the oldest data.
TEST_F(TavIndex, WrappedDrivePlaysOldestToNewestInOnePass) {
    struct Case {
        std::uint32_t newest, staleBlock; // staleBlock 2 = none: the oldest data start in W + 1
    };
    for (Case c : {Case{3, 1}, Case{3, 2}, Case{40, 1}, Case{40, 2}, Case{80, 1}, Case{80, 2}}) {
        SCOPED_TRACE(testing::Message() << "W " << c.newest << " stale block " << c.staleBlock);
        sim_tav::RecorderOptions o;
        o.wrapped = true;
        o.wrapNewest = c.newest;
        o.wrapStaleBlock = c.staleBlock;
        o.blocksPerSegment = 2;
        o.packetsPerBlock = 8;
        o.channels = 1;
        std::string path = dir.File("wrapped.img");
        auto rec = sim_tav::WriteTavDrive(path, o);
        HRESULT load = 0;
        auto src = tavtest::OpenDrive(path, nullptr, &load);
        ASSERT_EQ(load, S_OK);
        EXPECT_TRUE(src->Wrapped());
        EXPECT_EQ(src->NewestSegment(), c.newest);
        EXPECT_EQ(src->OldestSegment(), c.staleBlock == 1 ? c.newest : c.newest + 1);
        EXPECT_EQ(platform::ReadLE32(src->Header() + 196), src->OldestSegment());
        EXPECT_EQ(platform::ReadLE32(src->Header() + 200), c.newest);
        const auto& sections = src->Sections();
        EXPECT_EQ(src->SectionCount(), static_cast<int>(src->Geometry().G));
        for (int i = 0; i + 1 < src->SectionCount(); ++i)
            EXPECT_LE(sections[i].end, sections[i + 1].start) << i;
        EXPECT_EQ(sections.front().start, rec.firstTime);
        EXPECT_EQ(sections.back().end, rec.lastTime);
        ExpectSameOrder(tavtest::WalkAll(*src), rec.packets);

        for (std::size_t i = 5; i < rec.packets.size(); i += 97) {
            const DWORD t = rec.packets[i].time;
            ASSERT_EQ(src->SeekToSectionTime(t), S_OK) << i;
            const auto p = src->CurrentPacket();
            std::size_t at = 0;
            while (at < rec.packets.size() && !(rec.packets[at].segment == p.segment &&
                                                static_cast<int>(rec.packets[at].block) == p.block &&
                                                static_cast<int>(rec.packets[at].entry) == p.entry))
                ++at;
            ASSERT_LT(at, rec.packets.size()) << i;
            EXPECT_EQ(p.time, t) << i;
            // The first packet of that time, or the first of its section when the time spans two.
            if (at > 0 && rec.packets[at - 1].time == t) {
                src->GoToStart();
                ASSERT_TRUE(src->NextEntry());
                EXPECT_EQ(src->CurrentPacket().segment, p.segment) << i;
                EXPECT_EQ(src->CurrentPacket().entry, p.entry) << i;
            }
        }
    }
}

TEST_F(TavIndex, SeekToTimeAroundASection) {
    sim_tav::RecorderOptions o;
    o.segments = 3;
    std::string path = dir.File("seek.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    ASSERT_EQ(src->SectionCount(), 1);
    auto at = [&](DWORD t) {
        src->SeekToTime(t);
        return src->CurrentPacket();
    };
    auto p = at(rec.firstTime - 1000);
    EXPECT_EQ(p.segment, rec.packets.front().segment);
    EXPECT_EQ(p.entry, 0);
    EXPECT_EQ(p.block, 0);
    p = at(rec.lastTime + 1000);
    EXPECT_EQ(p.segment, rec.packets.back().segment);
    EXPECT_EQ(p.block, static_cast<int>(rec.packets.back().block));
    EXPECT_EQ(p.entry, static_cast<int>(rec.packets.back().entry));
    // A time inside lands on the first entry not before it, whichever block and segment holds it.
    for (std::size_t i : {std::size_t(0), rec.packets.size() / 3, rec.packets.size() / 2 + 5}) {
        DWORD t = rec.packets[i].time;
        std::size_t want = 0;
        while (rec.packets[want].time < t)
            ++want;
        p = at(t);
        EXPECT_EQ(p.segment, rec.packets[want].segment) << i;
        EXPECT_EQ(p.block, static_cast<int>(rec.packets[want].block)) << i;
        EXPECT_EQ(p.entry, static_cast<int>(rec.packets[want].entry)) << i;
        LONG perMille = 0;
        DWORD time = 0;
        src->GetPosition(&perMille, &time);
        EXPECT_EQ(time, t);
    }
    // Outside every section there is nothing to seek to.
    EXPECT_EQ(src->SeekToSectionTime(rec.lastTime + 1000), E_FAIL);
    EXPECT_EQ(src->SeekToSectionTime(rec.packets[10].time), S_OK);
    // SeekToFraction 0 and 1 reach both ends.
    src->SeekToFraction(1, 1);
    EXPECT_EQ(src->CurrentPacket().time, rec.lastTime);
    LONG perMille = 0;
    src->GetPosition(&perMille, nullptr);
    EXPECT_EQ(perMille, 1000);
}

TEST_F(TavIndex, MeasuresFrameRatesAndRestoresThePosition) {
    sim_tav::RecorderOptions o;
    o.framesPerSecond = 4;
    o.audioPerSecond = 2;
    o.channels = 1;
    std::string path = dir.File("rates.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    src->GoToStart();
    ASSERT_TRUE(src->NextEntry());
    auto before = src->CurrentPacket();
    src->MeasureFrameRates();
    EXPECT_EQ(src->VideoDuration(), 2500000);
    EXPECT_EQ(src->AudioDuration(), 5000000);
    auto after = src->CurrentPacket();
    EXPECT_EQ(after.segment, before.segment);
    EXPECT_EQ(after.block, before.block);
    EXPECT_EQ(after.entry, before.entry);
    // From the start of the section (one step before its first entry) the measuring walk leaves the
    // time and packet of that first entry, as before it, and the next step arrives there.
    src->GoToStart();
    src->MeasureFrameRates();
    LONG perMille = -1;
    DWORD time = 0;
    src->GetPosition(&perMille, &time);
    EXPECT_EQ(time, rec.firstTime);
    EXPECT_EQ(perMille, 0);
    EXPECT_EQ(src->CurrentPacket().entry, 0);
    ASSERT_TRUE(src->NextEntry());
    EXPECT_EQ(src->CurrentPacket().entry, 0);
    EXPECT_EQ(src->CurrentPacket().time, rec.firstTime);
}

TEST_F(TavIndex, InvalidEntriesAreSkippedToTheNextKeyFrame) {
    sim_tav::RecorderOptions o;
    o.channels = 1;
    o.audioFormat = 0;
    o.keyInterval = 4;
    o.segments = 1;
    o.damage = {{sim_tav::Damage::EntryTime, 0, 0, 1, 978516996},
                {sim_tav::Damage::EntryType, 0, 0, 5, 0x83},
                {sim_tav::Damage::TrailerTag, 0, 0, 0, 0}};
    std::string path = dir.File("damaged.img");
    o.segments = 3;
    o.damage[2].segment = 1; // segment 1 is no segment any more
    auto rec = sim_tav::WriteTavDrive(path, o);
    auto src = tavtest::OpenDrive(path);
    auto walked = tavtest::WalkAll(*src);
    std::vector<sim_tav::RecordedPacket> want;
    for (const auto& p : rec.packets) {
        if (p.segment == 1)
            continue;
        // Entry 1 is invalid: 2 and 3 are predicted and skipped; key frame 4 resumes. Entry 5 is
        // invalid: 6, 7 skipped, key frame 8 resumes.
        if (p.segment == 0 && p.block == 0 &&
            ((p.entry >= 1 && p.entry <= 3) || (p.entry >= 5 && p.entry <= 7)))
            continue;
        want.push_back(p);
    }
    ExpectSameOrder(walked, want);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TavIndex, DriverModeReadsTheDriveOfTheDriveMap) {
    sim_tav::RecorderOptions o;
    std::string path = dir.File("mapped.img");
    auto rec = sim_tav::WriteTavDrive(path, o);
    std::string map = "3=" + path;
    ::setenv("SCRYDE_DRIVES", map.c_str(), 1);
    tav::CTavDiskSource src(5);
    EXPECT_EQ(src.Open(tav::kOpenDrive, 3, "\\\\.\\PHYSICALDRIVE3"), 1);
    EXPECT_EQ(src.LoadIndex(), S_OK);
    ExpectSameOrder(tavtest::WalkAll(src), rec.packets);
    ::unsetenv("SCRYDE_DRIVES");
    // An unknown Windows version opens nothing.
    tav::CTavDiskSource old(7);
    EXPECT_EQ(old.Open(tav::kOpenDrive, 3, path.c_str()), E_FAIL);
    EXPECT_EQ(old.Open(tav::kOpenDrive, 3, nullptr), E_INVALIDARG);
    EXPECT_EQ(old.Open(11, 3, path.c_str()), S_OK);
}

} // namespace

namespace {

// Every committed fuzz input (seeds and former crashes) opens, loads and walks without fault.
TEST(TavFuzzCorpus, ReplaysWithoutFault) {
    tavtest::BoxRecorder boxes;
    tavtest::ScratchDir dir;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TAV_FUZZ_CORPUS)) {
        auto data = tavtest::ReadAll(entry.path().string());
        std::string path = dir.File("input.tav");
        {
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            std::size_t head = std::min<std::size_t>(data.size(), 11 * 512);
            f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(head));
            if (data.size() > head) {
                f.write(reinterpret_cast<const char*>(data.data() + head),
                        static_cast<std::streamsize>(data.size() - head));
                DWORD S = platform::ReadLE32(data.data() + 152), seg = platform::ReadLE32(data.data() + 168);
                DWORD block = platform::ReadLE32(data.data() + 172),
                      off = platform::ReadLE32(data.data() + 148);
                DWORD index = static_cast<DWORD>(ULONGLONG(seg) * S + block * 2048u + 2008u) - off;
                if (index > 11 && index < 65536) {
                    f.seekp(static_cast<std::streamoff>(index) * 512);
                    f.write(reinterpret_cast<const char*>(data.data() + head),
                            static_cast<std::streamsize>(data.size() - head));
                }
            }
        }
        tav::CTavDiskSource src(4);
        if (src.Open(tav::kOpenImage, 0, path.c_str()) >= 0 && src.LoadIndex() == S_OK) {
            std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
            for (int s = 0; s < src.SectionCount(); ++s) {
                src.SelectSection(s);
                for (int c = 0; c < 16; ++c)
                    src.SetDisplayCounter(c, 1);
                for (int n = 0; n < 20000 && src.NextEntry(); ++n)
                    src.GetFrame(sample.data(), static_cast<DWORD>(sample.size()),
                                 src.CurrentPacket().channel);
            }
        }
        ++files;
    }
    EXPECT_GE(files, 3);
}

} // namespace
