#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "orma/orma_disk.h"
#include "platform/bytes.h"

namespace orma::fuzz {

namespace {
// Failed reads stay quiet and do not pause, so a run is not slowed by the damaged images it makes.
const common::SectorVariant kQuietVariant = {"ORMA fuzz", false, false, true, false, false, false, false};
constexpr std::uint32_t kMaxPatch = 4096;
} // namespace

std::vector<std::uint8_t> EncodeInput(std::uint8_t sizeSelector, const std::vector<Patch>& patches) {
    std::vector<std::uint8_t> out{sizeSelector};
    for (const Patch& p : patches) {
        for (std::size_t at = 0; at < p.bytes.size(); at += kMaxPatch) {
            std::size_t n = std::min<std::size_t>(kMaxPatch, p.bytes.size() - at);
            std::uint8_t head[6];
            platform::WriteLE32(head, p.sector + static_cast<std::uint32_t>(at / 512));
            platform::WriteLE16(head + 4, static_cast<std::uint16_t>(n));
            out.insert(out.end(), head, head + 6);
            out.insert(out.end(), p.bytes.begin() + static_cast<long>(at),
                       p.bytes.begin() + static_cast<long>(at + n));
        }
    }
    return out;
}

namespace {

void Walk(COrmaDisk& disk, int frames, std::vector<BYTE>& audio) {
    for (int i = 0; i < frames; ++i) {
        LONG length = static_cast<LONG>(audio.size());
        BYTE channel = 0;
        if (disk.GetFrame(audio.data(), &length, &channel) != S_OK)
            disk.SetPointerSegment(0, 0);
    }
}

} // namespace

bool RunImageInput(const std::uint8_t* data, std::size_t size, const std::string& scratchPath) {
    if (size < 1)
        return false;
    const std::uint64_t sectors = (1 + data[0] % 3) * 65536ull + 1;
    {
        int fd = ::open(scratchPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        bool ok = ::ftruncate(fd, static_cast<off_t>(sectors * 512)) == 0;
        std::size_t at = 1;
        while (ok && size - at >= 6) {
            const std::uint64_t sector = platform::ReadLE32(data + at) % sectors;
            std::size_t n =
                std::min<std::size_t>(platform::ReadLE16(data + at + 4) % (kMaxPatch + 1), size - at - 6);
            n = static_cast<std::size_t>(std::min<std::uint64_t>(n, (sectors - sector) * 512));
            ok = ::pwrite(fd, data + at + 6, n, static_cast<off_t>(sector * 512)) == static_cast<ssize_t>(n);
            at += 6 + n;
        }
        ::close(fd);
        if (!ok)
            return false;
    }

    // The sixteen 128 000-byte slots are made once: clearing 2 MB per input would dominate a run.
    static COrmaSlotBank pins;
    COrmaDisk disk(&pins);
    disk.SetSectorVariant(kQuietVariant);
    disk.SetWindowsMajor(5);
    if (disk.OpenDisk(0, scratchPath.c_str()) != S_OK)
        return false;
    static const int kModels[] = {101, 102, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0};
    disk.SetDvrModel(static_cast<UINT>(kModels[data[0] / 3 % (sizeof kModels / sizeof kModels[0])]));
    disk.SetVideo(data[0] & 0x80 ? 1 : 0);
    std::vector<BYTE> audio(51040);
    HANDLE sink =
        CreateFileA("/dev/null", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (sink != INVALID_HANDLE_VALUE)
        disk.ArchiveDataFile(sink, 1 + (data[0] & 1));

    disk.StartPlayback();
    Walk(disk, 48, audio);
    disk.SetPlaybackSpeed(-1000);
    Walk(disk, 24, audio);
    disk.SetPlaybackSpeed(3000);
    Walk(disk, 24, audio);
    disk.SetPlaybackSpeed(500);

    UINT count = 0;
    disk.GetSegmentList(nullptr, &count);
    std::vector<BYTE> segments(std::size_t(count) * kSegmentRecordBytes + 1);
    disk.GetSegmentList(segments.data(), &count);
    UINT alarms = 0;
    disk.GetAlarmList(nullptr, &alarms);
    std::vector<BYTE> alarmList(std::size_t(alarms) * kAlarmRecordBytes + 1);
    disk.GetAlarmList(alarmList.data(), &alarms);
    for (const OrmaSegment& s : disk.Segments()) {
        disk.SetPointerTime(s.start_year, s.start_time + 64);
        Walk(disk, 2, audio);
        disk.SetPointerTime(s.end_year, s.end_time);
        Walk(disk, 2, audio);
        if (&s - disk.Segments().data() >= 4)
            break;
    }
    disk.SetPointerTime(0, 0);
    disk.SetPointerTime(0xFF, 0xFFFFFFFF);
    disk.SetPointerSegment(static_cast<int>(count), 1);
    disk.SetPointerPosition(data[0] * 1000 / 255);
    int permille = 0;
    BYTE year = 0;
    DWORD time = 0;
    disk.GetPointerPosition(&permille, &year, &time);
    Walk(disk, 8, audio);
    disk.ArchiveDataFile(nullptr, 1);
    if (sink != INVALID_HANDLE_VALUE)
        CloseHandle(sink);
    return true;
}

} // namespace orma::fuzz
