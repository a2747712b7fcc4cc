// scryde play for ORMA recordings: the ORMA source, one Motion-JPEG decoder and one video renderer per
// channel, the audio pin to the audio renderer.
#include <cstdio>

#include "cli/orma_open.h"
#include "cli/play.h"
#include "media/clsids.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "orma/filter/iormasrc.h"
#include "orma/layout.h"

namespace cli {

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
                                std::to_string(count) + ")", false;
        orma->SetPointerSegment(static_cast<UINT>(*o.segment), 0);
    } else if (o.from) {
        BYTE year = 0;
        DWORD time = 0;
        if (!orma::ParseTime(*o.from, &year, &time))
            return r->message = "\"" + *o.from + "\" is not a time of the form 20YY/MM/DD hh:mm:ss", false;
        if (FAILED(orma->SetPointerTime(year, time)))
            return r->message = "cannot position at " + *o.from, false;
    }
    orma->SetPlaybackSpeed(o.reverse ? -o.speed : o.speed);

    // One decoder and one renderer per channel; the audio pin goes to the audio renderer.
    std::array<ComPtr<IBaseFilter>, 16> renderers;
    for (int ch = 0; ch < 16; ++ch) {
        if (!(o.channels & (1u << ch)))
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "Video%02d", ch);
        ComPtr<IBaseFilter> decoder, renderer;
        if (FAILED(hr = Create(CLSID_VTMjpegDec, IID_IBaseFilter, decoder)))
            return r->message = "cannot create the Motion-JPEG decoder (" + HrText(hr) + ")", false;
        if (FAILED(hr = Create(CLSID_VideoRenderer, IID_IBaseFilter, renderer)))
            return r->message = "cannot create the video renderer (" + HrText(hr) + ")", false;
        std::string dn = "MJPEG Decoder " + std::to_string(ch), rn = "Video Renderer " + std::to_string(ch);
        graph->AddFilter(decoder.Get(), dn.c_str());
        graph->AddFilter(renderer.Get(), rn.c_str());
        ComPtr<IPin> out = FindPin(source.Get(), name), in = FindPin(decoder.Get(), "In");
        ComPtr<IPin> dout = FindPin(decoder.Get(), "Out");
        ComPtr<IEnumPins> pins;
        ComPtr<IPin> rin;
        renderer->EnumPins(&pins);
        if (pins)
            pins->Next(1, &rin, nullptr);
        if (!out || !in || !dout || !rin)
            return r->message = std::string("a pin of channel ") + name + " is missing", false;
        if (FAILED(hr = graph->ConnectDirect(out.Get(), in.Get(), nullptr)) ||
            FAILED(hr = graph->ConnectDirect(dout.Get(), rin.Get(), nullptr)))
            return r->message = std::string("cannot connect ") + name + " (" + HrText(hr) + ")", false;
        renderers[ch] = renderer;
    }
    ComPtr<IBaseFilter> audio;
    std::string why;
    if (!ConnectAudioRenderer(graph.Get(), FindPin(source.Get(), "Audio Out").Get(), audio, &why)) {
        if (audio)
            return r->message = why, false;
        std::fprintf(stderr, "scryde: play: %s: playing without sound\n", why.c_str());
    }

    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    graph.As(IID_IMediaControl, control);
    graph.As(IID_IMediaEventEx, events);
    if (!control || !events)
        return r->message = "the graph has no control interfaces", false;

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
        double elapsed = static_cast<double>(OrmaSeconds(year, time) - OrmaSeconds(startYear, startTime));
        return o.reverse ? -elapsed : elapsed;
    };
    RunGraph(control.Get(), events.Get(), renderers, audio.Get(), o, hooks, r,
             [&] { return OrmaPositionTime(orma.Get()); });
    WriteSheet(spec, renderers, o, r);
    return true;
}

}  // namespace cli
