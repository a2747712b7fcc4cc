// The reader thread's loops over an in-memory source and stand-in pins, without the filter: the fast
// play selection, a stop while a pin never takes its packet, and a pin whose stream has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "tav/vt_source.h"

namespace {

// A recording held in memory: one section, packets in time order.
class CMemorySource final : public tav::CVTSource {
public:
    explicit CMemorySource(std::vector<tav::TavPacket> packets) : CVTSource(5), m_list(std::move(packets)) {
        m_sections.push_back({0, 0, 1, 2});
        m_sectionsInUse = 1;
    }
    ~CMemorySource() override { Close(); }

    HRESULT InitSection() override {
        CAutoLock pos(&m_posLock);
        m_at = m_dir > 0 ? -1 : static_cast<int>(m_list.size());
        return S_OK;
    }
    int NextEntry() override {
        CAutoLock pos(&m_posLock);
        int next = m_at + m_dir;
        if (next < 0 || next >= static_cast<int>(m_list.size()))
            return 0;
        m_at = next;
        m_pkt = m_list[m_at];
        m_pkt.entry = m_at;
        return 1;
    }
    // A sample is its packet's index, channel and type.
    LONG ReadSample(BYTE* dest, DWORD capacity) override {
        CAutoLock pos(&m_posLock);
        if (capacity < 64)
            return 0;
        std::fill(dest, dest + 64, BYTE(0));
        platform::WriteLE32(dest, static_cast<DWORD>(m_pkt.entry));
        dest[18] = m_pkt.channel;
        dest[19] = m_pkt.type;
        return 64;
    }

private:
    std::vector<tav::TavPacket> m_list;
    int m_at = -1;
};

class CTestLink final : public tav::CVTPinLink {
public:
    bool Connected() const override { return true; }
};

struct Handed {
    int pin; // 0..15 video, 16 audio
    bool placeholder;
    int entry;
};

// Serves every pin from one thread: takes each hand-off, reads the sample and lets the reader go on.
// Pins listed in `deaf` never take theirs.
class Pump {
public:
    Pump(tav::CVTSource& src, std::vector<int> deaf = {}) : m_src(src), m_deaf(std::move(deaf)) {
        tav::CVTPinLink* video[tav::kChannels];
        for (int c = 0; c < tav::kChannels; ++c)
            video[c] = &m_links[c];
        src.AttachPins(video, &m_links[16]);
        m_thread = std::thread([this] { Serve(); });
    }
    ~Pump() {
        m_quit.Set();
        m_thread.join();
    }
    std::vector<Handed> Taken() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_taken;
    }
    bool WaitFor(std::size_t count) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Taken().size() < count)
            if (std::chrono::steady_clock::now() > until)
                return false;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
    }
    CTestLink& Link(int i) { return m_links[i]; }

private:
    void Serve() {
        std::vector<HANDLE> h{m_quit.Handle()};
        std::vector<int> pins;
        for (int i = 0; i <= 16; ++i)
            if (std::find(m_deaf.begin(), m_deaf.end(), i) == m_deaf.end()) {
                h.push_back(m_links[i].m_dataReady.Handle());
                pins.push_back(i);
            }
        std::vector<BYTE> buf(256);
        for (;;) {
            DWORD r = WaitForMultipleObjects(static_cast<DWORD>(h.size()), h.data(), FALSE, INFINITE);
            if (r == WAIT_OBJECT_0)
                return;
            int pin = pins[r - WAIT_OBJECT_0 - 1];
            LONG n = m_src.GetFrame(buf.data(), static_cast<DWORD>(buf.size()), pin == 16 ? 0 : pin);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                bool placeholder = platform::ReadLE32(buf.data()) == tav::kPlaceholderWord;
                m_taken.push_back(
                    {pin, placeholder, placeholder ? -1 : static_cast<int>(platform::ReadLE32(buf.data()))});
            }
            (void)n;
            m_src.Consumed();
        }
    }

    tav::CVTSource& m_src;
    std::vector<int> m_deaf;
    CTestLink m_links[17];
    CAMEvent m_quit{TRUE, FALSE};
    std::mutex m_mutex;
    std::vector<Handed> m_taken;
    std::thread m_thread;
};

// Channel c's key frame every fourth frame of two channels; no audio.
std::vector<tav::TavPacket> TwoChannels(int frames) {
    std::vector<tav::TavPacket> list;
    for (int f = 0; f < frames; ++f)
        for (BYTE c = 0; c < 2; ++c) {
            tav::TavPacket p;
            p.channel = c;
            p.type = f % 4 == 0 ? tav::kTypeKey : tav::kTypePredicted;
            p.size = 1000;
            p.time = 2 + static_cast<DWORD>(f);
            list.push_back(p);
        }
    return list;
}

TEST(VTLoop, FastPlayTakesEveryNthKeyFrameOfEachChannel) {
    struct Case {
        LONG speed;
        int every;                                             // key frames of a channel per one delivered
    } cases[] = {{3000, 1}, {4000, 1}, {8000, 2}, {16000, 4}}; // 3000: n / 4 = 0 must not wrap round
    for (const Case& k : cases) {
        SCOPED_TRACE(k.speed);
        std::vector<tav::TavPacket> list = TwoChannels(64); // 16 key frames per channel
        CMemorySource src(list);
        Pump pump(src);
        ASSERT_EQ(src.StartReaderThread(), S_OK);
        src.SetPlayback(k.speed, 1, 0);
        ASSERT_EQ(src.Run(), S_OK);
        const std::size_t wanted = 16 / k.every; // real frames of channel 0 in one pass
        auto real0 = [&] {
            std::vector<int> e;
            for (const Handed& h : pump.Taken())
                if (h.pin == 0 && !h.placeholder)
                    e.push_back(h.entry);
            return e;
        };
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (real0().size() < wanted && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        src.Stop();
        std::vector<int> got = real0();
        ASSERT_GE(got.size(), wanted);
        for (std::size_t i = 0; i < wanted; ++i) {
            int keyIndex = static_cast<int>(i + 1) * k.every - 1; // the channel's key frames 0, 1, 2, ...
            EXPECT_EQ(got[i], keyIndex * 8) << i;                 // 4 frames x 2 channels apart
            EXPECT_EQ(list[static_cast<std::size_t>(got[i])].type, tav::kTypeKey);
        }
    }
}

TEST(VTLoop, StopReleasesTheReaderWaitingOnAPinThatNeverTakesItsPacket) {
    CMemorySource src(TwoChannels(16));
    Pump pump(src, {1}); // pin 1 is deaf: priming blocks on it
    ASSERT_EQ(src.StartReaderThread(), S_OK);
    ASSERT_EQ(src.Run(), S_OK);
    ASSERT_TRUE(pump.WaitFor(1)); // pin 0 primed, then the reader waits on pin 1
    auto t0 = std::chrono::steady_clock::now();
    src.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(pump.Taken().size(), 1u);
}

TEST(VTLoop, APinWhoseStreamEndedIsPassedOver) {
    CMemorySource src(TwoChannels(16));
    Pump pump(src, {1});
    pump.Link(1).m_ended.Set(); // its streaming loop gave up
    ASSERT_EQ(src.StartReaderThread(), S_OK);
    ASSERT_EQ(src.Run(), S_OK);
    ASSERT_TRUE(pump.WaitFor(40)); // playback goes on for the others
    src.Stop();
    for (const Handed& h : pump.Taken())
        EXPECT_NE(h.pin, 1);
}

// Loading the index makes no reader thread: listing or checking a drive needs none. The first run makes
// it; a run before the index is loaded, or after the source is closed, is refused.
TEST(VTLoop, TheReaderThreadIsMadeByTheFirstRunAndOnlyAfterTheIndexLoaded) {
    CMemorySource src(TwoChannels(16));
    Pump pump(src);
    EXPECT_EQ(src.Run(), E_FAIL);
    ASSERT_EQ(src.StartReaderThread(), S_OK);
    EXPECT_FALSE(src.ReaderThreadExists());
    ASSERT_EQ(src.Run(), S_OK);
    EXPECT_TRUE(src.ReaderThreadExists());
    ASSERT_TRUE(pump.WaitFor(4));
    src.Stop();
    src.Close();
    EXPECT_FALSE(src.ReaderThreadExists());
    EXPECT_EQ(src.Run(), E_FAIL);
}

} // namespace
