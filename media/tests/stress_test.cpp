// A thousand cycles of run, reposition with flush, pause and stop on a seventeen-pin graph. Each cycle
// must finish within its time-out; a hang fails the test (the watchdog aborts the program) instead of
// blocking the suite. Run under the tsan preset, this also shows the framework's locking is race-free.
// $SCRYDE_STRESS_CYCLES sets another number of cycles, for the long run of scripts/stress-cycles.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "test_filters.h"

using namespace testfilters;

namespace {

constexpr int kPins = 17;
constexpr int kDefaultCycles = 1000;
constexpr auto kCycleTimeout = std::chrono::seconds(30);

ComPtr<IPin> Pin(IBaseFilter* f, const char* name) {
    ComPtr<IPin> p;
    EXPECT_EQ(f->FindPin(name, &p), S_OK) << name;
    return p;
}

int Cycles() {
    const char* text = std::getenv("SCRYDE_STRESS_CYCLES");
    const long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<int>(n) : kDefaultCycles;
}

} // namespace

TEST(Stress, ThousandCyclesOfRunSeekPauseStop) {
    const int cycles = Cycles();
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               graph.ReleaseAndGetVoidAddress()),
              S_OK);
    CTestSource* source = CTestSource::Create(kPins);
    std::vector<CTestTransform*> transforms;
    std::vector<CTestRenderer*> renderers;
    ASSERT_EQ(graph->AddFilter(source, "source"), S_OK);
    for (int i = 0; i < kPins; ++i) {
        transforms.push_back(CTestTransform::Create());
        renderers.push_back(CTestRenderer::Create());
        ASSERT_TRUE(SUCCEEDED(graph->AddFilter(transforms.back(), "transform")));
        ASSERT_TRUE(SUCCEEDED(graph->AddFilter(renderers.back(), "renderer")));
        std::string out = "Out" + std::to_string(i);
        ASSERT_EQ(graph->Connect(Pin(source, out.c_str()).Get(), Pin(transforms.back(), "In").Get()), S_OK);
        ASSERT_EQ(graph->Connect(Pin(transforms.back(), "Out").Get(), Pin(renderers.back(), "In").Get()),
                  S_OK);
    }
    // Each pin paces itself a little, so seventeen streaming threads do not starve the controlling one.
    for (int i = 0; i < kPins; ++i)
        source->Stream(i)->m_fillDelayMs = 1;
    ComPtr<IMediaControl> control;
    ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, control.ReleaseAndGetVoidAddress()), S_OK);

    // The watchdog: a cycle that does not finish in time ends the program with a failure.
    std::atomic<int> cycle{0};
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        int seen = -1;
        auto since = std::chrono::steady_clock::now();
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            int now = cycle.load();
            if (now != seen) {
                seen = now;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since > kCycleTimeout) {
                std::fprintf(stderr, "cycle %d did not finish within its time-out: the graph hangs\n", now);
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    });

    for (int c = 0; c < cycles; ++c) {
        ASSERT_EQ(control->Run(), S_OK) << "cycle " << c;
        // Every branch streams before the reposition.
        for (CTestRenderer* r : renderers) {
            auto start = std::chrono::steady_clock::now();
            while (r->PresentedCount() == 0 && std::chrono::steady_clock::now() - start < kCycleTimeout)
                std::this_thread::yield();
            ASSERT_GT(r->PresentedCount(), 0u) << "cycle " << c;
        }
        ASSERT_EQ(source->SeekAll(c * 100), S_OK) << "cycle " << c;
        ASSERT_EQ(control->Pause(), S_OK) << "cycle " << c;
        ASSERT_EQ(control->Stop(), S_OK) << "cycle " << c;
        for (CTestRenderer* r : renderers)
            r->TakePresented();
        cycle = c + 1;
    }
    done = true;
    watchdog.join();

    graph.Reset();
    source->Release();
    for (auto* t : transforms)
        t->Release();
    for (auto* r : renderers)
        r->Release();
}
