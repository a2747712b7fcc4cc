// Playback through the pins: the reader thread hands each packet to the pin of its channel, capturing
// pins take what each pin delivers, and the samples' headers tell which channel and time they hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "vts_filter.h"
#include "vts_test_util.h"

namespace {

using namespace vtstest;

constexpr DWORD kWaitMs = 20000;

class VTSPlay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseTestEnvironment();
        s_drive = std::make_unique<Drive>("play.tav", FourChannels());
        s_sum = tavtest::Checksum(s_drive->path);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(tavtest::Checksum(s_drive->path), s_sum); // playing never writes the drive
        s_drive.reset();
    }
    void SetUp() override { Open(s_drive->path); }
    void Open(const std::string& path) {
        ASSERT_EQ(m_filter.created, S_OK);
        ASSERT_EQ(m_filter.Open(tav::kOpenDrive, path), 1);
        ASSERT_EQ(m_filter.vts->LoadIndex(0, path.c_str()), S_OK);
        m_harness = ConnectAll(m_filter.base.Get());
    }
    void TearDown() override {
        if (m_harness)
            m_harness->Stop();
        m_harness.reset();
    }
    IVTSourceFilter* V() { return m_filter.vts.Get(); }
    // Real frames (not placeholders) that channel c's pin delivered.
    std::vector<Delivered> FramesOf(int c) { return Frames(m_harness->Received(c + 1)); }
    // Waits until each of the first `channels` pins delivered `count` real frames.
    bool WaitForFrames(int channels, std::size_t count) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            bool all = true;
            for (int c = 0; c < channels; ++c)
                all = all && FramesOf(c).size() >= count;
            if (all)
                return true;
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // The recorded frames of channel c from its first key frame on (before it the pin gets
    // placeholders), in recording order, as sample times.
    std::vector<ULONGLONG> RecordedFrom(int c, bool keysOnly) {
        std::vector<ULONGLONG> out;
        bool keySeen = false;
        for (const auto& p : s_drive->rec.packets) {
            if (p.channel != c || p.type == tav::kTypeAudio)
                continue;
            keySeen = keySeen || p.type == tav::kTypeKey;
            if (keySeen && (!keysOnly || p.type == tav::kTypeKey))
                out.push_back(Micros(p));
        }
        return out;
    }

    // From its second key frame on a channel shows every frame (at its first ones the display
    // counters are still settling: a fresh channel's counter runs out at the other channels' first
    // key frames). Checks that `got` holds exactly the recorded frames from there on.
    void ExpectEveryFrameAfterSettling(int c, const std::vector<Delivered>& got) {
        std::vector<ULONGLONG> want = RecordedFrom(c, false);
        std::vector<ULONGLONG> keys = RecordedFrom(c, true);
        ASSERT_GE(keys.size(), 2u);
        auto from =
            std::find_if(got.begin(), got.end(), [&](const Delivered& d) { return d.micros == keys[1]; });
        ASSERT_NE(from, got.end()) << "channel " << c;
        auto w = std::find(want.begin(), want.end(), keys[1]);
        std::size_t checked = 0;
        for (; from != got.end() && w != want.end(); ++from, ++w, ++checked) {
            ASSERT_EQ(from->channel, c);
            ASSERT_EQ(from->micros, *w) << "channel " << c << " frame " << checked;
        }
        EXPECT_GE(checked, 3u) << "channel " << c;
    }

    static std::unique_ptr<Drive> s_drive;
    static unsigned long long s_sum;
    tavtest::BoxRecorder m_boxes;
    Filter m_filter;
    std::unique_ptr<media::CFilterHarness> m_harness;
};
std::unique_ptr<Drive> VTSPlay::s_drive;
unsigned long long VTSPlay::s_sum = 0;

TEST_F(VTSPlay, NormalSpeedDeliversEveryChannelInTimeOrderWithAudio) {
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(WaitForFrames(4, 12));
    ASSERT_TRUE(m_harness->WaitForSamples(4, kWaitMs, 0));
    ASSERT_EQ(m_harness->Stop(), S_OK);

    for (int c = 0; c < 4; ++c) {
        std::vector<Delivered> got = FramesOf(c);
        ExpectEveryFrameAfterSettling(c, got);
        for (const Delivered& d : got)
            ASSERT_EQ(d.channel, c);
        std::size_t n = got.size();
        // Stamped from the clock on, then by the packets' time differences.
        // An unpaced capture can take the whole recording before the stop; past its end the reading
        // plays round to the start, and the times start again.
        auto samples = m_harness->Received(c + 1);
        REFERENCE_TIME last = -1;
        ULONGLONG lastRecorded = 0;
        for (std::size_t i = 0; i < samples.size() && i < n; ++i) {
            const Delivered d = Inspect(samples[i]);
            if (d.placeholder)
                continue;
            if (d.micros < lastRecorded)
                break;
            lastRecorded = d.micros;
            ASSERT_EQ(samples[i].timeResult, S_OK);
            EXPECT_GE(samples[i].start, last);
            last = samples[i].start;
        }
    }
    // Audio: 16-bit stereo PCM at 8000 Hz, one 4160-byte ADPCM block decoding to 16,384 bytes.
    WAVEFORMATEX wfx;
    ASSERT_TRUE(GetWaveFormat(m_harness->CaptureType(0), &wfx));
    EXPECT_EQ(wfx.nSamplesPerSec, 8000u);
    EXPECT_EQ(wfx.wBitsPerSample, 16);
    auto audio = m_harness->Received(0);
    std::size_t pcm =
        std::count_if(audio.begin(), audio.end(), [](const auto& s) { return s.data.size() == 16384; });
    EXPECT_GE(pcm, 2u);
    for (const auto& s : audio)
        EXPECT_EQ(s.timeResult, S_OK);

    DWORD rate = 0;
    ASSERT_EQ(V()->GetFrameRate(&rate), S_OK);
    EXPECT_EQ(rate, 2u); // measured at the start: two pictures per second per channel
}

TEST_F(VTSPlay, SpeedAndDirectionChooseThePackets) {
    struct Case {
        LONG speed, direction;
        bool keysOnly;
        int keyStride; // every n-th key frame of a channel
        bool reverse;
    } cases[] = {
        {2000, 1, false, 1, false}, // n = 2: every frame, no audio
        {8000, 1, true, 2, false},  // n = 8: every second key frame of each channel
        {1000, -1, true, 1, true},  // backwards: key frames only, newest first
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "speed " << k.speed << " direction " << k.direction);
        for (int i = 0; i <= 16; ++i)
            m_harness->ClearReceived(i);
        ASSERT_EQ(V()->GoToEnds(0), S_OK);
        ASSERT_EQ(V()->SetPlayback(k.speed, k.direction, 0), S_OK);
        ASSERT_EQ(m_harness->Run(), S_OK);
        ASSERT_TRUE(WaitForFrames(4, k.keysOnly ? 3 : 12));
        ASSERT_EQ(m_harness->Stop(), S_OK);

        auto audio = m_harness->Received(0);
        for (const auto& s : audio)
            EXPECT_EQ(s.data.size(), 4u); // only the priming placeholder
        for (int c = 0; c < 4; ++c) {
            std::vector<Delivered> got = FramesOf(c);
            std::vector<ULONGLONG> recorded = RecordedFrom(c, k.keysOnly);
            if (k.reverse) {
                // From the end of the recording back: every key frame of the channel.
                recorded.clear();
                for (const auto& p : s_drive->rec.packets)
                    if (p.channel == c && p.type == tav::kTypeKey)
                        recorded.push_back(Micros(p));
                std::reverse(recorded.begin(), recorded.end());
            }
            std::vector<ULONGLONG> want;
            for (std::size_t i = k.keyStride - 1; i < recorded.size(); i += k.keyStride)
                want.push_back(recorded[i]);
            if (!k.keysOnly) {
                ExpectEveryFrameAfterSettling(c, got);
                continue;
            }
            std::size_t n = std::min({got.size(), want.size(), std::size_t(4)});
            ASSERT_GE(n, 3u) << c;
            for (std::size_t i = 0; i < n; ++i) {
                if (k.keysOnly) {
                    EXPECT_EQ(got[i].type, tav::kTypeKey);
                }
                EXPECT_EQ(got[i].micros, want[i]) << "channel " << c << " frame " << i;
            }
        }
    }
}

TEST_F(VTSPlay, ChannelMaskGivesPlaceholdersToTheOthers) {
    ASSERT_EQ(V()->SetChannelMask(0x0001), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(WaitForFrames(1, 6));
    ASSERT_TRUE(m_harness->WaitForSamples(3, kWaitMs, 2));
    ASSERT_EQ(m_harness->Stop(), S_OK);
    for (int c = 1; c < 16; ++c) {
        auto samples = m_harness->Received(c + 1);
        EXPECT_FALSE(samples.empty()) << c;
        for (const auto& s : samples)
            EXPECT_TRUE(Inspect(s).placeholder) << c;
    }
}

TEST_F(VTSPlay, SteppingPlaysOnlyWhenAsked) {
    auto total = [&] {
        std::size_t n = 0;
        for (int c = 0; c < 16; ++c)
            n += FramesOf(c).size();
        return n;
    };
    auto settle = [&] {
        std::size_t before;
        do {
            before = total();
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        } while (total() != before);
        return before;
    };
    ASSERT_EQ(V()->Step(1), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    std::size_t shown = 0;
    for (int step = 0; step < 6; ++step) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (total() <= shown && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::size_t now = settle();
        ASSERT_GT(now, shown) << step;
        // A step plays (skip counter + 1) packets, at most one per channel and one more, then holds.
        EXPECT_LE(now, shown + 17) << step;
        shown = now;
        ASSERT_EQ(V()->Step(1), S_OK);
    }
    ASSERT_EQ(m_harness->Stop(), S_OK);
    for (int c = 0; c < 4; ++c)
        for (const auto& s : m_harness->Received(c + 1))
            EXPECT_NE(s.timeResult, S_OK); // stepped pictures carry no times
}

TEST_F(VTSPlay, ExportRunDeliversTheRangeOfOneChannelThenEnds) {
    DWORD startTime = 0, endTime = 0;
    ASSERT_EQ(V()->SeekPerMille(300), S_OK);
    ASSERT_EQ(V()->MarkStart(&startTime), S_OK);
    ASSERT_EQ(V()->SeekPerMille(800), S_OK);
    ASSERT_EQ(V()->MarkEnd(&endTime), S_OK);
    BYTE format = 0;
    ASSERT_EQ(V()->PrepareExport(&format, 2), S_OK);
    EXPECT_EQ(format, 1);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForEndOfStream(kWaitMs, 3)); // the export channel's stream ends
    EXPECT_TRUE(m_harness->WaitForEndOfStream(kWaitMs, 0)); // and the audio stream with it
    ASSERT_EQ(m_harness->Stop(), S_OK);

    std::vector<Delivered> got = FramesOf(2);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].type, tav::kTypeKey); // starts at a key frame of the channel
    std::vector<ULONGLONG> want;
    for (const auto& p : s_drive->rec.packets)
        if (p.channel == 2 && p.type != tav::kTypeAudio && p.time >= startTime && p.time < endTime)
            want.push_back(Micros(p));
    auto first = std::find(want.begin(), want.end(), got[0].micros);
    ASSERT_NE(first, want.end());
    ASSERT_EQ(got.size(), static_cast<std::size_t>(want.end() - first));
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].micros, first[static_cast<std::ptrdiff_t>(i)]) << i;
    for (int c : {0, 1, 3})
        EXPECT_TRUE(FramesOf(c).empty()) << c;
    EXPECT_EQ(V()->EndExport(), S_OK);
}

TEST_F(VTSPlay, TextExportWritesOneLinePerFrameOfTheRange) {
    std::string path = s_drive->dir.File("status.txt");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_EQ(V()->SeekPerMille(100), S_OK);
    ASSERT_EQ(V()->MarkStart(nullptr), S_OK);
    ASSERT_EQ(V()->SeekPerMille(500), S_OK);
    ASSERT_EQ(V()->MarkEnd(nullptr), S_OK);
    ASSERT_EQ(V()->SetTextExport(file, 1), S_OK); // the filter owns the handle from here on
    BYTE format = 0;
    ASSERT_EQ(V()->PrepareExport(&format, 0), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForEndOfStream(kWaitMs, 1));
    ASSERT_EQ(m_harness->Stop(), S_OK);
    ASSERT_EQ(V()->EndExport(), S_OK); // closes the file

    auto samples = m_harness->Received(1);
    ASSERT_FALSE(samples.empty());
    for (const auto& s : samples)
        EXPECT_TRUE(Inspect(s).placeholder); // the lines go to the file, not downstream
    // Every record starts with its date and time (kind-2 records carry no line break of their own).
    auto bytes = tavtest::ReadAll(path);
    std::string text(bytes.begin(), bytes.end());
    std::size_t lines = 0;
    for (std::size_t at = text.find("2010/01/01 "); at != std::string::npos;
         at = text.find("2010/01/01 ", at + 1))
        ++lines;
    EXPECT_EQ(lines, samples.size());
}

TEST(VTSPlayDamaged, InvalidEntriesAndOverlongPacketsPlayOnAndStop) {
    UseTestEnvironment();
    sim_tav::RecorderOptions o = FourChannels();
    o.damage = {{sim_tav::Damage::EntryType, 0, 0, 10, 0x99},
                {sim_tav::Damage::EntryTime, 0, 1, 3, 5},
                {sim_tav::Damage::EntrySize, 1, 0, 7, 150000},
                {sim_tav::Damage::EntryOffset, 1, 1, 2, 0xFFFFF0}};
    Drive drive("damaged.tav", o);
    unsigned long long sum = tavtest::Checksum(drive.path);
    tavtest::BoxRecorder boxes;
    {
        Filter f;
        ASSERT_EQ(f.created, S_OK);
        ASSERT_GE(f.Open(tav::kOpenDrive, drive.path), 0);
        ASSERT_EQ(f.vts->LoadIndex(0, drive.path.c_str()), S_OK);
        auto h = ConnectAll(f.base.Get());
        ASSERT_EQ(h->Run(), S_OK);
        for (int c = 0; c < 4; ++c)
            EXPECT_TRUE(h->WaitForSamples(30, kWaitMs, c + 1)) << c;
        ASSERT_EQ(h->Stop(), S_OK);
        for (int c = 0; c < 4; ++c)
            for (const Delivered& d : Frames(h->Received(c + 1)))
                ASSERT_EQ(d.channel, c);
    }
    EXPECT_EQ(tavtest::Checksum(drive.path), sum);
}

TEST(VTSPlayStream, TruncatedStreamFilePlaysWhatItHoldsAndStops) {
    UseTestEnvironment();
    tavtest::ScratchDir dir;
    std::string path = dir.File("cut.arv");
    sim_tav::RecorderOptions o = FourChannels();
    o.streamPackets = 90;
    sim_tav::WriteTavStream(path, o);
    // Cut the last record short.
    auto bytes = tavtest::ReadAll(path);
    ASSERT_GT(bytes.size(), 3000u);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes.size() - 1500)), 0);
    unsigned long long sum = tavtest::Checksum(path);
    tavtest::BoxRecorder boxes;
    {
        Filter f;
        ASSERT_EQ(f.created, S_OK);
        ASSERT_GE(f.Open(tav::kOpenStreamFile, path), 0);
        ASSERT_EQ(f.vts->LoadIndex(0, path.c_str()), S_OK);
        auto h = ConnectAll(f.base.Get());
        ASSERT_EQ(h->Run(), S_OK);
        for (int c = 0; c < 4; ++c)
            EXPECT_TRUE(h->WaitForSamples(40, kWaitMs, c + 1)) << c; // plays round the file more than once
        ASSERT_EQ(h->Stop(), S_OK);
        for (int c = 0; c < 4; ++c) {
            std::vector<Delivered> got = Frames(h->Received(c + 1));
            EXPECT_FALSE(got.empty()) << c;
            for (const Delivered& d : got)
                ASSERT_EQ(d.channel, c);
        }
    }
    EXPECT_EQ(tavtest::Checksum(path), sum);
}

} // namespace

// The largest packet an index entry may describe (204,799 bytes) plays and exports like any other,
// from a drive and from a stream file: the pin's sample and the export buffer hold it with its tail.
TEST(VTSPlayLarge, LargestValidKeyFramePlaysAndExports) {
    UseTestEnvironment();
    constexpr DWORD kLargest = tav::kMaxPacketSize - 1;
    for (int kind : {tav::kOpenDrive, tav::kOpenStreamFile}) {
        SCOPED_TRACE(kind);
        tavtest::ScratchDir dir;
        sim_tav::RecorderOptions o = FourChannels();
        o.largeKeyFrame = kLargest;
        o.streamPackets = 60;
        std::string path = dir.File(kind == tav::kOpenDrive ? "large.img" : "large.arv");
        std::vector<sim_tav::RecordedPacket> packets = kind == tav::kOpenDrive
                                                           ? sim_tav::WriteTavDrive(path, o).packets
                                                           : sim_tav::WriteTavStream(path, o);
        ASSERT_EQ(packets.front().channel, 0);
        ASSERT_EQ(packets.front().size, kLargest);
        tavtest::BoxRecorder boxes;
        Filter f;
        ASSERT_EQ(f.created, S_OK);
        ASSERT_GE(f.Open(kind, path), 0);
        ASSERT_EQ(f.vts->LoadIndex(0, path.c_str()), S_OK);

        // Played: channel 0's pin delivers the whole packet, and playback goes on behind it.
        auto h = ConnectAll(f.base.Get());
        ASSERT_EQ(h->Run(), S_OK);
        ASSERT_TRUE(h->WaitForSamples(16, kWaitMs, 1));
        ASSERT_EQ(h->Stop(), S_OK);
        auto samples = h->Received(1);
        auto first = std::find_if(samples.begin(), samples.end(),
                                  [](const media::CapturedSample& s) { return !Inspect(s).placeholder; });
        ASSERT_NE(first, samples.end());
        EXPECT_EQ(first->data.size(), kLargest + tav::kPacketTail);
        EXPECT_GE(Frames(samples).size(), 2u);
        EXPECT_EQ(h->CaptureAllocator(1).cbBuffer, static_cast<LONG>(kVTExportBufferBytes));
        h.reset();

        // Exported: the pull loop returns it first and goes on to the end of the range.
        DWORD startTime = 0;
        ASSERT_EQ(f.vts->SeekPerMille(0), S_OK);
        ASSERT_EQ(f.vts->MarkStart(&startTime), S_OK);
        ASSERT_EQ(f.vts->SeekPerMille(1000), S_OK);
        ASSERT_EQ(f.vts->MarkEnd(nullptr), S_OK);
        BYTE format = 0;
        ASSERT_EQ(f.vts->PrepareExport(&format, 0), S_OK);
        std::vector<BYTE> buf(kVTExportBufferBytes);
        std::vector<DWORD> sizes;
        while (sizes.size() < 1000 && f.vts->ExportNextPacket(buf.data()) == S_FALSE)
            sizes.push_back(buf[19] == tav::kTypeAudio ? 0 : platform::ReadLE32(buf.data() + 28));
        std::size_t channel0 = 0;
        for (const auto& p : packets)
            channel0 += p.channel == 0 && p.type != tav::kTypeAudio;
        ASSERT_FALSE(sizes.empty());
        EXPECT_EQ(sizes.front(), kLargest); // the header's length field counts the packet bytes
        EXPECT_GE(std::count_if(sizes.begin(), sizes.end(), [](DWORD s) { return s != 0; }),
                  static_cast<std::ptrdiff_t>(channel0 - 1));
        EXPECT_TRUE(boxes.boxes.empty());
    }
}
