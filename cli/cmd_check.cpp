// scryde check: the drive-structure check of an ORMA drive, with the same report as the Chekra window.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "checker/report.h"
#include "checker/structure_check.h"
#include "cli/audit.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/source_kinds.h"
#include "platform/drives.h"
#include "platform/system.h"

namespace cli {
namespace {

using checker::CStructureCheck;

// A finding as people read it: without the log's "| " margins and line ends.
std::string Plain(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        while (line.rfind("| ", 0) == 0)
            line.erase(0, 2);
        if (!out.empty())
            out += ' ';
        out += line;
    }
    return out;
}

int RunCheck(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool bad = false;
    const bool json = TakeFlag(args, "--json");
    const bool asDrive = TakeFlag(args, "--as-drive");
    auto driveText = TakeOption(args, "--drive", &bad);
    auto level = TakeOption(args, "--level", &bad);
    auto report = TakeOption(args, "--report", &bad);
    if (bad)
        return Fail(kUsage, "check: an option is missing its value");
    if (level && *level != "cluster" && *level != "block")
        return Fail(kUsage, "check: --level is cluster or block, not \"" + *level + "\"");
    std::string file;
    if (!args.empty() && !args.front().empty() && args.front()[0] != '-') {
        file = args.front();
        args.erase(args.begin());
    }
    if (!args.empty())
        return Fail(kUsage, "check: unexpected \"" + args.front() + "\"");
    if (driveText.has_value() == !file.empty())
        return Fail(kUsage, "check: name --drive N or a FILE with --as-drive");
    if (!file.empty() && !asDrive)
        return Fail(kUsage, "check: the check reads a whole drive; give the FILE with --as-drive");
    if (auto problem = platform::WinVerProblem())
        return Fail(kFailure, "check: " + *problem);

    CStructureCheck check;
    CStructureCheck::OpenResult opened;
    std::string what = file;
    if (driveText) {
        char* end = nullptr;
        long n = std::strtol(driveText->c_str(), &end, 10);
        if (driveText->empty() || *end || n < 0 || n > 255)
            return Fail(kUsage, "check: --drive wants a drive number, not \"" + *driveText + "\"");
        platform::DriveMap map = platform::DriveMap::Load();
        if (!map.Problem().empty())
            return Fail(kFailure, "check: " + map.Problem());
        auto path = map.PathOf(static_cast<int>(n));
        if (!path && n <= checker::kHighestDrive && n != 0)
            return Fail(kFailure, "check: there is no drive " + std::to_string(n) +
                                      " in the drive map (see scryde drives)");
        what = "drive " + std::to_string(n) + (path ? " (" + *path + ")" : "");
        opened = check.SelectDrive(static_cast<int>(n));
    } else {
        opened = check.OpenFile(file);
    }
    switch (opened) {
    case CStructureCheck::OpenResult::Opened:
        break;
    case CStructureCheck::OpenResult::DriveZero:
        return Fail(kFailure, "check: drive 0 is never opened for checking");
    case CStructureCheck::OpenResult::NotValid:
        return Fail(kFailure, "check: " + what + ": not a valid HD (drives 1 to 15 are checked)");
    case CStructureCheck::OpenResult::NoMarker:
        return Fail(kFailure, "check: " + what + ": no ORMA marker sector, not an ORMA drive");
    case CStructureCheck::OpenResult::NoDriver:
    case CStructureCheck::OpenResult::CannotOpen:
        return Fail(kFailure, "check: " + what + ": cannot be opened");
    }
    {
        AuditEntry entry;
        entry.action = "open";
        entry.command = "check";
        entry.source = what;
        AppendAudit(entry);
    }

    const bool blocks = level && *level == "block";
    const bool showProgress = ::isatty(STDERR_FILENO);
    check.SetCallbacks({{}, [&](DWORD cluster, DWORD clusters, const std::string& status) {
                            if (showProgress && (cluster % 64 == 1 || cluster == clusters))
                                std::fprintf(stderr, "\r%s", status.c_str());
                        }});
    check.Run(blocks);
    if (showProgress)
        std::fprintf(stderr, "\n");
    if (report && !checker::WriteReport(*report, check))
        return Fail(kFailure,
                    "check: " + std::string(checker::text::kFailedReportFile) + " (" + *report + ")");
    if (report) {
        AuditEntry written;
        written.command = "check";
        written.source = what;
        AuditWrittenFile(written, *report);
    }

    if (json) {
        JsonWriter w;
        w.BeginObject();
        w.Key("clusters").UInt(check.ClusterCount());
        w.Key("errors").Int(check.ErrorCount());
        w.Key("verdict").String(check.Result());
        w.Key("aborted").Bool(check.Aborted());
        w.Key("findings").BeginArray();
        for (const checker::Finding& f : check.Findings()) {
            w.BeginObject().Key("cluster").UInt(f.cluster).Key("block");
            if (f.block < 0)
                w.Null();
            else
                w.Int(f.block);
            w.Key("text").String(f.text).EndObject();
        }
        w.EndArray().EndObject();
        std::printf("%s\n", w.Text().c_str());
        return kSuccess;
    }
    std::printf("%s: %u clusters of %u sectors checked at %s level, %d errors\n", what.c_str(),
                check.ClusterCount(), check.ClusterSize(), blocks ? "block" : "cluster", check.ErrorCount());
    for (const checker::Finding& f : check.Findings()) {
        if (f.block < 0)
            std::printf("cluster %u: %s\n", f.cluster, Plain(f.text).c_str());
        else
            std::printf("cluster %u block %d: %s\n", f.cluster, f.block, Plain(f.text).c_str());
    }
    if (check.ErrorCount() >= checker::kMaxErrors)
        std::printf("%s\n", Plain(checker::text::kCeiling).c_str());
    std::printf("%s\n", Plain(check.Result()).c_str());
    return kSuccess;
}

const CommandRegistrar
    reg({"check", "check every cluster and block structure of an ORMA drive",
         "Usage: scryde check --drive N [--level cluster|block] [--report FILE] [--json]\n"
         "       scryde check FILE --as-drive [--level cluster|block] [--report FILE] [--json]\n"
         "\n"
         "Walks every cluster's index record (and, with --level block, every block's\n"
         "header) of an ORMA drive, or of a file that is a dump of a whole drive, and\n"
         "counts what is damaged; the run stops at 30 errors. --report writes the same\n"
         "report as the Chekra window (SOURCE_DATE_EPOCH fixes its time). The drive is\n"
         "only read. Exit status 0 whenever the check ran, whatever it found.\n",
         RunCheck});

} // namespace
} // namespace cli
