#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "tav/file_source.h"
#include "tav_test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One stored key frame of 352 x 240 on channel 0 (kind 2 trailer), as the recorder writes it.
Bytes KeyFrameRecord(const tavtest::ScratchDir& dir, int kind = 2) {
    sim_tav::RecorderOptions o;
    o.recorderKind = kind;
    o.channels = 1;
    o.audioFormat = 0;
    o.streamPackets = 1;
    sim_tav::WriteTavStream(dir.File("key.arv"), o);
    return tavtest::ReadAll(dir.File("key.arv"));
}

Bytes AudioRecord(int format) {
    if (format == 1) {
        Bytes block(8 + 4096, 0x11);
        return sim_tav::AdpcmPacket(block.data(), 1262304000, 0);
    }
    Bytes samples(2048, 0x55);
    return sim_tav::G711Packet(samples.data(), format, 1262304000, 0);
}

struct Opened {
    std::unique_ptr<tav::CFileSource> src = std::make_unique<tav::CFileSource>(5);
    HRESULT open = E_FAIL, load = E_FAIL;
};

Opened OpenStream(const std::string& path) {
    Opened o;
    o.open = o.src->Open(tav::kOpenStreamFile, 0, path.c_str());
    o.load = o.open >= 0 ? o.src->LoadIndex() : E_FAIL;
    return o;
}

// ---- probe and record list ------------------------------------------------------------------------

struct KindCase {
    int kind;
    int audio; // simulator's format: 0 none, 1, 6, 7
    bool letters, highTypes;
    int expectedKind;
};

TEST(TavFileSource, ProbeAndRecordListPerRecorderKind) {
    const KindCase cases[] = {
        {0, 1, false, false, 0}, {1, 1, false, false, 1}, {2, 6, false, false, 2},  {3, 7, true, false, 3},
        {4, 1, true, true, 4},   {8, 0, false, false, 8}, {32, 1, false, true, 32},
    };
    tavtest::ScratchDir dir;
    for (const KindCase& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind));
        sim_tav::RecorderOptions o;
        o.recorderKind = c.kind;
        o.audioFormat = c.audio;
        o.letterTags = c.letters;
        o.highTypes = c.highTypes;
        o.channels = 3;
        o.width = 704;
        o.height = 480;
        o.streamPackets = 50;
        auto packets = sim_tav::WriteTavStream(dir.File("s.arv"), o);
        Opened s = OpenStream(dir.File("s.arv"));
        ASSERT_EQ(s.open, c.audio ? 1 : 0);
        EXPECT_EQ(s.src->Width(), 704);
        EXPECT_EQ(s.src->Height(), 480);
        EXPECT_EQ(s.src->RecorderKind(), c.expectedKind);
        EXPECT_EQ(s.src->AudioPresent(), c.audio != 0);
        EXPECT_EQ(s.src->AudioFormat(), c.audio ? c.audio : 1);
        ASSERT_EQ(s.load, S_OK);
        // Every record, with trailers of every kind stepped over.
        ASSERT_EQ(s.src->RecordCount(), static_cast<LONG>(packets.size()));
        for (std::size_t i = 0; i < packets.size(); ++i) {
            tav::TavStreamRecord r = s.src->Record(static_cast<LONG>(i + 1));
            EXPECT_EQ(r.offset, packets[i].offset);
            EXPECT_EQ(r.time, packets[i].time);
            EXPECT_EQ(r.size, packets[i].size);
            EXPECT_EQ(r.channel, packets[i].channel);
            EXPECT_EQ(r.type, packets[i].type);
        }
        DWORD start = 0, end = 0;
        s.src->GetTimeBound(0, &start);
        s.src->GetTimeBound(1, &end);
        EXPECT_EQ(start, packets.front().time);
        EXPECT_EQ(end, packets.back().time);
        EXPECT_EQ(s.src->SegmentCount(), 100u);
        EXPECT_EQ(s.src->ValidSegmentCount(), 0u);
    }
}

TEST(TavFileSource, TrailerLengthMovesTheNextRecord) {
    tavtest::ScratchDir dir;
    Bytes key = KeyFrameRecord(dir);
    DWORD size = platform::ReadLE32(key.data() + 8);
    ASSERT_EQ(platform::ReadLE32(key.data() + 32 + size + 4), 58u);
    Bytes file = key;
    Bytes audio = AudioRecord(1);
    file.insert(file.end(), audio.begin(), audio.end());
    WriteFile(dir.File("t.arv"), file);
    Opened s = OpenStream(dir.File("t.arv"));
    ASSERT_EQ(s.load, S_OK);
    ASSERT_EQ(s.src->RecordCount(), 2);
    EXPECT_EQ(s.src->Record(2).offset, 32u + size + 67u);
}

TEST(TavFileSource, AudioFormatFromTheFirstAudioBlock) {
    struct {
        int format;
        BYTE byte60;
        int expected;
    } cases[] = {{6, 6, 6}, {7, 7, 7}, {1, 0, 1}, {6, 3, 3}};
    tavtest::ScratchDir dir;
    for (const auto& c : cases) {
        Bytes file = AudioRecord(c.format);
        if (c.format != 1)
            file[60] = c.byte60;
        WriteFile(dir.File("a.arv"), file);
        tav::CFileSource src(5);
        EXPECT_EQ(src.Open(tav::kOpenStreamFile, 0, dir.File("a.arv").c_str()), 1);
        EXPECT_EQ(src.AudioFormat(), c.expected);
        EXPECT_EQ(src.Width(), 0);
    }
}

TEST(TavFileSource, KeyFrameBeyondTheFirstFourMiBIsNotProbed) {
    tavtest::ScratchDir dir;
    Bytes key = KeyFrameRecord(dir);
    Bytes audio = AudioRecord(1);
    ASSERT_EQ(audio.size(), 4192u);
    // 1000 audio records put the key frame at 4,192,000 (probed); 1001 at 4,196,192 (past 4 MiB).
    for (int audios : {1000, 1001}) {
        SCOPED_TRACE(audios);
        Bytes file;
        for (int i = 0; i < audios; ++i)
            file.insert(file.end(), audio.begin(), audio.end());
        file.insert(file.end(), key.begin(), key.end());
        WriteFile(dir.File("k.arv"), file);
        Opened s = OpenStream(dir.File("k.arv"));
        EXPECT_EQ(s.open, 1);
        EXPECT_EQ(s.src->Width(), audios == 1000 ? 352 : 0);
        EXPECT_EQ(s.src->Height(), audios == 1000 ? 240 : 0);
        EXPECT_EQ(s.src->RecorderKind(), audios == 1000 ? 2 : 0);
        ASSERT_EQ(s.load, S_OK);
        EXPECT_EQ(s.src->RecordCount(), audios + 1);
    }
}

TEST(TavFileSource, OpenFailureShowsTheBoxAndFails) {
    tavtest::BoxRecorder boxes;
    tavtest::ScratchDir dir;
    std::string path = dir.File("missing.arv");
    tav::CFileSource src(5);
    EXPECT_EQ(src.Open(tav::kOpenStreamFile, 0, path.c_str()), E_FAIL);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "Error");
    EXPECT_EQ(boxes.boxes[0].text, "CreateFile() failed! filename=" + path + " [Error code=2]");
    EXPECT_EQ(src.LoadIndex(), E_FAIL);
    // An empty file opens but holds nothing to play.
    WriteFile(dir.File("empty.arv"), {});
    Opened s = OpenStream(dir.File("empty.arv"));
    EXPECT_EQ(s.open, 0);
    EXPECT_EQ(s.load, E_FAIL);
    EXPECT_EQ(s.src->NextEntry(), 0);
}

// ---- navigation ------------------------------------------------------------------------------------

class TavFileNavigation : public ::testing::Test {
protected:
    void SetUp() override {
        sim_tav::RecorderOptions o;
        o.streamPackets = 41;
        packets = sim_tav::WriteTavStream(dir.File("n.arv"), o);
        s = OpenStream(dir.File("n.arv"));
        ASSERT_EQ(s.load, S_OK);
    }
    std::vector<LONG> Walk() {
        std::vector<LONG> seen;
        while (src().NextEntry())
            seen.push_back(src().CurrentRecord());
        return seen;
    }
    LONG PerMille() {
        LONG pm = -1;
        DWORD t = 0;
        src().GetPosition(&pm, &t);
        return pm;
    }
    tav::CFileSource& src() { return *s.src; }
    tavtest::ScratchDir dir;
    std::vector<sim_tav::RecordedPacket> packets;
    Opened s;
};

TEST_F(TavFileNavigation, WalksEveryRecordBothWaysAndStaysAtTheEnds) {
    const LONG n = static_cast<LONG>(packets.size());
    std::vector<LONG> forward(n), backward(n);
    for (LONG i = 0; i < n; ++i) {
        forward[i] = i + 1;
        backward[i] = n - i;
    }
    // LoadIndex leaves the position at the start: the first step plays record 1.
    EXPECT_EQ(PerMille(), 0);
    EXPECT_EQ(Walk(), forward);
    EXPECT_EQ(src().NextEntry(), 0);
    EXPECT_EQ(src().CurrentRecord(), n);
    EXPECT_EQ(PerMille(), 1000);

    src().SetDirection(-1);
    ASSERT_EQ(src().InitSection(), S_OK); // backward: from the end
    EXPECT_EQ(Walk(), backward);
    EXPECT_EQ(src().CurrentRecord(), 1);

    src().SetDirection(1);
    src().GoToEnd();
    EXPECT_EQ(Walk(), std::vector<LONG>{n});
    src().GoToStart();
    EXPECT_EQ(src().CurrentPacket().time, packets.front().time);
    EXPECT_EQ(Walk(), forward);
}

TEST_F(TavFileNavigation, SeeksByFractionAndTime) {
    const LONG n = static_cast<LONG>(packets.size()); // 41: per-mille steps of 25
    struct {
        LONG num, den, record, perMille;
    } fractions[] = {{0, 1000, 1, 0},      {500, 1000, 21, 500},   {1000, 1000, 41, 1000},
                     {999, 1000, 40, 975}, {2000, 1000, 41, 1000}, {-5, 1000, 1, 0}};
    for (const auto& f : fractions) {
        SCOPED_TRACE(f.num);
        for (int c = 0; c < 16; ++c)
            src().SetDisplayCounter(c, 1);
        ASSERT_EQ(src().SeekToFraction(f.num, f.den), S_OK);
        EXPECT_EQ(PerMille(), f.perMille);
        // The display counters are cleared: video channels get placeholders again.
        std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
        if (src().CurrentPacket().type != tav::kTypeAudio) {
            EXPECT_EQ(src().GetFrame(sample.data(), static_cast<DWORD>(sample.size()),
                                     src().CurrentPacket().channel),
                      4);
        }
        ASSERT_EQ(src().NextEntry(), 1);
        EXPECT_EQ(src().CurrentRecord(), f.record);
    }
    EXPECT_EQ(src().SeekToFraction(1, 0), E_INVALIDARG);

    // Times: the recorder writes several records per second.
    const DWORD first = packets.front().time, last = packets.back().time;
    auto firstAt = [&](DWORD t) {
        LONG i = 0;
        while (i + 1 < n && packets[i].time < t)
            ++i;
        return i + 1;
    };
    for (DWORD t : {first, first + 1, first + 3, last}) {
        SCOPED_TRACE(t - first);
        for (LONG from : {LONG(1), n / 2, n}) {
            src().SeekToFraction(from - 1, n - 1);
            ASSERT_EQ(src().SeekToSectionTime(t), S_OK);
            EXPECT_EQ(src().CurrentRecord(), firstAt(t));
            EXPECT_EQ(src().CurrentPacket().time, t);
            ASSERT_EQ(src().NextEntry(), 1);
            EXPECT_EQ(src().CurrentRecord(), firstAt(t));
        }
    }
    EXPECT_EQ(src().SeekToSectionTime(first - 1), E_FAIL);
    EXPECT_EQ(src().SeekToSectionTime(last + 1), E_FAIL);
}

TEST_F(TavFileNavigation, MarksReturnToTheMarkedRecord) {
    src().SeekToFraction(1, 4);
    DWORD t = 0;
    src().MarkStart(&t);
    EXPECT_EQ(t, src().CurrentPacket().time);
    LONG marked = src().CurrentRecord();
    src().GoToEnd();
    src().MarkEnd(&t);
    EXPECT_EQ(t, packets.back().time);
    ASSERT_EQ(src().GoToMark(src().StartMark()), S_OK);
    ASSERT_EQ(src().NextEntry(), 1);
    EXPECT_EQ(src().CurrentRecord(), marked);
}

TEST(TavFileSource, OneRecordFileReportsZeroPerMille) {
    tavtest::ScratchDir dir;
    WriteFile(dir.File("one.arv"), KeyFrameRecord(dir));
    Opened s = OpenStream(dir.File("one.arv"));
    ASSERT_EQ(s.load, S_OK);
    ASSERT_EQ(s.src->RecordCount(), 1);
    for (int step = 0; step < 2; ++step) {
        LONG pm = -1;
        s.src->GetPosition(&pm, nullptr);
        EXPECT_EQ(pm, 0);
        s.src->NextEntry();
    }
    EXPECT_EQ(s.src->SeekToFraction(1000, 1000), S_OK);
    EXPECT_EQ(s.src->SeekToTime(s.src->CurrentPacket().time), S_OK);
    EXPECT_EQ(s.src->CurrentRecord(), 1);
}

// ---- samples ---------------------------------------------------------------------------------------

// The bytes of a sample that the packet and its trailer define (what follows is the next packet,
// which lies elsewhere on a drive than in a stream file).
std::size_t DefinedBytes(int kind, const tav::TavPacket& p) {
    if (p.type == tav::kTypeAudio)
        return p.size + 32;
    switch (kind) {
    case 1:
        return p.size + 41 + 32;
    case 2:
        return p.size + 41 + 138;
    case 8:
        return p.size + 41 + 144;
    default:
        return p.size + 41 + 295;
    }
}

TEST(TavFileSource, SamplesEqualTheDiskSourcesForTheSamePackets) {
    tavtest::ScratchDir dir;
    for (int kind : {1, 2, 3, 8}) {
        SCOPED_TRACE(kind);
        sim_tav::RecorderOptions o;
        o.recorderKind = kind;
        o.gib = 1;
        o.channels = 8; // channels 6 and 7 have places of their own in the title table
        o.segments = 1;
        o.blocksPerSegment = 1;
        o.packetsPerBlock = 60;
        sim_tav::Recording rec = sim_tav::WriteTavDrive(dir.File("d.img"), o);
        o.streamPackets = static_cast<std::uint32_t>(rec.packets.size());
        sim_tav::WriteTavStream(dir.File("d.arv"), o);
        auto before = tavtest::Checksum(dir.File("d.arv"));
        auto disk = tavtest::OpenDrive(dir.File("d.img"));
        Opened file = OpenStream(dir.File("d.arv"));
        ASSERT_EQ(file.load, S_OK);
        ASSERT_EQ(file.src->RecorderKind(), disk->RecorderKind());
        ASSERT_EQ(file.src->Width(), disk->Width());
        for (int c = 0; c < 16; ++c) {
            disk->SetDisplayCounter(c, 1);
            file.src->SetDisplayCounter(c, 1);
        }
        disk->SetDisplayOption(7);
        file.src->SetDisplayOption(7);
        std::vector<BYTE> a(tav::kMaxPacketReadBytes), b(tav::kMaxPacketReadBytes);
        int compared = 0;
        while (disk->NextEntry()) {
            ASSERT_EQ(file.src->NextEntry(), 1);
            auto p = file.src->CurrentPacket();
            LONG na = disk->GetFrame(a.data(), static_cast<DWORD>(a.size()), p.channel);
            LONG nb = file.src->GetFrame(b.data(), static_cast<DWORD>(b.size()), p.channel);
            ASSERT_EQ(na, nb);
            ASSERT_EQ(nb, static_cast<LONG>(p.size + 553));
            // The per-packet code of a stream file is always 0.
            a[17] = 0;
            ASSERT_EQ(0, std::memcmp(a.data(), b.data(), DefinedBytes(kind, p))) << "record " << p.entry;
            ++compared;
        }
        EXPECT_EQ(compared, file.src->RecordCount());
        EXPECT_EQ(file.src->NextEntry(), 0);
        // Switched-off channels get the placeholder, audio does not.
        file.src->SetChannelMask(0);
        file.src->GoToStart();
        ASSERT_EQ(file.src->NextEntry(), 1);
        EXPECT_EQ(file.src->GetFrame(b.data(), static_cast<DWORD>(b.size()), 3), 4);
        EXPECT_EQ(platform::ReadLE32(b.data()), tav::kPlaceholderWord);
        EXPECT_EQ(b[18], 3);
        file.src->Close();
        EXPECT_EQ(tavtest::Checksum(dir.File("d.arv")), before);
    }
}

// ---- damage ----------------------------------------------------------------------------------------

TEST(TavFileSource, TruncatedAndDamagedFilesEndCleanly) {
    tavtest::ScratchDir dir;
    sim_tav::RecorderOptions o;
    o.recorderKind = 3;
    o.streamPackets = 20;
    auto packets = sim_tav::WriteTavStream(dir.File("full.arv"), o);
    const Bytes full = tavtest::ReadAll(dir.File("full.arv"));
    const std::size_t r5 = packets[5].offset, r6 = packets[6].offset;
    ASSERT_NE(packets[5].type, 0x84); // a frame, with a trailer

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        LONG records;
    } cases[] = {
        {"cut inside a record header", [&](Bytes& f) { f.resize(r5 + 20); }, 5},
        {"cut inside the packet data", [&](Bytes& f) { f.resize(r5 + 100); }, 6},
        {"cut inside the trailer", [&](Bytes& f) { f.resize(r6 - 10); }, 6},
        {"size beyond the end of the file",
         [&](Bytes& f) { platform::WriteLE32(f.data() + r5 + 8, 0xFFFFFFF0u); }, 5},
        {"trailer length beyond the end",
         [&](Bytes& f) { platform::WriteLE32(f.data() + r5 + 32 + packets[5].size + 4, 0xFFFFFFFFu); }, 6},
        {"channel 20 is stepped over", [&](Bytes& f) { f[r5 + 18] = 20; }, 19},
        {"unknown type is stepped over", [&](Bytes& f) { f[r5 + 19] = 0x77; }, 19},
        {"oversized packet is stepped over but keeps the chain",
         [&](Bytes& f) {
             // A record of 204,800 bytes that the file really holds.
             Bytes big(32 + 204800, 0);
             platform::WriteLE32(big.data() + 8, 204800);
             big[19] = 0x81;
             f.insert(f.begin() + static_cast<std::ptrdiff_t>(r5), big.begin(), big.end());
         },
         20},
    };
    std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = full;
        c.damage(f);
        WriteFile(dir.File("d.arv"), f);
        Opened s = OpenStream(dir.File("d.arv"));
        ASSERT_GE(s.open, 0);
        ASSERT_EQ(s.load, S_OK);
        EXPECT_EQ(s.src->RecordCount(), c.records);
        for (int ch = 0; ch < 16; ++ch)
            s.src->SetDisplayCounter(ch, 1);
        LONG n = 0;
        while (s.src->NextEntry()) {
            auto p = s.src->CurrentPacket();
            EXPECT_EQ(s.src->GetFrame(sample.data(), static_cast<DWORD>(sample.size()), p.channel),
                      static_cast<LONG>(p.size + 553));
            ++n;
        }
        EXPECT_EQ(n, c.records);
    }
}

// Every input the stream-file fuzzer kept opens, lists and plays without fault.
TEST(TavFileSource, FuzzCorpusReplays) {
    tavtest::BoxRecorder boxes;
    tavtest::ScratchDir dir;
    int files = 0;
    std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(TAV_FUZZ_CORPUS) + "/../../tav_stream/corpus")) {
        WriteFile(dir.File("in.arv"), tavtest::ReadAll(entry.path().string()));
        Opened s = OpenStream(dir.File("in.arv"));
        ++files;
        if (s.load != S_OK)
            continue;
        for (int ch = 0; ch < 16; ++ch)
            s.src->SetDisplayCounter(ch, 1);
        while (s.src->NextEntry())
            s.src->GetFrame(sample.data(), static_cast<DWORD>(sample.size()), s.src->CurrentPacket().channel);
    }
    EXPECT_GT(files, 0);
}

} // namespace

// ---- playback through the reader thread ------------------------------------------------------------

// Pin threads that take every packet the reader thread hands them and note which record it was.
class PinHarness {
public:
    struct Delivery {
        int pin; // 0..15 video, 16 audio
        LONG record;
        LONG length;
    };
    explicit PinHarness(tav::CFileSource& src) : m_src(src) {
        tav::CVTPinLink* video[16];
        for (int c = 0; c < 16; ++c)
            video[c] = &m_links[c];
        m_src.AttachPins(video, &m_links[16]);
    }
    ~PinHarness() { Stop(); }

    void Start() {
        for (auto& l : m_links)
            l.ResetForRun();
        for (int i = 0; i < 17; ++i)
            m_threads.emplace_back([this, i] { Serve(i); });
        ASSERT_EQ(m_src.Run(), S_OK);
    }
    // Waits until `done` holds for what was delivered, or 10 s.
    bool WaitFor(const std::function<bool(const std::vector<Delivery>&)>& done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return done(m_log); });
    }
    void Stop() {
        if (m_threads.empty())
            return;
        m_src.Stop();
        for (auto& l : m_links)
            l.m_stop.Set();
        for (auto& t : m_threads)
            t.join();
        m_threads.clear();
    }
    std::vector<Delivery> Log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }

private:
    struct Link : tav::CVTPinLink {
        bool Connected() const override { return true; }
    };
    void Serve(int pin) {
        std::vector<BYTE> sample(tav::kMaxPacketReadBytes);
        while (m_src.WaitForData(m_links[pin], nullptr) == tav::CVTSource::PinWake::Data) {
            LONG n = m_src.GetFrame(sample.data(), static_cast<DWORD>(sample.size()), pin & 15);
            LONG record = m_src.CurrentRecord();
            {
                // Logged before the reader thread may go on, so the log keeps the order of the hand-offs.
                std::lock_guard<std::mutex> lock(m_mutex);
                m_log.push_back({pin, record, n});
            }
            m_src.Consumed();
            m_cv.notify_all();
        }
    }
    tav::CFileSource& m_src;
    Link m_links[17];
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Delivery> m_log;
};

TEST(TavFileSource, PlaysEveryKeyFrameFromTheFirstRecordAndStartsOverAtTheEnd) {
    tavtest::ScratchDir dir;
    sim_tav::RecorderOptions o;
    o.channels = 2;
    o.streamPackets = 30;
    auto packets = sim_tav::WriteTavStream(dir.File("p.arv"), o);
    for (int direction : {1, -1}) {
        SCOPED_TRACE(direction);
        Opened s = OpenStream(dir.File("p.arv"));
        ASSERT_EQ(s.load, S_OK);
        s.src->SetPlayback(1000, direction, 0);
        s.src->InitSection();
        std::vector<LONG> keys, delivered;
        for (std::size_t i = 0; i < packets.size(); ++i)
            if (packets[i].type == 0x81)
                keys.push_back(static_cast<LONG>(i + 1));
        if (direction < 0)
            std::reverse(keys.begin(), keys.end());
        // Forward, record 1 (a key frame) comes first; backward, the last key frame.
        const LONG first = keys.front();
        ASSERT_EQ(direction > 0, first == 1);
        PinHarness pins(*s.src);
        pins.Start();
        // Real samples (not placeholders) of the first pass, up to the first record played again.
        auto pass = [&](const std::vector<PinHarness::Delivery>& log) {
            std::vector<PinHarness::Delivery> real;
            for (const auto& d : log)
                if (d.length > 4) {
                    if (!real.empty() && d.record == first)
                        return std::make_pair(real, true);
                    real.push_back(d);
                }
            return std::make_pair(real, false);
        };
        ASSERT_TRUE(pins.WaitFor([&](const auto& log) { return pass(log).second; }));
        pins.Stop();
        auto real = pass(pins.Log()).first;
        ASSERT_FALSE(real.empty());
        EXPECT_EQ(real.front().record, first);
        bool audio = false;
        for (const auto& d : real) {
            const auto& p = packets[d.record - 1];
            EXPECT_EQ(d.pin, p.type == 0x84 ? 16 : p.channel) << "record " << d.record;
            EXPECT_EQ(d.length, static_cast<LONG>(p.size + 553));
            audio = audio || d.pin == 16;
            if (p.type == 0x81)
                delivered.push_back(d.record);
            else
                EXPECT_GT(direction, 0) << "backward play delivers key frames only";
        }
        EXPECT_EQ(delivered, keys);
        EXPECT_EQ(audio, direction > 0);
    }
}
