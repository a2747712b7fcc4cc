// scryde syslog SOURCE --out FILE: the recorder's system log ring, oldest entry first.
#include <memory>

#include "cli/command.h"
#include "cli/source_kinds.h"
#include "tav/disk_source.h"

namespace cli {

// Defined with the "tav" source kind (kind_tav.cpp).
int OpenTavSource(const SourceSpec& spec, tav::CTavDiskSource** out, const char* command);

namespace {

int Run(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool bad = false;
    auto out = TakeOption(args, "--out", &bad);
    if (bad || !out)
        return Fail(kUsage, "syslog: give --out FILE");
    int status = kSuccess;
    auto spec = TakeSource(args, "syslog", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "syslog: unexpected \"" + args.front() + "\"");
    if (spec->kind != "tav")
        return Fail(kFailure, "syslog: " + spec->Describe() + " is not a TAV drive or image");
    tav::CTavDiskSource* raw = nullptr;
    if (int s = OpenTavSource(*spec, &raw, "syslog"))
        return s;
    std::unique_ptr<tav::CTavDiskSource> src(raw);
    if (src->ExportSystemLog(out->c_str()) != S_OK)
        return Fail(kFailure, "syslog: " + spec->Describe() + ": the drive header names no system log");
    return kSuccess;
}

const CommandRegistrar reg({"syslog", "dump the TAV recorder's system log, oldest entry first",
                            "Usage: scryde syslog SOURCE --out FILE\n"
                            "\n"
                            "Writes the recorder's system log ring, oldest entry first of a TAV drive (--drive N,\n"
                            "or a file with --as-drive) or drive image (\".tav\") into FILE.\n",
                            Run});

}  // namespace
}  // namespace cli
