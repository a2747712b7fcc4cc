// scryde export SOURCE --from TIME --to TIME --out FILE: the source's own exports, with the SHA-256 of what
// was written. Each recorder family's exports are named by its entry in the source-kind table.
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/source_kinds.h"
#include "platform/drives.h"

namespace cli {
namespace {

int RunExport(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool bad = false;
    auto from = TakeOption(args, "--from", &bad);
    auto to = TakeOption(args, "--to", &bad);
    auto out = TakeOption(args, "--out", &bad);
    auto type = TakeOption(args, "--type", &bad);
    auto channel = TakeOption(args, "--channel", &bad);
    const bool direct = TakeFlag(args, "--direct");
    const bool fullSize = TakeFlag(args, "--full-size");
    const bool withText = TakeFlag(args, "--text");
    auto encoder = TakeOption(args, "--encoder", &bad);
    auto volumeLimit = TakeOption(args, "--volume-limit", &bad);
    if (bad)
        return Fail(kUsage, "export: an option is missing its value");
    if (!from || !to || !out)
        return Fail(kUsage, "export: --from, --to and --out are needed");
    int status = kSuccess;
    auto spec = TakeSource(args, "export", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "export: unexpected \"" + args.front() + "\"");
    ExportAudit().command = "export";
    ExportAudit().source = spec->path;
    ExportAudit().sourceBytes = platform::DeviceSize(spec->path);
    ExportAudit().from = *from;
    ExportAudit().to = *to;
    ExportRequest request;
    request.from = *from;
    request.to = *to;
    request.out = *out;
    request.direct = direct;
    if (type)
        request.type = *type;
    const std::string& kind = request.type;
    if (kind != "image" && kind != "text" && kind != "binary" && kind != "avi" && kind != "gpx" &&
        kind != "csv" && kind != "mkv" && kind != "mp4")
        return Fail(kUsage, "export: --type is image, text, binary, avi, mkv, mp4, gpx or csv");
    if (channel) {
        char* end = nullptr;
        long c = std::strtol(channel->c_str(), &end, 10);
        if (channel->empty() || *end || c < 1 || c > 16)
            return Fail(kUsage, "export: --channel wants a channel 1 to 16");
        request.channel = static_cast<int>(c) - 1;
    }
    reader::ArchiveOptions& options = request.archive;
    options.fullSize = fullSize;
    options.drawTime = options.drawChannel = withText;
    if (encoder)
        options.encoder = *encoder;
    if (volumeLimit) {
        char* end = nullptr;
        const unsigned long long mb = std::strtoull(volumeLimit->c_str(), &end, 10);
        if (volumeLimit->empty() || *end || mb == 0 || mb > (1ull << 40))
            return Fail(kUsage, "export: --volume-limit wants a size in MB");
        options.volumeLimit = mb << 20;
    }
    // A TAV range with nothing to draw and no doubling would be copied as it is: through the compressor
    // graph it goes when asked for it here.
    options.chooseEncoder = true;
    const SourceKind* family = FindSourceKind(spec->kind);
    if (!family || !family->exportRange)
        return NotExported(*spec, request);
    return family->exportRange(*spec, request);
}

const CommandRegistrar
    reg({"export", "export a time range as a drive image, status text, data records, a GPS track or AVI",
         "Usage: scryde export SOURCE --from TIME --to TIME --out FILE\n"
         "                     [--type image|text|binary|gpx|csv|avi|mkv|mp4] [--channel N] [--direct]\n"
         "                     [--full-size] [--text] [--encoder NAME] [--volume-limit MB]\n"
         "\n"
         "Writes the range through the source's own export and prints the SHA-256 of the file.\n"
         "--type image (the default) copies the clusters that cover the range, whole, into a\n"
         "drive image (\".orm\") that opens again like the drive. --type text writes one line per\n"
         "frame (time and status text), --type binary one 44-byte record per frame (time value\n"
         "and 40 bytes of status text). Progress goes to standard error.\n"
         "TAV: --type image writes the marked range as a \".tav\" drive image; --type text writes\n"
         "the status line of every frame of --channel N (default 1) in the range; --type gpx\n"
         "writes those frames' GPS positions as a GPX 1.1 track (time in UTC, decimal degrees,\n"
         "speed in m/s as an extension) and --type csv every status field of every frame, one\n"
         "row each under a header; --type avi --direct writes the range of --channel N as an AVI\n"
         "file of the recorded MPEG-4 frames and sound, copied without re-encoding.\n"
         "--type avi without --direct archives --channel N of either family as the reader does:\n"
         "decoded, doubled in height (--full-size: ORMA fields and 720-wide TAV fields), with the\n"
         "time and channel written in (--text), compressed by the video compressor named by\n"
         "--encoder (default \"MJPEG Compressor\") into an AVI file with the sound; ORMA without\n"
         "--full-size stores the recorded pictures unchanged. --volume-limit MB ends the archive\n"
         "when the file reaches that size (else at the target's free space less 60 MiB).\n"
         "--type mkv|mp4 (ORMA and TAV) copies the range's frames of --channel N unchanged into\n"
         "Matroska or MP4 (Motion-JPEG or MPEG-4 with its layer header), each at its recorded time,\n"
         "the sound as PCM (Matroska only), and the recording's start as the file's creation time.\n"
         "Every file written is recorded in the audit log.\n",
         RunExport});

} // namespace
} // namespace cli
