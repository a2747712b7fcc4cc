// The "tav" recorder kind of `scryde info` and `scryde frames`: TAV v2.x drives and drive images read
// through the TAV disk source's own index.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/json.h"
#include "cli/kind_tav.h"
#include "cli/play.h"
#include "cli/source_kinds.h"
#include "common/sector.h"
#include "platform/drives.h"
#include "platform/system.h"
#include "tav/disk_source.h"

namespace cli {

// Probe reads stay quiet: a drive of another kind is not an error.

static DWORD TavWindowsMajor() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) ? info.dwMajorVersion : 0;
}

// Opens the source as the reader would: a drive of the drive map in the access mode the Windows
// version picks, a file given as a whole drive in physical-drive mode, anything else as a drive image.
// Used by info, frames, diag and syslog.
int OpenTavSource(const SourceSpec& spec, tav::CTavDiskSource** out, const char* command) {
    std::unique_ptr<tav::CTavDiskSource> src;
    HRESULT hr;
    if (spec.asDrive && spec.drive > 0) {
        src = std::make_unique<tav::CTavDiskSource>(TavWindowsMajor());
        std::string path = "\\\\.\\PHYSICALDRIVE" + std::to_string(spec.drive);
        hr = src->Open(tav::kOpenDrive, spec.drive, path.c_str());
    } else if (spec.asDrive) {
        src = std::make_unique<tav::CTavDiskSource>(4);
        hr = src->Open(tav::kOpenDrive, 0, spec.path.c_str());
    } else {
        src = std::make_unique<tav::CTavDiskSource>(4);
        hr = src->Open(tav::kOpenImage, 0, spec.path.c_str());
    }
    if (hr < 0)
        return Fail(kFailure,
                    std::string(command) + ": " + spec.Describe() + ": not a readable TAV drive or image");
    if (src->LoadIndex() != S_OK)
        return Fail(kFailure, std::string(command) + ": " + spec.Describe() + ": no recording found on it");
    *out = src.release();
    return kSuccess;
}

const char* TavTypeName(BYTE type) {
    return type == tav::kTypeKey ? "key" : type == tav::kTypePredicted ? "predicted" : "audio";
}

void WriteTavPacket(JsonWriter& w, DWORD time, int channel, BYTE type, DWORD size) {
    w.BeginObject();
    w.Key("time").String(tav::FormatTime(time));
    w.Key("channel").Int(channel);
    w.Key("type").String(TavTypeName(type));
    w.Key("size").UInt(size);
    w.EndObject();
}

static int TavInfo(const SourceSpec& spec, bool json) {
    tav::CTavDiskSource* raw = nullptr;
    if (int status = OpenTavSource(spec, &raw, "info"))
        return status;
    std::unique_ptr<tav::CTavDiskSource> src(raw);
    const tav::TavGeometry& g = src->Geometry();
    std::vector<std::string> events;
    for (int s = 0; s < src->SectionCount(); ++s) {
        src->SelectSection(s);
        const DWORD capacity = std::max(g.K * 256, src->EventCount());
        std::vector<BYTE> records(12 * static_cast<std::size_t>(capacity));
        DWORD n = src->GetEventTimes(records.data(), capacity);
        for (DWORD i = 0; i < n; ++i)
            events.push_back(tav::FormatTime(platform::ReadLE32(records.data() + 12 * i)));
    }
    const auto& sections = src->Sections();
    if (json) {
        JsonWriter w;
        w.BeginObject();
        w.Key("kind").String("tav");
        w.Key("G").UInt(g.G).Key("S").UInt(g.S).Key("N").UInt(g.N).Key("K").UInt(g.K);
        w.Key("T_prime").UInt(g.Tprime).Key("header_sector").UInt(g.HeaderSector());
        w.Key("segment_count")
            .UInt(src->SegmentCount())
            .Key("valid_segment_count")
            .UInt(src->ValidSegmentCount());
        w.Key("section_unit").UInt(g.K * 256).Key("sections_in_use").Int(src->SectionCount());
        w.Key("sections").BeginArray();
        for (int i = 0; i < src->SectionCount(); ++i) {
            w.BeginObject();
            w.Key("index").Int(i);
            w.Key("start").String(tav::FormatTime(sections[i].start));
            w.Key("end").String(tav::FormatTime(sections[i].end));
            w.EndObject();
        }
        w.EndArray();
        w.Key("recorder_kind")
            .Int(src->RecorderKind())
            .Key("width")
            .UInt(src->Width())
            .Key("height")
            .UInt(src->Height());
        w.Key("audio_format").Int(src->AudioFormat()).Key("audio_present").Bool(src->AudioPresent());
        w.Key("events").BeginArray();
        for (const auto& e : events)
            w.String(e);
        w.EndArray();
        w.EndObject();
        std::printf("%s\n", w.Text().c_str());
        return kSuccess;
    }
    std::printf("TAV %s: %u GiB, segment %u sectors (S), %u segments (N), %u per section (K)\n",
                src->IsImage() ? "drive image" : "drive", g.G, g.S, g.N, g.K);
    std::printf("T' %u sectors, drive header at sector %u; %u valid segments%s\n", g.Tprime, g.HeaderSector(),
                src->ValidSegmentCount(), src->Wrapped() ? ", wrapped" : "");
    std::printf("recorder kind %d, %ux%u, audio %s (format %d)\n", src->RecorderKind(), src->Width(),
                src->Height(), src->AudioPresent() ? "present" : "absent", src->AudioFormat());
    for (int i = 0; i < src->SectionCount(); ++i)
        std::printf("  section %3d  %s .. %s  segments %u..%u\n", i,
                    tav::FormatTime(sections[i].start).c_str(), tav::FormatTime(sections[i].end).c_str(),
                    sections[i].first, sections[i].last);
    std::printf("%zu events\n", events.size());
    for (const auto& e : events)
        std::printf("  %s\n", e.c_str());
    return kSuccess;
}

static int TavFrames(const SourceSpec& spec, const FramesOptions& options, bool json) {
    tav::CTavDiskSource* raw = nullptr;
    if (int status = OpenTavSource(spec, &raw, "frames"))
        return status;
    std::unique_ptr<tav::CTavDiskSource> src(raw);
    int section = 0;
    bool haveCurrent = false;
    if (options.from) {
        DWORD t = 0;
        if (!tav::ParseTime(*options.from, &t))
            return Fail(kUsage,
                        "frames: --from wants \"YYYY/MM/DD hh:mm:ss\", not \"" + *options.from + "\"");
        if (src->SeekToSectionTime(t) != S_OK)
            return Fail(kFailure, "frames: no section holds " + *options.from);
        section = src->CurrentSection();
        haveCurrent = true;
    } else if (options.segment) {
        if (*options.segment >= src->SectionCount())
            return Fail(kFailure,
                        "frames: there are only " + std::to_string(src->SectionCount()) + " sections");
        section = *options.segment;
        src->SelectSection(section);
    } else {
        src->SelectSection(0);
    }
    JsonWriter w;
    w.BeginArray();
    int emitted = 0;
    auto emit = [&]() {
        auto p = src->CurrentPacket();
        if (json) {
            WriteTavPacket(w, p.time, p.channel, p.type, p.size);
        } else {
            std::printf("%s  ch %2d  %-9s %6u bytes  (segment %u block %d entry %d)\n",
                        tav::FormatTime(p.time).c_str(), p.channel, TavTypeName(p.type), p.size, p.segment,
                        p.block, p.entry);
        }
        ++emitted;
    };
    if (haveCurrent && options.count > 0)
        emit();
    while (emitted < options.count) {
        if (!src->NextEntry()) {
            if (++section >= src->SectionCount())
                break;
            src->SelectSection(section);
            continue;
        }
        emit();
    }
    w.EndArray();
    if (json)
        std::printf("%s\n", w.Text().c_str());
    return kSuccess;
}

static const SourceKindRegistrar tavKind({"tav", TavInfo, TavFrames, ExportTav, PlayTav});

} // namespace cli
