// scryde format --drive N [--yes]: re-formats a video drive as the reader's "Format HD" does.
// scryde clear --drive N [--yes]: clears a TAV drive through its source.
// Both ask before writing; with no terminal to ask and no --yes they write nothing.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/source_kinds.h"
#include "platform/drives.h"
#include "platform/system.h"
#include "reader/format.h"
#include "tav/disk_source.h"

namespace cli {
namespace {

DWORD WindowsMajor() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) ? info.dwMajorVersion : 0;
}

// Boxes on standard error; the erase question is answered by --yes or by the person at the terminal.
class Questions {
public:
    explicit Questions(bool yes) {
        m_previous = platform::SetMessageBoxHandler([yes](const platform::MessageBoxRequest& r) {
            std::string line = r.text;
            for (char& c : line)
                if (c == '\n' || c == '\r')
                    c = ' ';
            if (r.text != reader::msg::kEraseWarning) {
                std::fprintf(stderr, "%s: %s\n", r.caption.c_str(), line.c_str());
                return platform::DefaultButton(r.type);
            }
            if (yes)
                return IDOK;
            if (!::isatty(STDIN_FILENO)) {
                std::fprintf(stderr, "%s: %s\nscryde: no terminal to ask: nothing written (give --yes)\n",
                             r.caption.c_str(), line.c_str());
                return IDCANCEL;
            }
            std::fprintf(stderr, "%s: %s [y/N] ", r.caption.c_str(), line.c_str());
            std::string answer;
            std::getline(std::cin, answer);
            return answer == "y" || answer == "Y" || answer == "yes" ? IDOK : IDCANCEL;
        });
    }
    ~Questions() { platform::SetMessageBoxHandler(m_previous); }

private:
    platform::MessageBoxHandler m_previous;
};

struct DriveArgs {
    int drive = -1;
    std::string path;
    bool yes = false;
};

int TakeDriveArgs(std::vector<std::string> args, const std::string& command, DriveArgs* out) {
    bool bad = false;
    auto driveText = TakeOption(args, "--drive", &bad);
    out->yes = TakeFlag(args, "--yes");
    if (bad || !driveText)
        return Fail(kUsage, command + ": give --drive N");
    if (!args.empty())
        return Fail(kUsage, command + ": unexpected \"" + args.front() + "\"");
    char* end = nullptr;
    long n = std::strtol(driveText->c_str(), &end, 10);
    if (driveText->empty() || *end || n < 0 || n > 255)
        return Fail(kUsage, command + ": --drive wants a drive number, not \"" + *driveText + "\"");
    platform::DriveMap map = platform::DriveMap::Load();
    if (!map.Problem().empty())
        return Fail(kFailure, map.Problem());
    auto path = map.PathOf(static_cast<int>(n));
    if (!path)
        return Fail(kFailure, command + ": there is no drive " + std::to_string(n) + " in the drive map");
    out->drive = static_cast<int>(n);
    out->path = *path;
    return kSuccess;
}

void Audit(const std::string& command, const DriveArgs& a, bool ok) {
    AuditEntry e;
    e.action = command;
    e.command = command;
    e.source = a.path;
    e.sourceBytes = platform::DeviceSize(a.path);
    e.result = ok ? "ok" : "failed";
    AppendAudit(e);
}

int RunFormat(const std::vector<std::string>& args) {
    DriveArgs a;
    if (int status = TakeDriveArgs(args, "format", &a))
        return status;
    // Only a drive the drive list would show is offered for formatting, as in the reader.
    auto probe = reader::ProbeDrive(a.drive, WindowsMajor());
    reader::DriveEntry entry;
    entry.drive = static_cast<BYTE>(a.drive);
    const bool listed = probe && probe->kind != reader::kKindUnknown;
    if (listed)
        entry.kind = probe->kind;
    Questions questions(a.yes);
    reader::CPlayerCore nothingOpen;
    const reader::FormatOutcome outcome = reader::FormatSelectedDrive(listed ? &entry : nullptr, nothingOpen);
    switch (outcome) {
    case reader::FormatOutcome::Formatted:
        Audit("format", a, true);
        return kSuccess;
    case reader::FormatOutcome::NotAVideoDrive:
        return Fail(kFailure,
                    "format: drive " + std::to_string(a.drive) + " is not a recorder drive: nothing written");
    case reader::FormatOutcome::Cancelled:
        return Fail(kFailure, "format: not confirmed: nothing written");
    case reader::FormatOutcome::Failed:
        break;
    }
    Audit("format", a, false);
    return Fail(kFailure, "format: drive " + std::to_string(a.drive) + " could not be formatted");
}

int RunClear(const std::vector<std::string>& args) {
    DriveArgs a;
    if (int status = TakeDriveArgs(args, "clear", &a))
        return status;
    const DWORD major = WindowsMajor();
    auto probe = reader::ProbeDrive(a.drive, major);
    if (!probe || probe->kind != reader::kKindTav)
        return Fail(kFailure,
                    "clear: drive " + std::to_string(a.drive) + " is not a TAV drive: nothing written");
    Questions questions(a.yes);
    if (MessageBoxA(nullptr, reader::msg::kEraseWarning, reader::msg::kWarningCaption, MB_OKCANCEL) != IDOK)
        return Fail(kFailure, "clear: not confirmed: nothing written");
    tav::CTavDiskSource src(major);
    const std::string device = "\\\\.\\PHYSICALDRIVE" + std::to_string(a.drive);
    if (src.Open(tav::kOpenDrive, a.drive, device.c_str()) < 0)
        return Fail(kFailure, "clear: drive " + std::to_string(a.drive) + ": not a readable TAV drive");
    const bool ok = src.ClearDrive() >= 0;
    Audit("clear", a, ok);
    if (!ok)
        return Fail(kFailure, "clear: drive " + std::to_string(a.drive) + " could not be cleared");
    MessageBoxA(nullptr, reader::msg::kFormatted, reader::msg::kWarningCaption, MB_OKCANCEL);
    return kSuccess;
}

const CommandRegistrar
    format({"format", "re-format a video drive so that the recorder starts afresh",
            "Usage: scryde format --drive N [--yes]\n"
            "\n"
            "Zeroes the index areas of recorder drive N of the drive map (the start of the\n"
            "drive, the ORMA marker sector, the TAV drive header and segment 0's block\n"
            "indexes) through the raw-disk driver, so the recorder treats it as empty and\n"
            "the drive list no longer shows it. Asks first; without a terminal to ask it\n"
            "writes nothing unless --yes is given. A drive that is not a recorder drive\n"
            "is never written.\n",
            RunFormat});

const CommandRegistrar
    clear({"clear", "clear a TAV drive's recordings through its source",
           "Usage: scryde clear --drive N [--yes]\n"
           "\n"
           "Clears TAV drive N of the drive map as its source does: segment 0's block\n"
           "indexes, the segment trailers, the drive header, the start of the drive and\n"
           "the last unit's first sector. Asks first; without a terminal to ask it writes\n"
           "nothing unless --yes is given.\n",
           RunClear});

} // namespace
} // namespace cli
