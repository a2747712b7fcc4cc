// The parts of `scryde play` every source family shares: pins, the audio renderer, the run loop with its
// end conditions, and the contact sheet.
#include <chrono>
#include <cstdio>

#include "cli/contact_sheet.h"
#include "cli/orma_open.h"
#include "cli/play.h"
#include "media/clsids.h"
#include "media/pin_names.h"
#include "media/videowindow.h"
#include "reader/graph_pins.h"

namespace cli {

bool ConnectChannelChain(IGraphBuilder* graph, IBaseFilter* source, int channel, REFCLSID decoderClass,
                         const char* decoderName, ComPtr<IBaseFilter>& renderer, std::string* message) {
    const std::string name = media::VideoPinName(channel);
    ComPtr<IBaseFilter> decoder;
    HRESULT hr = Create(decoderClass, IID_IBaseFilter, decoder);
    if (FAILED(hr))
        return *message = std::string("cannot create the ") + decoderName + " (" + HrText(hr) + ")", false;
    if (FAILED(hr = Create(CLSID_VideoRenderer, IID_IBaseFilter, renderer)))
        return *message = "cannot create the video renderer (" + HrText(hr) + ")", false;
    const std::string decoderLabel = std::string(decoderName) + " " + std::to_string(channel);
    graph->AddFilter(decoder.Get(), decoderLabel.c_str());
    graph->AddFilter(renderer.Get(), ("Video Renderer " + std::to_string(channel)).c_str());
    ComPtr<IPin> out = FindPin(source, name.c_str()), in = reader::FindFreePin(decoder.Get(), PINDIR_INPUT);
    if (!out || !in)
        return *message = std::string("a pin of channel ") + name + " is missing", false;
    if (FAILED(hr = graph->ConnectDirect(out.Get(), in.Get(), nullptr)))
        return *message =
                   std::string("cannot connect the ") + decoderName + " to " + name + " (" + HrText(hr) + ")",
               false;
    ComPtr<IPin> dout = reader::FindFreePin(decoder.Get(), PINDIR_OUTPUT),
                 rin = reader::FindFreePin(renderer.Get(), PINDIR_INPUT);
    if (!dout || !rin || FAILED(hr = graph->ConnectDirect(dout.Get(), rin.Get(), nullptr)))
        return *message = std::string("cannot connect the renderer of ") + name + " (" + HrText(hr) + ")",
               false;
    return true;
}

bool ConnectAudioRenderer(IGraphBuilder* graph, IPin* audioOut, ComPtr<IBaseFilter>& audio,
                          std::string* message) {
    HRESULT hr = Create(CLSID_DSoundRender, IID_IBaseFilter, audio);
    if (FAILED(hr)) {
        audio.Reset();
        std::fprintf(stderr, "scryde: play: no audio device (%s): playing without sound\n",
                     HrText(hr).c_str());
        return true;
    }
    graph->AddFilter(audio.Get(), "DirectSound Renderer Filter");
    ComPtr<IPin> in = reader::FindFreePin(audio.Get(), PINDIR_INPUT);
    if (!in || !audioOut || FAILED(hr = graph->ConnectDirect(audioOut, in.Get(), nullptr)))
        return *message = "cannot connect the audio pin (" + HrText(hr) + ")", false;
    return true;
}

namespace {

// Pictures a renderer showed: those decoded from recorded data and the plain ones put up in their place.
void Shown(IBaseFilter* renderer, long* recorded, long* blank) {
    ComPtr<IVideoFrameStore> store;
    LONG all = 0, plain = 0;
    if (renderer &&
        SUCCEEDED(renderer->QueryInterface(IID_IVideoFrameStore, store.ReleaseAndGetVoidAddress()))) {
        store->GetFrameCount(&all);
        store->GetPlainFrameCount(&plain);
    }
    *recorded = all - plain;
    *blank = plain;
}

// Recorded pictures shown on all channels: what --frames counts.
long PicturesShown(const std::array<ComPtr<IBaseFilter>, 16>& renderers) {
    long total = 0;
    for (auto& rend : renderers) {
        long recorded = 0, blank = 0;
        Shown(rend.Get(), &recorded, &blank);
        total += recorded;
    }
    return total;
}

// Media samples the audio renderer has played (0 without one).
long RenderedAudioSamples(IBaseFilter* audio) {
    ComPtr<IAMAudioRendererStats> stats;
    DWORD samples = 0;
    if (audio &&
        SUCCEEDED(audio->QueryInterface(IID_IAMAudioRendererStats, stats.ReleaseAndGetVoidAddress())))
        stats->GetStatParam(AM_AUDREND_STAT_PARAM_RENDERED, &samples, nullptr);
    return static_cast<long>(samples);
}

} // namespace

bool RunGraph(IGraphBuilder* graph, const std::array<ComPtr<IBaseFilter>, 16>& renderers, IBaseFilter* audio,
              const PlayOptions& o, const PlayHooks& hooks, PlayResult* r,
              const std::function<std::string()>& positionTime) {
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    graph->QueryInterface(IID_IMediaControl, control.ReleaseAndGetVoidAddress());
    graph->QueryInterface(IID_IMediaEventEx, events.ReleaseAndGetVoidAddress());
    if (!control || !events)
        return r->message = "the graph has no control interfaces", false;
    auto started = std::chrono::steady_clock::now();
    HRESULT hr = hooks.start ? hooks.start() : control->Run();
    if (FAILED(hr)) {
        r->end = "error";
        r->message = "the graph does not run (" + HrText(hr) + ")";
        control->Stop();
        return true;
    }
    r->end.clear();
    CWrapWatch wrap(o.reverse);
    while (r->end.empty()) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, 10) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE) {
                r->end = "complete";
            } else if (code == EC_ERRORABORT || code == EC_USERABORT || code == EC_STREAM_ERROR_STOPPED) {
                r->end = "error";
                r->message = "playback stopped by an error (" + HrText(static_cast<HRESULT>(p1)) + ")";
            }
            if (!r->end.empty())
                break;
        }
        if (!r->end.empty())
            break;
        if (r->firstTime.empty())
            r->firstTime = positionTime();
        if (hooks.tick)
            hooks.tick();
        if (!o.loop && hooks.position) {
            // The time before the position is judged: the last one seen before going round is where
            // the recording ended.
            std::string now = positionTime();
            if (wrap.GoneRound(hooks.position())) {
                r->end = "complete";
                break;
            }
            r->lastTime = std::move(now);
        }
        if ((o.frames > 0 && PicturesShown(renderers) >= o.frames) || (hooks.done && hooks.done())) {
            r->end = "limit";
            break;
        }
        if (o.seconds > 0 && hooks.playedSeconds && hooks.playedSeconds() >= o.seconds) {
            r->end = "limit";
            break;
        }
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (wall > o.timeLimit) {
            r->end = "limit";
            r->message =
                "stopped after the time limit of " + std::to_string(static_cast<int>(o.timeLimit)) + " s";
        }
    }
    if (r->end != "complete" || r->lastTime.empty())
        r->lastTime = positionTime();
    control->Stop();
    r->audioSamples = RenderedAudioSamples(audio);
    return true;
}

void WriteSheet(const SourceSpec& spec, const std::array<ComPtr<IBaseFilter>, 16>& renderers,
                const PlayOptions& o, PlayResult* r) {
    ContactSheet sheet;
    sheet.title = spec.Describe() + "  " + r->firstTime + " - " + r->lastTime;
    for (int ch = 0; ch < 16; ++ch) {
        if (!renderers[ch])
            continue;
        ComPtr<IVideoFrameStore> store;
        if (FAILED(renderers[ch].As(IID_IVideoFrameStore, store)))
            continue;
        Shown(renderers[ch].Get(), &r->framesPerChannel[ch], &r->blankPerChannel[ch]);
        sheet.counts[ch] = r->framesPerChannel[ch];
        sheet.noRecording[ch] = r->framesPerChannel[ch] == 0;
        media::VideoFrame frame;
        if (store->GetLastFrame(&frame) == S_OK)
            sheet.pictures[ch] = std::move(frame);
    }
    std::string path = o.outDir + "/contact-sheet.png";
    if (WriteContactSheet(path, sheet))
        r->contactSheet = path;
    else
        r->message = "cannot write " + path + (r->message.empty() ? "" : " (" + r->message + ")");
}

bool CWrapWatch::GoneRound(std::pair<long long, long long> position) {
    if (position.second <= 0)
        return false; // no time yet (or a section number in its place)
    const std::pair<long long, long long> key{position.first * m_sign, position.second * m_sign};
    // Back into an earlier segment or section, or more than a second back within one: a step back of a
    // second is the order of packets stamped within one second, not a new round.
    if (m_seen && (key.first < m_furthest.first ||
                   (key.first == m_furthest.first && key.second + 1 < m_furthest.second)))
        return true;
    if (!m_seen || key > m_furthest)
        m_furthest = key;
    m_seen = true;
    return false;
}

} // namespace cli
