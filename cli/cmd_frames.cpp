// scryde frames SOURCE: the stored frames in reading order from a time or a segment.
#include <cstdlib>

#include "cli/command.h"
#include "cli/source_kinds.h"

namespace cli {
namespace {

int RunFrames(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool json = TakeFlag(args, "--json");
    bool bad = false;
    FramesOptions options;
    options.from = TakeOption(args, "--from", &bad);
    auto segment = TakeOption(args, "--segment", &bad);
    auto count = TakeOption(args, "--count", &bad);
    if (bad)
        return Fail(kUsage, "frames: an option is missing its value");
    if (options.from && segment)
        return Fail(kUsage, "frames: give --from or --segment, not both");
    auto number = [](const std::string& s, int* out) {
        char* end = nullptr;
        long v = std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end || v < 0 || v > 100000000)
            return false;
        *out = static_cast<int>(v);
        return true;
    };
    if (segment) {
        int v = 0;
        if (!number(*segment, &v))
            return Fail(kUsage, "frames: --segment wants a segment number, not \"" + *segment + "\"");
        options.segment = v;
    }
    if (count && !number(*count, &options.count))
        return Fail(kUsage, "frames: --count wants a number, not \"" + *count + "\"");
    int status = kSuccess;
    auto spec = TakeSource(args, "frames", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "frames: unexpected \"" + args.front() + "\"");
    const SourceKind* kind = FindSourceKind(spec->kind);
    if (!kind || !kind->frames)
        return Fail(kFailure, "frames: " + spec->kind + " recordings cannot be walked by this build");
    return kind->frames(*spec, options, json);
}

const CommandRegistrar
    reg({"frames", "list stored frames in reading order from a time or segment",
         "Usage: scryde frames SOURCE [--from TIME | --segment N] [--count N] [--json]\n"
         "\n"
         "TIME is \"YYYY/MM/DD hh:mm:ss\". --count defaults to 20. SOURCE as for scryde info\n"
         "(a file, or --drive N; --kind and --as-drive as there).\n",
         RunFrames});

} // namespace
} // namespace cli
