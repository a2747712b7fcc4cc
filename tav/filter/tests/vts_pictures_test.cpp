// From drive to picture through a real graph: the TAV source, one MPEG-4 decoder per channel and a
// renderer that reads back, from the decoded pixels, the channel and the time the synthetic recorder drew
// into every key frame. Run for a drive and for a stream file holding the same kind of recording.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "media/clsids.h"
#include "media/pin_names.h"
#include "media/renderer.h"
#include "media/types.h"
#include "mpeg4/filter/ivtmp4dec.h"
#include "sim_m4v/m4v_encoder.h"
#include "vts_test_util.h"

namespace {

using namespace vtstest;

// A renderer that takes 32-bit RGB pictures at once and keeps what each one's tag says.
class CTagRenderer : public CBaseRenderer {
public:
    struct Picture {
        bool tagged = false;
        int channel = -1;
        std::uint32_t value = 0;
    };

    explicit CTagRenderer(HRESULT* phr) : CBaseRenderer(GUID_NULL, "Tag Renderer", nullptr, phr) {}

    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return *pmt->Type() == MEDIATYPE_Video && *pmt->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK : E_FAIL;
    }
    HRESULT SetMediaType(const CMediaType* pmt) override {
        VIDEOINFOHEADER vih;
        if (!GetVideoInfo(*pmt, &vih))
            return E_FAIL;
        std::lock_guard lock(m_mutex);
        m_bih = vih.bmiHeader;
        return S_OK;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::lock_guard lock(m_mutex);
        const int width = m_bih.biWidth, height = m_bih.biHeight < 0 ? -m_bih.biHeight : m_bih.biHeight;
        Picture p;
        if (data && sample->GetActualDataLength() >= width * height * 4)
            p.tagged =
                simm4v::ReadTagPacked(data, width, height, std::ptrdiff_t(width) * 4,
                                      simm4v::PackedFormat::kBgrx, m_bih.biHeight > 0, &p.channel, &p.value);
        m_pictures.push_back(p);
        m_changed.notify_all();
        return S_OK;
    }
    bool SchedulesByClock() const override { return false; }

    std::vector<Picture> Pictures() {
        std::lock_guard lock(m_mutex);
        return m_pictures;
    }
    bool WaitForTagged(std::size_t count, int ms) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            std::size_t n = 0;
            for (const auto& p : m_pictures)
                n += p.tagged;
            return n >= count;
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    BITMAPINFOHEADER m_bih{};
    std::vector<Picture> m_pictures;
};

sim_tav::RecorderOptions PictureRecording() {
    sim_tav::RecorderOptions o = FourChannels();
    o.realPictures = true;
    o.keyInterval = 2;
    o.streamPackets = 200;
    return o;
}

struct Case {
    const char* name;
    int kind; // open request kind: 8 drive, 10 stream file
};

class VTSPictures : public ::testing::TestWithParam<Case> {};

TEST_P(VTSPictures, EveryChannelShowsItsOwnPicturesInTimeOrder) {
    if (!platform::LookupClass(CLSID_FilterGraph) || !platform::LookupClass(CLSID_VTMp4Dec))
        GTEST_SKIP() << "the graph or the MPEG-4 decoder is not registered in this build";
    tavtest::ScratchDir dir;
    const std::string path = dir.File(GetParam().kind == 10 ? "rec.arv" : "rec.img");
    const sim_tav::RecorderOptions o = PictureRecording();
    std::vector<sim_tav::RecordedPacket> packets =
        GetParam().kind == 10 ? sim_tav::WriteTavStream(path, o) : sim_tav::WriteTavDrive(path, o).packets;
    const auto before = tavtest::Checksum(path);

    Filter source;
    ASSERT_EQ(source.created, S_OK);
    ASSERT_EQ(source.Open(GetParam().kind, path), 1); // with audio
    ASSERT_EQ(source.vts->LoadIndex(0, path.c_str()), S_OK);
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               graph.ReleaseAndGetVoidAddress()),
              S_OK);
    ASSERT_EQ(graph->AddFilter(source.base.Get(), nullptr), S_OK);
    std::vector<ComPtr<IBaseFilter>> renderers;
    std::vector<CTagRenderer*> tags;
    for (int ch = 0; ch < 4; ++ch) {
        ComPtr<IBaseFilter> decoder;
        ASSERT_EQ(CoCreateInstance(CLSID_VTMp4Dec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   decoder.ReleaseAndGetVoidAddress()),
                  S_OK);
        HRESULT hr = S_OK;
        auto* renderer = new CTagRenderer(&hr);
        ASSERT_EQ(hr, S_OK);
        ComPtr<IBaseFilter> rbase;
        renderer->NonDelegatingQueryInterface(IID_IBaseFilter, rbase.ReleaseAndGetVoidAddress());
        ASSERT_TRUE(rbase);
        graph->AddFilter(decoder.Get(), nullptr);
        graph->AddFilter(rbase.Get(), nullptr);
        const std::string name = media::VideoPinName(ch);
        ComPtr<IPin> out, in, dout, rin;
        source.base->FindPin(name.c_str(), &out);
        decoder->FindPin("In", &in);
        decoder->FindPin("Out", &dout);
        ComPtr<IEnumPins> pins;
        rbase->EnumPins(&pins);
        pins->Next(1, &rin, nullptr);
        ASSERT_TRUE(out && in && dout && rin) << name;
        ASSERT_EQ(graph->ConnectDirect(out.Get(), in.Get(), nullptr), S_OK) << name;
        ASSERT_EQ(graph->ConnectDirect(dout.Get(), rin.Get(), nullptr), S_OK) << name;
        renderers.push_back(rbase);
        tags.push_back(renderer);
    }
    ComPtr<IMediaControl> control;
    ASSERT_EQ(graph.As(IID_IMediaControl, control), S_OK);
    // Without time stamps the pictures are shown as fast as they are decoded.
    source.vts->SetTimestamps(0);
    ASSERT_EQ(control->Run(), S_OK);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_TRUE(tags[ch]->WaitForTagged(6, 60000)) << ch;
    ASSERT_EQ(control->Stop(), S_OK);

    // The key frames' times in the recording, per channel, in order: every tagged picture is one of them,
    // in that order (a predicted frame repeats its key frame's picture). Blank pictures come from the
    // placeholders a channel gets while another channel's key frame is shown, and stay until its own next
    // key frame.
    for (int ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE(ch);
        std::vector<std::uint32_t> keys;
        for (const auto& p : packets)
            if (p.channel == ch && p.type == 0x81)
                keys.push_back(p.time);
        std::size_t next = 0;
        bool seenTag = false;
        for (const auto& p : tags[ch]->Pictures()) {
            if (!p.tagged)
                continue;
            seenTag = true;
            EXPECT_EQ(p.channel, ch);
            while (next < keys.size() && keys[next] < p.value)
                ++next;
            ASSERT_LT(next, keys.size()) << "a time the channel has no key frame at: " << p.value;
            EXPECT_EQ(keys[next], p.value);
        }
        EXPECT_TRUE(seenTag);
    }
    graph.Reset();
    EXPECT_EQ(tavtest::Checksum(path), before); // playing never writes the evidence
}

INSTANTIATE_TEST_SUITE_P(DriveAndStreamFile, VTSPictures,
                         ::testing::Values(Case{"drive", 8}, Case{"stream", 10}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
