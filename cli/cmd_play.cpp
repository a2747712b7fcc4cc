// scryde play SOURCE: plays a recording through the real filter graph, headless, and writes a contact
// sheet of the sixteen channels' last pictures.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "cli/command.h"
#include "cli/contact_sheet.h"
#include "cli/json.h"
#include "cli/orma_open.h"
#include "cli/source_kinds.h"
#include "media/clsids.h"
#include "media/interfaces.h"
#include "media/videowindow.h"
#include "mjpeg/filter/vtmjpegdec.h"
#include "orma/filter/iormasrc.h"
#include "orma/layout.h"
#include "platform/registry.h"

namespace cli {
namespace {

struct PlayOptions {
    std::optional<std::string> from;
    std::optional<int> segment;
    long frames = 0;         // stop after this many pictures in all (0: no limit)
    double seconds = 0;      // stop after this much recording time (0: no limit)
    int speed = 1000;        // per mille of normal speed
    bool reverse = false;
    unsigned channels = 0xFFFF;
    std::string outDir = ".";
    double timeLimit = 120;  // wall-clock seconds before giving up
    int model = -1;          // ORMA recorder model; -1 keeps the source's default
    int standard = -1;       // 0 NTSC, 1 PAL; -1 keeps the source's default
};

struct PlayResult {
    std::array<long, 16> framesPerChannel{};
    long audioSamples = 0;
    std::string firstTime, lastTime;
    std::string end = "error";  // "complete", "error", "limit"
    std::string message;
    std::string contactSheet;
};

template <class T>
HRESULT Create(REFCLSID clsid, REFIID iid, ComPtr<T>& out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out.ReleaseAndGetVoidAddress());
}

ComPtr<IPin> FindPin(IBaseFilter* filter, const char* name) {
    ComPtr<IPin> pin;
    filter->FindPin(name, &pin);
    return pin;
}

// Media samples the audio renderer has played (0 without one).
long RenderedAudioSamples(IBaseFilter* audio) {
    ComPtr<IAMAudioRendererStats> stats;
    DWORD samples = 0;
    if (audio && SUCCEEDED(audio->QueryInterface(IID_IAMAudioRendererStats, stats.ReleaseAndGetVoidAddress())))
        stats->GetStatParam(AM_AUDREND_STAT_PARAM_RENDERED, &samples, nullptr);
    return static_cast<long>(samples);
}

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
    if (SUCCEEDED(Create(CLSID_DSoundRender, IID_IBaseFilter, audio))) {
        graph->AddFilter(audio.Get(), "Audio Renderer");
        ComPtr<IEnumPins> pins;
        ComPtr<IPin> ain;
        audio->EnumPins(&pins);
        if (pins)
            pins->Next(1, &ain, nullptr);
        ComPtr<IPin> aout = FindPin(source.Get(), "Audio Out");
        if (!ain || !aout || FAILED(hr = graph->ConnectDirect(aout.Get(), ain.Get(), nullptr)))
            return r->message = "cannot connect the audio pin (" + HrText(hr) + ")", false;
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

    auto started = std::chrono::steady_clock::now();
    if (FAILED(hr = control->Run()))
        return r->message = "the graph does not run (" + HrText(hr) + ")", false;
    r->end.clear();
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
        long total = 0;
        for (auto& rend : renderers) {
            ComPtr<IVideoFrameStore> store;
            LONG n = 0;
            if (rend && SUCCEEDED(rend.As(IID_IVideoFrameStore, store)))
                store->GetFrameCount(&n);
            total += n;
        }
        if (o.frames > 0 && total >= o.frames) {
            r->end = "limit";
            break;
        }
        if (r->firstTime.empty())
            r->firstTime = OrmaPositionTime(orma.Get());
        if (o.seconds > 0) {
            int permille = 0;
            BYTE year = 0;
            DWORD time = 0;
            if (SUCCEEDED(orma->GetPointerPosition(&permille, &year, &time)) && time) {
                if (!startTime)
                    startYear = year, startTime = time;
                double elapsed = static_cast<double>(OrmaSeconds(year, time) - OrmaSeconds(startYear, startTime));
                if ((o.reverse ? -elapsed : elapsed) >= o.seconds) {
                    r->end = "limit";
                    break;
                }
            }
        }
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (wall > o.timeLimit) {
            r->end = "limit";
            r->message = "stopped after the time limit of " + std::to_string(static_cast<int>(o.timeLimit)) + " s";
        }
    }
    r->lastTime = OrmaPositionTime(orma.Get());
    control->Stop();
    r->audioSamples = RenderedAudioSamples(audio.Get());

    ContactSheet sheet;
    sheet.title = spec.Describe() + "  " + r->firstTime + " - " + r->lastTime;
    for (int ch = 0; ch < 16; ++ch) {
        if (!renderers[ch])
            continue;
        ComPtr<IVideoFrameStore> store;
        if (FAILED(renderers[ch].As(IID_IVideoFrameStore, store)))
            continue;
        LONG n = 0;
        store->GetFrameCount(&n);
        r->framesPerChannel[ch] = n;
        sheet.counts[ch] = n;
        media::VideoFrame frame;
        if (store->GetLastFrame(&frame) == S_OK)
            sheet.pictures[ch] = std::move(frame);
    }
    std::string path = o.outDir + "/contact-sheet.png";
    if (WriteContactSheet(path, sheet))
        r->contactSheet = path;
    else if (r->message.empty())
        r->message = "cannot write " + path;
    return true;
}

bool ParseNumber(const std::string& s, double* out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end || v < 0)
        return false;
    *out = v;
    return true;
}

int RunPlay(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool json = TakeFlag(args, "--json");
    PlayOptions o;
    o.reverse = TakeFlag(args, "--reverse");
    bool bad = false;
    o.from = TakeOption(args, "--from", &bad);
    auto segment = TakeOption(args, "--segment", &bad);
    auto frames = TakeOption(args, "--frames", &bad);
    auto seconds = TakeOption(args, "--seconds", &bad);
    auto speed = TakeOption(args, "--speed", &bad);
    auto channels = TakeOption(args, "--channels", &bad);
    auto audioChannel = TakeOption(args, "--audio-channel", &bad);
    auto out = TakeOption(args, "--out", &bad);
    auto limit = TakeOption(args, "--time-limit", &bad);
    auto model = TakeOption(args, "--model", &bad);
    auto video = TakeOption(args, "--video", &bad);
    if (bad)
        return Fail(kUsage, "play: an option is missing its value");
    if (o.from && segment)
        return Fail(kUsage, "play: give --from or --segment, not both");
    if (frames && seconds)
        return Fail(kUsage, "play: give --frames or --seconds, not both");
    double v = 0;
    if (segment) {
        if (!ParseNumber(*segment, &v))
            return Fail(kUsage, "play: --segment wants a segment number");
        o.segment = static_cast<int>(v);
    }
    if (frames) {
        if (!ParseNumber(*frames, &v) || v < 1)
            return Fail(kUsage, "play: --frames wants a number of pictures");
        o.frames = static_cast<long>(v);
    }
    if (seconds && (!ParseNumber(*seconds, &o.seconds) || o.seconds <= 0))
        return Fail(kUsage, "play: --seconds wants a positive number");
    if (speed) {
        if (!ParseNumber(*speed, &v) || v < 1 || v > 64000)
            return Fail(kUsage, "play: --speed wants per mille of normal speed, 1 to 64000");
        o.speed = static_cast<int>(v);
    }
    if (channels) {
        char* end = nullptr;
        unsigned long mask = std::strtoul(channels->c_str(), &end, 0);
        if (channels->empty() || *end || mask == 0 || mask > 0xFFFF)
            return Fail(kUsage, "play: --channels wants a mask of channels 1 to 16, e.g. 0x000F");
        o.channels = static_cast<unsigned>(mask);
    }
    if (limit && (!ParseNumber(*limit, &o.timeLimit) || o.timeLimit <= 0))
        return Fail(kUsage, "play: --time-limit wants a positive number of seconds");
    if (model) {
        if (!ParseNumber(*model, &v))
            return Fail(kUsage, "play: --model wants a recorder model number");
        o.model = static_cast<int>(v);
    }
    if (video) {
        if (*video != "ntsc" && *video != "pal")
            return Fail(kUsage, "play: --video wants ntsc or pal");
        o.standard = *video == "pal" ? 1 : 0;
    }
    if (out)
        o.outDir = *out;
    int status = kSuccess;
    auto spec = TakeSource(args, "play", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "play: unexpected \"" + args.front() + "\"");
    if (audioChannel && spec->kind == "orma")
        std::fprintf(stderr, "scryde: play: --audio-channel does not apply to ORMA recordings (their audio is one track)\n");
    if (spec->kind != "orma")
        return Fail(kFailure, "play: " + spec->kind + " recordings are not playable by this build yet");

    // Headless: audio goes to SDL's dummy driver unless the user chose another.
    ::setenv("SDL_AUDIODRIVER", "dummy", 0);
    PlayResult r;
    if (!PlayOrma(*spec, o, &r))
        return Fail(kFailure, "play: " + r.message);

    if (json) {
        JsonWriter w;
        w.BeginObject().Key("frames_per_channel").BeginArray();
        for (long n : r.framesPerChannel)
            w.Int(n);
        w.EndArray();
        w.Key("audio_samples").Int(r.audioSamples);
        w.Key("first_time").String(r.firstTime);
        w.Key("last_time").String(r.lastTime);
        w.Key("end").String(r.end);
        w.Key("message").String(r.message);
        w.Key("contact_sheet").String(r.contactSheet);
        w.EndObject();
        std::printf("%s\n", w.Text().c_str());
    } else {
        std::printf("Played %s from %s to %s: %s%s%s\n", spec->Describe().c_str(), r.firstTime.c_str(),
                    r.lastTime.c_str(), r.end.c_str(), r.message.empty() ? "" : " - ", r.message.c_str());
        for (int ch = 0; ch < 16; ++ch)
            if (o.channels & (1u << ch))
                std::printf("  channel %2d: %ld pictures\n", ch + 1, r.framesPerChannel[ch]);
        if (!r.contactSheet.empty())
            std::printf("Contact sheet: %s\n", r.contactSheet.c_str());
    }
    return r.end == "error" ? kFailure : kSuccess;
}

const CommandRegistrar reg({"play", "play a recording headless through the real graph; writes a contact sheet",
                            "Usage: scryde play SOURCE [--from TIME | --segment N] [--frames N | --seconds S]\n"
                            "                   [--speed PERMILLE] [--reverse] [--channels MASK] [--out DIR]\n"
                            "                   [--time-limit S] [--model N] [--video ntsc|pal] [--json]\n"
                            "\n"
                            "Builds the reader's playback graph (source, one decoder and one video renderer per\n"
                            "channel, audio to the audio renderer), plays from the start of the recording, a time\n"
                            "or a segment, and stops at the end, after N pictures in all or S seconds of\n"
                            "recording, or after the wall-clock time limit (120 s by default). Writes\n"
                            "DIR/contact-sheet.png with the channels' last pictures. --speed is per mille of\n"
                            "normal speed (2000 plays at 2x); --channels is a mask, bit 0 for channel 1.\n",
                            RunPlay});

}  // namespace
}  // namespace cli
