// Start, seek, change speed and direction, step and stop, 500 times in a row on a sixteen-channel
// recording with audio. Every step is bounded by a time-out: a hang fails the test (the process ends
// with a message, since a blocked thread cannot be recovered).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "vts_filter.h"
#include "vts_test_util.h"

namespace {

using namespace vtstest;

constexpr auto kStepTimeout = std::chrono::seconds(30);
constexpr int kRounds = 500;

// Ends the process when a step takes longer than the time-out.
class Watchdog {
public:
    Watchdog() : m_thread([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    void Enter(const char* step, int round) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_step = step;
        m_round = round;
        m_since = std::chrono::steady_clock::now();
        ++m_serial;
        m_cv.notify_all();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            long serial = m_serial;
            if (m_cv.wait_until(lock, m_since + kStepTimeout, [&] { return m_done || m_serial != serial; }))
                continue;
            std::fprintf(stderr, "VTS stress: step '%s' of round %d did not finish within %lld s\n", m_step,
                         m_round, static_cast<long long>(kStepTimeout.count()));
            std::fflush(stderr);
            std::_Exit(3);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    const char* m_step = "start";
    int m_round = 0;
    long m_serial = 0;
    std::chrono::steady_clock::time_point m_since = std::chrono::steady_clock::now();
    std::thread m_thread;
};

TEST(VTSStress, StartSeekSpeedDirectionStop500Times) {
    UseTestEnvironment();
    sim_tav::RecorderOptions o = FourChannels();
    o.channels = 16;
    o.packetsPerBlock = 60;
    Drive drive("sixteen.tav", o);
    tavtest::BoxRecorder boxes;
    Filter f;
    ASSERT_EQ(f.created, S_OK);
    ASSERT_EQ(f.Open(tav::kOpenDrive, drive.path), 1);
    ASSERT_EQ(f.vts->LoadIndex(0, drive.path.c_str()), S_OK);
    auto h = ConnectAll(f.base.Get());
    IVTSourceFilter* v = f.vts.Get();

    const LONG speeds[] = {1000, 2000, 500, 8000, 16000};
    Watchdog dog;
    std::size_t flowed = 0;
    unsigned seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int round = 0; round < kRounds; ++round) {
        dog.Enter("playback settings", round);
        ASSERT_EQ(v->SetPlayback(speeds[round % 5], (round / 5) % 2 ? -1 : 1, round), S_OK);
        if (round % 7 == 3) {
            ASSERT_EQ(v->Step(1), S_OK);
        }
        const std::size_t before = h->ReceivedCount(1);
        dog.Enter("run", round);
        ASSERT_EQ(h->Run(), S_OK);
        dog.Enter("seek", round);
        ASSERT_EQ(v->SeekPerMille(static_cast<LONG>(next() % 1001)), S_OK);
        if (round % 7 == 3) {
            ASSERT_EQ(v->Step(1), S_OK);
            ASSERT_EQ(v->Step(0), S_OK); // back to continuous play
        }
        if (round % 11 == 5) {
            dog.Enter("direction change while running", round);
            ASSERT_EQ(v->SetPlayback(1000, round % 2 ? -1 : 1, 0), S_OK);
            ASSERT_EQ(v->SelectSection(0), S_OK);
        }
        dog.Enter("position polls", round); // what the reader's timer reads while playing
        {
            LONG perMille = 0, section = 0;
            DWORD time = 0, rate = 0, info = 0;
            EXPECT_EQ(v->GetPosition(&perMille, nullptr, &time), S_OK);
            EXPECT_EQ(v->GetCurrentSection(&section), S_OK);
            EXPECT_EQ(v->GetFrameRate(&rate), S_OK);
            EXPECT_EQ(v->GetInfo(vtinfo::kCurrentTime, &info), S_OK);
        }
        dog.Enter("streaming", round);
        if (h->WaitForSamples(before + 2, 200, 1))
            ++flowed;
        dog.Enter("stop", round);
        ASSERT_EQ(h->Stop(), S_OK);
        if (round % 50 == 0)
            for (int i = 0; i <= 16; ++i)
                h->ClearReceived(i);
    }
    dog.Enter("release", kRounds);
    // Pictures flowed in nearly every round (a round may stop before its first sample).
    EXPECT_GT(flowed, static_cast<std::size_t>(kRounds / 2));
    h.reset();
}

} // namespace
