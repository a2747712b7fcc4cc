// scryde play for ORMA recordings: the ORMA source, one Motion-JPEG decoder and one video renderer per
// channel, the audio pin to the audio renderer.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/orma_open.h"
#include "cli/play.h"
#include "media/clsids.h"
#include "media/videowindow.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "orma/filter/iormasrc.h"
#include "orma/layout.h"

namespace cli {

namespace {

// Pictures the renderers have presented: in all, and the most one renderer has.
struct Shown {
    LONG total = 0;
    LONG most = 0;
};
Shown OrmaPicturesShown(const std::array<ComPtr<IBaseFilter>, 16>& renderers) {
    Shown shown;
    for (const auto& renderer : renderers) {
        ComPtr<IVideoFrameStore> store;
        LONG n = 0;
        if (renderer && SUCCEEDED(renderer.As(IID_IVideoFrameStore, store)))
            store->GetFrameCount(&n);
        shown.total += n;
        shown.most = std::max(shown.most, n);
    }
    return shown;
}

} // namespace

bool PlayOrma(const SourceSpec& spec, const PlayOptions& o, PlayResult* r) {
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = Create(CLSID_FilterGraph, IID_IGraphBuilder, graph);
    if (FAILED(hr))
        return r->message = "cannot create the filter graph (" + HrText(hr) + ")", false;
    ComPtr<IBaseFilter> source;
    ComPtr<IOrmaSrc> orma;
    if (!OpenOrmaSource(spec, o.model, o.standard, source, orma, &r->message))
        return false;
    graph->AddFilter(source.Get(), "ORMA source");
    orma->SetVideoTimestamp(0);

    if (o.segment) {
        UINT count = 0;
        orma->GetSegmentList(nullptr, &count);
        if (*o.segment < 0 || static_cast<UINT>(*o.segment) >= count)
            return r->message = "there is no segment " + std::to_string(*o.segment) + " (the recording has " +
                                std::to_string(count) + ")",
                   false;
        orma->SetPointerSegment(static_cast<UINT>(*o.segment), 0);
    } else if (o.from) {
        BYTE year = 0;
        DWORD time = 0;
        if (!orma::ParseTime(*o.from, &year, &time))
            return r->message = "\"" + *o.from + "\" is not a time of the form 20YY/MM/DD hh:mm:ss", false;
        if (FAILED(orma->SetPointerTime(year, time)))
            return r->message = "cannot position at " + *o.from, false;
    }
    const int speed = o.steps ? 1000 : o.speed;
    orma->SetPlaybackSpeed(o.reverse ? -speed : speed);

    // One decoder and one renderer per channel; the audio pin goes to the audio renderer.
    std::array<ComPtr<IBaseFilter>, 16> renderers;
    for (int ch = 0; ch < 16; ++ch) {
        if (!(o.channels & (1u << ch)))
            continue;
        if (!ConnectChannelChain(graph.Get(), source.Get(), ch, CLSID_VTMjpegDec, "Motion-JPEG decoder",
                                 renderers[ch], &r->message))
            return false;
    }
    ComPtr<IBaseFilter> audio;
    if (!ConnectAudioRenderer(graph.Get(), FindPin(source.Get(), "Audio Out").Get(), audio, &r->message))
        return false;

    r->firstTime = OrmaPositionTime(orma.Get());
    BYTE startYear = 0;
    DWORD startTime = 0;
    if (o.from)
        orma::ParseTime(*o.from, &startYear, &startTime);
    PlayHooks hooks;
    hooks.playedSeconds = [&]() -> double {
        int permille = 0;
        BYTE year = 0;
        DWORD time = 0;
        if (FAILED(orma->GetPointerPosition(&permille, &year, &time)) || !time)
            return -1;
        if (!startTime)
            startYear = year, startTime = time;
        double elapsed =
            static_cast<double>(orma::UnixSeconds(year, time) - orma::UnixSeconds(startYear, startTime));
        return o.reverse ? -elapsed : elapsed;
    };
    hooks.position = [&]() -> std::pair<long long, long long> {
        int segment = 0, permille = 0;
        BYTE year = 0;
        DWORD time = 0;
        orma->GetCurrentSegment(&segment);
        if (FAILED(orma->GetPointerPosition(&permille, &year, &time)) || !time)
            return {segment, 0};
        return {segment, orma::UnixSeconds(year, time)};
    };
    // Frame by frame, as the reader steps an ORMA recording: the graph pauses (each renderer holds its
    // channel's picture) and the video renderers step through the graph's IVideoFrameStep, one picture
    // of each channel a step. The last step is complete once a channel has shown a picture for every
    // step and no picture has come for 300 ms.
    ComPtr<IMediaControl> control;
    ComPtr<IVideoFrameStep> stepper;
    long stepsTaken = 0;
    Shown shown{-1, 0};
    auto lastChange = std::chrono::steady_clock::now();
    auto lastStep = lastChange;
    auto step = [&] {
        if (FAILED(stepper->Step(1, nullptr)))
            return false;
        ++stepsTaken;
        lastStep = std::chrono::steady_clock::now();
        return true;
    };
    if (o.steps) {
        graph->QueryInterface(IID_IMediaControl, control.ReleaseAndGetVoidAddress());
        graph->QueryInterface(IID_IVideoFrameStep, stepper.ReleaseAndGetVoidAddress());
        if (!control || !stepper)
            return r->message = "the graph cannot step frame by frame", false;
        hooks.start = [&]() -> HRESULT {
            HRESULT paused = control->Pause();
            if (FAILED(paused))
                return paused;
            return step() ? S_OK : VFW_E_FRAME_STEP_UNSUPPORTED;
        };
        hooks.tick = [&] {
            const auto now = std::chrono::steady_clock::now();
            const Shown current = OrmaPicturesShown(renderers);
            if (current.total != shown.total)
                shown = current, lastChange = now;
            if (stepsTaken < o.steps && now - lastStep >= std::chrono::milliseconds(50))
                step();
        };
        hooks.done = [&] {
            const auto now = std::chrono::steady_clock::now();
            const auto quiet = std::chrono::milliseconds(300);
            return stepsTaken >= o.steps && shown.most >= o.steps && now - lastStep >= quiet &&
                   now - lastChange >= quiet;
        };
    }
    if (!RunGraph(graph.Get(), renderers, audio.Get(), o, hooks, r,
                  [&] { return OrmaPositionTime(orma.Get()); }))
        return false;
    WriteSheet(spec, renderers, o, r);
    return true;
}

} // namespace cli
