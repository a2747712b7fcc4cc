// The filter graph with small test filters: a seventeen-pin source through transforms to renderers run,
// paused, repositioned and stopped; completion and abort events; frame stepping; GetState while a
// pause is still completing; intelligent connect inserting a registered transform; the text description.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "media/graphtext.h"
#include "platform/registry.h"
#include "test_filters.h"
#include "testsupport/temp.h"

using namespace testfilters;

namespace {

constexpr DWORD kWait = 10000;

ComPtr<IGraphBuilder> NewGraph() {
    ComPtr<IGraphBuilder> g;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  g.ReleaseAndGetVoidAddress());
    EXPECT_EQ(hr, S_OK);
    return g;
}

ComPtr<IPin> Pin(IBaseFilter* f, const char* name) {
    ComPtr<IPin> p;
    EXPECT_EQ(f->FindPin(name, &p), S_OK) << name;
    return p;
}

template <class I> ComPtr<I> Query(IUnknown* u, REFIID iid) {
    ComPtr<I> i;
    EXPECT_EQ(u->QueryInterface(iid, i.ReleaseAndGetVoidAddress()), S_OK);
    return i;
}

// Waits for the next event with `code`, skipping others; false on time-out.
bool WaitEvent(IMediaEventEx* events, LONG code, LONG_PTR* p1 = nullptr, DWORD ms = kWait) {
    for (;;) {
        LONG c;
        LONG_PTR a;
        LONG_PTR b;
        if (events->GetEvent(&c, &a, &b, static_cast<LONG>(ms)) != S_OK)
            return false;
        if (c == code) {
            if (p1)
                *p1 = a;
            return true;
        }
    }
}

// A source of `pins` pins, each through a test transform to a test renderer.
struct ChainGraph {
    ComPtr<IGraphBuilder> graph = NewGraph();
    CTestSource* source;
    std::vector<CTestTransform*> transforms;
    std::vector<CTestRenderer*> renderers;

    explicit ChainGraph(int pins, bool byClock = false) {
        source = CTestSource::Create(pins);
        EXPECT_EQ(graph->AddFilter(source, "source"), S_OK);
        for (int i = 0; i < pins; ++i) {
            transforms.push_back(CTestTransform::Create());
            renderers.push_back(CTestRenderer::Create());
            renderers.back()->m_byClock = byClock;
            EXPECT_TRUE(SUCCEEDED(graph->AddFilter(transforms.back(), "transform")));
            EXPECT_TRUE(SUCCEEDED(graph->AddFilter(renderers.back(), "renderer")));
            std::string out = "Out" + std::to_string(i);
            EXPECT_EQ(graph->Connect(Pin(source, out.c_str()).Get(), Pin(transforms.back(), "In").Get()),
                      S_OK);
            EXPECT_EQ(graph->Connect(Pin(transforms.back(), "Out").Get(), Pin(renderers.back(), "In").Get()),
                      S_OK);
        }
    }
    ~ChainGraph() {
        Query<IMediaControl>(graph.Get(), IID_IMediaControl)->Stop();
        graph.Reset();
        source->Release();
        for (auto* t : transforms)
            t->Release();
        for (auto* r : renderers)
            r->Release();
    }
    bool WaitPresented(std::size_t n) {
        for (auto* r : renderers) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
            while (r->PresentedCount() < n) {
                if (std::chrono::steady_clock::now() > deadline)
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return true;
    }
};

} // namespace

TEST(Graph, SeventeenPinsRunPauseRepositionStop) {
    ChainGraph g(17, true);
    auto control = Query<IMediaControl>(g.graph.Get(), IID_IMediaControl);
    for (int i = 0; i < 17; ++i)
        g.source->Stream(i)->m_fillDelayMs = 1;
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(g.WaitPresented(10));
    ASSERT_EQ(control->Pause(), S_OK);
    OAFilterState state;
    EXPECT_EQ(control->GetState(kWait, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    ASSERT_EQ(control->Run(), S_OK);
    // Reposition while running: everything after the flush comes from the new place, in order.
    ASSERT_EQ(g.source->SeekAll(5000), S_OK);
    for (auto* r : g.renderers)
        r->TakePresented();
    ASSERT_TRUE(g.WaitPresented(5));
    ASSERT_EQ(control->Stop(), S_OK);
    for (auto* r : g.renderers) {
        auto got = r->TakePresented();
        ASSERT_FALSE(got.empty());
        for (std::size_t k = 0; k < got.size(); ++k) {
            ASSERT_GE(got[k].number, 5000);
            ASSERT_EQ(got[k].timeResult, S_OK);
            ASSERT_EQ(got[k].start, got[k].number * kFrame); // times survive the transform
            if (k > 0) {
                ASSERT_EQ(got[k].number, got[k - 1].number + 1);
            }
        }
    }
}

TEST(Graph, EndOfStreamOnEveryBranchCompletesTheGraph) {
    ChainGraph g(3);
    for (int i = 0; i < 3; ++i)
        g.source->Stream(i)->m_limit = 4 + i;
    auto control = Query<IMediaControl>(g.graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(g.graph.Get(), IID_IMediaEventEx);
    OAEVENT handle = 0;
    ASSERT_EQ(events->GetEventHandle(&handle), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(kWait, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(g.renderers[i]->PresentedCount(), static_cast<std::size_t>(4 + i));
    // Completion is reported once, not per renderer.
    LONG c;
    LONG_PTR a;
    LONG_PTR b;
    EXPECT_EQ(events->GetEvent(&c, &a, &b, 50), E_ABORT);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(control->Stop(), S_OK);
}

TEST(Graph, FailingFillAbortsWithItsCode) {
    ChainGraph g(2);
    g.source->Stream(1)->m_failAt = 2;
    g.source->Stream(1)->m_failCode = MakeHResult(0x8007001Fu);
    auto control = Query<IMediaControl>(g.graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(g.graph.Get(), IID_IMediaEventEx);
    OAEVENT handle = 0;
    events->GetEventHandle(&handle);
    ASSERT_EQ(control->Run(), S_OK);
    // The handle is signalled while an event waits.
    ASSERT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), kWait),
              static_cast<DWORD>(WAIT_OBJECT_0));
    LONG_PTR p1 = 0;
    ASSERT_TRUE(WaitEvent(events.Get(), EC_ERRORABORT, &p1));
    EXPECT_EQ(static_cast<HRESULT>(p1), MakeHResult(0x8007001Fu));
    EXPECT_EQ(control->Stop(), S_OK);
}

TEST(Graph, FrameStepPresentsOneFrameAtATime) {
    ChainGraph g(1, true);
    g.renderers[0]->EnableStepping();
    auto control = Query<IMediaControl>(g.graph.Get(), IID_IMediaControl);
    auto step = Query<IVideoFrameStep>(g.graph.Get(), IID_IVideoFrameStep);
    auto events = Query<IMediaEventEx>(g.graph.Get(), IID_IMediaEventEx);
    EXPECT_EQ(step->CanStep(0, nullptr), S_OK);
    ASSERT_EQ(control->Pause(), S_OK);
    OAFilterState state;
    ASSERT_EQ(control->GetState(kWait, &state), S_OK); // the renderer holds its first picture
    EXPECT_EQ(g.renderers[0]->PresentedCount(), 0u);
    for (std::size_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(step->Step(1, nullptr), S_OK);
        ASSERT_TRUE(WaitEvent(events.Get(), EC_STEP_COMPLETE));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(g.renderers[0]->PresentedCount(), n);
    }
    auto got = g.renderers[0]->TakePresented();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].number, 0);
    EXPECT_EQ(got[2].number, 2);
    // Running again plays on from there.
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(g.WaitPresented(5));
    EXPECT_EQ(g.renderers[0]->TakePresented()[0].number, 3);
    ASSERT_EQ(control->Stop(), S_OK);
}

// Steps asked for quickly, each before the last has been presented, add up: none is lost.
TEST(Graph, FrameStepsAskedForTogetherAddUp) {
    ChainGraph g(1, true);
    g.renderers[0]->EnableStepping();
    auto control = Query<IMediaControl>(g.graph.Get(), IID_IMediaControl);
    auto step = Query<IVideoFrameStep>(g.graph.Get(), IID_IVideoFrameStep);
    ASSERT_EQ(control->Pause(), S_OK);
    OAFilterState state;
    ASSERT_EQ(control->GetState(kWait, &state), S_OK);
    for (int n = 0; n < 3; ++n)
        ASSERT_EQ(step->Step(1, nullptr), S_OK);
    ASSERT_TRUE(g.WaitPresented(3));
    auto got = g.renderers[0]->TakePresented();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].number, 2);
    ASSERT_EQ(control->Stop(), S_OK);
}

TEST(Graph, GetStateTimesOutWhileAFilterIsStillPausing) {
    ChainGraph g(1);
    g.source->Stream(0)->m_fillDelayMs = 400; // the first sample is slow to come
    auto control = Query<IMediaControl>(g.graph.Get(), IID_IMediaControl);
    ASSERT_EQ(control->Pause(), S_OK);
    OAFilterState state = State_Stopped;
    EXPECT_EQ(control->GetState(20, &state), VFW_S_STATE_INTERMEDIATE);
    EXPECT_EQ(state, State_Paused);
    EXPECT_EQ(control->GetState(kWait, &state), S_OK);
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
}

TEST(Graph, IntelligentConnectInsertsARegisteredTransform) {
    // A private copy of the class registry with the test transform registered in it.
    namespace fs = std::filesystem;
    std::string original = platform::ClassRegistryPath();
    fs::path copy = testsupport::TempPath("media_graph_test", ".reg");
    fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
    ::setenv("SCRYDE_CLASSES", copy.c_str(), 1);
    platform::ClassEntry e;
    e.clsid = CLSID_TestTransform;
    e.name = "Test Transform";
    e.merit = MERIT_NORMAL;
    const AMOVIESETUP_MEDIATYPE in = {&MEDIATYPE_Video, &MEDIASUBTYPE_TestA};
    const AMOVIESETUP_MEDIATYPE out = {&MEDIATYPE_Video, &MEDIASUBTYPE_TestB};
    const AMOVIESETUP_PIN pins[] = {{"Input", FALSE, FALSE, FALSE, FALSE, nullptr, nullptr, 1, &in},
                                    {"Output", FALSE, TRUE, FALSE, FALSE, nullptr, nullptr, 1, &out}};
    const AMOVIESETUP_FILTER setup = {&CLSID_TestTransform, "Test Transform", MERIT_NORMAL, 2, pins};
    e.pins = media::SetupPinStrings(setup);
    ASSERT_EQ(platform::RegisterClassEntry(e), S_OK);
    platform::RegisterInProcessClass(CLSID_TestTransform, [](IUnknown*, REFIID riid, void** ppv) {
        CTestTransform* t = CTestTransform::Create();
        HRESULT hr = t->NonDelegatingQueryInterface(riid, ppv);
        t->Release();
        return hr;
    });

    {
        ComPtr<IGraphBuilder> graph = NewGraph();
        CTestSource* source = CTestSource::Create(1);
        source->Stream(0)->m_limit = 3;
        CTestRenderer* renderer = CTestRenderer::Create();
        renderer->m_onlySubtype = MEDIASUBTYPE_TestB; // only what the transform makes
        ASSERT_EQ(graph->AddFilter(source, "source"), S_OK);
        ASSERT_EQ(graph->AddFilter(renderer, "renderer"), S_OK);
        ComPtr<IPin> src = Pin(source, "Out0");
        ComPtr<IPin> dst = Pin(renderer, "In");
        EXPECT_EQ(src->Connect(dst.Get(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES); // no direct way
        ASSERT_EQ(graph->Connect(src.Get(), dst.Get()), S_OK);
        ComPtr<IBaseFilter> inserted;
        ASSERT_EQ(graph->FindFilterByName("Test Transform", &inserted), S_OK);
        CLSID clsid;
        inserted->GetClassID(&clsid);
        EXPECT_EQ(clsid, CLSID_TestTransform);

        // The description names the three filters and their connections.
        std::string text = media::DescribeGraph(graph.Get());
        EXPECT_NE(text.find("filter \"Test Transform\""), std::string::npos) << text;
        EXPECT_NE(text.find("\"source\".\"Out0\""), std::string::npos) << text;
        fs::path saved = testsupport::TempPath("media_graph_test", ".grf");
        ASSERT_EQ(media::SaveGraphDescription(graph.Get(), saved.string()), S_OK);
        std::ifstream f(saved);
        std::string first;
        std::getline(f, first);
        EXPECT_EQ(first, "Filter graph");
        fs::remove(saved);
        EXPECT_TRUE(FAILED(media::SaveGraphDescription(graph.Get(), "/nonexistent-dir/x.grf")));

        auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
        auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
        ASSERT_EQ(control->Run(), S_OK);
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(kWait, &code), S_OK);
        EXPECT_EQ(renderer->PresentedCount(), 3u);
        control->Stop();
        graph.Reset();
        source->Release();
        renderer->Release();
    }
    platform::UnregisterInProcessClass(CLSID_TestTransform);
    ::setenv("SCRYDE_CLASSES", original.c_str(), 1);
    fs::remove(copy);
}

TEST(Graph, MembershipNamesAndRemoval) {
    ComPtr<IGraphBuilder> graph = NewGraph();
    CTestRenderer* a = CTestRenderer::Create();
    CTestRenderer* b = CTestRenderer::Create();
    EXPECT_EQ(graph->AddFilter(a, "Video Renderer Filter"), S_OK);
    EXPECT_EQ(graph->AddFilter(b, "Video Renderer Filter"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(graph->AddFilter(b, "again"), VFW_E_DUPLICATE_NAME);
    FILTER_INFO info;
    b->QueryFilterInfo(&info);
    EXPECT_STREQ(info.achName, "Video Renderer Filter 0001");
    info.pGraph->Release();
    IEnumFilters* e = nullptr;
    ASSERT_EQ(graph->EnumFilters(&e), S_OK);
    IBaseFilter* f[3] = {};
    ULONG n = 0;
    EXPECT_EQ(e->Next(3, f, &n), S_FALSE);
    EXPECT_EQ(n, 2u);
    for (ULONG i = 0; i < n; ++i)
        f[i]->Release();
    e->Release();
    EXPECT_EQ(graph->RemoveFilter(a), S_OK);
    EXPECT_EQ(graph->RemoveFilter(a), VFW_E_NOT_FOUND);
    a->QueryFilterInfo(&info);
    EXPECT_EQ(info.pGraph, nullptr);
    graph.Reset();
    a->Release();
    b->Release();
}
