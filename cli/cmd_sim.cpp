// scryde sim KIND ...: writes synthetic recorder drives, images and files for tests and demos.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli/command.h"
#include "cli/sim_kinds.h"

namespace cli {

namespace {
std::vector<SimKind>& Kinds() {
    static std::vector<SimKind> kinds;
    return kinds;
}
} // namespace

SimKindRegistrar::SimKindRegistrar(const SimKind& kind) {
    Kinds().push_back(kind);
    std::sort(Kinds().begin(), Kinds().end(),
              [](const SimKind& a, const SimKind& b) { return std::strcmp(a.name, b.name) < 0; });
}

namespace {

void PrintSimHelp() {
    std::printf("Usage: scryde sim KIND [OPTIONS]\n\nWrites a synthetic recording byte by byte from the "
                "recorder's layout.\n\nKinds:\n");
    for (const SimKind& k : Kinds())
        std::printf("  %-8s %s\n", k.name, k.summary);
    std::printf("\n`scryde sim KIND --help` explains a kind.\n");
}

int RunSim(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintSimHelp();
        return kUsage;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        PrintSimHelp();
        return kSuccess;
    }
    for (const SimKind& k : Kinds()) {
        if (args[0] == k.name) {
            std::vector<std::string> rest(args.begin() + 1, args.end());
            for (const std::string& a : rest) {
                if (a == "--help" || a == "-h") {
                    std::fputs(k.usage, stdout);
                    return kSuccess;
                }
            }
            return k.run(rest);
        }
    }
    return Fail(kUsage, "sim: unknown kind \"" + args[0] + "\"");
}

const CommandRegistrar reg({"sim", "write a synthetic recorder drive or image (for tests and demos)",
                            "Usage: scryde sim KIND [OPTIONS]\n", RunSim});

} // namespace
} // namespace cli
