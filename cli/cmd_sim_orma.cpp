// scryde sim orma: writes a synthetic ORMA drive or drive image.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "cli/command.h"
#include "cli/json.h"
#include "cli/sim_kinds.h"
#include "cli/source_kinds.h"
#include "sim_orma/orma_sim.h"

namespace cli {
namespace {

// "500M", "2G", "1T" (powers of 1024), or a plain byte count.
bool ParseSize(const std::string& text, unsigned long long* bytes) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || v <= 0)
        return false;
    unsigned long long unit = 1;
    std::string suffix = end;
    if (suffix == "K" || suffix == "k")
        unit = 1ull << 10;
    else if (suffix == "M" || suffix == "m")
        unit = 1ull << 20;
    else if (suffix == "G" || suffix == "g")
        unit = 1ull << 30;
    else if (suffix == "T" || suffix == "t")
        unit = 1ull << 40;
    else if (!suffix.empty())
        return false;
    *bytes = static_cast<unsigned long long>(v * static_cast<double>(unit));
    return true;
}

bool ParseInt(const std::string& text, long lo, long hi, int* out) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

int Run(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    bool bad = false;
    simorma::Options o;
    o.image = TakeFlag(args, "--image");
    o.pal = TakeFlag(args, "--pal");
    TakeFlag(args, "--ntsc");
    o.wrapped = TakeFlag(args, "--wrap");
    const bool full = TakeFlag(args, "--full");
    const bool json = TakeFlag(args, "--json");
    auto size = TakeOption(args, "--size", &bad);
    auto clusters = TakeOption(args, "--clusters", &bad);
    auto channels = TakeOption(args, "--channels", &bad);
    auto minutes = TakeOption(args, "--minutes", &bad);
    auto segments = TakeOption(args, "--segments", &bad);
    auto perSegment = TakeOption(args, "--clusters-per-segment", &bad);
    auto alarms = TakeOption(args, "--alarms", &bad);
    auto model = TakeOption(args, "--model", &bad);
    auto fpb = TakeOption(args, "--frames-per-block", &bad);
    auto fields = TakeOption(args, "--fields", &bad);
    auto damage = TakeOption(args, "--damage", &bad);
    auto start = TakeOption(args, "--start", &bad);
    auto picture = TakeOption(args, "--picture", &bad);
    if (bad)
        return Fail(kUsage, "sim orma: an option is missing its value");
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
        return Fail(kUsage, args.empty() ? "sim orma: name the OUTPUT file"
                                         : "sim orma: unexpected \"" + args.back() + "\"");
    const std::string path = args[0];

    auto wantInt = [&](const std::optional<std::string>& v, const char* name, long lo, long hi, int* out) {
        if (v && !ParseInt(*v, lo, hi, out)) {
            Fail(kUsage, std::string("sim orma: ") + name + " wants a number from " + std::to_string(lo) +
                             " to " + std::to_string(hi) + ", not \"" + *v + "\"");
            return false;
        }
        return true;
    };
    int nSegments = 2, nPerSegment = 2, nMinutes = 10, nAlarms = 1, nClusters = 0;
    if (!wantInt(channels, "--channels", 1, 16, &o.channels) ||
        !wantInt(segments, "--segments", 1, 1000, &nSegments) ||
        !wantInt(perSegment, "--clusters-per-segment", 1, 65535, &nPerSegment) ||
        !wantInt(minutes, "--minutes", 1, 100000, &nMinutes) ||
        !wantInt(alarms, "--alarms", -1, 40, &nAlarms) || !wantInt(model, "--model", 0, 102, &o.model) ||
        !wantInt(fpb, "--frames-per-block", 1, 127, &o.framesPerBlock) ||
        !wantInt(fields, "--fields", 1, 2, &o.fieldsPerPicture) ||
        !wantInt(clusters, "--clusters", 1, 65535, &nClusters))
        return kUsage;
    if (picture) {
        int w = 0, h = 0;
        char tail = 0;
        // A recorder picture is at most 720 x 576: the Motion-JPEG decoder refuses larger ones.
        if (std::sscanf(picture->c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 720 ||
            h > 576)
            return Fail(kUsage, "sim orma: --picture wants WIDTHxHEIGHT, from 16x16 to 720x576, not \"" +
                                    *picture + "\"");
        o.width = w, o.height = h;
    }
    if (size) {
        unsigned long long bytes = 0;
        if (!ParseSize(*size, &bytes) || bytes < 64ull << 20)
            return Fail(kUsage, "sim orma: --size wants a drive size of at least 64M, such as 500M or 2T");
        o.driveSectors = bytes / 512;
    }
    std::int64_t startSeconds = simorma::SecondsOf(2009, 3, 1, 8, 0, 0);
    if (start) {
        int y, mo, d, h, mi, s;
        if (std::sscanf(start->c_str(), "%d/%d/%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6 || y < 2000 ||
            y > 2255)
            return Fail(kUsage, "sim orma: --start wants \"YYYY/MM/DD hh:mm:ss\"");
        startSeconds = simorma::SecondsOf(y, mo, d, h, mi, s);
    }
    if (damage) {
        std::stringstream list(*damage);
        std::string item;
        while (std::getline(list, item, ',')) {
            if (item == "marker")
                o.damage.brokenMarker = true;
            else if (item == "d32m")
                o.damage.brokenD32M.push_back(0);
            else if (item == "disk01m")
                o.damage.brokenDisk01M.push_back({0, 0});
            else if (item == "tail")
                o.damage.unreadableTailClusters = 1;
            else if (item == "small-frames")
                o.damage.smallFrameSizeEvery = 7;
            else if (item == "no-magic")
                o.damage.missingFrameMagicEvery = 5;
            else if (item == "truncate")
                o.damage.truncateSectors = 4096;
            else
                return Fail(kUsage, "sim orma: unknown damage \"" + item +
                                        "\" (marker, d32m, disk01m, tail, small-frames, no-magic, truncate)");
        }
    }

    // Clusters available: the image's (--clusters, else what the segments use) or the drive's.
    std::uint32_t available = 0;
    if (o.image) {
        available = static_cast<std::uint32_t>(nClusters ? nClusters : nSegments * nPerSegment);
        o.clusterCount = available;
    } else {
        if (o.driveSectors == 0)
            o.driveSectors = (static_cast<unsigned long long>(nSegments * nPerSegment) + 1) * 65536 + 4096;
        const std::uint32_t c = simorma::RecorderClusterSectors(o.driveSectors);
        unsigned long long n = o.driveSectors / c - (o.driveSectors % c == 0 ? 1 : 0);
        available = static_cast<std::uint32_t>(n);
    }
    for (int i = 0; i < nSegments; ++i) {
        simorma::Segment s;
        s.id = static_cast<std::uint16_t>(i + 1);
        s.clusters = static_cast<std::uint32_t>(nPerSegment);
        s.start = startSeconds + static_cast<std::int64_t>(i) * (nMinutes * 60 + 3600);
        s.seconds = nMinutes * 60;
        s.alarmsPerCluster = nAlarms;
        s.lastClusterBlocks = 0;
        o.segments.push_back(s);
    }
    std::uint64_t used = static_cast<std::uint64_t>(nSegments) * static_cast<std::uint64_t>(nPerSegment);
    if (o.wrapped && used < available)
        o.segments.back().clusters += static_cast<std::uint32_t>(available - used); // a wrapped drive is full
    else if (used > available)
        return Fail(kFailure, "sim orma: " + std::to_string(used) + " clusters of segments do not fit the " +
                                  std::to_string(available) + " clusters of the " +
                                  (o.image ? "image" : "drive"));
    o.sparseContent = !full && available > 64;

    simorma::Result r = simorma::Write(path, o);
    if (!r.error.empty())
        return Fail(kFailure, "sim orma: " + r.error);
    if (json) {
        JsonWriter out;
        out.BeginObject();
        out.Key("path").String(path);
        out.Key("kind").String(o.image ? "image" : "drive");
        out.Key("bytes").UInt(r.fileBytes);
        out.Key("cluster_size").UInt(r.clusterSectors);
        out.Key("cluster_count").UInt(r.clusterCount);
        out.Key("system_area_start").UInt(r.systemStart);
        out.Key("sector_base").UInt(r.sectorBase);
        out.Key("write_cluster").UInt(r.writeCluster);
        out.Key("frames").UInt(r.framesWritten);
        out.Key("alarms").UInt(r.alarmsWritten);
        out.EndObject();
        std::printf("%s\n", out.Text().c_str());
    } else {
        std::printf("wrote %s: ORMA %s, %llu bytes, %u clusters of %u sectors, %llu frames, %llu alarms\n",
                    path.c_str(), o.image ? "drive image" : "drive",
                    static_cast<unsigned long long>(r.fileBytes), r.clusterCount, r.clusterSectors,
                    static_cast<unsigned long long>(r.framesWritten),
                    static_cast<unsigned long long>(r.alarmsWritten));
    }
    return kSuccess;
}

const SimKindRegistrar
    reg({"orma", "an ORMA drive or drive image (Motion-JPEG frames, audio, alarms)",
         "Usage: scryde sim orma OUTPUT [OPTIONS]\n"
         "\n"
         "Writes a synthetic ORMA recording: a whole drive (a sparse file of the drive's\n"
         "size; attach it with SCRYDE_DRIVES or read it with --as-drive) or, with --image,\n"
         "a drive image as the reader's export writes it.\n"
         "\n"
         "  --image                   a drive image instead of a drive\n"
         "  --size SIZE               drive size, e.g. 500M, 80G, 2T (sparse)\n"
         "  --clusters N              image: clusters in the image\n"
         "  --segments N              recording segments (default 2)\n"
         "  --clusters-per-segment N  32 MiB clusters in each segment (default 2)\n"
         "  --minutes M               length of each segment (default 10)\n"
         "  --start TIME              first frame, \"YYYY/MM/DD hh:mm:ss\" (default 2009/03/01 08:00:00)\n"
         "  --channels N              cameras 1..16, recorded in turn (default 4)\n"
         "  --picture WxH             picture size, up to 720x576 (default 352x240)\n"
         "  --fields 1|2              pictures stored once or twice in a row (default 1)\n"
         "  --frames-per-block N      frames in each 1 MiB block (default 6)\n"
         "  --alarms N                alarm entries per cluster, -1..40 (default 1)\n"
         "  --model M                 recorder model: 101, 102 (channel byte) or 1..16\n"
         "                            (channel-code area); default 101\n"
         "  --ntsc | --pal            audio chunks of 294 or 352 bytes (default NTSC)\n"
         "  --wrap                    the recording has gone round the drive and begun\n"
         "                            overwriting its oldest cluster\n"
         "  --full                    write frames into every cluster (by default a drive of\n"
         "                            more than 64 clusters gets frames only in the first\n"
         "                            and last cluster of each segment)\n"
         "  --damage LIST             comma list of marker, d32m, disk01m, tail,\n"
         "                            small-frames, no-magic, truncate\n"
         "  --json                    print what was written as JSON\n",
         Run});

} // namespace
} // namespace cli
