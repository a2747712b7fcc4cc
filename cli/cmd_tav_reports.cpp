// scryde diag SOURCE --out FILE: the diagnostic report of a TAV drive header.
// scryde syslog SOURCE --out FILE: the recorder's system log ring, oldest entry first.
#include <memory>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/kind_tav.h"
#include "cli/source_kinds.h"
#include "tav/disk_source.h"

namespace cli {

namespace {

using WriteReport = HRESULT (tav::CTavDiskSource::*)(const char* path);

// Opens the TAV source named by the arguments and has it write one of its reports into --out FILE.
int RunReport(const std::vector<std::string>& input, const std::string& command, WriteReport write) {
    std::vector<std::string> args = input;
    bool bad = false;
    auto out = TakeOption(args, "--out", &bad);
    if (bad || !out)
        return Fail(kUsage, command + ": give --out FILE");
    int status = kSuccess;
    auto spec = TakeSource(args, command.c_str(), &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, command + ": unexpected \"" + args.front() + "\"");
    if (spec->kind != "tav")
        return Fail(kFailure, command + ": " + spec->Describe() + " is not a TAV drive or image");
    tav::CTavDiskSource* raw = nullptr;
    if (int s = OpenTavSource(*spec, &raw, command.c_str()))
        return s;
    std::unique_ptr<tav::CTavDiskSource> src(raw);
    if ((src.get()->*write)(out->c_str()) != S_OK)
        return Fail(kFailure, command + ": " + spec->Describe() + ": the drive header names no system log");
    AuditEntry written;
    written.command = command;
    written.source = spec->path;
    AuditWrittenFile(written, *out);
    return kSuccess;
}

int RunDiag(const std::vector<std::string>& args) {
    return RunReport(args, "diag", &tav::CTavDiskSource::WriteDiagnosticLog);
}

int RunSyslog(const std::vector<std::string>& args) {
    return RunReport(args, "syslog", &tav::CTavDiskSource::ExportSystemLog);
}

const CommandRegistrar diag({"diag", "write the TAV diagnostic report of a drive or image",
                             "Usage: scryde diag SOURCE --out FILE\n"
                             "\n"
                             "Writes the diagnostic report of the drive header of a TAV drive (--drive N,\n"
                             "or a file with --as-drive) or drive image (\".tav\") into FILE.\n",
                             RunDiag});

const CommandRegistrar
    syslog({"syslog", "dump the TAV recorder's system log, oldest entry first",
            "Usage: scryde syslog SOURCE --out FILE\n"
            "\n"
            "Writes the recorder's system log ring, oldest entry first, of a TAV drive\n"
            "(--drive N, or a file with --as-drive) or drive image (\".tav\") into FILE.\n",
            RunSyslog});

} // namespace
} // namespace cli
