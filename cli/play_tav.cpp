// scryde play for TAV drives, drive images and stream files: the TAV source, one MPEG-4 decoder and one
// video renderer per channel, and the audio renderer when the recording has sound — the graph the
// reader builds.
#include <chrono>
#include <cstdio>

#include "cli/orma_open.h"
#include "cli/play.h"
#include "cli/tav_open.h"
#include "media/clsids.h"
#include "mpeg4/filter/ivtmp4dec.h"
#include "reader/graph_pins.h"
#include "tav/layout.h"

namespace cli {

bool PlayTav(const SourceSpec& spec, const PlayOptions& o, PlayResult* r) {
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = Create(CLSID_FilterGraph, IID_IGraphBuilder, graph);
    if (FAILED(hr))
        return r->message = "cannot create the filter graph (" + HrText(hr) + ")", false;
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    bool hasAudio = false;
    if (!OpenVtsSource(spec, source, vts, &hasAudio, &r->message))
        return false;
    graph->AddFilter(source.Get(), nullptr);

    // Every channel gets its chain, as in the reader; the channel mask decides which show pictures.
    std::array<ComPtr<IBaseFilter>, 16> renderers;
    for (int ch = 0; ch < 16; ++ch) {
        if (!ConnectChannelChain(graph.Get(), source.Get(), ch, CLSID_VTMp4Dec, "MPEG-4 decoder",
                                 renderers[ch], &r->message))
            return false;
    }
    ComPtr<IBaseFilter> audio;
    if (hasAudio && !ConnectAudioRenderer(graph.Get(), reader::FindFreePin(source.Get(), PINDIR_OUTPUT).Get(),
                                          audio, &r->message))
        return false;

    const int direction = o.reverse ? -1 : 1;
    vts->SetPlayback(o.steps ? 1000 : o.speed, direction, 0);
    vts->SetChannelMask(o.channels);
    if (o.audioChannel)
        vts->SetAudioChannel(static_cast<BYTE>(*o.audioChannel));
    DWORD sections = 0;
    vts->GetSectionCount(&sections);
    if (o.segment) {
        if (*o.segment < 0 || static_cast<DWORD>(*o.segment) >= sections)
            return r->message = "there is no section " + std::to_string(*o.segment) + " (the recording has " +
                                std::to_string(sections) + ")",
                   false;
        vts->SelectSection(*o.segment);
    } else if (o.from) {
        DWORD time = 0;
        if (!tav::ParseTime(*o.from, &time))
            return r->message = "\"" + *o.from + "\" is not a time of the form YYYY/MM/DD hh:mm:ss", false;
        if (FAILED(vts->SeekToTime(time)))
            return r->message = "no section of the recording holds " + *o.from, false;
    } else {
        vts->SelectSection(0);
    }
    if (o.reverse && !o.from)
        vts->GoToEnds(1);

    // Frame by frame: the source waits for a step before each packet once its step count is 1.
    long stepsTaken = 0;
    auto lastStep = std::chrono::steady_clock::now();
    if (o.steps) {
        vts->Step(1);
        stepsTaken = 1;
    }
    DWORD startTime = 0;
    PlayHooks hooks;
    hooks.playedSeconds = [&]() -> double {
        DWORD now = VtsPositionSeconds(vts.Get());
        if (!now)
            return -1;
        if (!startTime)
            startTime = now;
        double elapsed = static_cast<double>(now) - static_cast<double>(startTime);
        return o.reverse ? -elapsed : elapsed;
    };
    if (o.steps) {
        hooks.tick = [&] {
            auto now = std::chrono::steady_clock::now();
            if (stepsTaken < o.steps && now - lastStep >= std::chrono::milliseconds(50)) {
                vts->Step(1);
                ++stepsTaken;
                lastStep = now;
            }
        };
        hooks.done = [&] {
            return stepsTaken >= o.steps &&
                   std::chrono::steady_clock::now() - lastStep >= std::chrono::milliseconds(300);
        };
    }
    hooks.position = [&]() -> std::pair<long long, long long> {
        LONG section = 0;
        vts->GetCurrentSection(&section);
        return {section, VtsPositionSeconds(vts.Get())};
    };
    if (!RunGraph(graph.Get(), renderers, audio.Get(), o, hooks, r,
                  [&] { return VtsPositionTime(vts.Get()); }))
        return false;
    WriteSheet(spec, renderers, o, r);
    return true;
}

} // namespace cli
