// The stock objects, created by class id from the class registry (their state cycle is in
// testsupport/tests/plugin_states_test.cpp, with every other plug-in's): the video renderer's frame
// store and window; the audio renderer on SDL's dummy driver; the compressor category; an AVI written through
// "MJPEG Compressor" and the multiplexer, read back by the file source and splitter frame for frame, and
// checked by ffprobe when it is installed.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "media/harness.h"
#include "media/videowindow.h"
#include "platform/registry.h"
#include "test_filters.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

using namespace testfilters;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kWait = 10000;

// Headless audio for every test in this program.
const bool kDummyAudio = [] { return ::setenv("SDL_AUDIODRIVER", "dummy", 0) == 0; }();

template <class I> ComPtr<I> Create(REFCLSID clsid, REFIID iid) {
    ComPtr<I> p;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, p.ReleaseAndGetVoidAddress()), S_OK)
        << platform::GuidToString(clsid);
    return p;
}

template <class I> ComPtr<I> Query(IUnknown* u, REFIID iid) {
    ComPtr<I> i;
    EXPECT_EQ(u->QueryInterface(iid, i.ReleaseAndGetVoidAddress()), S_OK);
    return i;
}

ComPtr<IPin> Pin(IBaseFilter* f, const char* name) {
    ComPtr<IPin> p;
    EXPECT_EQ(f->FindPin(name, &p), S_OK) << name;
    return p;
}

ComPtr<IPin> FreePin(IBaseFilter* f, PIN_DIRECTION dir) {
    IEnumPins* e = nullptr;
    f->EnumPins(&e);
    IPin* p = nullptr;
    ComPtr<IPin> found;
    while (!found && e->Next(1, &p, nullptr) == S_OK) {
        ComPtr<IPin> pin;
        pin.Attach(p);
        PIN_DIRECTION d;
        pin->QueryDirection(&d);
        ComPtr<IPin> peer;
        pin->ConnectedTo(&peer);
        if (d == dir && !peer)
            found = pin;
    }
    e->Release();
    return found;
}

std::string TempPath(const std::string& name) {
    return testsupport::TempPath("media_stock", "_" + name);
}

// Standard output and error of a shell command.
std::string Output(const std::string& cmd) {
    std::string out;
    std::FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    char buf[256];
    while (p && std::fgets(buf, sizeof buf, p))
        out += buf;
    if (p)
        ::pclose(p);
    return out;
}

// Writes `frames` pattern pictures of width × height (through "MJPEG Compressor" when `compress`) and,
// with `audio`, their sound into `file` through the AVI multiplexer, and waits for the graph to end
// with `ending`.
void WriteAvi(const std::string& file, LONG width, LONG height, LONG frames, bool compress, bool audio,
              LONG ending = EC_COMPLETE) {
    auto graph = Create<IGraphBuilder>(CLSID_FilterGraph, IID_IGraphBuilder);
    auto builder = Create<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2);
    ASSERT_EQ(builder->SetFiltergraph(graph.Get()), S_OK);
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    ASSERT_EQ(builder->SetOutputFileName(&MEDIASUBTYPE_Avi, file.c_str(), &mux, &sink), S_OK);
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName("AVI Mux", &found), S_OK);
    EXPECT_EQ(graph->FindFilterByName("File writer", &found), S_OK);
    CPatternSource* src = CPatternSource::Create(width, height, frames, audio);
    ASSERT_EQ(graph->AddFilter(src, "source"), S_OK);
    if (compress) {
        auto compressor = Create<IBaseFilter>(CLSID_MJPGEnc, IID_IBaseFilter);
        ASSERT_EQ(graph->AddFilter(compressor.Get(), "Compressor"), S_OK);
        ASSERT_EQ(graph->Connect(Pin(src, "Video").Get(), FreePin(compressor.Get(), PINDIR_INPUT).Get()),
                  S_OK);
        ASSERT_EQ(graph->Connect(FreePin(compressor.Get(), PINDIR_OUTPUT).Get(),
                                 FreePin(mux.Get(), PINDIR_INPUT).Get()),
                  S_OK);
    } else {
        ASSERT_EQ(graph->Connect(Pin(src, "Video").Get(), FreePin(mux.Get(), PINDIR_INPUT).Get()), S_OK);
    }
    if (audio) {
        ASSERT_EQ(graph->Connect(Pin(src, "Audio").Get(), FreePin(mux.Get(), PINDIR_INPUT).Get()), S_OK);
    }
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(600000, &code), S_OK);
    EXPECT_EQ(code, ending);
    control->Stop();
    graph.Reset();
    src->Release();
}

LONG FrameCount(IBaseFilter* renderer) {
    auto store = Query<IVideoFrameStore>(renderer, IID_IVideoFrameStore);
    LONG n = -1;
    store->GetFrameCount(&n);
    return n;
}

} // namespace

TEST(StockFilters, VideoRendererKeepsFramesAndWindowSettings) {
    auto graph = Create<IGraphBuilder>(CLSID_FilterGraph, IID_IGraphBuilder);
    CPatternSource* src = CPatternSource::Create(16, 8, 6, false);
    auto renderer = Create<IBaseFilter>(CLSID_VideoRenderer, IID_IBaseFilter);
    ASSERT_EQ(graph->AddFilter(src, "source"), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer.Get(), "Video Renderer Filter"), S_OK);
    ASSERT_EQ(graph->Connect(Pin(src, "Video").Get(), FreePin(renderer.Get(), PINDIR_INPUT).Get()), S_OK);

    auto window = Query<IVideoWindow>(renderer.Get(), IID_IVideoWindow);
    EXPECT_EQ(window->put_Owner(1234), S_OK);
    EXPECT_EQ(window->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS), S_OK);
    EXPECT_EQ(window->SetWindowPosition(10, 20, 320, 240), S_OK);
    OAHWND owner = 0;
    LONG l, t, w, h, style, visible;
    window->get_Owner(&owner);
    window->GetWindowPosition(&l, &t, &w, &h);
    window->get_WindowStyle(&style);
    EXPECT_EQ(owner, 1234);
    EXPECT_EQ(l + t + w + h, 10 + 20 + 320 + 240);
    EXPECT_EQ(style, WS_CHILD | WS_CLIPSIBLINGS);
    window->get_Visible(&visible);
    EXPECT_EQ(visible, OAFALSE);

    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(kWait, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(FrameCount(renderer.Get()), 6);
    window->get_Visible(&visible);
    EXPECT_EQ(visible, OATRUE); // auto-show on the first picture

    auto store = Query<IVideoFrameStore>(renderer.Get(), IID_IVideoFrameStore);
    media::VideoFrame last;
    ASSERT_EQ(store->GetLastFrame(&last), S_OK);
    std::vector<BYTE> expected(16 * 8 * 4);
    CPatternStream::Fill(false, 16, 8, 5, expected.data());
    EXPECT_EQ(last.width, 16);
    EXPECT_EQ(last.pixels, expected); // a top-down source stays upright
    LONG plain = -1;
    ASSERT_EQ(store->GetPlainFrameCount(&plain), S_OK);
    EXPECT_EQ(plain, 0); // patterns are pictures, not blank screens
    std::string png = TempPath("last.png");
    ASSERT_EQ(store->WriteLastFrame(png.c_str()), S_OK);
    std::ifstream f(png, std::ios::binary);
    char sig[8] = {};
    f.read(sig, 8);
    EXPECT_EQ(std::string(sig + 1, 3), "PNG");
    fs::remove(png);
    control->Stop();
    graph.Reset();
    src->Release();
}

TEST(StockFilters, PlainFramesAreOneColourThroughout) {
    media::VideoFrame f;
    f.width = 5, f.height = 3;
    f.pixels.assign(5 * 3 * 4, 0);
    for (std::size_t i = 0; i < f.pixels.size(); i += 4)
        f.pixels[i] = 0xFF; // blue
    EXPECT_TRUE(media::IsPlainFrame(f));
    f.pixels[4 * 14 + 3] = 7; // the fourth byte is no colour
    EXPECT_TRUE(media::IsPlainFrame(f));
    f.pixels[4 * 14 + 1] = 1; // the last pixel differs
    EXPECT_FALSE(media::IsPlainFrame(f));
    EXPECT_FALSE(media::IsPlainFrame(media::VideoFrame{}));
}

TEST(StockFilters, AudioRendererPlaysOnTheDummyDeviceWithVolumeAndStats) {
    ASSERT_TRUE(kDummyAudio);
    auto graph = Create<IGraphBuilder>(CLSID_FilterGraph, IID_IGraphBuilder);
    CPatternSource* src = CPatternSource::Create(4, 4, 5, true);
    auto audio = Create<IBaseFilter>(CLSID_DSoundRender, IID_IBaseFilter);
    auto video = Create<IBaseFilter>(CLSID_NullRenderer, IID_IBaseFilter);
    ASSERT_EQ(graph->AddFilter(src, "source"), S_OK);
    ASSERT_EQ(graph->AddFilter(audio.Get(), "DirectSound Renderer Filter"), S_OK);
    ASSERT_EQ(graph->AddFilter(video.Get(), "Null Renderer Filter"), S_OK);
    ASSERT_EQ(graph->Connect(Pin(src, "Audio").Get(), FreePin(audio.Get(), PINDIR_INPUT).Get()), S_OK);
    ASSERT_EQ(graph->Connect(Pin(src, "Video").Get(), FreePin(video.Get(), PINDIR_INPUT).Get()), S_OK);

    auto volume = Query<IBasicAudio>(graph.Get(), IID_IBasicAudio); // the graph forwards to the renderer
    EXPECT_EQ(volume->put_Volume(-10000), S_OK);
    LONG v = 1;
    EXPECT_EQ(volume->get_Volume(&v), S_OK);
    EXPECT_EQ(v, -10000);
    EXPECT_EQ(volume->put_Volume(1), E_INVALIDARG);
    EXPECT_EQ(volume->put_Volume(0), S_OK);

    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(kWait, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    auto stats = Query<IAMAudioRendererStats>(audio.Get(), IID_IAMAudioRendererStats);
    DWORD a = 0;
    DWORD b = 0;
    EXPECT_EQ(stats->GetStatParam(AM_AUDREND_STAT_PARAM_SLAVE_RATE, &a, &b), S_OK);
    EXPECT_EQ(a, 8000u);
    EXPECT_EQ(stats->GetStatParam(AM_AUDREND_STAT_PARAM_LAST_BUFFER_DUR, &a, &b), S_OK);
    EXPECT_EQ(a, 100u); // 800 one-byte samples at 8000 a second
    EXPECT_EQ(stats->GetStatParam(AM_AUDREND_STAT_PARAM_SLAVE_LASTHIGHLOWERROR, &a, &b), S_OK);
    EXPECT_EQ(stats->GetStatParam(99, &a, &b), E_INVALIDARG);
    control->Stop();
    graph.Reset();
    src->Release();
}

TEST(StockFilters, CompressorCategoryListsMjpegCompressor) {
    auto devices = Create<ICreateDevEnum>(CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
    ComPtr<IEnumMoniker> list;
    ASSERT_EQ(devices->CreateClassEnumerator(CLSID_VideoCompressorCategory, &list, 0), S_OK);
    bool found = false;
    IMoniker* m = nullptr;
    while (list->Next(1, &m, nullptr) == S_OK) {
        ComPtr<IMoniker> moniker;
        moniker.Attach(m);
        ComPtr<IPropertyBag> bag;
        ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddress()),
                  S_OK);
        VARIANT name;
        VariantInit(&name);
        ASSERT_EQ(bag->Read("FriendlyName", &name, nullptr), S_OK);
        if (name.bstrVal == "MJPEG Compressor") {
            found = true;
            ComPtr<IBaseFilter> filter;
            ASSERT_EQ(
                moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.ReleaseAndGetVoidAddress()),
                S_OK);
            CLSID clsid;
            filter->GetClassID(&clsid);
            EXPECT_EQ(clsid, CLSID_MJPGEnc);
        }
        VariantClear(&name);
    }
    EXPECT_TRUE(found);
    ComPtr<IEnumMoniker> empty;
    const GUID noCategory = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(devices->CreateClassEnumerator(noCategory, &empty, 0), S_FALSE);
}

TEST(StockFilters, AviWrittenByTheMultiplexerReadsBackFrameForFrame) {
    constexpr LONG kW = 64;
    constexpr LONG kH = 48;
    constexpr LONG kFrames = 10;
    std::string file = TempPath("out.avi");

    // Write: pattern video through "MJPEG Compressor" into the multiplexer, PCM audio straight in.
    WriteAvi(file, kW, kH, kFrames, true, true);
    if (HasFatalFailure())
        return;

    // Read back: file source, splitter, one capturing renderer per stream.
    auto graph = Create<IGraphBuilder>(CLSID_FilterGraph, IID_IGraphBuilder);
    ComPtr<IBaseFilter> source;
    ASSERT_EQ(graph->AddSourceFilter(file.c_str(), "source", &source), S_OK);
    auto splitter = Create<IBaseFilter>(CLSID_AviSplitter, IID_IBaseFilter);
    ASSERT_EQ(graph->AddFilter(splitter.Get(), "AVI splitter"), S_OK);
    ASSERT_EQ(
        graph->Connect(FreePin(source.Get(), PINDIR_OUTPUT).Get(), Pin(splitter.Get(), "input pin").Get()),
        S_OK);
    CTestRenderer* videoOut = CTestRenderer::Create();
    CTestRenderer* audioOut = CTestRenderer::Create();
    videoOut->m_keepData = audioOut->m_keepData = true;
    ASSERT_EQ(graph->AddFilter(videoOut, "video"), S_OK);
    ASSERT_EQ(graph->AddFilter(audioOut, "audio"), S_OK);
    ComPtr<IPin> s0 = Pin(splitter.Get(), "Stream 00");
    ComPtr<IPin> s1 = Pin(splitter.Get(), "Stream 01");
    CMediaType videoType;
    ASSERT_EQ(graph->Connect(s0.Get(), Pin(videoOut, "In").Get()), S_OK);
    ASSERT_EQ(graph->Connect(s1.Get(), Pin(audioOut, "In").Get()), S_OK);
    s0->ConnectionMediaType(&videoType);
    EXPECT_EQ(*videoType.Subtype(), MEDIASUBTYPE_MJPG);
    VIDEOINFOHEADER vih;
    ASSERT_TRUE(GetVideoInfo(videoType, &vih));
    EXPECT_EQ(vih.bmiHeader.biWidth, kW);
    EXPECT_EQ(vih.AvgTimePerFrame, UNITS / 10);

    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(kWait, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    auto video = videoOut->TakePresented();
    auto audio = audioOut->TakePresented();
    ASSERT_EQ(video.size(), static_cast<std::size_t>(kFrames));
    ASSERT_EQ(audio.size(), static_cast<std::size_t>(kFrames));
    tjhandle tj = tjInitDecompress();
    for (LONG i = 0; i < kFrames; ++i) {
        const auto& v = video[static_cast<std::size_t>(i)];
        const auto& a = audio[static_cast<std::size_t>(i)];
        EXPECT_EQ(v.start, i * (UNITS / 10));
        EXPECT_EQ(a.start, i * (UNITS / 10));
        // The audio comes back byte for byte.
        std::vector<BYTE> sound(800);
        CPatternStream::Fill(true, 0, 0, i, sound.data());
        EXPECT_EQ(a.data, sound) << "audio " << i;
        // Each picture decodes to its source frame, within JPEG's loss.
        std::vector<BYTE> picture(kW * kH * 4);
        ASSERT_EQ(tjDecompress2(tj, v.data.data(), static_cast<unsigned long>(v.data.size()), picture.data(),
                                kW, 0, kH, TJPF_BGRX, 0),
                  0)
            << "frame " << i;
        std::vector<BYTE> original(kW * kH * 4);
        CPatternStream::Fill(false, kW, kH, i, original.data());
        long error = 0;
        for (std::size_t k = 0; k < picture.size(); k += 4)
            for (int c = 0; c < 3; ++c)
                error += std::abs(int(picture[k + c]) - int(original[k + c]));
        EXPECT_LT(error / static_cast<long>(kW * kH * 3), 6) << "frame " << i;
    }
    tjDestroy(tj);
    control->Stop();
    graph.Reset();
    videoOut->Release();
    audioOut->Release();

    // ffprobe, when installed, agrees on the streams, the frame count and the duration.
    if (std::system("ffprobe -version > /dev/null 2>&1") == 0) {
        const std::string out =
            Output("ffprobe -v error -show_entries stream=codec_name,nb_frames,width,height,"
                   "sample_rate -show_entries format=duration -of default=noprint_wrappers=1 '" +
                   file + "'");
        EXPECT_NE(out.find("codec_name=mjpeg"), std::string::npos) << out;
        EXPECT_NE(out.find("nb_frames=10"), std::string::npos) << out;
        EXPECT_NE(out.find("width=64"), std::string::npos) << out;
        EXPECT_NE(out.find("codec_name=pcm_u8"), std::string::npos) << out;
        EXPECT_NE(out.find("sample_rate=8000"), std::string::npos) << out;
        EXPECT_NE(out.find("duration=1.0"), std::string::npos) << out;
    } else {
        std::printf("ffprobe not installed: stream check skipped\n");
    }
    fs::remove(file);
}

// A long archive goes on in OpenDML RIFFs: with the RIFF limit made small, 300 pictures and their
// sound span many RIFFs, and FFmpeg reads every packet of both streams from their standard indexes
// and decodes them without an error. The first RIFF keeps a legacy index of its own chunks.
TEST(StockFilters, AviPastOneRiffGoesOnInOpenDmlRiffs) {
    if (std::system("ffprobe -version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffprobe not installed";
    constexpr LONG kFrames = 300;
    const std::string file = TempPath("long.avi");
    ::setenv("SCRYDE_AVI_RIFF_LIMIT", "65536", 1);
    WriteAvi(file, 64, 48, kFrames, true, true);
    ::unsetenv("SCRYDE_AVI_RIFF_LIMIT");
    if (HasFatalFailure())
        return;
    const std::string bytes = testsupport::ReadFileText(file);
    std::size_t riffs = 0;
    for (std::size_t at = bytes.find("AVIX"); at != std::string::npos; at = bytes.find("AVIX", at + 4))
        ++riffs;
    EXPECT_GE(riffs, 5u);
    EXPECT_NE(bytes.find("dmlh"), std::string::npos);
    EXPECT_EQ(
        Output(
            "ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets -of csv=p=0 '" +
            file + "'"),
        "mjpeg,300\npcm_u8,300\n");
    EXPECT_EQ(Output("ffmpeg -v error -xerror -i '" + file + "' -f null -"), "");
    fs::remove(file);
}

// A file whose super index has no room for another RIFF takes no further sample: the write fails and
// the graph hears of it (no silent loss), and what was taken reads back whole. 2,700 pictures of
// 12 KiB at five a RIFF need more than the 512 RIFFs a super index lists.
TEST(StockFilters, AviWithoutRoomForAnotherRiffFailsTheWrite) {
    if (std::system("ffprobe -version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffprobe not installed";
    const std::string file = TempPath("full.avi");
    ::setenv("SCRYDE_AVI_RIFF_LIMIT", "65536", 1);
    WriteAvi(file, 64, 48, 2700, false, false, EC_ERRORABORT);
    ::unsetenv("SCRYDE_AVI_RIFF_LIMIT");
    if (HasFatalFailure())
        return;
    const int packets = std::atoi(
        Output("ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + file +
               "'")
            .c_str());
    EXPECT_GT(packets, 2000);
    EXPECT_LT(packets, 2700);
    EXPECT_EQ(Output("ffmpeg -v error -xerror -i '" + file + "' -c copy -f null -"), "");
    fs::remove(file);
}

// Past 2 GiB for real: 1,300 uncompressed 720 × 576 pictures (2.16 GB) at the usual RIFF limit.
// FFmpeg reads the last picture's packet. The file is deleted afterwards.
TEST(StockFilters, AviOverTwoGibReadsToItsLastFrame) {
    if (std::system("ffprobe -version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffprobe not installed";
    constexpr LONG kFrames = 1300;
    const std::string file = TempPath("big.avi");
    WriteAvi(file, 720, 576, kFrames, false, false);
    if (HasFatalFailure())
        return;
    EXPECT_GT(fs::file_size(file), 1ull << 31);
    const std::string out = Output(
        "ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + file + "'");
    EXPECT_EQ(out, "1300\n");
    fs::remove(file);
}

TEST(StockFilters, AudioRendererFollowsAFormatCarriedByASample) {
    ASSERT_TRUE(kDummyAudio);
    auto audio = Create<IBaseFilter>(CLSID_DSoundRender, IID_IBaseFilter);
    media::CFilterHarness h(audio.Get());
    auto pcm = [](DWORD rate) {
        CMediaType mt;
        WAVEFORMATEX w;
        w.wFormatTag = WAVE_FORMAT_PCM;
        w.nChannels = 2;
        w.nSamplesPerSec = rate;
        w.nAvgBytesPerSec = rate * 2;
        w.nBlockAlign = 2;
        w.wBitsPerSample = 8;
        mt.SetType(&MEDIATYPE_Audio);
        mt.SetSubtype(&MEDIASUBTYPE_PCM);
        SetWaveFormat(mt, w);
        mt.SetSampleSize(2);
        return mt;
    };
    ASSERT_EQ(h.ConnectInput(pcm(8820), ALLOCATOR_PROPERTIES{1, 4096, 1, 0}), S_OK);
    ASSERT_EQ(h.Run(), S_OK);
    auto stats = Query<IAMAudioRendererStats>(audio.Get(), IID_IAMAudioRendererStats);
    DWORD rate = 0;
    std::vector<BYTE> silence(1764, 0x80);
    ASSERT_EQ(h.Push(silence.data(), static_cast<LONG>(silence.size())), S_OK);
    stats->GetStatParam(AM_AUDREND_STAT_PARAM_SLAVE_RATE, &rate, nullptr);
    EXPECT_EQ(rate, 8820u);
    // A slower playback speed: the next sample carries 2940 samples a second.
    CMediaType slower = pcm(2940);
    ASSERT_EQ(h.Push(silence.data(), 588, nullptr, nullptr, true, true, &slower), S_OK);
    stats->GetStatParam(AM_AUDREND_STAT_PARAM_SLAVE_RATE, &rate, nullptr);
    EXPECT_EQ(rate, 2940u);
    EXPECT_EQ(stats->GetStatParam(AM_AUDREND_STAT_PARAM_LAST_BUFFER_DUR, &rate, nullptr), S_OK);
    EXPECT_EQ(rate, 100u); // 588 bytes of 8-bit stereo at 2940 a second
    h.Stop();
}
