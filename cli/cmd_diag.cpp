// scryde diag SOURCE --out FILE: the diagnostic report of the drive header.
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
        return Fail(kUsage, "diag: give --out FILE");
    int status = kSuccess;
    auto spec = TakeSource(args, "diag", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "diag: unexpected \"" + args.front() + "\"");
    if (spec->kind != "tav")
        return Fail(kFailure, "diag: " + spec->Describe() + " is not a TAV drive or image");
    tav::CTavDiskSource* raw = nullptr;
    if (int s = OpenTavSource(*spec, &raw, "diag"))
        return s;
    std::unique_ptr<tav::CTavDiskSource> src(raw);
    if (src->WriteDiagnosticLog(out->c_str()) != S_OK)
        return Fail(kFailure, "diag: " + spec->Describe() + ": the drive header names no system log");
    return kSuccess;
}

const CommandRegistrar reg({"diag", "write the TAV diagnostic report of a drive or image",
                            "Usage: scryde diag SOURCE --out FILE\n"
                            "\n"
                            "Writes the diagnostic report of the drive header of a TAV drive (--drive N,\n"
                            "or a file with --as-drive) or drive image (\".tav\") into FILE.\n",
                            Run});

}  // namespace
}  // namespace cli
