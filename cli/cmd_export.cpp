// scryde export SOURCE --from TIME --to TIME --out FILE: the source's own exports, with the SHA-256 of what
// was written.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/orma_open.h"
#include "cli/sha256.h"
#include "cli/source_kinds.h"
#include "cli/status_track.h"
#include "cli/tav_open.h"
#include "common/sector.h"
#include "media/clsids.h"
#include "media/pin_names.h"
#include "orma/layout.h"
#include "orma/orma_disk.h"
#include "orma/pins.h"
#include "platform/bytes.h"
#include "platform/drives.h"
#include "platform/fileio.h"
#include "platform/registry.h"
#include "reader/direct_avi.h"
#include "reader/player.h"
#include "recovery/lossless_export.h"
#include "tav/layout.h"

namespace cli {
namespace {

// What this run exports from: the audit line of each file written names it.
AuditEntry& ExportAudit() {
    static AuditEntry entry;
    return entry;
}

// Prints the SHA-256 of what an export wrote, as `sha256sum` does, and logs the file in the audit log.
int PrintDigest(const std::string& out) {
    auto digest = AuditWrittenFile(ExportAudit(), out);
    if (!digest)
        return Fail(kFailure, "export: cannot read back \"" + out + "\"");
    std::printf("%s  %s\n", digest->c_str(), out.c_str());
    return kSuccess;
}

// Shows an export's progress on standard error when it changed.
void ShowProgress(int percent, int* shown) {
    if (percent >= 0 && percent != *shown) {
        std::fprintf(stderr, "\rExporting: %d%%", percent);
        *shown = percent;
    }
}

// A graph of the source and null renderers that carries an export through the source's own reading: the
// renderers take what the pins deliver as fast as it comes, with nothing to decode and no clock to wait for.
class ExportGraph {
public:
    bool Create(IBaseFilter* source, const char* name, std::string* message) {
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      m_graph.ReleaseAndGetVoidAddress());
        if (FAILED(hr))
            return *message = "cannot create the filter graph (" + HrText(hr) + ")", false;
        m_graph->AddFilter(source, name);
        m_graph.As(IID_IMediaControl, m_control);
        m_graph.As(IID_IMediaEventEx, m_events);
        if (!m_control || !m_events)
            return *message = "the graph has no control interfaces", false;
        return true;
    }
    // Connects each pin of `source` to a null renderer of its own: the named ones, or all when none are
    // named.
    bool Connect(IBaseFilter* source, const std::vector<std::string>& names, std::string* message) {
        std::vector<ComPtr<IPin>> pins;
        if (names.empty()) {
            ComPtr<IEnumPins> all;
            ComPtr<IPin> pin;
            if (SUCCEEDED(source->EnumPins(&all)) && all)
                while (all->Next(1, &pin, nullptr) == S_OK)
                    pins.push_back(std::move(pin));
        }
        for (const std::string& name : names) {
            ComPtr<IPin> pin;
            if (FAILED(source->FindPin(name.c_str(), &pin)) || !pin)
                return *message = "the source has no pin \"" + name + "\"", false;
            pins.push_back(std::move(pin));
        }
        for (std::size_t i = 0; i < pins.size(); ++i) {
            ComPtr<IBaseFilter> sink;
            HRESULT hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                          sink.ReleaseAndGetVoidAddress());
            if (FAILED(hr))
                return *message = "cannot create a null renderer (" + HrText(hr) + ")", false;
            m_graph->AddFilter(sink.Get(), ("Null Renderer " + std::to_string(i)).c_str());
            ComPtr<IEnumPins> inputs;
            ComPtr<IPin> in;
            sink->EnumPins(&inputs);
            if (inputs)
                inputs->Next(1, &in, nullptr);
            if (!in || FAILED(hr = m_graph->ConnectDirect(pins[i].Get(), in.Get(), nullptr)))
                return *message = "cannot connect the source's pins (" + HrText(hr) + ")", false;
        }
        return true;
    }
    bool Run(std::string* message) {
        HRESULT hr = m_control->Run();
        if (FAILED(hr))
            return *message = "the graph does not run (" + HrText(hr) + ")", false;
        return true;
    }
    // Runs until the graph completes or fails, or `ended` says the range is done; shows `percent()` as it
    // goes. Stops the graph. Returns what went wrong, empty when nothing did.
    std::string RunToEnd(const std::function<bool()>& ended, const std::function<int()>& percent) {
        std::string error;
        int shown = -1;
        const auto started = std::chrono::steady_clock::now();
        for (bool done = false; !done;) {
            LONG code = 0;
            LONG_PTR p1 = 0, p2 = 0;
            while (m_events->GetEvent(&code, &p1, &p2, 20) == S_OK) {
                m_events->FreeEventParams(code, p1, p2);
                if (code == EC_COMPLETE)
                    done = true;
                else if (code == EC_ERRORABORT || code == EC_USERABORT || code == EC_STREAM_ERROR_STOPPED)
                    done = true,
                    error = "reading stopped by an error (" + HrText(static_cast<HRESULT>(p1)) + ")";
            }
            done = done || ended();
            ShowProgress(percent(), &shown);
            if (!done && std::chrono::steady_clock::now() - started > std::chrono::minutes(30))
                done = true, error = "the export did not finish within 30 minutes";
        }
        m_control->Stop();
        std::fprintf(stderr, "\rExporting: done\n");
        return error;
    }

private:
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaEventEx> m_events;
};

// The ORMA drive-image export: the clusters covering the range, copied whole, with the marker sector.
int ExportOrmaImage(const SourceSpec& spec, const std::string& from, const std::string& to,
                    const std::string& out) {
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

    HANDLE file =
        CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(kFailure,
                    "export: cannot create \"" + out + "\" (error " + std::to_string(GetLastError()) + ")");
    int progress = -1;
    HRESULT hr = orma->ArchiveOrmaFile(file, y0, t0, y1, t1, nullptr);
    if (FAILED(hr)) {
        CloseHandle(file);
        std::remove(out.c_str());
        return Fail(kFailure,
                    "export: the range " + from + " - " + to + " cannot be exported (" + HrText(hr) + ")");
    }
    // The export runs on the source's own thread and closes the file when it ends.
    int shown = -1;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        orma->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress);
        ShowProgress(progress, &shown);
    } while (progress >= 0);
    std::fprintf(stderr, "\rExporting: done\n");
    return PrintDigest(out);
}

// Copies the records of `work` that lie in the range into `out`: the run that starts at the first record
// inside the range and ends before the first record after it that lies outside. Text records are lines
// beginning with the frame time, binary records 44 bytes beginning with the frame time as local time in
// seconds since 1970.
bool CutToRange(const std::string& work, const std::string& out, int mode, BYTE y0, DWORD t0, BYTE y1,
                DWORD t1) {
    std::ifstream in(work, std::ios::binary);
    std::ofstream o(out, std::ios::binary | std::ios::trunc);
    if (!in || !o)
        return false;
    const long long first = OrmaSeconds(y0, t0, mode != 1), last = OrmaSeconds(y1, t1, mode != 1);
    bool inside = false;
    auto keep = [&](long long t, const char* data, std::size_t size) {
        if (t >= first && t <= last) {
            inside = true;
            o.write(data, static_cast<std::streamsize>(size));
            return true;
        }
        return !inside; // before the range: look on; after it: done
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
int ExportOrmaData(const SourceSpec& spec, const std::string& from, const std::string& to,
                   const std::string& out, int mode) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (!orma::ParseTime(from, &y0, &t0))
        return Fail(kUsage, "export: \"" + from + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    if (!orma::ParseTime(to, &y1, &t1))
        return Fail(kUsage, "export: \"" + to + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    const long long first = OrmaSeconds(y0, t0), last = OrmaSeconds(y1, t1);
    if (last < first)
        return Fail(kUsage, "export: the range " + from + " - " + to + " ends before it starts");
    ComPtr<IBaseFilter> source;
    ComPtr<IOrmaSrc> orma;
    std::string message;
    ExportGraph graph;
    if (!OpenOrmaSource(spec, -1, -1, source, orma, &message) ||
        !graph.Create(source.Get(), "ORMA source", &message))
        return Fail(kFailure, "export: " + message);
    orma->SetVideoTimestamp(0);
    if (!graph.Connect(source.Get(), {}, &message))
        return Fail(kFailure, "export: " + message);
    HRESULT hr = orma->SetPointerTime(y0, t0);
    if (FAILED(hr))
        return Fail(kFailure, "export: cannot position at " + from + " (" + HrText(hr) + ")");

    // The source reads ahead of what the loop below sees, so it writes into a working file that is cut to
    // the range afterwards.
    const std::string work = out + ".part";
    HANDLE file =
        CreateFileA(work.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(kFailure,
                    "export: cannot create \"" + work + "\" (error " + std::to_string(GetLastError()) + ")");
    orma->ArchiveDataFile(file, mode);
    std::string error;
    if (graph.Run(&error)) {
        // Playback is circular: it runs on past the newest frame into the oldest, so a time that jumps back
        // before the start of the range also ends the export.
        long long reached = first;
        error = graph.RunToEnd(
            [&] {
                int permille = 0;
                BYTE year = 0;
                DWORD time = 0;
                if (FAILED(orma->GetPointerPosition(&permille, &year, &time)) || !time)
                    return false;
                const long long now = OrmaSeconds(year, time);
                if (now > last || (reached > first && now < first))
                    return true;
                reached = std::max(reached, now);
                return false;
            },
            [&] { return last > first ? static_cast<int>((reached - first) * 100 / (last - first)) : 100; });
    }
    orma->ArchiveDataFile(nullptr, 0);
    CloseHandle(file);
    if (error.empty() && !CutToRange(work, out, mode, y0, t0, y1, t1))
        error = "cannot write \"" + out + "\"";
    std::remove(work.c_str());
    if (!error.empty())
        return Fail(kFailure, "export: " + error);
    return PrintDigest(out);
}

// TAV: marks the range on the source, as the reader does from its two mark buttons. Returns false with
// *message when a time cannot be parsed or is not on the recording.
bool MarkTavRange(IVTSourceFilter* vts, const std::string& from, const std::string& to,
                  std::string* message) {
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
int ExportTavImage(const SourceSpec& spec, const std::string& from, const std::string& to,
                   const std::string& out) {
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
    int shown = -1;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        LONG permille = 0;
        if (!done && SUCCEEDED(vts->GetProgress(&permille, 0)))
            ShowProgress(static_cast<int>(permille / 10), &shown);
    }
    worker.join();
    std::fprintf(stderr, "\rExporting: done\n");
    if (FAILED(hr)) {
        std::remove(out.c_str());
        return Fail(kFailure,
                    "export: the range " + from + " - " + to + " cannot be exported (" + HrText(hr) + ")");
    }
    return PrintDigest(out);
}

// The TAV status-line export: the source's export loop walks the marked range of one channel and writes
// the status line of each of its frames while the frames stream into null renderers; the pins end their
// streams when the range is done.
int ExportTavText(const SourceSpec& spec, const std::string& from, const std::string& to,
                  const std::string& out, int channel, bool digest = true) {
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    bool audio = false;
    std::string message;
    ExportGraph graph;
    if (!OpenVtsSource(spec, source, vts, &audio, &message) || !MarkTavRange(vts.Get(), from, to, &message) ||
        !graph.Create(source.Get(), nullptr, &message))
        return Fail(kFailure, "export: " + message);
    DWORD first = 0, last = 0;
    tav::ParseTime(from, &first);
    tav::ParseTime(to, &last);

    HANDLE file =
        CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(kFailure,
                    "export: cannot create \"" + out + "\" (error " + std::to_string(GetLastError()) + ")");
    vts->SetTextExport(file, 1); // the source owns the handle from here on
    BYTE audioFormat = 0;
    vts->PrepareExport(&audioFormat, static_cast<BYTE>(channel));
    // Only the export channel's pin and the audio pin carry the range; the others stay unconnected.
    const std::string name = media::VideoPinName(channel);
    std::vector<std::string> pins = {name};
    if (audioFormat)
        pins.push_back("Audio PIN");
    std::string error;
    if (graph.Connect(source.Get(), pins, &error) && graph.Run(&error)) {
        int shown = 0;
        error =
            graph.RunToEnd([] { return false; }, // the pins end their streams when the range is done
                           [&] {
                               const DWORD now = VtsPositionSeconds(vts.Get());
                               if (now && last > first)
                                   shown = static_cast<int>(std::clamp<long long>(
                                       (static_cast<long long>(now) - first) * 100 / (last - first), 0, 100));
                               return shown;
                           });
    }
    vts->EndExport(); // closes the file
    if (!error.empty()) {
        std::remove(out.c_str());
        return Fail(kFailure, "export: " + error);
    }
    return digest ? PrintDigest(out) : kSuccess;
}

// GPX or CSV of the status records: the source's own status-line export of the channel into a work
// file beside FILE, taken apart into fields and written as a track or a table.
int ExportTavTrack(const SourceSpec& spec, const std::string& from, const std::string& to,
                   const std::string& out, int channel, bool gpx) {
    const std::string work = out + ".status-lines.tmp";
    if (int status = ExportTavText(spec, from, to, work, channel, false)) {
        std::remove(work.c_str());
        return status;
    }
    std::string text;
    {
        std::ifstream in(work, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(work.c_str());
    const std::vector<StatusRow> rows = ParseStatusLines(text);
    const std::string document =
        gpx ? StatusGpx(rows,
                        spec.Describe() + " channel " + std::to_string(channel + 1) + " " + from + " - " + to)
            : StatusCsv(rows, channel);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(document.data(), static_cast<std::streamsize>(document.size()));
    file.close();
    if (!file)
        return Fail(kFailure, "export: cannot write \"" + out + "\"");
    return PrintDigest(out);
}

// A TAV range of one channel as an AVI file, the recorded MPEG-4 frames and sound copied as they are.
int ExportTavDirectAvi(const SourceSpec& spec, const std::string& from, const std::string& to,
                       const std::string& out, int channel) {
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    bool audio = false;
    std::string message;
    if (!OpenVtsSource(spec, source, vts, &audio, &message) || !MarkTavRange(vts.Get(), from, to, &message))
        return Fail(kFailure, "export: " + message);
    BYTE audioType = 0;
    if (FAILED(vts->PrepareExport(&audioType, static_cast<BYTE>(channel))))
        return Fail(kFailure, "export: cannot get archive info from the recording");
    DWORD fps = 0, width = 0, height = 0, kind = 8;
    vts->GetFrameRate(&fps);
    vts->GetFrameSize(&width, &height);
    DWORD first = 0, last = 0;
    tav::ParseTime(from, &first);
    tav::ParseTime(to, &last);
    int shown = -1;
    const reader::DirectAviFormat format = reader::DirectAviFormatFor(
        static_cast<int>(kind), audioType, static_cast<WORD>(width), static_cast<WORD>(height), fps);
    const std::string error = reader::WriteDirectAvi(
        out, format, [&](BYTE* buffer, DWORD) { return vts->ExportNextPacket(buffer) == S_FALSE; },
        [&](DWORD time) {
            const int now = last > first
                                ? static_cast<int>(std::clamp<long long>(
                                      (static_cast<long long>(time) - first) * 100 / (last - first), 0, 100))
                                : 100;
            if (now != shown)
                std::fprintf(stderr, "\rArchiving CH%02d... %d%%", channel + 1, shown = now);
        });
    if (shown >= 0)
        std::fprintf(stderr, "\n");
    vts->EndExport();
    if (!error.empty())
        return Fail(kFailure, "export: " + error);
    return PrintDigest(out);
}

// The reader's archive run without its window: progress and its texts on standard error.
class CConsoleArchiveUi : public reader::IArchiveUi {
public:
    void Begin(const std::string& text, int range, bool) override {
        m_text = text;
        m_range = std::max(1, range);
        m_shown = -1;
    }
    void SetPosition(int position) override {
        const int percent = static_cast<int>(std::clamp<long long>(position * 100LL / m_range, 0, 100));
        if (percent != m_shown)
            std::fprintf(stderr, "\r%s %d%%", m_text.c_str(), m_shown = percent);
    }
    bool Cancelled() override { return false; }
    void Pump() override {}
    void End() override {
        if (m_shown >= 0)
            std::fprintf(stderr, "\n");
    }

private:
    std::string m_text;
    int m_range = 100, m_shown = -1;
};

// An AVI archive of one channel as the reader makes it: the recording opened as the reader opens it,
// the range marked, and the archive graph (decoder, double-height and text filter when asked, the
// compressor, the multiplexer) run at normal speed.
int ExportArchiveAvi(const SourceSpec& spec, const std::string& from, const std::string& to,
                     const std::string& out, int channel, const reader::ArchiveOptions& options) {
    reader::OpenTarget target;
    target.path = spec.path;
    if (spec.kind == "orma") {
        target.kind = reader::kKindOrma;
        target.drive = spec.asDrive ? (spec.drive > 0 ? spec.drive : AttachFileAsDrive(spec.path)) : 0;
    } else {
        target.kind = reader::kKindTav;
        if (spec.asDrive) {
            target.drive = spec.drive > 0 ? spec.drive : AttachFileAsDrive(spec.path);
            target.path = "\\\\.\\PHYSICALDRIVE" + std::to_string(target.drive);
        } else {
            target.fileCode = spec.kind == "stream" ? 10 : 9;
        }
    }
    if (target.drive < 0)
        return Fail(kFailure, "export: " + spec.Describe() + " cannot be attached as a drive");
    // The reader plays through an audio renderer; a machine without sound archives all the same, with
    // SDL's silent output standing in.
    if (!reader::CPlayerCore::HasAudioDevice())
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    reader::CPlayerCore core;
    if (!core.Open(target))
        return Fail(kFailure, "export: cannot open " + spec.Describe());
    reader::ArchiveMark start, end;
    if (spec.kind == "orma") {
        if (!orma::ParseTime(from, &start.year, &start.time) || !orma::ParseTime(to, &end.year, &end.time))
            return Fail(kUsage, "export: times are of the form YYYY/MM/DD hh:mm:ss");
    } else if (!tav::ParseTime(from, &start.time) || !tav::ParseTime(to, &end.time)) {
        return Fail(kUsage, "export: times are of the form YYYY/MM/DD hh:mm:ss");
    }
    if (!core.SetMarks(start, end))
        return Fail(kFailure, "export: the recording holds no frame at " + from + " or " + to);
    CConsoleArchiveUi ui;
    // On a disc drive each disc's file is read back before its disc leaves the tray.
    bool digestsOk = true;
    core.OnArchiveFileDone(
        [&](const std::string& file) { digestsOk = PrintDigest(file) == kSuccess && digestsOk; });
    if (!core.Archive(channel, out, options, ui)) {
        return Fail(kFailure, "export: the archive of " + spec.Describe() + " failed");
    }
    core.Close();
    const int last = PrintDigest(core.LastArchiveFile());
    return digestsOk ? last : kFailure;
}

// ---- Lossless Matroska / MP4 copies -------------------------------------------------------------------

recovery::Container ContainerOf(const std::string& kind) {
    return kind == "mkv" ? recovery::Container::Matroska : recovery::Container::Mp4;
}

int LosslessDone(const recovery::LosslessResult& r, const std::string& kind, const std::string& out,
                 int channel, const char* what) {
    if (r.soundLeftOut)
        std::fprintf(stderr,
                     "scryde: export: %s files of this build's container library cannot carry PCM sound; "
                     "the sound is left out (--type mkv keeps it)\n",
                     kind.c_str());
    if (!r.ok)
        return Fail(kFailure, "export: " + r.error);
    std::fprintf(stderr, "Exported %zu %s of CH%02d\n", r.frames, what, channel + 1);
    return PrintDigest(out);
}

int ExportTavLossless(const SourceSpec& spec, const std::string& from, const std::string& to,
                      const std::string& out, int channel, const std::string& kind) {
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    bool hasAudio = false;
    std::string message;
    if (!OpenVtsSource(spec, source, vts, &hasAudio, &message) ||
        !MarkTavRange(vts.Get(), from, to, &message))
        return Fail(kFailure, "export: " + message);
    return LosslessDone(recovery::ExportTavLossless(vts.Get(), channel, out, ContainerOf(kind)), kind, out,
                        channel, "frames");
}

int ExportOrmaLossless(const SourceSpec& spec, const std::string& from, const std::string& to,
                       const std::string& out, int channel, const std::string& kind) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (!orma::ParseTime(from, &y0, &t0) || !orma::ParseTime(to, &y1, &t1))
        return Fail(kUsage, "export: times are of the form 20YY/MM/DD hh:mm:ss");
    orma::COrmaSlotBank bank(true);
    orma::COrmaDisk disk(&bank);
    HRESULT hr = spec.asDrive ? disk.OpenDrive(spec.drive > 0 ? spec.drive : 1, spec.path.c_str(),
                                               common::AccessMode::File)
                              : disk.OpenDisk(0, spec.path.c_str());
    if (FAILED(hr))
        return Fail(kFailure, "export: " + spec.Describe() + ": not a readable ORMA recording");
    return LosslessDone(
        recovery::ExportOrmaLossless(disk, bank, y0, t0, y1, t1, channel, out, ContainerOf(kind)), kind, out,
        channel, "pictures");
}

int RunExport(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool bad = false;
    auto from = TakeOption(args, "--from", &bad);
    auto to = TakeOption(args, "--to", &bad);
    auto out = TakeOption(args, "--out", &bad);
    auto type = TakeOption(args, "--type", &bad);
    auto channel = TakeOption(args, "--channel", &bad);
    const bool direct = TakeFlag(args, "--direct");
    const bool fullSize = TakeFlag(args, "--full-size");
    const bool withText = TakeFlag(args, "--text");
    auto encoder = TakeOption(args, "--encoder", &bad);
    auto volumeLimit = TakeOption(args, "--volume-limit", &bad);
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
    ExportAudit().command = "export";
    ExportAudit().source = spec->path;
    ExportAudit().sourceBytes = platform::DeviceSize(spec->path);
    ExportAudit().from = *from;
    ExportAudit().to = *to;
    std::string kind = type ? *type : "image";
    if (kind != "image" && kind != "text" && kind != "binary" && kind != "avi" && kind != "gpx" &&
        kind != "csv" && kind != "mkv" && kind != "mp4")
        return Fail(kUsage, "export: --type is image, text, binary, avi, mkv, mp4, gpx or csv");
    int exportChannel = 0;
    if (channel) {
        char* end = nullptr;
        long c = std::strtol(channel->c_str(), &end, 10);
        if (channel->empty() || *end || c < 1 || c > 16)
            return Fail(kUsage, "export: --channel wants a channel 1 to 16");
        exportChannel = static_cast<int>(c) - 1;
    }
    if (spec->kind == "tav" && (kind == "mkv" || kind == "mp4"))
        return ExportTavLossless(*spec, *from, *to, *out, exportChannel, kind);
    if (spec->kind == "orma" && (kind == "mkv" || kind == "mp4"))
        return ExportOrmaLossless(*spec, *from, *to, *out, exportChannel, kind);
    if (spec->kind == "orma" && kind == "image")
        return ExportOrmaImage(*spec, *from, *to, *out);
    if (spec->kind == "orma" && (kind == "text" || kind == "binary"))
        return ExportOrmaData(*spec, *from, *to, *out, kind == "text" ? 1 : 2);
    if (spec->kind == "tav" && kind == "image")
        return ExportTavImage(*spec, *from, *to, *out);
    if ((spec->kind == "tav" || spec->kind == "stream") && kind == "text")
        return ExportTavText(*spec, *from, *to, *out, exportChannel);
    if ((spec->kind == "tav" || spec->kind == "stream") && kind == "avi" && direct)
        return ExportTavDirectAvi(*spec, *from, *to, *out, exportChannel);
    if (kind == "avi" && !direct) {
        reader::ArchiveOptions options;
        options.fullSize = fullSize;
        options.drawTime = options.drawChannel = withText;
        if (encoder)
            options.encoder = *encoder;
        if (volumeLimit) {
            char* end = nullptr;
            const unsigned long long mb = std::strtoull(volumeLimit->c_str(), &end, 10);
            if (volumeLimit->empty() || *end || mb == 0 || mb > (1ull << 40))
                return Fail(kUsage, "export: --volume-limit wants a size in MB");
            options.volumeLimit = mb << 20;
        }
        // A TAV range with nothing to draw and no doubling would be copied as it is: through the
        // compressor graph it goes when asked for it here.
        options.chooseEncoder = true;
        return ExportArchiveAvi(*spec, *from, *to, *out, exportChannel, options);
    }
    if ((spec->kind == "tav" || spec->kind == "stream") && (kind == "gpx" || kind == "csv"))
        return ExportTavTrack(*spec, *from, *to, *out, exportChannel, kind == "gpx");
    return Fail(kFailure,
                "export: " + kind + " exports of " + spec->kind + " recordings are not in this build yet");
}

const CommandRegistrar
    reg({"export", "export a time range as a drive image, status text, data records, a GPS track or AVI",
         "Usage: scryde export SOURCE --from TIME --to TIME --out FILE\n"
         "                     [--type image|text|binary|gpx|csv|avi|mkv|mp4] [--channel N] [--direct]\n"
         "                     [--full-size] [--text] [--encoder NAME] [--volume-limit MB]\n"
         "\n"
         "Writes the range through the source's own export and prints the SHA-256 of the file.\n"
         "--type image (the default) copies the clusters that cover the range, whole, into a\n"
         "drive image (\".orm\") that opens again like the drive. --type text writes one line per\n"
         "frame (time and status text), --type binary one 44-byte record per frame (time value\n"
         "and 40 bytes of status text). Progress goes to standard error.\n"
         "TAV: --type image writes the marked range as a \".tav\" drive image; --type text writes\n"
         "the status line of every frame of --channel N (default 1) in the range; --type gpx\n"
         "writes those frames' GPS positions as a GPX 1.1 track (time in UTC, decimal degrees,\n"
         "speed in m/s as an extension) and --type csv every status field of every frame, one\n"
         "row each under a header; --type avi --direct writes the range of --channel N as an AVI\n"
         "file of the recorded MPEG-4 frames and sound, copied without re-encoding.\n"
         "--type avi without --direct archives --channel N of either family as the reader does:\n"
         "decoded, doubled in height (--full-size: ORMA fields and 720-wide TAV fields), with the\n"
         "time and channel written in (--text), compressed by the video compressor named by\n"
         "--encoder (default \"MJPEG Compressor\") into an AVI file with the sound; ORMA without\n"
         "--full-size stores the recorded pictures unchanged. --volume-limit MB ends the archive\n"
         "when the file reaches that size (else at the target's free space less 60 MiB).\n"
         "--type mkv|mp4 (ORMA and TAV) copies the range's frames of --channel N unchanged into\n"
         "Matroska or MP4 (Motion-JPEG or MPEG-4 with its layer header), each at its recorded time,\n"
         "the sound as PCM (Matroska only), and the recording's start as the file's creation time.\n"
         "Every file written is recorded in the audit log.\n",
         RunExport});

} // namespace
} // namespace cli
