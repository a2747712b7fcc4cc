// scryde export SOURCE --from TIME --to TIME --out FILE: the source's own exports, with the SHA-256 of what
// was written.
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/command.h"
#include "cli/orma_open.h"
#include "cli/sha256.h"
#include "cli/source_kinds.h"
#include "orma/layout.h"
#include "platform/fileio.h"

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
    (void)channel;
    if (spec->kind == "orma" && kind == "image")
        return ExportOrmaImage(*spec, *from, *to, *out);
    return Fail(kFailure, "export: " + kind + " exports of " + spec->kind + " recordings are not in this build yet");
}

const CommandRegistrar reg({"export", "export a time range: drive image (and, as they land, data files and AVI)",
                            "Usage: scryde export SOURCE --from TIME --to TIME --out FILE [--type image|text|binary|avi]\n"
                            "                     [--channel N]\n"
                            "\n"
                            "Writes the range through the source's own export and prints the SHA-256 of the file.\n"
                            "--type image (the default) copies the clusters that cover the range, whole, into a\n"
                            "drive image (\".orm\") that opens again like the drive. Progress goes to standard error.\n",
                            RunExport});

}  // namespace
}  // namespace cli
