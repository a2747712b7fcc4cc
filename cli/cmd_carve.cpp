// scryde carve SOURCE: frames found on a drive or image by their own structure, each validated by
// decoding, with whether the recorder's index also reaches it. --export writes what was found.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/source_kinds.h"
#include "platform/fileio.h"
#include "recovery/carver.h"

namespace cli {
namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) {
    g_interrupted = true;
}

// Restores the previous Ctrl-C handling when the carve ends.
class CInterruptGuard {
public:
    CInterruptGuard() { m_previous = std::signal(SIGINT, OnInterrupt); }
    ~CInterruptGuard() { std::signal(SIGINT, m_previous); }
    CInterruptGuard(const CInterruptGuard&) = delete;
    CInterruptGuard& operator=(const CInterruptGuard&) = delete;

private:
    void (*m_previous)(int) = SIG_DFL;
};

bool ParseSector(const std::string& text, std::uint64_t* out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || text[0] == '-')
        return false;
    *out = v;
    return true;
}

std::string Stamp(const std::string& time) {
    std::string s;
    for (char c : time)
        if (c >= '0' && c <= '9')
            s += c;
    return s;
}

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t bytes, bool append) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    return static_cast<bool>(out);
}

// ORMA: one JPEG file per picture. TAV: per channel one MPEG-4 elementary stream of its video frames
// and one file of its audio packets, with a sidecar listing each frame's time, kind, place in the
// stream and sector.
bool ExportFinds(const recovery::CarveReport& report, recovery::Family family, const std::string& dir,
                 const AuditEntry& audit, std::vector<std::string>* written, std::string* problem) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        return *problem = dir + ": " + ec.message(), false;
    if (family == recovery::Family::Orma) {
        for (const recovery::CarvedFrame& f : report.frames) {
            char name[96];
            std::snprintf(name, sizeof name, "ch%02d-%s-s%llu.jpg", f.channel + 1, Stamp(f.time).c_str(),
                          static_cast<unsigned long long>(f.sector));
            const std::string path = dir + "/" + name;
            if (!WriteFile(path, f.payload.data(), f.payload.size(), false))
                return *problem = path + ": cannot be written", false;
            written->push_back(path);
        }
    } else {
        std::map<std::string, std::uint64_t> streamBytes;
        std::map<int, std::string> sidecars;
        for (const recovery::CarvedFrame& f : report.frames) {
            char base[32];
            std::snprintf(base, sizeof base, "ch%02d", f.channel + 1);
            const bool audio = f.kind == recovery::FrameKind::Audio;
            const std::string path = dir + "/" + base + (audio ? ".audio" : ".m4v");
            const bool fresh = !streamBytes.count(path);
            if (!WriteFile(path, f.payload.data(), f.payload.size(), !fresh))
                return *problem = path + ": cannot be written", false;
            if (fresh)
                written->push_back(path);
            char line[160];
            std::snprintf(line, sizeof line, "%s,%s,%s,%llu,%u,%llu,%u,%s\n", f.time.c_str(),
                          recovery::KindName(f.kind), audio ? "audio" : "m4v",
                          static_cast<unsigned long long>(streamBytes[path]),
                          static_cast<unsigned>(f.payload.size()), static_cast<unsigned long long>(f.sector),
                          f.timestamp, f.indexed ? "indexed" : "carved");
            streamBytes[path] += f.payload.size();
            if (!sidecars.count(f.channel))
                sidecars[f.channel] = "time,kind,stream,offset,bytes,sector,timestamp,found\n";
            sidecars[f.channel] += line;
        }
        for (const auto& [channel, text] : sidecars) {
            char name[32];
            std::snprintf(name, sizeof name, "/ch%02d.times.csv", channel + 1);
            const std::string path = dir + name;
            if (!WriteFile(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), false))
                return *problem = path + ": cannot be written", false;
            written->push_back(path);
        }
    }
    for (const std::string& path : *written)
        AuditWrittenFile(audit, path);
    return true;
}

int RunCarve(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    const bool json = TakeFlag(args, "--json");
    bool bad = false;
    auto from = TakeOption(args, "--from-sector", &bad);
    auto to = TakeOption(args, "--to-sector", &bad);
    auto exportDir = TakeOption(args, "--export", &bad);
    auto model = TakeOption(args, "--model", &bad);
    if (bad)
        return Fail(kUsage, "carve: an option is missing its value");
    recovery::CarveOptions o;
    if ((from && !ParseSector(*from, &o.fromSector)) || (to && !ParseSector(*to, &o.toSector)))
        return Fail(kUsage, "carve: --from-sector and --to-sector want sector numbers");
    if (o.fromSector > o.toSector)
        return Fail(kUsage, "carve: --from-sector lies behind --to-sector");
    if (model) {
        char* end = nullptr;
        const long m = std::strtol(model->c_str(), &end, 10);
        if (model->empty() || *end || m < 0 || m > 102)
            return Fail(kUsage, "carve: --model wants a recorder model 0 to 102");
        o.ormaModel = static_cast<int>(m);
    }
    int status = kSuccess;
    auto spec = TakeSource(args, "carve", &status);
    if (!spec)
        return status;
    if (!args.empty())
        return Fail(kUsage, "carve: unexpected \"" + args.front() + "\"");
    if (spec->kind != "orma" && spec->kind != "tav")
        return Fail(kFailure, "carve: reads ORMA and TAV drives and images, not " + spec->kind + " files");
    const recovery::Family family = spec->kind == "orma" ? recovery::Family::Orma : recovery::Family::Tav;
    if (family == recovery::Family::Tav && !spec->asDrive && spec->path.size() > 4 &&
        spec->path.compare(spec->path.size() - 4, 4, ".tav") == 0)
        return Fail(
            kFailure,
            "carve: reads whole TAV drives (a dump with --as-drive), not the reader's \".tav\" range images");

    recovery::CFileByteSource source(spec->path);
    if (!source.IsOpen())
        return Fail(kFailure, "carve: " + source.Problem());
    AuditEntry audit;
    audit.command = "carve";
    audit.source = spec->path;
    audit.sourceBytes = source.Size();
    if (from)
        audit.firstSector = o.fromSector;
    if (to)
        audit.lastSector = o.toSector;
    {
        AuditEntry opened = audit;
        opened.action = "open";
        AppendAudit(opened);
    }

    o.ormaImage = family == recovery::Family::Orma && !spec->asDrive;
    o.keepPayloads = exportDir.has_value();
    CInterruptGuard interrupt;
    int shown = -1;
    o.progress = [&](std::uint64_t done, std::uint64_t total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : 100;
        if (percent != shown) {
            std::fprintf(stderr, "\rCarving %s: %d%%", spec->Describe().c_str(), percent);
            shown = percent;
        }
        return !g_interrupted.load();
    };
    recovery::CarveReport report =
        family == recovery::Family::Orma ? recovery::CarveOrma(source, o) : recovery::CarveTav(source, o);
    if (shown >= 0)
        std::fprintf(stderr, "\n");
    if (!report.error.empty())
        return Fail(kFailure, "carve: " + spec->Describe() + ": " + report.error);
    for (const recovery::UnreadableRange& r : report.unreadable)
        std::fprintf(stderr, "scryde: carve: sectors %llu to %llu cannot be read; carved past them\n",
                     static_cast<unsigned long long>(r.firstSector),
                     static_cast<unsigned long long>(r.firstSector + r.sectors - 1));
    if (report.cancelled)
        std::fprintf(stderr, "scryde: carve: cancelled; the finds so far follow\n");
    if (!report.indexKnown)
        std::fprintf(stderr, "scryde: carve: no drive layout found, so no find counts as indexed\n");

    std::vector<std::string> written;
    if (exportDir) {
        std::string problem;
        if (!ExportFinds(report, family, *exportDir, audit, &written, &problem))
            return Fail(kFailure, "carve: " + problem);
    }

    std::size_t outside = 0;
    for (const recovery::CarvedFrame& f : report.frames)
        outside += f.indexed ? 0 : 1;
    if (json) {
        JsonWriter w;
        w.BeginObject().Key("frames").BeginArray();
        for (const recovery::CarvedFrame& f : report.frames) {
            w.BeginObject();
            w.Key("sector").UInt(f.sector);
            w.Key("time").String(f.time);
            w.Key("channel").Int(f.channel);
            w.Key("kind").String(recovery::KindName(f.kind));
            w.Key("size").UInt(f.size);
            w.Key("indexed").Bool(f.indexed);
            w.EndObject();
        }
        w.EndArray();
        w.Key("unreadable_sectors").BeginArray();
        for (const recovery::UnreadableRange& r : report.unreadable)
            w.BeginArray().UInt(r.firstSector).UInt(r.sectors).EndArray();
        w.EndArray();
        w.Key("cancelled").Bool(report.cancelled);
        w.EndObject();
        std::printf("%s\n", w.Text().c_str());
    } else {
        for (const recovery::CarvedFrame& f : report.frames)
            std::printf("%12llu  %s  ch%02d  %-9s %7u  %s\n", static_cast<unsigned long long>(f.sector),
                        f.time.c_str(), f.channel + 1, recovery::KindName(f.kind), f.size,
                        f.indexed ? "indexed" : "outside the index");
        std::printf("%zu frames found, %zu outside the index\n", report.frames.size(), outside);
        for (const std::string& path : written)
            std::printf("wrote %s\n", path.c_str());
    }
    return report.cancelled ? kFailure : kSuccess;
}

const CommandRegistrar
    reg({"carve", "find frames by their own structure, also those the index no longer reaches",
         "Usage: scryde carve SOURCE [--from-sector S --to-sector E] [--export DIR] [--model M] [--json]\n"
         "\n"
         "Reads the drive or image from end to end (or sectors S to E) and lists every frame found by\n"
         "its own headers whose picture our decoder accepts: ORMA pictures, TAV video frames and audio\n"
         "packets, each with its sector, time, channel, kind and size, and whether the recorder's index\n"
         "also reaches it. Unreadable regions are reported and stepped over; Ctrl-C stops the scan and\n"
         "lists what was found so far. An ORMA file is read as a drive image unless --as-drive says it\n"
         "is a dump of a whole drive; --model names the ORMA recorder model that decides where the\n"
         "channel is read (101, the default, or 102: the frame's channel byte; 1 to 16: its channel code).\n"
         "TAV sources are whole drives.\n"
         "--export DIR writes the finds: ORMA pictures as JPEG files; TAV frames as one MPEG-4 stream\n"
         "(chNN.m4v) and one audio file (chNN.audio) per channel with a sidecar of times (chNN.times.csv).\n"
         "Every file written is recorded in the audit log.\n"
         "JSON: {\"frames\": [{\"sector\", \"time\", \"channel\", \"kind\", \"size\", \"indexed\"}],\n"
         "\"unreadable_sectors\": [[first, count]], \"cancelled\"}.\n",
         RunCarve});

} // namespace
} // namespace cli
