// scryde: the command line over the same plug-ins and graphs as the desktop reader.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command.h"

#ifndef SCRYDE_VERSION
#define SCRYDE_VERSION "0.0"
#endif

namespace cli {

namespace {
std::vector<Command>& Table() {
    static std::vector<Command> table;
    return table;
}
} // namespace

CommandRegistrar::CommandRegistrar(const Command& command) {
    Table().push_back(command);
    std::sort(Table().begin(), Table().end(),
              [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
}

const std::vector<Command>& Commands() {
    return Table();
}

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "scryde: %s\n", message.c_str());
    return status;
}

bool WantsHelp(const Command& command, const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(command.usage, stdout);
            return true;
        }
    }
    return false;
}

namespace {

void PrintHelp() {
    std::printf("Usage: scryde [--help] [--version] COMMAND [OPTIONS]\n"
                "\n"
                "Reads the hard drives of stand-alone video recorders, and images of them.\n"
                "\n"
                "Commands:\n");
    for (const Command& c : Commands())
        std::printf("  %-14s %s\n", c.name, c.summary);
    std::printf(
        "\n"
        "`scryde COMMAND --help` explains a command.\n"
        "\n"
        "Environment: SCRYDE_DRIVES (drive map, e.g. 1=/dev/sdb,2=/srv/dvr.img), SCRYDE_WINVER,\n"
        "SCRYDE_HOME (logs), SCRYDE_CLASSES (class registry), SCRYDE_DEBUG=1 (diagnostics on stderr).\n"
        "Exit status: 0 success, 1 failure, 2 usage error.\n");
}

} // namespace
} // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    if (argc < 2)
        return (PrintHelp(), kUsage);
    std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        PrintHelp();
        return kSuccess;
    }
    if (first == "--version") {
        std::printf("scryde %s\n", SCRYDE_VERSION);
        return kSuccess;
    }
    for (const Command& c : Commands()) {
        if (first == c.name) {
            std::vector<std::string> args(argv + 2, argv + argc);
            // `scryde sim` hands the rest to the recorder kind, which answers --help itself.
            if (std::strcmp(c.name, "sim") != 0 && WantsHelp(c, args))
                return kSuccess;
            return c.run(args);
        }
    }
    return Fail(kUsage, "unknown command \"" + first + "\" (see scryde --help)");
}
