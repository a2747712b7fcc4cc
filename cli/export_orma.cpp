// scryde export of ORMA recordings: the drive-image copy of a range, the status records of its frames as
// text or binary records, the reader's AVI archive, and lossless Matroska or MP4 copies.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/graph_util.h"
#include "cli/orma_open.h"
#include "cli/progress.h"
#include "orma/layout.h"
#include "orma/orma_disk.h"
#include "orma/records.h"
#include "platform/fileio.h"

namespace cli {
namespace {

// The range's two times; the usage failure when one is not a time.
int ParseOrmaRange(const std::string& from, const std::string& to, BYTE* y0, DWORD* t0, BYTE* y1, DWORD* t1) {
    if (!orma::ParseTime(from, y0, t0))
        return Fail(kUsage, "export: \"" + from + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    if (!orma::ParseTime(to, y1, t1))
        return Fail(kUsage, "export: \"" + to + "\" is not a time of the form 20YY/MM/DD hh:mm:ss");
    return kSuccess;
}

// The ORMA drive-image export: the clusters covering the range, copied whole, with the marker sector.
int ExportOrmaImage(const SourceSpec& spec, const std::string& from, const std::string& to,
                    const std::string& out) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (int status = ParseOrmaRange(from, to, &y0, &t0, &y1, &t1))
        return status;
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
    CProgressLine line("Exporting: ");
    WaitShowingProgress(
        [&] {
            orma->ArchiveOrmaFile(nullptr, 0, 0, 0, 0, &progress);
            return progress < 0;
        },
        [&] { return progress; }, line, std::chrono::milliseconds(200));
    line.Finish("done");
    return PrintDigest(out);
}

// The ORMA data exports: the source writes one status record per frame it reads while the range plays
// through a graph of null renderers; the export ends when the position passes the end of the range.
int ExportOrmaData(const SourceSpec& spec, const std::string& from, const std::string& to,
                   const std::string& out, int mode) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (int status = ParseOrmaRange(from, to, &y0, &t0, &y1, &t1))
        return status;
    const long long first = orma::UnixSeconds(y0, t0), last = orma::UnixSeconds(y1, t1);
    if (last < first)
        return Fail(kUsage, "export: the range " + from + " - " + to + " ends before it starts");
    ComPtr<IBaseFilter> source;
    ComPtr<IOrmaSrc> orma;
    std::string message;
    CExportGraph graph;
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
                const long long now = orma::UnixSeconds(year, time);
                if (now > last || (reached > first && now < first))
                    return true;
                reached = std::max(reached, now);
                return false;
            },
            [&] { return last > first ? static_cast<int>((reached - first) * 100 / (last - first)) : 100; });
    }
    orma->ArchiveDataFile(nullptr, 0);
    CloseHandle(file);
    if (error.empty()) {
        std::ifstream in(work, std::ios::binary);
        std::ofstream cut(out, std::ios::binary | std::ios::trunc);
        if (!in || !cut || !orma::CutRecordsToRange(in, cut, mode, y0, t0, y1, t1))
            error = "cannot write \"" + out + "\"";
    }
    std::remove(work.c_str());
    if (!error.empty())
        return Fail(kFailure, "export: " + error);
    return PrintDigest(out);
}

// The reader's archive of an ORMA range.
int ExportOrmaAvi(const SourceSpec& spec, const ExportRequest& r) {
    reader::OpenTarget target;
    target.kind = reader::kKindOrma;
    target.path = spec.path;
    target.drive = spec.asDrive ? (spec.drive > 0 ? spec.drive : AttachFileAsDrive(spec.path)) : 0;
    reader::ArchiveMark start, end;
    if (!orma::ParseTime(r.from, &start.year, &start.time) || !orma::ParseTime(r.to, &end.year, &end.time))
        return Fail(kUsage, "export: times are of the form YYYY/MM/DD hh:mm:ss");
    return ExportArchiveAvi(spec, target, start, end, r);
}

int ExportOrmaLossless(const SourceSpec& spec, const ExportRequest& r) {
    BYTE y0 = 0, y1 = 0;
    DWORD t0 = 0, t1 = 0;
    if (!orma::ParseTime(r.from, &y0, &t0) || !orma::ParseTime(r.to, &y1, &t1))
        return Fail(kUsage, "export: times are of the form 20YY/MM/DD hh:mm:ss");
    orma::COrmaSlotBank bank(true);
    orma::COrmaDisk disk(&bank);
    HRESULT hr = spec.asDrive ? disk.OpenDrive(spec.drive > 0 ? spec.drive : 1, spec.path.c_str(),
                                               common::AccessMode::File)
                              : disk.OpenDisk(0, spec.path.c_str());
    if (FAILED(hr))
        return Fail(kFailure, "export: " + spec.Describe() + ": not a readable ORMA recording");
    return LosslessDone(
        recovery::ExportOrmaLossless(disk, bank, y0, t0, y1, t1, r.channel, r.out, ContainerOf(r.type)), r,
        "pictures");
}

} // namespace

int ExportOrma(const SourceSpec& spec, const ExportRequest& r) {
    if (r.type == "image")
        return ExportOrmaImage(spec, r.from, r.to, r.out);
    if (r.type == "text" || r.type == "binary")
        return ExportOrmaData(spec, r.from, r.to, r.out,
                              r.type == "text" ? orma::kRecordText : orma::kRecordBinary);
    if (r.type == "avi" && !r.direct)
        return ExportOrmaAvi(spec, r);
    if (r.type == "mkv" || r.type == "mp4")
        return ExportOrmaLossless(spec, r);
    return NotExported(spec, r);
}

} // namespace cli
