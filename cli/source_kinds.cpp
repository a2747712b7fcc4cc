#include "cli/source_kinds.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cli/audit.h"
#include "cli/command.h"
#include "common/sector.h"
#include "platform/disk_image.h"
#include "platform/drives.h"
#include "platform/system.h"
#include "reader/drive_probe.h"

namespace cli {

namespace {
std::vector<SourceKind>& Table() {
    static std::vector<SourceKind> table;
    return table;
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
} // namespace

SourceKindRegistrar::SourceKindRegistrar(const SourceKind& kind) {
    Table().push_back(kind);
}

const std::vector<SourceKind>& SourceKinds() {
    return Table();
}

const SourceKind* FindSourceKind(const std::string& name) {
    for (const SourceKind& k : Table())
        if (name == k.name)
            return &k;
    return nullptr;
}

std::string SourceSpec::Describe() const {
    if (drive >= 0 && asDrive && !path.empty())
        return "drive " + std::to_string(drive) + " (" + path + ")";
    return path;
}

std::optional<std::string> TakeOption(std::vector<std::string>& args, const std::string& name, bool* bad) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name) {
            if (i + 1 >= args.size()) {
                *bad = true;
                args.erase(args.begin() + static_cast<long>(i));
                return std::nullopt;
            }
            std::string value = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
            return value;
        }
        if (args[i].rfind(name + "=", 0) == 0) {
            std::string value = args[i].substr(name.size() + 1);
            args.erase(args.begin() + static_cast<long>(i));
            return value;
        }
    }
    return std::nullopt;
}

bool TakeFlag(std::vector<std::string>& args, const std::string& name) {
    auto it = std::find(args.begin(), args.end(), name);
    if (it == args.end())
        return false;
    args.erase(it);
    return true;
}

std::optional<SourceSpec> TakeSource(std::vector<std::string>& args, const char* command, int* status) {
    std::string cmd = command;
    auto fail = [&](int code, const std::string& message) -> std::optional<SourceSpec> {
        *status = Fail(code, cmd + ": " + message);
        return std::nullopt;
    };
    if (auto problem = platform::WinVerProblem())
        return fail(kFailure, *problem);

    bool bad = false;
    auto driveText = TakeOption(args, "--drive", &bad);
    auto kindText = TakeOption(args, "--kind", &bad);
    if (bad)
        return fail(kUsage, "an option is missing its value");
    bool asDrive = TakeFlag(args, "--as-drive");

    SourceSpec spec;
    if (driveText) {
        char* end = nullptr;
        long n = std::strtol(driveText->c_str(), &end, 10);
        if (driveText->empty() || *end || n < 0 || n > 255)
            return fail(kUsage, "--drive wants a drive number, not \"" + *driveText + "\"");
        platform::DriveMap map = platform::DriveMap::Load();
        if (!map.Problem().empty())
            return fail(kFailure, map.Problem());
        auto path = map.PathOf(static_cast<int>(n));
        if (!path)
            return fail(kFailure,
                        "there is no drive " + std::to_string(n) + " in the drive map (see scryde drives)");
        spec.path = *path;
        spec.drive = static_cast<int>(n);
        spec.asDrive = true;
    } else {
        // The first argument that is not an option is the file.
        auto it = std::find_if(args.begin(), args.end(),
                               [](const std::string& a) { return a.empty() || a[0] != '-'; });
        if (it == args.end())
            return fail(kUsage, "name a SOURCE file or --drive N");
        spec.path = *it;
        args.erase(it);
        spec.asDrive = asDrive;
    }

    struct stat st {};
    if (::stat(spec.path.c_str(), &st) != 0)
        return fail(kFailure, spec.Describe() + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return fail(kFailure, spec.Describe() + ": is a folder, not a drive or image");
    if (platform::ImageFormatOf(spec.path) != platform::ImageFormat::Plain) {
        // A forensic image is checked whole before any reader sees it, so a missing or damaged part is
        // named here rather than showing up as an unreadable recording.
        std::string problem;
        DWORD error = 0;
        if (!platform::OpenDiskImage(spec.path, &problem, &error))
            return fail(kFailure, problem);
    }

    if (kindText) {
        if (!FindSourceKind(*kindText))
            return fail(kUsage, "--kind \"" + *kindText + "\" is not a recorder kind this build reads");
        spec.kind = *kindText;
    } else if (spec.asDrive) {
        spec.kind = DetectDriveKind(spec);
        if (spec.kind.empty())
            return fail(kFailure, spec.Describe() + ": no recorder recording found on this drive");
        if (!FindSourceKind(spec.kind))
            return fail(kFailure,
                        spec.Describe() + ": a " + spec.kind + " drive, which this build does not read");
    } else {
        // A forensic image's own extension, before its container suffix, names the kind.
        const std::string named = platform::StripImageSuffix(spec.path);
        const std::size_t dot = named.find_last_of('.');
        const std::size_t slash = named.find_last_of('/');
        std::string ext = Lower(dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                    ? ""
                                    : named.substr(dot + 1));
        spec.kind = ext == "tav" ? "tav" : ext == "arv" ? "stream" : "orma";
        if (!FindSourceKind(spec.kind))
            return fail(kFailure, spec.Describe() + ": " + spec.kind +
                                      " recordings are not readable by this build yet");
    }
    AuditEntry opened;
    opened.action = "open";
    opened.command = cmd;
    opened.source = spec.path;
    opened.sourceBytes = platform::DeviceSize(spec.path);
    AppendAudit(opened);
    return spec;
}

int AttachFileAsDrive(const std::string& path) {
    platform::DriveMap map = platform::DriveMap::Load();
    for (const auto& [number, mapped] : map.Entries())
        if (mapped == path)
            return number;
    // The map's own notation separates entries by commas and numbers from paths by '='.
    if (path.find(',') != std::string::npos || !map.Problem().empty())
        return -1;
    for (int n = 1; n < 16; ++n) {
        if (map.PathOf(n))
            continue;
        const char* now = std::getenv("SCRYDE_DRIVES");
        std::string text = now && *now ? std::string(now) + "," : std::string();
        text += std::to_string(n) + "=" + path;
        ::setenv("SCRYDE_DRIVES", text.c_str(), 1);
        return platform::DriveMap::Load().PathOf(n) == path ? n : -1;
    }
    return -1;
}

std::string DetectDriveKind(const SourceSpec& spec) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    const DWORD major = GetVersionExA(&version) ? version.dwMajorVersion : 0;
    const bool throughDriver =
        common::ChooseAccessMode(major, common::kReaderVariant) == common::AccessMode::Driver;
    return reader::KindName(reader::DetectFileKind(spec.path, throughDriver));
}

} // namespace cli
