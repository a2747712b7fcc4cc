// The reader's ORMA playback graph: the ORMA source, one Motion-JPEG decoder and one video renderer per
// channel, the audio pin to the audio renderer. A window backend records every picture the renderers
// present; each is matched against the recorded frames by decoding the picture the synthetic recorder
// stored for that frame with the same JPEG core, so a test knows exactly which stored picture a channel
// shows: at the start, after a pause at a new time, and at each frame step.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>

#include "media/clsids.h"
#include "media/pin_names.h"
#include "media/videowindow.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "mjpeg/jpeg_decoder.h"
#include "orma_filter_test_util.h"

namespace {

using namespace ormasrc::test;

constexpr LONG kWaitMs = 60000; // generous: the machines are shared

// What one renderer presented, as the top-left region the recorded pictures cover (BGR).
class CRecordingBackend : public media::IVideoWindowBackend {
public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::vector<BYTE>> presented;
    };
    CRecordingBackend(std::shared_ptr<Shared> shared, int width, int height)
        : m_shared(std::move(shared)), m_width(width), m_height(height) {}
    void Present(const media::VideoFrame& frame) override {
        std::vector<BYTE> region;
        if (frame.width >= m_width && frame.height >= m_height) {
            region.reserve(static_cast<std::size_t>(m_width) * m_height * 3);
            for (int y = 0; y < m_height; ++y) {
                const BYTE* row = frame.pixels.data() + static_cast<std::size_t>(y) * frame.width * 4;
                for (int x = 0; x < m_width; ++x)
                    region.insert(region.end(), row + 4 * x, row + 4 * x + 3);
            }
        }
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->presented.push_back(std::move(region));
        }
        m_shared->changed.notify_all();
    }
    void SetOwner(OAHWND) override {}
    void SetWindowStyle(LONG) override {}
    void SetWindowPosition(LONG, LONG, LONG, LONG) override {}
    void SetVisible(bool) override {}
    void SetCaption(const std::string&) override {}

private:
    std::shared_ptr<Shared> m_shared;
    int m_width, m_height;
};

class OrmaGraph : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseTempHome();
        ::setenv("SDL_AUDIODRIVER", "dummy", 0);
        s_options = FourChannelImage();
        s_image = std::make_unique<Recording>("graph.img", s_options);
        ASSERT_EQ(s_image->result.error, "");
        s_sum = Checksum(s_image->path);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(Checksum(s_image->path), s_sum); // playing never writes the evidence
        s_image.reset();
    }

    void SetUp() override {
        if (!platform::LookupClass(CLSID_FilterGraph) || !platform::LookupClass(CLSID_VTMjpegDec))
            GTEST_SKIP() << "the graph or the Motion-JPEG decoder is not registered in this build";
        ASSERT_EQ(m_source.created, S_OK);
        ASSERT_EQ(m_source.src->OpenDisk(0, s_image->path.c_str()), S_OK);
        ASSERT_EQ(m_source.src->SetVideoTimestamp(0), S_OK); // as the reader plays
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   m_graph.ReleaseAndGetVoidAddress()),
                  S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_source.base.Get(), "ORMA source"), S_OK);
        // Every channel gets its chain, as in the reader.
        for (int ch = 0; ch < 16; ++ch) {
            auto shared = std::make_shared<CRecordingBackend::Shared>();
            m_presented[ch] = shared;
            media::SetVideoWindowBackendFactory([shared] {
                return std::make_unique<CRecordingBackend>(shared, s_options.width, s_options.height);
            });
            ComPtr<IBaseFilter> decoder, renderer;
            ASSERT_EQ(CoCreateInstance(CLSID_VTMjpegDec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       decoder.ReleaseAndGetVoidAddress()),
                      S_OK);
            ASSERT_EQ(CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       renderer.ReleaseAndGetVoidAddress()),
                      S_OK);
            m_graph->AddFilter(decoder.Get(), nullptr);
            m_graph->AddFilter(renderer.Get(), nullptr);
            const std::string name = media::VideoPinName(ch);
            ComPtr<IPin> out, in, dout, rin;
            m_source.base->FindPin(name.c_str(), &out);
            decoder->FindPin("In", &in);
            decoder->FindPin("Out", &dout);
            renderer->FindPin("In", &rin);
            ASSERT_TRUE(out && in && dout && rin) << name;
            ASSERT_EQ(m_graph->ConnectDirect(out.Get(), in.Get(), nullptr), S_OK) << name;
            ASSERT_EQ(m_graph->ConnectDirect(dout.Get(), rin.Get(), nullptr), S_OK) << name;
        }
        media::SetVideoWindowBackendFactory({});
        ComPtr<IBaseFilter> audio;
        ASSERT_EQ(CoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   audio.ReleaseAndGetVoidAddress()),
                  S_OK)
            << "no audio device (SDL_AUDIODRIVER=dummy provides one)";
        m_graph->AddFilter(audio.Get(), nullptr);
        ComPtr<IPin> audioOut, audioIn;
        m_source.base->FindPin("Audio Out", &audioOut);
        audio->FindPin("In", &audioIn);
        ASSERT_TRUE(audioOut && audioIn);
        ASSERT_EQ(m_graph->ConnectDirect(audioOut.Get(), audioIn.Get(), nullptr), S_OK);
        ASSERT_EQ(m_graph.As(IID_IMediaControl, m_control), S_OK);
        ASSERT_EQ(m_graph.As(IID_IMediaEventEx, m_events), S_OK);
    }
    void TearDown() override {
        media::SetVideoWindowBackendFactory({});
        if (m_control)
            m_control->Stop();
    }

    // The index of the recorded frame whose picture `region` is; -1 for any other picture (the blue
    // screen). Pictures are numbered in recording order, one per frame.
    int FrameOf(const std::vector<BYTE>& region) {
        if (region.empty())
            return -1;
        const auto& frames = s_image->result.frames;
        for (std::size_t g = 0; g < frames.size(); ++g)
            if (Reference(g) == region)
                return static_cast<int>(g);
        return -1;
    }
    // The stored picture of frame g, decoded as the decoder filter does, in the renderer's BGR order.
    const std::vector<BYTE>& Reference(std::size_t g) {
        auto found = m_references.find(g);
        if (found != m_references.end())
            return found->second;
        const simorma::FrameInfo& f = s_image->result.frames.at(g);
        const simorma::Options& o = s_options;
        const std::string time = simorma::FormatStamp(f.time);
        const std::vector<std::uint8_t> jpeg =
            simorma::MakePicture(o.width, o.height, o.quality, f.channel, static_cast<int>(g), time);
        std::vector<BYTE> bgr;
        mjpeg::jpeg_decoder_memory_stream stream(jpeg.data(), static_cast<std::int32_t>(jpeg.size()));
        mjpeg::jpeg_decoder decoder(&stream);
        if (decoder.begin_decoding() == 0) {
            for (int y = 0; y < s_options.height; ++y) {
                const void* line = nullptr;
                std::uint32_t bytes = 0;
                if (decoder.decode(&line, &bytes) != 0)
                    break;
                const auto* p = static_cast<const BYTE*>(line);
                for (int x = 0; x < s_options.width; ++x)
                    bgr.insert(bgr.end(), {p[4 * x + 2], p[4 * x + 1], p[4 * x + 0]});
            }
        }
        return m_references[g] = std::move(bgr);
    }
    // The recorded frames each channel's renderer presented, in order (-1: another picture).
    std::vector<int> Presented(int ch) {
        std::lock_guard lock(m_presented[ch]->mutex);
        std::vector<int> out;
        for (const auto& region : m_presented[ch]->presented)
            out.push_back(FrameOf(region));
        return out;
    }
    // Waits until channel `ch`'s renderer has presented `count` pictures.
    bool WaitPresented(int ch, std::size_t count) {
        std::unique_lock lock(m_presented[ch]->mutex);
        return m_presented[ch]->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                                 [&] { return m_presented[ch]->presented.size() >= count; });
    }
    void ClearPresented() {
        for (auto& p : m_presented) {
            std::lock_guard lock(p->mutex);
            p->presented.clear();
        }
    }
    // Waits until `count` events of `code` have come (other events are passed over).
    bool WaitForEvents(LONG code, int count) {
        while (count > 0) {
            LONG c = 0;
            LONG_PTR p1 = 0, p2 = 0;
            if (m_events->GetEvent(&c, &p1, &p2, kWaitMs) != S_OK)
                return false;
            m_events->FreeEventParams(c, p1, p2);
            count -= c == code;
        }
        return true;
    }
    // Pauses and waits for the pause to complete; then each channel 0 … 3 shows one picture, which is
    // returned as its recorded frame.
    std::array<int, 4> PauseAndCue() {
        std::array<int, 4> cue{-1, -1, -1, -1};
        EXPECT_EQ(m_control->Pause(), S_OK);
        OAFilterState state = State_Stopped;
        EXPECT_EQ(m_control->GetState(kWaitMs, &state), S_OK);
        EXPECT_EQ(state, State_Paused);
        for (int ch = 0; ch < 4; ++ch) {
            EXPECT_TRUE(WaitPresented(ch, 1)) << ch;
            const auto shown = Presented(ch);
            EXPECT_EQ(shown.size(), 1u) << ch;
            if (!shown.empty())
                cue[static_cast<std::size_t>(ch)] = shown.back();
        }
        return cue;
    }

    static simorma::Options s_options;
    static std::unique_ptr<Recording> s_image;
    static unsigned long long s_sum;
    Filter m_source;
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaEventEx> m_events;
    std::array<std::shared_ptr<CRecordingBackend::Shared>, 16> m_presented;
    std::map<std::size_t, std::vector<BYTE>> m_references;
};
simorma::Options OrmaGraph::s_options;
std::unique_ptr<Recording> OrmaGraph::s_image;
unsigned long long OrmaGraph::s_sum = 0;

// From the start: the paused graph shows each camera's first stored picture, and running on shows every
// stored picture of each camera in turn, none lost while the video pins start after the audio pin.
TEST_F(OrmaGraph, PlaybackFromTheStartShowsEveryChannelsFirstPictures) {
    const std::array<int, 4> cue = PauseAndCue();
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(cue[static_cast<std::size_t>(ch)], ch) << ch;
    ASSERT_EQ(m_control->Run(), S_OK);
    constexpr std::size_t kShown = 8;
    for (int ch = 0; ch < 4; ++ch)
        ASSERT_TRUE(WaitPresented(ch, kShown + 1)) << ch;
    ASSERT_EQ(m_control->Stop(), S_OK);
    for (int ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE(ch);
        const auto shown = Presented(ch);
        // The paused picture, then the same one played, then the channel's next stored pictures.
        for (std::size_t i = 1; i <= kShown; ++i)
            EXPECT_EQ(shown[i], ch + 4 * static_cast<int>(i - 1)) << i;
    }
}

// Stop, a time search and Pause, as the reader's Begin, End, time search and slider do: the paused graph
// completes its pause with every recorded channel's picture at the new time, and each frame step then
// shows each channel's next stored picture.
TEST_F(OrmaGraph, PauseAtATimeShowsEveryChannelThereAndStepsFrameByFrame) {
    ComPtr<IVideoFrameStep> step;
    ASSERT_EQ(m_graph.As(IID_IVideoFrameStep, step), S_OK);
    ASSERT_EQ(step->CanStep(0, nullptr), S_OK);
    PauseAndCue();
    ASSERT_EQ(m_control->Stop(), S_OK);
    ClearPresented();

    const auto target = simorma::StampAt(simorma::SecondsOf(2009, 3, 1, 8, 5, 0));
    ASSERT_EQ(m_source.src->SetPointerTime(target.year, target.packed), S_OK);
    const std::array<int, 4> cue = PauseAndCue();
    const auto& frames = s_image->result.frames;
    // Four consecutive stored frames, one of each camera, the first at or after the time searched.
    int first = cue[0];
    for (int ch = 0; ch < 4; ++ch) {
        ASSERT_GE(cue[static_cast<std::size_t>(ch)], 0) << ch;
        first = std::min(first, cue[static_cast<std::size_t>(ch)]);
    }
    for (int ch = 0; ch < 4; ++ch) {
        const auto g = static_cast<std::size_t>(cue[static_cast<std::size_t>(ch)]);
        EXPECT_EQ(frames[g].channel, ch);
        EXPECT_LT(cue[static_cast<std::size_t>(ch)], first + 4) << ch;
    }
    const simorma::Stamp& at = frames[static_cast<std::size_t>(first)].time;
    EXPECT_GE(orma::CompareTime(at.year, at.packed, target.year, target.packed), 0);

    // Three steps: each video renderer that holds a picture presents it (the first step shows the
    // pictures the pause shows) and says so; a step is complete when every one has. The twelve channels
    // without a camera hold only the blue screen, so they take part in the first step alone.
    constexpr int kSteps = 3;
    for (int n = 1; n <= kSteps; ++n) {
        ASSERT_EQ(step->Step(1, nullptr), S_OK) << n;
        ASSERT_TRUE(WaitForEvents(EC_STEP_COMPLETE, n == 1 ? 16 : 4)) << n;
    }
    OAFilterState state = State_Stopped;
    EXPECT_EQ(m_control->GetState(kWaitMs, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    for (int ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE(ch);
        const auto shown = Presented(ch);
        ASSERT_EQ(shown.size(), 1u + kSteps);
        const int paused = cue[static_cast<std::size_t>(ch)];
        for (int n = 1; n <= kSteps; ++n)
            EXPECT_EQ(shown[static_cast<std::size_t>(n)], paused + 4 * (n - 1)) << n;
    }
    ASSERT_EQ(m_control->Stop(), S_OK);
}

} // namespace
