// Pictures per second of the MPEG-4 decoder filter in a harness (a feeding pin pushes TAV video
// samples, a capturing pin takes the RGB32 pictures) against the bare core decoding the same frames
// into one buffer. The ratio filter / core is printed after the runs: the filter's own work (sample
// inspection, trailer, sample handling) and the harness's copies are what separates the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "media/harness.h"
#include "mp4_dec_filter.h"
#include "mpeg4/m4v_split.h"
#include "mpeg4/mpeg4_core.h"
#include "platform/bytes.h"

namespace {

struct Clip {
    const char* file;
    int width, height;
};
constexpr Clip kClips[] = {{"simple_352x240.m4v", 352, 240}, {"interlaced_704x480.m4v", 704, 480}};

std::vector<std::vector<BYTE>> Frames(const Clip& clip) {
    std::ifstream in(std::string(MPEG4_TEST_DATA) + "/" + clip.file, std::ios::binary);
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<BYTE>> frames;
    for (const auto& s : mpeg4::SplitElementaryStream(bytes.data(), bytes.size()))
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(s.offset),
                            bytes.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
    return frames;
}

// The sample the TAV source delivers: header, frame, status record.
std::vector<BYTE> Sample(const std::vector<BYTE>& frame, bool key) {
    std::vector<BYTE> v(64 + frame.size() + 512, 0);
    platform::WriteLE32(&v[0], 0x311F42C1);
    v[19] = key ? 0x81 : 0x82;
    platform::WriteLE32(&v[28], static_cast<std::uint32_t>(frame.size()));
    std::memcpy(&v[64], frame.data(), frame.size());
    return v;
}

std::map<std::string, double> g_rates; // pictures per second by run name

void Record(benchmark::State& state, const std::string& name, std::int64_t pictures, double seconds) {
    state.SetItemsProcessed(pictures);
    state.counters["pictures/s"] =
        benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
    if (seconds > 0)
        g_rates[name] = static_cast<double>(pictures) / seconds;
}

void BM_Core(benchmark::State& state) {
    const Clip& clip = kClips[state.range(0)];
    const auto frames = Frames(clip);
    mpeg4::CMp4Codec* codec = nullptr;
    mpeg4::Create(clip.width, clip.height, &codec);
    std::vector<BYTE> out(static_cast<std::size_t>(clip.width) * clip.height * 4 + 553);
    mpeg4::DecodeParams p;
    p.width = clip.width;
    p.height = clip.height;
    p.output = out.data();
    p.format = mpeg4::kRgb32BottomUp;
    p.stride = clip.width;
    p.deinterlace = clip.height > 288 ? mpeg4::kDeinterlaceBlend : mpeg4::kDeinterlaceNone;
    std::size_t i = 0;
    std::int64_t pictures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        p.data = frames[i].data();
        p.length = static_cast<int32_t>(frames[i].size());
        benchmark::DoNotOptimize(mpeg4::DecodeFrame(codec, p));
        i = (i + 1) % frames.size();
        ++pictures;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    mpeg4::Destroy(codec);
    Record(state, std::string("core ") + clip.file, pictures, took.count());
}

void BM_Filter(benchmark::State& state) {
    const Clip& clip = kClips[state.range(0)];
    const auto frames = Frames(clip);
    std::vector<std::vector<BYTE>> samples;
    for (std::size_t i = 0; i < frames.size(); ++i)
        samples.push_back(Sample(frames[i], i == 0));

    HRESULT hr = S_OK;
    auto* filter = static_cast<CVTMP4DecFilter*>(CVTMP4DecFilter::CreateInstance(nullptr, &hr));
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(filter));
    std::int64_t pictures = 0;
    double seconds = 0;
    {
        media::CFilterHarness h(ref.Get());
        CMediaType in;
        in.SetType(&MEDIATYPE_Stream);
        in.SetSubtype(&MEDIASUBTYPE_VTMp4Video);
        in.SetFormatType(&FORMAT_VideoInfo);
        VIDEOINFOHEADER vih;
        vih.bmiHeader.biWidth = clip.width;
        vih.bmiHeader.biHeight = clip.height;
        vih.bmiHeader.biPlanes = 1;
        in.AllocFormatBuffer(VIDEOINFOHEADER::kSize);
        vih.Write(in.Format());
        ALLOCATOR_PROPERTIES props{1, 256 * 1024, 1, 0};
        if (h.ConnectInput(in, props) != S_OK || h.ConnectOutput() != S_OK || h.Run() != S_OK) {
            state.SkipWithError("the filter did not connect");
            return;
        }
        std::size_t i = 0;
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) {
            const auto& s = samples[i];
            benchmark::DoNotOptimize(h.Push(s.data(), static_cast<LONG>(s.size())));
            h.ClearReceived();
            i = (i + 1) % samples.size();
            ++pictures;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        seconds = took.count();
        h.Stop();
    }
    Record(state, std::string("filter ") + clip.file, pictures, seconds);
}

BENCHMARK(BM_Core)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Filter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const Clip& clip : kClips) {
        auto core = g_rates.find(std::string("core ") + clip.file);
        auto filter = g_rates.find(std::string("filter ") + clip.file);
        if (core == g_rates.end() || filter == g_rates.end())
            continue;
        std::printf("%dx%d: filter %.1f pictures/s, core %.1f pictures/s, filter/core %.3f\n", clip.width,
                    clip.height, filter->second, core->second, filter->second / core->second);
    }
    return 0;
}
