// Playback through the pins: the audio pin's thread reads the frames and hands each picture to the
// video pin of its channel; capturing pins take what every pin delivers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "media/harness.h"
#include "media/pin_names.h"
#include "orma_filter_test_util.h"
#include "orma_src.h"
#include "testsupport/files.h"

namespace {

using namespace ormasrc::test;

constexpr REFERENCE_TIME kNtsc = 166666;

class OrmaSrcPlay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseTempHome();
        s_image = std::make_unique<Recording>("play.img", FourChannelImage());
        ASSERT_EQ(s_image->result.error, "");
        s_sum = Checksum(s_image->path);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(Checksum(s_image->path), s_sum); // playing never writes the evidence
        s_image.reset();
    }

    void SetUp() override {
        ASSERT_EQ(m_filter.created, S_OK);
        ASSERT_EQ(m_filter.src->OpenDisk(0, s_image->path.c_str()), S_OK);
        m_harness = std::make_unique<media::CFilterHarness>(m_filter.base.Get());
        int index = -1;
        ASSERT_EQ(m_harness->ConnectOutput(&index, {}, {}, "Audio Out"), S_OK);
        ASSERT_EQ(index, 0);
        for (int ch = 0; ch < 16; ++ch) {
            const std::string name = media::VideoPinName(ch);
            ASSERT_EQ(m_harness->ConnectOutput(&index, {}, {}, name.c_str()), S_OK);
            ASSERT_EQ(index, ch + 1);
        }
    }
    void TearDown() override {
        if (m_harness)
            m_harness->Stop();
        m_harness.reset();
    }

    COrmaSrc* Src() { return static_cast<COrmaSrc*>(m_filter.src.Get()); }
    std::vector<BYTE> BlueScreen() {
        return testsupport::ReadFileBytes(platform::FindDataFile("bluescreen_PAL.jpg").value_or(""));
    }
    // The recorded frame with index k in reading order: playback goes on from the last segment's end
    // to the first segment's start.
    const simorma::FrameInfo& Frame(std::size_t k) {
        return s_image->result.frames.at(k % s_image->result.frames.size());
    }

    static std::unique_ptr<Recording> s_image;
    static unsigned long long s_sum;
    Filter m_filter;
    std::unique_ptr<media::CFilterHarness> m_harness;
};
std::unique_ptr<Recording> OrmaSrcPlay::s_image;
unsigned long long OrmaSrcPlay::s_sum = 0;

TEST_F(OrmaSrcPlay, EveryChannelGetsItsOwnPicturesInTimeOrder) {
    const std::vector<BYTE> blue = BlueScreen();
    ASSERT_GT(blue.size(), 100u);
    ASSERT_EQ(Src()->LoadBlueScreen(platform::FindDataFile("bluescreen_PAL.jpg").value()), blue.size());
    IOrmaSrc* s = m_filter.src.Get();
    ASSERT_EQ(s->SetVideoTimestamp(1), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(300, 60000, 0));
    for (int ch = 0; ch < 4; ++ch)
        ASSERT_TRUE(m_harness->WaitForSamples(2, 60000, ch + 1)) << ch;
    ASSERT_EQ(m_harness->Stop(), S_OK); // stops in the middle of the recording

    // Audio: one stored frame's chunk per sample, contiguous times, converted to unsigned.
    auto audio = m_harness->Received(0);
    ASSERT_GE(audio.size(), 300u);
    std::ifstream img(s_image->path, std::ios::binary);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        const auto& a = audio[i];
        ASSERT_EQ(a.timeResult, S_OK) << i;
        EXPECT_EQ(a.start, static_cast<REFERENCE_TIME>(i) * kNtsc) << i;
        EXPECT_EQ(a.stop - a.start, kNtsc) << i;
        EXPECT_TRUE(a.syncPoint);
        ASSERT_EQ(a.data.size(), 294u) << i;
        if (i < 3) {
            std::vector<char> raw(294);
            img.seekg(static_cast<std::streamoff>(Frame(i).sector - s_image->result.sectorBase) * 512 +
                      0x29A);
            img.read(raw.data(), 294);
            for (std::size_t b = 0; b < raw.size(); ++b)
                ASSERT_EQ(a.data[b], static_cast<BYTE>(raw[b] ^ 0x80)) << i << " " << b;
        }
    }
    // Video: channels 0 … 3 get the pictures of their channel, in time order; channels 4 … 15, without
    // a camera, get the blue screen and nothing else.
    for (int ch = 0; ch < 16; ++ch) {
        auto video = m_harness->Received(ch + 1);
        SCOPED_TRACE(ch);
        // A blue screen delivered while a segment change flushes downstream is dropped, so channels
        // that get nothing else may end up with none.
        if (ch < 4) {
            ASSERT_FALSE(video.empty());
        }
        REFERENCE_TIME last = -1;
        for (std::size_t i = 0; i < video.size(); ++i) {
            const auto& v = video[i];
            ASSERT_EQ(v.timeResult, S_OK);
            EXPECT_EQ(v.stop - v.start, kNtsc);
            EXPECT_GT(v.start, last);
            last = v.start;
            if (v.data == blue) {
                // Sent at the end of the first round after a segment was entered (its first frame's
                // channel coming round again), to the channels without a camera only.
                const auto k = static_cast<std::size_t>(v.start / kNtsc) % s_image->result.frames.size();
                EXPECT_TRUE(k == 4 || k == 388) << k;
                EXPECT_GE(ch, 4);
                continue;
            }
            ASSERT_LT(ch, 4);
            ASSERT_EQ(v.start % kNtsc, 0);
            const auto& f = Frame(static_cast<std::size_t>(v.start / kNtsc));
            EXPECT_EQ(f.channel, ch);
            EXPECT_EQ(v.data.size(), f.pictureBytes);
            EXPECT_EQ(v.data[0], 0xFF);
            EXPECT_EQ(v.data[1], 0xD8);
        }
        if (ch < 4) {
            EXPECT_GE(video.size(), 2u);
        }
    }

    // What the pins delivered last stays readable through the interface. A stop just after a segment
    // change finds that change's emptied slots, so the check takes a channel whose slot holds a picture.
    UINT length = 0;
    int channel = -1;
    for (int ch = 0; ch < 4 && channel < 0; ++ch) {
        length = 0;
        HRESULT hr = s->GetCurrentFrame(ch, nullptr, &length);
        if (length > 4) {
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            channel = ch;
        }
    }
    ASSERT_GE(channel, 0);
    std::vector<BYTE> picture(length);
    UINT shorter = length - 1;
    EXPECT_EQ(s->GetCurrentFrame(channel, picture.data(), &shorter), E_OUTOFMEMORY);
    EXPECT_EQ(shorter, length);
    EXPECT_EQ(s->GetCurrentFrame(channel, picture.data(), &length), S_OK);
    EXPECT_EQ(picture[0], 0xFF);
    EXPECT_EQ(picture[1], 0xD8);
    // The frame information block comes out as byte-swapped 16-bit words: the 0x5588 magic stored
    // little-endian reads 0x8855, and the year byte at 0x15 moves to 0x14.
    WORD info[112] = {};
    ASSERT_EQ(s->GetFrameInfo(info, 112), S_OK);
    EXPECT_EQ(info[0], 0x8855);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(info)[0x14], 9);
}

TEST_F(OrmaSrcPlay, WithoutTheBlueScreenChannelsWithoutPicturesEnd) {
    EXPECT_EQ(Src()->LoadBlueScreen("/nonexistent/bluescreen_PAL.jpg"), 0u);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(40, 60000, 1));
    // Channels 4 … 15 never have a picture: their streams end at the first frame. (Channels 1 … 3
    // end too when their threads take the empty slot before the channel's own first picture.)
    for (int ch = 4; ch < 16; ++ch) {
        EXPECT_TRUE(m_harness->WaitForEndOfStream(60000, ch + 1)) << ch;
        EXPECT_EQ(m_harness->ReceivedCount(ch + 1), 0u) << ch;
    }
    // Without time stamps the samples carry no times.
    auto audio = m_harness->Received(0);
    ASSERT_FALSE(audio.empty());
    EXPECT_NE(audio[0].timeResult, S_OK);
    EXPECT_NE(m_harness->Received(1)[0].timeResult, S_OK);
    ASSERT_EQ(m_harness->Stop(), S_OK);
}

// A repositioning while running flushes every pin and starts a new round: the channels that have
// not been seen get the blue screen again, and playback continues from the new time.
TEST_F(OrmaSrcPlay, RepositioningWhileRunningFlushesAndContinuesThere) {
    const std::vector<BYTE> blue = BlueScreen();
    Src()->LoadBlueScreen(platform::FindDataFile("bluescreen_PAL.jpg").value());
    IOrmaSrc* s = m_filter.src.Get();
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(20, 60000, 0));
    ASSERT_TRUE(m_harness->WaitForSamples(1, 60000, 16));
    // Video00's renderer holds its pictures from here, as a paused one would: the reading waits for it
    // within a round, so it cannot run round the whole recording before the position is read.
    m_harness->HoldReceive(true, 1);
    const auto target = simorma::StampAt(simorma::SecondsOf(2009, 3, 1, 9, 1, 0));
    BYTE year = 0;
    DWORD time = 0;
    int permille = 0;
    ASSERT_EQ(s->SetPointerTime(target.year, target.packed), S_OK);
    // What Video15 gets from here was read at the new place (a blue screen taken before the flush is
    // refused while it lasts).
    m_harness->ClearReceived(16);
    EXPECT_GE(m_harness->FlushCount(0), 1);
    EXPECT_GE(m_harness->FlushCount(16), 1);
    // The position's time is that of the frame read last: wait for the first frame read there.
    EXPECT_EQ(s->GetPointerPosition(&permille, &year, &time), S_OK);
    const BYTE yearThen = year;
    const DWORD timeThen = time;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (year == yearThen && time == timeThen && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        s->GetPointerPosition(&permille, &year, &time);
    }
    EXPECT_GE(orma::CompareTime(year, time, target.year, target.packed), 0);
    ASSERT_TRUE(m_harness->WaitForSamples(1, 60000, 16)); // Video15: the blue screen again
    EXPECT_EQ(m_harness->Received(16)[0].data, blue);
    int segment = -1;
    EXPECT_EQ(s->GetCurrentSegment(&segment), S_OK);
    EXPECT_EQ(segment, 1);
    ASSERT_EQ(m_harness->Stop(), S_OK);
}

// A speed change reaches the audio renderer as a new format on the next sample; PAL frames last
// 200000 units, and a standard that is neither leaves the duration alone.
TEST_F(OrmaSrcPlay, SpeedChangeCarriesTheNewAudioFormat) {
    IOrmaSrc* s = m_filter.src.Get();
    ASSERT_EQ(s->SetVideoTimestamp(1), S_OK);
    ASSERT_EQ(s->SetVideo(1), S_OK);
    ASSERT_EQ(s->SetVideo(2), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(10, 60000, 0));
    ASSERT_EQ(s->SetPlaybackSpeed(500), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(m_harness->ReceivedCount(0) + 5, 60000, 0));
    ASSERT_EQ(m_harness->Stop(), S_OK);
    auto audio = m_harness->Received(0);
    int changes = 0;
    for (const auto& a : audio) {
        EXPECT_EQ(a.stop - a.start, 200000 * static_cast<REFERENCE_TIME>(a.data.size()) / 352);
        if (!a.hasMediaType)
            continue;
        ++changes;
        EXPECT_TRUE(a.discontinuity);
        WAVEFORMATEX wfx;
        ASSERT_TRUE(GetWaveFormat(a.mediaType, &wfx));
        EXPECT_EQ(wfx.nSamplesPerSec, 4410u);
        EXPECT_EQ(wfx.nAvgBytesPerSec, 8820u);
        EXPECT_TRUE(a.mediaType.bFixedSizeSamples);
    }
    EXPECT_EQ(changes, 1);
}

// Recorder model 0 names no channel: every picture goes to channel 0.
TEST_F(OrmaSrcPlay, ModelZeroSendsEveryPictureToChannelZero) {
    const std::vector<BYTE> blue = BlueScreen();
    Src()->LoadBlueScreen(platform::FindDataFile("bluescreen_PAL.jpg").value());
    IOrmaSrc* s = m_filter.src.Get();
    ASSERT_EQ(s->SetDvrModel(0), S_OK);
    ASSERT_EQ(s->SetVideoTimestamp(1), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(100, 60000, 0));
    ASSERT_TRUE(m_harness->WaitForSamples(5, 60000, 1));
    ASSERT_EQ(m_harness->Stop(), S_OK);
    for (int ch = 1; ch < 4; ++ch) {
        auto video = m_harness->Received(ch + 1);
        ASSERT_GE(video.size(), 1u) << ch;
        for (const auto& v : video)
            EXPECT_EQ(v.data, blue) << ch; // at each round start, nothing else
    }
    for (const auto& v : m_harness->Received(1))
        EXPECT_NE(v.data, blue);
}

// The per-frame status export writes one text line per frame read while it is on.
TEST_F(OrmaSrcPlay, StatusTextExport) {
    const std::string path = TempPath("status.txt");
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    IOrmaSrc* s = m_filter.src.Get();
    ASSERT_EQ(s->ArchiveDataFile(file, 1), S_OK);
    ASSERT_EQ(m_harness->Run(), S_OK);
    ASSERT_TRUE(m_harness->WaitForSamples(30, 60000, 0));
    ASSERT_EQ(m_harness->Stop(), S_OK);
    ASSERT_EQ(s->ArchiveDataFile(nullptr, 1), S_OK);
    CloseHandle(file);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::remove(path.c_str());
    ASSERT_GE(all.size(), 22u);
    EXPECT_EQ(all.substr(0, 20), "2009/03/01 08:00:00 ");
    EXPECT_EQ(all.substr(all.size() - 2), "\r\n");
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = all.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
    EXPECT_GE(lines, 30u);
}

// A pin whose buffers are never granted, as when its allocator is decommitted with a stop on its way:
// it counts how often its thread asks for one.
class CNoBufferStream final : public COrmaSrcStream {
public:
    CNoBufferStream(CSource* filter, HRESULT* phr) : COrmaSrcStream("no buffer", phr, filter, "Out") {}
    HRESULT GetMediaType(CMediaType* pmt) override {
        pmt->InitMediaType();
        pmt->SetType(&MEDIATYPE_Audio);
        pmt->SetSubtype(&MEDIASUBTYPE_PCM);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        request->cBuffers = 1;
        request->cbBuffer = 16;
        ALLOCATOR_PROPERTIES actual{};
        return allocator->SetProperties(request, &actual);
    }
    HRESULT FillBuffer(IMediaSample*) override { return S_OK; }
    HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
        *sample = nullptr;
        {
            std::lock_guard lock(m_mutex);
            ++m_asks;
        }
        m_changed.notify_all();
        return VFW_E_NOT_COMMITTED;
    }
    // Waits at most `ms` until the thread has asked `count` times.
    bool WaitForAsks(int count, int ms) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_asks >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_asks = 0;
};

class CNoBufferSource final : public CSource {
public:
    explicit CNoBufferSource(HRESULT* phr) : CSource("no buffer source", nullptr, GUID_NULL, phr) {
        m_stream = new CNoBufferStream(this, phr); // the filter owns its pin
    }
    CNoBufferStream* m_stream;
};

// Without a buffer the streaming thread waits for the next command instead of asking again and again.
TEST(OrmaSrcStream, WithoutABufferTheThreadWaitsForACommand) {
    HRESULT hr = S_OK;
    auto* source = new CNoBufferSource(&hr);
    ASSERT_EQ(hr, S_OK);
    source->NonDelegatingAddRef();
    {
        media::CFilterHarness harness(source);
        ASSERT_EQ(harness.ConnectOutput(), S_OK);
        ASSERT_EQ(harness.Pause(), S_OK);
        ASSERT_TRUE(source->m_stream->WaitForAsks(1, 60000));
        EXPECT_FALSE(source->m_stream->WaitForAsks(2, 200)); // no command came: no second ask
        ASSERT_EQ(harness.Stop(), S_OK);                     // and the stop ends the wait
    }
    source->NonDelegatingRelease();
}

// The drive's open flag is written by OpenDisk under the disk lock while other threads ask whether a
// drive is open (the tsan preset sees the race when the flag is read without the lock).
TEST(OrmaSrcDrive, OpenOnOneThreadWhileAnotherAsksForTheDrive) {
    Filter filter;
    ASSERT_EQ(filter.created, S_OK);
    Recording image("race.img", FourChannelImage());
    ASSERT_EQ(image.result.error, "");
    std::atomic<bool> opening{true};
    std::thread opener([&] {
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(filter.src->OpenDisk(0, image.path.c_str()), S_OK);
        opening = false;
    });
    while (opening) {
        UINT length = 0;
        const HRESULT hr = filter.src->GetCurrentFrame(0, nullptr, &length);
        EXPECT_TRUE(hr == E_FAIL || hr == S_OK) << hr; // no drive yet, or an empty slot
    }
    opener.join();
    EXPECT_TRUE(static_cast<COrmaSrc*>(filter.src.Get())->HasDrive());
}

} // namespace
