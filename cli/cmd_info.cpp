// scryde info SOURCE: the layout of a recording (geometry, segments or sections, alarms or events).
#include "cli/command.h"
#include "cli/source_kinds.h"

namespace cli {
namespace {

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
    return kind->info(*spec, json);
}

const CommandRegistrar reg({"info", "show a recording's layout: geometry, segments, alarms",
                            "Usage: scryde info SOURCE [--json]\n"
                            "       scryde info --drive N [--json]\n"
                            "\n"
                            "SOURCE is a drive image (\".tav\" a TAV image, \".arv\" a stream file, anything\n"
                            "else an ORMA image); --kind orma|tav|stream overrides the extension and\n"
                            "--as-drive reads the file as a whole recorder drive.\n",
                            RunInfo});

}  // namespace
}  // namespace cli
