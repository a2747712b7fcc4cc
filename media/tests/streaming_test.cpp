// Source streaming threads through the harness: seventeen pins each on its own thread, end of stream,
// a failing fill, and repositioning with the two-phase flush while streaming.
#include <gtest/gtest.h>

#include "media/harness.h"
#include "test_filters.h"

using namespace testfilters;
using media::CFilterHarness;

namespace {
constexpr int kPins = 17;
constexpr DWORD kWait = 5000;
} // namespace

TEST(SourceStreaming, SeventeenPinsStreamWithTheirTimes) {
    CTestSource* src = CTestSource::Create(kPins);
    for (int i = 0; i < kPins; ++i)
        src->Stream(i)->m_fillDelayMs = 1;
    {
        CFilterHarness h(src);
        for (int i = 0; i < kPins; ++i) {
            int index = -1;
            ASSERT_EQ(h.ConnectOutput(&index), S_OK);
            ASSERT_EQ(index, i);
            VIDEOINFOHEADER vih;
            ASSERT_TRUE(GetVideoInfo(h.CaptureType(i), &vih));
            EXPECT_EQ(vih.dwBitRate, static_cast<DWORD>(i));
        }
        for (int cycle = 0; cycle < 2; ++cycle) {
            for (int i = 0; i < kPins; ++i)
                h.ClearReceived(i);
            ASSERT_EQ(h.Run(), S_OK);
            for (int i = 0; i < kPins; ++i)
                ASSERT_TRUE(h.WaitForSamples(20, kWait, i)) << "pin " << i;
            ASSERT_EQ(h.Stop(), S_OK);
            for (int i = 0; i < kPins; ++i) {
                auto got = h.Received(i);
                for (std::size_t k = 0; k < got.size(); ++k) {
                    ASSERT_EQ(platform::ReadLE32(got[k].data.data()), static_cast<DWORD>(i));
                    LONG n = static_cast<LONG>(platform::ReadLE32(got[k].data.data() + 4));
                    // Numbering carries on across stop and run; times follow the numbers.
                    if (k > 0) {
                        ASSERT_EQ(n, static_cast<LONG>(platform::ReadLE32(got[k - 1].data.data() + 4)) + 1);
                    }
                    ASSERT_EQ(got[k].timeResult, S_OK);
                    ASSERT_EQ(got[k].start, n * kFrame);
                    ASSERT_EQ(got[k].stop, (n + 1) * kFrame);
                }
            }
        }
    }
    src->Release();
}

TEST(SourceStreaming, EndOfStreamAndFailingFill) {
    CTestSource* src = CTestSource::Create(2);
    src->Stream(0)->m_limit = 5;
    src->Stream(1)->m_failAt = 3;
    src->Stream(1)->m_failCode = MakeHResult(0x80040111u);
    {
        CFilterHarness h(src);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        ASSERT_EQ(h.ConnectOutput(), S_OK);
        ASSERT_EQ(h.Run(), S_OK);
        ASSERT_TRUE(h.WaitForEndOfStream(kWait, 0));
        ASSERT_TRUE(h.WaitForEndOfStream(kWait, 1));
        EXPECT_EQ(h.ReceivedCount(0), 5u);
        EXPECT_EQ(h.ReceivedCount(1), 3u);
        media::CapturedEvent ev{};
        ASSERT_TRUE(h.WaitForEvent(EC_ERRORABORT, kWait, &ev));
        EXPECT_EQ(ev.param1, MakeHResult(0x80040111u));
        // Only the failing pin reports an abort; the ended one is quiet.
        auto events = h.Events();
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const media::CapturedEvent& e) { return e.code == EC_ERRORABORT; }),
                  1);
        ASSERT_EQ(h.Stop(), S_OK);
    }
    src->Release();
}

TEST(SourceStreaming, RepositionFlushesAndRestartsFromTheNewPlace) {
    CTestSource* src = CTestSource::Create(3);
    {
        CFilterHarness h(src);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(h.ConnectOutput(), S_OK);
        ASSERT_EQ(h.Run(), S_OK);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(h.WaitForSamples(10, kWait, i));
        ASSERT_EQ(src->SeekAll(100000), S_OK);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(h.FlushCount(i), 1);
            h.ClearReceived(i);
        }
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(h.WaitForSamples(5, kWait, i));
            auto got = h.Received(i);
            // Everything after the flush comes from the new position.
            EXPECT_GE(platform::ReadLE32(got[0].data.data() + 4), 100000u);
            EXPECT_GE(got[0].start, 100000 * kFrame);
        }
        ASSERT_EQ(h.Stop(), S_OK);
    }
    src->Release();
}
