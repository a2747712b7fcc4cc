// Pushes 200 000 small samples through source -> transform -> "Null Renderer" in a real graph and
// reports samples per second: what the framework costs per sample (allocators, pins, thread hand-off).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "test_filters.h"

using namespace testfilters;

namespace {

constexpr LONG kSamples = 200000;

ComPtr<IPin> Pin(IBaseFilter* f, const char* name) {
    ComPtr<IPin> p;
    f->FindPin(name, &p);
    return p;
}

void BM_SourceTransformNullRenderer(benchmark::State& state) {
    double lastRate = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ComPtr<IGraphBuilder> graph;
        ComPtr<IBaseFilter> renderer;
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                    graph.ReleaseAndGetVoidAddress())) ||
            FAILED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    renderer.ReleaseAndGetVoidAddress()))) {
            state.SkipWithError("stock objects are not registered");
            return;
        }
        CTestSource* source = CTestSource::Create(1);
        source->Stream(0)->m_limit = kSamples;
        CTestTransform* transform = CTestTransform::Create();
        graph->AddFilter(source, "source");
        graph->AddFilter(transform, "transform");
        graph->AddFilter(renderer.Get(), "Null Renderer Filter");
        graph->Connect(Pin(source, "Out0").Get(), Pin(transform, "In").Get());
        graph->Connect(Pin(transform, "Out").Get(), Pin(renderer.Get(), "In").Get());
        ComPtr<IMediaControl> control;
        ComPtr<IMediaEventEx> events;
        graph->QueryInterface(IID_IMediaControl, control.ReleaseAndGetVoidAddress());
        graph->QueryInterface(IID_IMediaEventEx, events.ReleaseAndGetVoidAddress());
        state.ResumeTiming();

        auto begin = std::chrono::steady_clock::now();
        control->Run();
        LONG code = 0;
        events->WaitForCompletion(60000, &code);
        auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        lastRate = kSamples / seconds;

        state.PauseTiming();
        control->Stop();
        graph.Reset();
        renderer.Reset();
        source->Release();
        transform->Release();
        state.ResumeTiming();
    }
    state.counters["samples_per_second"] = lastRate;
    std::printf("%ld samples through source -> transform -> null renderer: %.0f samples/s\n",
                static_cast<long>(kSamples), lastRate);
}

BENCHMARK(BM_SourceTransformNullRenderer)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
