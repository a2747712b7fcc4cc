// scryde info SOURCE: the layout of a recording (geometry, segments or sections, alarms or events).
#include <cstdio>

#include "cli/command.h"
#include "cli/source_kinds.h"
#include "platform/disk_image.h"

namespace cli {
namespace {

// What a forensic image says about its acquisition, ahead of the recording's layout. The --json output
// stays that of the recording alone, the same as for the raw image; `scryde verify --json` gives the hashes.
void PrintImageFacts(const std::string& path) {
    std::string problem;
    DWORD error = 0;
    auto image = platform::OpenDiskImage(path, &problem, &error);
    if (!image)
        return;
    const platform::ImageFacts& f = image->Facts();
    const bool ewf = f.format == platform::ImageFormat::Ewf;
    std::printf("%s image of %llu bytes in %zu file%s, first %s\n", ewf ? "EWF" : "Split raw",
                static_cast<unsigned long long>(f.size), f.parts.size(), f.parts.size() == 1 ? "" : "s",
                f.parts.front().c_str());
    for (const auto& [name, value] : f.metadata)
        std::printf("  %-26s %s\n", name.c_str(), value.c_str());
    if (!f.storedMd5.empty())
        std::printf("  %-26s %s\n", "acquisition MD5", f.storedMd5.c_str());
    if (!f.storedSha1.empty())
        std::printf("  %-26s %s\n", "acquisition SHA1", f.storedSha1.c_str());
}

int RunInfo(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool json = TakeFlag(args, "--json");
    int status = kSuccess;
    auto spec = TakeSource(args, "info", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "info: unexpected \"" + args.front() + "\"");
    const SourceKind* kind = FindSourceKind(spec->kind);
    if (!kind || !kind->info)
        return Fail(kFailure, "info: " + spec->kind + " recordings cannot be described by this build");
    if (!json && platform::ImageFormatOf(spec->path) != platform::ImageFormat::Plain)
        PrintImageFacts(spec->path);
    return kind->info(*spec, json);
}

const CommandRegistrar
    reg({"info", "show a recording's layout: geometry, segments, alarms",
         "Usage: scryde info SOURCE [--json]\n"
         "       scryde info --drive N [--json]\n"
         "\n"
         "SOURCE is a drive image (\".tav\" a TAV image, \".arv\" a stream file, anything\n"
         "else an ORMA image); --kind orma|tav|stream overrides the extension and\n"
         "--as-drive reads the file as a whole recorder drive.\n",
         RunInfo});

} // namespace
} // namespace cli
