// The "orma" recorder kind of `scryde info` and `scryde frames`: ORMA drives and drive images read
// through the ORMA source's own index and frame reader.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/export.h"
#include "cli/json.h"
#include "cli/play.h"
#include "cli/source_kinds.h"
#include "common/sector.h"
#include "orma/orma_disk.h"
#include "platform/drives.h"
#include "platform/system.h"

namespace cli {
namespace {

// Opens the source as the reader would: a drive of the drive map in the access mode the Windows
// version picks, a file given as a whole drive in file mode, anything else as a drive image.
int Open(const SourceSpec& spec, orma::COrmaDisk& disk, const char* command) {
    HRESULT hr;
    if (spec.asDrive && spec.drive > 0) {
        char path[40];
        std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", spec.drive);
        hr = disk.OpenDisk(spec.drive, path);
    } else if (spec.asDrive) {
        hr = disk.OpenDrive(spec.drive > 0 ? spec.drive : 1, spec.path.c_str(), common::AccessMode::File);
    } else {
        hr = disk.OpenDisk(0, spec.path.c_str());
    }
    if (FAILED(hr))
        return Fail(kFailure, std::string(command) + ": " + spec.Describe() + ": not a readable ORMA " +
                                  (spec.asDrive ? "drive" : "drive image") +
                                  " (no marker sector, or no recorded segment)");
    return kSuccess;
}

int Info(const SourceSpec& spec, bool json) {
    orma::COrmaDisk disk(nullptr);
    if (int status = Open(spec, disk, "info"))
        return status;
    UINT alarmCount = disk.AlarmTotal();
    std::vector<BYTE> alarms(std::size_t(alarmCount) * orma::kAlarmRecordBytes + 1);
    disk.GetAlarmList(alarms.data(), &alarmCount);
    const auto& segments = disk.Segments();
    if (json) {
        JsonWriter out;
        out.BeginObject();
        out.Key("kind").String("orma");
        out.Key("cluster_size").UInt(disk.ClusterSize());
        out.Key("cluster_count").UInt(disk.ClusterCount());
        out.Key("system_area_start").UInt(disk.SystemStart());
        out.Key("sector_base").UInt(disk.SectorBase());
        out.Key("write_cluster").UInt(disk.WriteCluster());
        out.Key("capacity_mb").UInt(disk.CapacityMB());
        out.Key("used_mb").UInt(disk.UsedMB());
        out.Key("segment_count").UInt(segments.size());
        out.Key("segments").BeginArray();
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const orma::OrmaSegment& s = segments[i];
            out.BeginObject();
            out.Key("index").UInt(i);
            out.Key("segment_id").UInt(s.segment_id);
            out.Key("start_time").String(orma::FormatTime(s.start_year, s.start_time));
            out.Key("end_time").String(orma::FormatTime(s.end_year, s.end_time));
            out.Key("first_cluster").UInt(s.first_cluster);
            out.Key("last_cluster").UInt(s.last_cluster);
            out.Key("start_address").UInt(s.start_address);
            out.Key("end_address").UInt(s.end_address);
            out.EndObject();
        }
        out.EndArray();
        out.Key("alarm_total").UInt(alarmCount);
        out.Key("alarms").BeginArray();
        for (UINT i = 0; i < alarmCount; ++i) {
            const BYTE* a = alarms.data() + std::size_t(i) * orma::kAlarmRecordBytes;
            out.BeginObject();
            out.Key("time").String(orma::FormatTime(a[10], platform::ReadLE32(a)));
            out.Key("sector").UInt(platform::ReadLE32(a + 4));
            out.Key("value").UInt(platform::ReadLE16(a + 8));
            out.EndObject();
        }
        out.EndArray();
        out.EndObject();
        std::printf("%s\n", out.Text().c_str());
        return kSuccess;
    }
    std::printf("ORMA %s %s\n", spec.asDrive ? "drive" : "drive image", spec.Describe().c_str());
    std::printf("  clusters     %u of %u sectors (%u MiB), system area at sector %u\n", disk.ClusterCount(),
                disk.ClusterSize(), disk.ClusterSize() / 2048, disk.SystemStart());
    std::printf("  sector base  %u, write cluster %u\n", disk.SectorBase(), disk.WriteCluster());
    std::printf("  capacity     %u MB, used %u MB\n", disk.CapacityMB(), disk.UsedMB());
    std::printf("  segments     %zu\n", segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const orma::OrmaSegment& s = segments[i];
        std::printf("    %3zu  id %-5u %s - %s  clusters %u..%u\n", i, s.segment_id,
                    orma::FormatTime(s.start_year, s.start_time).c_str(),
                    orma::FormatTime(s.end_year, s.end_time).c_str(), s.first_cluster, s.last_cluster);
    }
    std::printf("  alarms       %u\n", alarmCount);
    for (UINT i = 0; i < alarmCount; ++i) {
        const BYTE* a = alarms.data() + std::size_t(i) * orma::kAlarmRecordBytes;
        std::printf("    %s  sector %u  value 0x%04X\n",
                    orma::FormatTime(a[10], platform::ReadLE32(a)).c_str(), platform::ReadLE32(a + 4),
                    platform::ReadLE16(a + 8));
    }
    return kSuccess;
}

int Frames(const SourceSpec& spec, const FramesOptions& options, bool json) {
    orma::COrmaSlotBank pins; // headless: nobody waits for the pictures
    orma::COrmaDisk disk(&pins);
    if (int status = Open(spec, disk, "frames"))
        return status;
    if (options.from) {
        BYTE year = 0;
        DWORD time = 0;
        if (!orma::ParseTime(*options.from, &year, &time))
            return Fail(kUsage,
                        "frames: --from wants \"20YY/MM/DD hh:mm:ss\", not \"" + *options.from + "\"");
        disk.SetPointerTime(year, time);
    } else if (options.segment) {
        if (*options.segment >= static_cast<int>(disk.Segments().size()))
            return Fail(kFailure, "frames: there is no segment " + std::to_string(*options.segment) +
                                      " (the recording has " + std::to_string(disk.Segments().size()) + ")");
        disk.SetPointerSegment(*options.segment, 0);
    }
    disk.StartPlayback();
    JsonWriter out;
    out.BeginArray();
    std::vector<BYTE> audio(51040);
    for (int i = 0; i < options.count; ++i) {
        LONG length = static_cast<LONG>(audio.size());
        BYTE channel = 0;
        if (disk.GetFrame(audio.data(), &length, &channel) != S_OK) {
            std::fprintf(stderr, "scryde: frames: frame %d could not be read; the walk ends there\n", i);
            break;
        }
        const std::string time = orma::FormatTime(disk.LastFrameYear(), disk.LastFrameTime());
        if (json) {
            out.BeginObject();
            out.Key("time").String(time);
            out.Key("channel").Int(channel);
            out.Key("picture_bytes").Int(disk.LastPictureLength());
            out.Key("audio_bytes").Int(length);
            out.EndObject();
        } else {
            std::printf("%s  ch %2d  picture %6d  audio %5d\n", time.c_str(), channel,
                        static_cast<int>(disk.LastPictureLength()), static_cast<int>(length));
        }
    }
    out.EndArray();
    if (json)
        std::printf("%s\n", out.Text().c_str());
    return kSuccess;
}

const SourceKindRegistrar reg({"orma", Info, Frames, ExportOrma, PlayOrma, true});

} // namespace
} // namespace cli
