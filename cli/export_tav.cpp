// scryde export of TAV recordings (drives and ".tav" images) and of TAV stream files (".arv"): the
// drive-image copy of a range, the status lines of a channel and the GPS track or table made of them, the
// recorded frames as an AVI file, the reader's AVI archive, and lossless Matroska or MP4 copies.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/graph_util.h"
#include "cli/progress.h"
#include "cli/status_track.h"
#include "cli/tav_open.h"
#include "media/pin_names.h"
#include "platform/fileio.h"
#include "reader/direct_avi.h"
#include "reader/drive_probe.h"
#include "tav/layout.h"

namespace cli {
namespace {

// A TAV source opened with the range marked, as the reader marks it from its two mark buttons, and the
// range's ends in seconds.
struct TavRange {
    ComPtr<IBaseFilter> source;
    ComPtr<IVTSourceFilter> vts;
    DWORD first = 0, last = 0;
    // How far `now` is through the range, 0 to 100.
    int Percent(DWORD now) const {
        return last > first ? static_cast<int>(std::clamp<long long>(
                                  (static_cast<long long>(now) - first) * 100 / (last - first), 0, 100))
                            : 100;
    }
};

// Opens `spec` and marks the range. False with *message when the source does not open, a time cannot be
// parsed or is not on the recording.
bool OpenTavRange(const SourceSpec& spec, const std::string& from, const std::string& to, TavRange* range,
                  std::string* message) {
    bool audio = false;
    if (!OpenVtsSource(spec, range->source, range->vts, &audio, message))
        return false;
    DWORD& t0 = range->first;
    DWORD& t1 = range->last;
    DWORD marked = 0;
    if (!tav::ParseTime(from, &t0))
        return *message = "\"" + from + "\" is not a time of the form YYYY/MM/DD hh:mm:ss", false;
    if (!tav::ParseTime(to, &t1))
        return *message = "\"" + to + "\" is not a time of the form YYYY/MM/DD hh:mm:ss", false;
    if (t1 < t0)
        return *message = "the range " + from + " - " + to + " ends before it starts", false;
    IVTSourceFilter* vts = range->vts.Get();
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
    TavRange range;
    std::string message;
    if (!OpenTavRange(spec, from, to, &range, &message))
        return Fail(kFailure, "export: " + message);
    IVTSourceFilter* vts = range.vts.Get();
    CProgressLine line("Exporting: ");
    HRESULT hr = RunShowingProgress([&] { return vts->ExportImage(out.c_str()); },
                                    [&] {
                                        LONG permille = 0;
                                        return SUCCEEDED(vts->GetProgress(&permille, 0))
                                                   ? static_cast<int>(permille / 10)
                                                   : -1;
                                    },
                                    line, std::chrono::milliseconds(100));
    line.Finish("done");
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
    TavRange range;
    std::string message;
    CExportGraph graph;
    if (!OpenTavRange(spec, from, to, &range, &message) ||
        !graph.Create(range.source.Get(), nullptr, &message))
        return Fail(kFailure, "export: " + message);
    IVTSourceFilter* vts = range.vts.Get();

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
    if (graph.Connect(range.source.Get(), pins, &error) && graph.Run(&error)) {
        int shown = 0;
        error = graph.RunToEnd([] { return false; }, // the pins end their streams when the range is done
                               [&] {
                                   if (const DWORD now = VtsPositionSeconds(vts))
                                       shown = range.Percent(now);
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
    TavRange range;
    std::string message;
    if (!OpenTavRange(spec, from, to, &range, &message))
        return Fail(kFailure, "export: " + message);
    IVTSourceFilter* vts = range.vts.Get();
    BYTE audioType = 0;
    if (FAILED(vts->PrepareExport(&audioType, static_cast<BYTE>(channel))))
        return Fail(kFailure, "export: cannot get archive info from the recording");
    DWORD fps = 0, width = 0, height = 0;
    vts->GetFrameRate(&fps);
    vts->GetFrameSize(&width, &height);
    int shown = -1;
    const reader::DirectAviFormat format = reader::DirectAviFormatFor(
        reader::kKindTav, audioType, static_cast<WORD>(width), static_cast<WORD>(height), fps);
    const std::string error = reader::WriteDirectAvi(
        out, format, [&](BYTE* buffer, DWORD) { return vts->ExportNextPacket(buffer) == S_FALSE; },
        [&](DWORD time) {
            const int now = range.Percent(time);
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

// The reader's archive of a TAV or stream-file range.
int ExportTavAvi(const SourceSpec& spec, const ExportRequest& r) {
    reader::ArchiveMark start, end;
    if (!tav::ParseTime(r.from, &start.time) || !tav::ParseTime(r.to, &end.time))
        return Fail(kUsage, "export: times are of the form YYYY/MM/DD hh:mm:ss");
    return ExportArchiveAvi(spec, TavOpenTarget(spec), start, end, r);
}

int ExportTavLossless(const SourceSpec& spec, const ExportRequest& r) {
    TavRange range;
    std::string message;
    if (!OpenTavRange(spec, r.from, r.to, &range, &message))
        return Fail(kFailure, "export: " + message);
    return LosslessDone(recovery::ExportTavLossless(range.vts.Get(), r.channel, r.out, ContainerOf(r.type)),
                        r, "frames");
}

// What a drive or image and a stream file both export.
int ExportTavCommon(const SourceSpec& spec, const ExportRequest& r) {
    if (r.type == "text")
        return ExportTavText(spec, r.from, r.to, r.out, r.channel);
    if (r.type == "avi")
        return r.direct ? ExportTavDirectAvi(spec, r.from, r.to, r.out, r.channel) : ExportTavAvi(spec, r);
    if (r.type == "gpx" || r.type == "csv")
        return ExportTavTrack(spec, r.from, r.to, r.out, r.channel, r.type == "gpx");
    return NotExported(spec, r);
}

} // namespace

int ExportTav(const SourceSpec& spec, const ExportRequest& r) {
    if (r.type == "image")
        return ExportTavImage(spec, r.from, r.to, r.out);
    if (r.type == "mkv" || r.type == "mp4")
        return ExportTavLossless(spec, r);
    return ExportTavCommon(spec, r);
}

int ExportStream(const SourceSpec& spec, const ExportRequest& r) {
    return ExportTavCommon(spec, r);
}

} // namespace cli
