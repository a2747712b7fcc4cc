// Every class our plug-ins register, created by class id from the class registry as a program creates
// it, and every filter among them cycled through stopped, paused, running, paused and stopped, twice,
// alone: no pin connected, and the sources with nothing open. A watchdog names the filter and the
// step where a transition does not come back.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "captiva/icaptiva.h"
#include "iormasrc.h"
#include "ivtmp4dec.h"
#include "ivtsource.h"
#include "media/clsids.h"
#include "media/interfaces.h"
#include "platform/registry.h"
#include "tallen/itallen.h"
#include "vtmjpegdec.h"

namespace {

// Headless audio for the audio renderer.
const bool kDummyAudio = [] { return ::setenv("SDL_AUDIODRIVER", "dummy", 0) == 0; }();

// One registered class of ours and what it answers to each state change when it stands alone.
struct Registered {
    const char* plugin; // the module, lib<plugin>.so
    CLSID clsid;
    const char* what;
    bool filter;    // false: a stock object that is not a filter (graph, builder, enumerator)
    HRESULT answer; // Pause, Run, Pause and Stop, each
};

// Alone, every filter takes each state at once: S_OK, and GetState answers the new state, not
// VFW_S_STATE_INTERMEDIATE. That holds for the sources too (file source, ORMA, TAV) with nothing
// open: a source without a file or drive is stopped, paused and run like any other, it only has
// nothing to deliver; the renderers, with no input connected, wait for no first sample.
const Registered kRegistered[] = {
    {"MediaStock", CLSID_FilterGraph, "filter graph", false, S_OK},
    {"MediaStock", CLSID_CaptureGraphBuilder2, "capture graph builder", false, S_OK},
    {"MediaStock", CLSID_SystemDeviceEnum, "device enumerator", false, S_OK},
    {"MediaStock", CLSID_VideoRenderer, "video renderer", true, S_OK},
    {"MediaStock", CLSID_NullRenderer, "null renderer", true, S_OK},
    {"MediaStock", CLSID_DSoundRender, "audio renderer", true, S_OK},
    {"MediaStock", CLSID_AviDest, "AVI multiplexer", true, S_OK},
    {"MediaStock", CLSID_FileWriter, "file writer", true, S_OK},
    {"MediaStock", CLSID_AsyncReader, "file source, no file", true, S_OK},
    {"MediaStock", CLSID_AviSplitter, "AVI splitter", true, S_OK},
    {"MediaStock", CLSID_MJPGEnc, "Motion-JPEG compressor", true, S_OK},
    {"OrmaDisk", CLSID_OrmaSrc, "ORMA source, no drive", true, S_OK},
    {"VTS", CLSID_VTSourceFilter, "TAV source, no drive", true, S_OK},
    {"VTMjpegDec", CLSID_VTMjpegDec, "Motion-JPEG decoder", true, S_OK},
    {"VTMp4Dec", CLSID_VTMp4Dec, "MPEG-4 decoder", true, S_OK},
    {"Tallen", CLSID_Tallen, "double-height filter", true, S_OK},
    {"Captiva", CLSID_FilterCaptiva, "text overlay", true, S_OK},
};

// The tests' own plug-ins, registered in the same build tree.
const std::set<std::string> kTestPlugins = {"ScrydeTestPlugin"};

std::string PluginOf(const platform::ClassEntry& e) {
    std::string file = std::filesystem::path(e.module).filename().string();
    if (file.starts_with("lib"))
        file.erase(0, 3);
    if (file.ends_with(".so"))
        file.erase(file.size() - 3);
    return file;
}

// Ends the program with the step's name when a step is not over within the limit, so a hang names
// the filter instead of waiting for the test's time-out.
class CWatchdog {
public:
    explicit CWatchdog(std::chrono::seconds limit) : m_limit(limit), m_thread([this] { Watch(); }) {}
    ~CWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void Step(const std::string& step) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_step = step;
        ++m_count;
        m_changed.notify_all();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            const unsigned long long seen = m_count;
            if (!m_changed.wait_for(lock, m_limit, [&] { return m_done || m_count != seen; })) {
                std::fprintf(stderr, "no answer within %lld s: %s\n", static_cast<long long>(m_limit.count()),
                             m_step.c_str());
                std::_Exit(EXIT_FAILURE);
            }
        }
    }

    const std::chrono::seconds m_limit;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_step;
    unsigned long long m_count = 0;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace

TEST(PluginStates, EveryRegisteredClassOfOursHasItsRow) {
    std::set<CLSID> listed;
    for (const Registered& r : kRegistered) {
        listed.insert(r.clsid);
        const auto entry = platform::LookupClass(r.clsid);
        ASSERT_TRUE(entry.has_value()) << r.what << " " << platform::GuidToString(r.clsid);
        EXPECT_EQ(PluginOf(*entry), r.plugin) << r.what;
    }
    for (const platform::ClassEntry& e : platform::EnumerateClasses()) {
        if (!kTestPlugins.count(PluginOf(e))) {
            EXPECT_TRUE(listed.count(e.clsid))
                << e.name << " (" << e.module << ") is registered but has no row in kRegistered";
        }
    }
    // An unknown class is not registered.
    ComPtr<IBaseFilter> none;
    const CLSID unknown = {0x0BADC0DE, 0x1234, 0x4321, {0x80, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               none.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
}

TEST(PluginStates, EveryFilterCyclesThroughItsStatesTwice) {
    ASSERT_TRUE(kDummyAudio);
    CWatchdog watchdog(std::chrono::seconds(60));
    for (const Registered& r : kRegistered) {
        SCOPED_TRACE(r.what);
        watchdog.Step(std::string(r.what) + ": create");
        ComPtr<IUnknown> object;
        ASSERT_EQ(CoCreateInstance(r.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   object.ReleaseAndGetVoidAddress()),
                  S_OK);
        ComPtr<IBaseFilter> filter;
        EXPECT_EQ(SUCCEEDED(object.As(IID_IBaseFilter, filter)), r.filter);
        if (!filter)
            continue;
        CLSID clsid;
        EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
        EXPECT_EQ(clsid, r.clsid);
        FILTER_STATE s = State_Running;
        EXPECT_EQ(filter->GetState(0, &s), S_OK);
        EXPECT_EQ(s, State_Stopped);
        for (int pass = 1; pass <= 2; ++pass) {
            const std::string at = std::string(r.what) + ", pass " + std::to_string(pass) + ": ";
            watchdog.Step(at + "pause");
            ASSERT_EQ(filter->Pause(), r.answer) << at;
            EXPECT_EQ(filter->GetState(100, &s), S_OK) << at;
            EXPECT_EQ(s, State_Paused) << at;
            watchdog.Step(at + "run");
            ASSERT_EQ(filter->Run(0), r.answer) << at;
            EXPECT_EQ(filter->GetState(100, &s), S_OK) << at;
            EXPECT_EQ(s, State_Running) << at;
            watchdog.Step(at + "pause again");
            ASSERT_EQ(filter->Pause(), r.answer) << at;
            EXPECT_EQ(filter->GetState(100, &s), S_OK) << at;
            EXPECT_EQ(s, State_Paused) << at;
            watchdog.Step(at + "stop");
            ASSERT_EQ(filter->Stop(), r.answer) << at;
            EXPECT_EQ(filter->GetState(0, &s), S_OK) << at;
            EXPECT_EQ(s, State_Stopped) << at;
        }
        watchdog.Step(std::string(r.what) + ": release");
        filter.Reset();
        object.Reset();
    }
}
