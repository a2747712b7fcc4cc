// scryde export SOURCE --from TIME --to TIME --out FILE: the source's own exports, with the SHA-256 of what
// was written.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "cli/command.h"
#include "cli/orma_open.h"
#include "cli/sha256.h"
#include "cli/source_kinds.h"
#include "cli/tav_open.h"
#include "media/clsids.h"
#include "orma/layout.h"
#include "tav/layout.h"
#include "platform/bytes.h"
#include "platform/fileio.h"
#include "platform/registry.h"

namespace cli {
namespace {

// The ORMA drive-image export: the clusters covering the range, copied whole, with the marker sector.
int ExportOrmaImage(const SourceSpec& spec, const std::string& from, const std::string& to, const std::string& out) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (!orma::ParseTime(from, &y0, &t0))
        return Fail(kUsage, "export: \"" + from + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    if (!orma::ParseTime(to, &y1, &t1))
        return Fail(kUsage, "export: \"" + to + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    ComPtr<IBaseFilter> filter;
    ComPtr<IOrmaSrc> orma;
    std::string message;
    if (!OpenOrmaSource(spec, -1, -1, filter, orma, &message))
        return Fail(kFailure, "export: " + message);

    HANDLE file = CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(kFailure, "export: cannot create \"" + out + "\" (error " + std::to_string(GetLastError()) + ")");
    int progress = -1;
    HRESULT hr = orma->ArchiveOrmaFile(file, y0, t0, y1, t1, nullptr);
    if (FAILED(hr)) {
        CloseHandle(file);
        std::remove(out.c_str());
        return Fail(kFailure, "export: the range " + from + " - " + to + " cannot be exported (" + HrText(hr) + ")");
    }
    // The export runs on the source's own thread and closes the file when it ends.
    int last = -2;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        orma->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress);
        if (progress >= 0 && progress != last) {
            std::fprintf(stderr, "\rExporting: %d%%", progress);
            last = progress;
        }
    } while (progress >= 0);
    std::fprintf(stderr, "\rExporting: done\n");
    auto digest = Sha256OfFile(out);
    if (!digest)
        return Fail(kFailure, "export: cannot read back \"" + out + "\"");
    std::printf("%s  %s\n", digest->c_str(), out.c_str());
    return kSuccess;
}

// Connects every output pin of `source` to a null renderer of its own, so the source reads as fast as
// the drive allows: nothing downstream decodes or waits for a clock.
bool ConnectToNullRenderers(IGraphBuilder* graph, IBaseFilter* source, std::string* message) {
    ComPtr<IEnumPins> pins;
    if (FAILED(source->EnumPins(&pins)) || !pins)
        return *message = "the source has no pins", false;
    ComPtr<IPin> pin;
    int n = 0;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        ComPtr<IBaseFilter> sink;
        HRESULT hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      sink.ReleaseAndGetVoidAddress());
        if (FAILED(hr))
            return *message = "cannot create a null renderer (" + HrText(hr) + ")", false;
        std::string name = "Null Renderer " + std::to_string(n++);
        graph->AddFilter(sink.Get(), name.c_str());
        ComPtr<IEnumPins> inputs;
        ComPtr<IPin> in;
        sink->EnumPins(&inputs);
        if (inputs)
            inputs->Next(1, &in, nullptr);
        if (!in || FAILED(hr = graph->ConnectDirect(pin.Get(), in.Get(), nullptr)))
            return *message = "cannot connect the source's pins (" + HrText(hr) + ")", false;
        pin.Reset();
    }
    return true;
}

// Copies the records of `work` that lie in the range into `out`: the run that starts at the first record
// inside the range and ends before the first record after it that lies outside. Text records are lines
// beginning with the frame time, binary records 44 bytes beginning with the packed time value.
// The time value of a binary record is the frame time as local time in seconds since 1970.
long long LocalSeconds(BYTE year, DWORD time) {
    std::tm tm{};
    tm.tm_year = 100 + year;
    tm.tm_mon = orma::Month(time) - 1;
    tm.tm_mday = orma::Day(time);
    tm.tm_hour = orma::Hour(time);
    tm.tm_min = orma::Minute(time);
    tm.tm_sec = orma::Second(time);
    tm.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&tm));
}

bool CutToRange(const std::string& work, const std::string& out, int mode, BYTE y0, DWORD t0, BYTE y1, DWORD t1) {
    std::ifstream in(work, std::ios::binary);
    std::ofstream o(out, std::ios::binary | std::ios::trunc);
    if (!in || !o)
        return false;
    const long long first = mode == 1 ? OrmaSeconds(y0, t0) : LocalSeconds(y0, t0);
    const long long last = mode == 1 ? OrmaSeconds(y1, t1) : LocalSeconds(y1, t1);
    bool inside = false;
    auto keep = [&](long long t, const char* data, std::size_t size) {
        if (t >= first && t <= last) {
            inside = true;
            o.write(data, static_cast<std::streamsize>(size));
            return true;
        }
        return !inside;  // before the range: look on; after it: done
    };
    if (mode == 1) {
        std::string line;
        while (std::getline(in, line)) {
            line += '\n';
            BYTE y = 0;
            DWORD t = 0;
            if (line.size() < 19 || !orma::ParseTime(line.substr(0, 19), &y, &t))
                continue;
            if (!keep(OrmaSeconds(y, t), line.data(), line.size()))
                break;
        }
    } else {
        char record[44];
        while (in.read(record, sizeof record)) {
            const DWORD t = platform::ReadLE32(reinterpret_cast<const BYTE*>(record));
            if (!keep(static_cast<long long>(t), record, sizeof record))
                break;
        }
    }
    return static_cast<bool>(o.flush());
}

// The ORMA data exports: the source writes one status record per frame it reads while the range plays
// through a graph of null renderers; the export ends when the position passes the end of the range.
int ExportOrmaData(const SourceSpec& spec, const std::string& from, const std::string& to, const std::string& out,
                   int mode) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (!orma::ParseTime(from, &y0, &t0))
        return Fail(kUsage, "export: \"" + from + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    if (!orma::ParseTime(to, &y1, &t1))
        return Fail(kUsage, "export: \"" + to + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    const long long first = OrmaSeconds(y0, t0), last = OrmaSeconds(y1, t1);
    if (last < first)
        return Fail(kUsage, "export: the range " + from + " - " + to + " ends before it starts");
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.ReleaseAndGetVoidAddress());
    if (FAILED(hr))
        return Fail(kFailure, "export: cannot create the filter graph (" + HrText(hr) + ")");
    ComPtr<IBaseFilter> source;
    ComPtr<IOrmaSrc> orma;
    std::string message;
    if (!OpenOrmaSource(spec, -1, -1, source, orma, &message))
        return Fail(kFailure, "export: " + message);
    graph->AddFilter(source.Get(), "ORMA source");
    orma->SetVideoTimestamp(0);
    if (!ConnectToNullRenderers(graph.Get(), source.Get(), &message))
        return Fail(kFailure, "export: " + message);
    if (FAILED(hr = orma->SetPointerTime(y0, t0)))
        return Fail(kFailure, "export: cannot position at " + from + " (" + HrText(hr) + ")");
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    graph.As(IID_IMediaControl, control);
    graph.As(IID_IMediaEventEx, events);
    if (!control || !events)
        return Fail(kFailure, "export: the graph has no control interfaces");

    const std::string work = out + ".part";
    HANDLE file = CreateFileA(work.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(kFailure, "export: cannot create \"" + work + "\" (error " + std::to_string(GetLastError()) + ")");
    orma->ArchiveDataFile(file, mode);
    if (FAILED(hr = control->Run())) {
        orma->ArchiveDataFile(nullptr, 0);
        CloseHandle(file);
        std::remove(work.c_str());
        return Fail(kFailure, "export: the graph does not run (" + HrText(hr) + ")");
    }
    // Playback is circular: it runs on past the newest frame into the oldest, so a time that jumps back
    // before the start of the range also ends the export. The source reads ahead of what this loop sees,
    // so it writes into a working file that is cut to the range afterwards.
    std::string error;
    int last_percent = -1;
    long long reached = first;
    for (;;) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        bool ended = false;
        while (events->GetEvent(&code, &p1, &p2, 20) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE)
                ended = true;
            else if (code == EC_ERRORABORT || code == EC_USERABORT || code == EC_STREAM_ERROR_STOPPED)
                ended = true, error = "reading stopped by an error (" + HrText(static_cast<HRESULT>(p1)) + ")";
        }
        int permille = 0;
        BYTE year = 0;
        DWORD time = 0;
        if (SUCCEEDED(orma->GetPointerPosition(&permille, &year, &time)) && time) {
            long long now = OrmaSeconds(year, time);
            if (now > last || (reached > first && now < first))
                ended = true;
            else
                reached = std::max(reached, now);
        }
        int percent = last > first ? static_cast<int>((reached - first) * 100 / (last - first)) : 100;
        if (percent != last_percent) {
            std::fprintf(stderr, "\rExporting: %d%%", percent);
            last_percent = percent;
        }
        if (ended)
            break;
    }
    control->Stop();
    orma->ArchiveDataFile(nullptr, 0);
    CloseHandle(file);
    std::fprintf(stderr, "\rExporting: done\n");
    if (!error.empty()) {
        std::remove(work.c_str());
        return Fail(kFailure, "export: " + error);
    }
    if (!CutToRange(work, out, mode, y0, t0, y1, t1)) {
        std::remove(work.c_str());
        return Fail(kFailure, "export: cannot write \"" + out + "\"");
    }
    std::remove(work.c_str());
    auto digest = Sha256OfFile(out);
    if (!digest)
        return Fail(kFailure, "export: cannot read back \"" + out + "\"");
    std::printf("%s  %s\n", digest->c_str(), out.c_str());
    return kSuccess;
}

// TAV: marks the range on the source, as the reader does from its two mark buttons. Returns false with
// *message when a time cannot be parsed or is not on the recording.
bool MarkTavRange(IVTSourceFilter* vts, const std::string& from, const std::string& to, std::string* message) {
    DWORD t0 = 0, t1 = 0, marked = 0;
    if (!tav::ParseTime(from, &t0))
        return *message = "\"" + from + "\" is not a time of the form YYYY/MM/DD hh:mm:ss", false;
    if (!tav::ParseTime(to, &t1))
        return *message = "\"" + to + "\" is not a time of the form YYYY/MM/DD hh:mm:ss", false;
    if (t1 < t0)
        return *message = "the range " + from + " - " + to + " ends before it starts", false;
    if (FAILED(vts->SeekToTime(t0)) || FAILED(vts->MarkStart(&marked)))
        return *message = "no section of the recording holds " + from, false;
    if (FAILED(vts->SeekToTime(t1)) || FAILED(vts->MarkEnd(&marked)))
        return *message = "no section of the recording holds " + to, false;
    return true;
}

// The TAV drive-image export: the blocks of the marked range with the drive header and trailer copy, in
// the layout that opens again as a ".tav" image.
int ExportTavImage(const SourceSpec& spec, const std::string& from, const std::string& to, const std::string& out) {
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    bool audio = false;
    std::string message;
    if (!OpenVtsSource(spec, source, vts, &audio, &message) || !MarkTavRange(vts.Get(), from, to, &message))
        return Fail(kFailure, "export: " + message);
    std::atomic<bool> done{false};
    HRESULT hr = E_FAIL;
    std::thread worker([&] {
        hr = vts->ExportImage(out.c_str());
        done = true;
    });
    LONG last = -1;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        LONG permille = 0;
        if (!done && SUCCEEDED(vts->GetProgress(&permille, 0)) && permille / 10 != last) {
            last = permille / 10;
            std::fprintf(stderr, "\rExporting: %ld%%", static_cast<long>(last));
        }
    }
    worker.join();
    std::fprintf(stderr, "\rExporting: done\n");
    if (FAILED(hr)) {
        std::remove(out.c_str());
        return Fail(kFailure, "export: the range " + from + " - " + to + " cannot be exported (" + HrText(hr) + ")");
    }
    auto digest = Sha256OfFile(out);
    if (!digest)
        return Fail(kFailure, "export: cannot read back \"" + out + "\"");
    std::printf("%s  %s\n", digest->c_str(), out.c_str());
    return kSuccess;
}

// The TAV status-line export: the source's export loop walks the marked range of one channel and writes
// the status line of each of its frames while the frames stream into null renderers; the pins end their
// streams when the range is done.
int ExportTavText(const SourceSpec& spec, const std::string& from, const std::string& to, const std::string& out,
                  int channel) {
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.ReleaseAndGetVoidAddress());
    if (FAILED(hr))
        return Fail(kFailure, "export: cannot create the filter graph (" + HrText(hr) + ")");
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    bool audio = false;
    std::string message;
    if (!OpenVtsSource(spec, source, vts, &audio, &message) || !MarkTavRange(vts.Get(), from, to, &message))
        return Fail(kFailure, "export: " + message);
    graph->AddFilter(source.Get(), nullptr);
    DWORD first = 0, last = 0;
    tav::ParseTime(from, &first);
    tav::ParseTime(to, &last);

    HANDLE file = CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(kFailure, "export: cannot create \"" + out + "\" (error " + std::to_string(GetLastError()) + ")");
    vts->SetTextExport(file, 1);  // the source owns the handle from here on
    BYTE audioFormat = 0;
    vts->PrepareExport(&audioFormat, static_cast<BYTE>(channel));
    // Only the export channel's pin and the audio pin carry the range; the others stay unconnected.
    char name[16];
    std::snprintf(name, sizeof name, "Video%02d", channel);
    std::vector<std::string> pins = {name};
    if (audioFormat)
        pins.push_back("Audio PIN");
    for (const auto& pinName : pins) {
        ComPtr<IBaseFilter> sink;
        ComPtr<IPin> pin;
        source->FindPin(pinName.c_str(), &pin);
        if (FAILED(hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                         sink.ReleaseAndGetVoidAddress())) ||
            !pin) {
            vts->EndExport();
            return Fail(kFailure, "export: cannot build the export graph (" + HrText(hr) + ")");
        }
        graph->AddFilter(sink.Get(), ("Null Renderer " + pinName).c_str());
        ComPtr<IEnumPins> inputs;
        ComPtr<IPin> in;
        sink->EnumPins(&inputs);
        if (inputs)
            inputs->Next(1, &in, nullptr);
        if (!in || FAILED(hr = graph->ConnectDirect(pin.Get(), in.Get(), nullptr))) {
            vts->EndExport();
            return Fail(kFailure, "export: cannot connect " + pinName + " (" + HrText(hr) + ")");
        }
    }
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    graph.As(IID_IMediaControl, control);
    graph.As(IID_IMediaEventEx, events);
    if (!control || !events || FAILED(hr = control->Run())) {
        vts->EndExport();
        return Fail(kFailure, "export: the graph does not run (" + HrText(hr) + ")");
    }
    std::string error;
    int lastPercent = -1;
    auto started = std::chrono::steady_clock::now();
    for (bool ended = false; !ended;) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, 50) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE)
                ended = true;
            else if (code == EC_ERRORABORT || code == EC_USERABORT || code == EC_STREAM_ERROR_STOPPED)
                ended = true, error = "reading stopped by an error (" + HrText(static_cast<HRESULT>(p1)) + ")";
        }
        DWORD now = VtsPositionSeconds(vts.Get());
        int percent = now && last > first ? static_cast<int>(std::clamp<long long>(
                                                (static_cast<long long>(now) - first) * 100 / (last - first), 0, 100))
                                          : lastPercent;
        if (percent != lastPercent && percent >= 0) {
            std::fprintf(stderr, "\rExporting: %d%%", percent);
            lastPercent = percent;
        }
        if (!ended && std::chrono::steady_clock::now() - started > std::chrono::minutes(30))
            ended = true, error = "the export did not finish within 30 minutes";
    }
    control->Stop();
    vts->EndExport();  // closes the file
    std::fprintf(stderr, "\rExporting: done\n");
    if (!error.empty()) {
        std::remove(out.c_str());
        return Fail(kFailure, "export: " + error);
    }
    auto digest = Sha256OfFile(out);
    if (!digest)
        return Fail(kFailure, "export: cannot read back \"" + out + "\"");
    std::printf("%s  %s\n", digest->c_str(), out.c_str());
    return kSuccess;
}

int RunExport(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool bad = false;
    auto from = TakeOption(args, "--from", &bad);
    auto to = TakeOption(args, "--to", &bad);
    auto out = TakeOption(args, "--out", &bad);
    auto type = TakeOption(args, "--type", &bad);
    auto channel = TakeOption(args, "--channel", &bad);
    if (bad)
        return Fail(kUsage, "export: an option is missing its value");
    if (!from || !to || !out)
        return Fail(kUsage, "export: --from, --to and --out are needed");
    int status = kSuccess;
    auto spec = TakeSource(args, "export", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "export: unexpected \"" + args.front() + "\"");
    std::string kind = type ? *type : "image";
    if (kind != "image" && kind != "text" && kind != "binary" && kind != "avi")
        return Fail(kUsage, "export: --type is image, text, binary or avi");
    int exportChannel = 0;
    if (channel) {
        char* end = nullptr;
        long c = std::strtol(channel->c_str(), &end, 10);
        if (channel->empty() || *end || c < 1 || c > 16)
            return Fail(kUsage, "export: --channel wants a channel 1 to 16");
        exportChannel = static_cast<int>(c) - 1;
    }
    if (spec->kind == "orma" && kind == "image")
        return ExportOrmaImage(*spec, *from, *to, *out);
    if (spec->kind == "orma" && (kind == "text" || kind == "binary"))
        return ExportOrmaData(*spec, *from, *to, *out, kind == "text" ? 1 : 2);
    if (spec->kind == "tav" && kind == "image")
        return ExportTavImage(*spec, *from, *to, *out);
    if ((spec->kind == "tav" || spec->kind == "stream") && kind == "text")
        return ExportTavText(*spec, *from, *to, *out, exportChannel);
    return Fail(kFailure, "export: " + kind + " exports of " + spec->kind + " recordings are not in this build yet");
}

const CommandRegistrar reg({"export", "export a time range: drive image (and, as they land, data files and AVI)",
                            "Usage: scryde export SOURCE --from TIME --to TIME --out FILE [--type image|text|binary|avi]\n"
                            "                     [--channel N]\n"
                            "\n"
                            "Writes the range through the source's own export and prints the SHA-256 of the file.\n"
                            "--type image (the default) copies the clusters that cover the range, whole, into a\n"
                            "drive image (\".orm\") that opens again like the drive. --type text writes one line per\n"
                            "frame (time and status text), --type binary one 44-byte record per frame (time value\n"
                            "and 40 bytes of status text). Progress goes to standard error.\n"
                            "TAV: --type image writes the marked range as a \".tav\" drive image; --type text writes\n"
                            "the status line of every frame of --channel N (default 1) in the range.\n",
                            RunExport});

}  // namespace
}  // namespace cli
