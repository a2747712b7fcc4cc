// scryde drives: the drive map with each drive's size and media.
#include <cstdio>

#include "cli/command.h"
#include "cli/json.h"
#include "cli/source_kinds.h"
#include "platform/drives.h"
#include "platform/system.h"

namespace cli {
namespace {

int RunDrives(const std::vector<std::string>& args) {
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else
            return Fail(kUsage, "drives: unknown option \"" + a + "\"");
    }
    if (auto problem = platform::WinVerProblem())
        return Fail(kFailure, *problem);
    platform::DriveMap map = platform::DriveMap::Load();
    if (!map.Problem().empty())
        return Fail(kFailure, map.Problem());

    JsonWriter out;
    out.BeginArray();
    if (!json)
        std::printf("%-5s  %-32s  %12s  %9s  %-9s  %s\n", "drive", "path", "sectors", "GB", "media",
                    "recorder");
    for (const auto& [number, path] : map.Entries()) {
        platform::DriveInfo info = platform::DescribeDrive(number, path);
        double gb = static_cast<double>(info.sectors) * 512.0 / 1e9;
        const char* media = info.removable ? "removable" : "fixed";
        // The recorder kind found on the drive, by each kind's own detection rules.
        std::string kind;
        if (info.readable) {
            SourceSpec spec;
            spec.path = path;
            spec.drive = number;
            spec.asDrive = true;
            kind = DetectDriveKind(spec);
        }
        if (json) {
            out.BeginObject();
            out.Key("drive").Int(number);
            out.Key("path").String(path);
            if (info.readable) {
                out.Key("sectors").UInt(info.sectors);
                out.Key("gb").Double(gb);
                out.Key("media").String(media);
            } else {
                out.Key("sectors").Null();
                out.Key("gb").Null();
                out.Key("media").Null();
                out.Key("error").String(info.problem);
            }
            if (kind.empty())
                out.Key("kind").Null();
            else
                out.Key("kind").String(kind);
            out.EndObject();
        } else if (info.readable) {
            std::printf("%-5d  %-32s  %12llu  %9.1f  %-9s  %s\n", number, path.c_str(),
                        static_cast<unsigned long long>(info.sectors), gb, media,
                        kind.empty() ? "-" : kind.c_str());
        } else {
            std::printf("%-5d  %-32s  cannot be read: %s\n", number, path.c_str(), info.problem.c_str());
        }
    }
    out.EndArray();
    if (json)
        std::printf("%s\n", out.Text().c_str());
    else if (map.Entries().empty())
        std::printf("(no drives: set SCRYDE_DRIVES to attach images)\n");
    return kSuccess;
}

const CommandRegistrar reg({"drives", "list the drives of the drive map with their sizes",
                            "Usage: scryde drives [--json]\n"
                            "\n"
                            "Lists drive n of the drive map (\\\\.\\PHYSICALDRIVEn): its path, its size in\n"
                            "512-byte sectors and in GB, and whether it is fixed or removable.\n"
                            "SCRYDE_DRIVES=1=/dev/sdb,2=/path/image.img names the drives; without it\n"
                            "they are the whole disks under /sys/block in name order, from 0.\n",
                            RunDrives});

} // namespace
} // namespace cli
