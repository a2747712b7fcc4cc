#include "platform/optical.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG kArchiveReserve = 0x3C00000; // what an archive keeps free on its target
constexpr const char* kSimConfig = ".optical";

// The folder a target path lies in: the path itself when it is a folder.
fs::path FolderOf(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (!fs::is_directory(p, ec))
        p = p.parent_path();
    return fs::weakly_canonical(p, ec);
}

// ---- The simulated disc drive -------------------------------------------------------------------

struct SimDrive {
    fs::path folder;
    int type = kMediaTypeDvd;
    ULONGLONG capacity = 4 << 20;
    int emptyChecks = 0;
};

std::mutex g_simMutex;
std::map<std::string, int> g_emptyChecksLeft; // per folder, after an eject

std::optional<SimDrive> SimDriveFor(const std::string& path) {
    const char* env = std::getenv("SCRYDE_OPTICAL_SIM");
    if (!env || !*env)
        return std::nullopt;
    std::error_code ec;
    const fs::path folder = fs::weakly_canonical(fs::absolute(env, ec), ec);
    if (ec || FolderOf(path) != folder)
        return std::nullopt;
    SimDrive drive;
    drive.folder = folder;
    std::ifstream in(folder / kSimConfig);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(0, eq);
        const unsigned long long value = std::strtoull(line.c_str() + eq + 1, nullptr, 0);
        if (name == "type")
            drive.type = static_cast<int>(value);
        else if (name == "capacity")
            drive.capacity = value;
        else if (name == "empty_checks")
            drive.emptyChecks = static_cast<int>(std::min<unsigned long long>(value, 1000));
    }
    return drive;
}

ULONGLONG SimUsedBytes(const SimDrive& drive) {
    ULONGLONG used = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(drive.folder, ec))
        if (e.is_regular_file(ec) && e.path().filename() != kSimConfig)
            used += e.file_size(ec);
    return used;
}

bool SimEject(const SimDrive& drive) {
    std::error_code ec;
    int n = 1;
    while (fs::exists(drive.folder / ("disc-" + std::to_string(n)), ec))
        ++n;
    const fs::path disc = drive.folder / ("disc-" + std::to_string(n));
    if (!fs::create_directory(disc, ec))
        return false;
    for (const auto& e : fs::directory_iterator(drive.folder, ec)) {
        if (!e.is_regular_file(ec) || e.path().filename() == kSimConfig)
            continue;
        fs::rename(e.path(), disc / e.path().filename(), ec);
        if (ec)
            return false;
    }
    std::lock_guard lock(g_simMutex);
    g_emptyChecksLeft[drive.folder.string()] = drive.emptyChecks;
    return true;
}

bool SimHasDisc(const SimDrive& drive) {
    std::lock_guard lock(g_simMutex);
    int& left = g_emptyChecksLeft[drive.folder.string()];
    if (left > 0) {
        --left;
        return false;
    }
    return true;
}

// ---- A real disc drive --------------------------------------------------------------------------

// The CD/DVD block device mounted under the target's folder, or "" when that volume is no disc.
std::string DiscDeviceFor(const std::string& path) {
    struct stat st {};
    if (::stat(FolderOf(path).c_str(), &st) != 0)
        return {};
    const std::string sys =
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::ifstream typeFile(sys + "/device/type");
    int scsiType = -1;
    typeFile >> scsiType;
    if (scsiType != 5) // SCSI peripheral type 5: CD/DVD
        return {};
    std::ifstream uevent(sys + "/uevent");
    std::string line;
    while (std::getline(uevent, line))
        if (line.rfind("DEVNAME=", 0) == 0)
            return "/dev/" + line.substr(8);
    return {};
}

int DiscRequest(const std::string& device, unsigned long request, long argument = 0) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int result = ::ioctl(fd, request, argument);
    ::close(fd);
    return result;
}

} // namespace

int TargetMediaType(const std::string& path) {
    if (const auto sim = SimDriveFor(path))
        return sim->type;
    const std::string device = DiscDeviceFor(path);
    if (device.empty())
        return kMediaTypeFixed;
    const int capability = DiscRequest(device, CDROM_GET_CAPABILITY);
    if (capability < 0)
        return kMediaTypeFixed;
    return (capability & CDC_DVD) ? kMediaTypeDvd : kMediaTypeCdRom;
}

std::optional<ULONGLONG> TargetFreeBytes(const std::string& path) {
    if (const auto sim = SimDriveFor(path)) {
        const ULONGLONG used = SimUsedBytes(*sim);
        return kArchiveReserve + (used < sim->capacity ? sim->capacity - used : 0);
    }
    struct statvfs vfs {};
    if (::statvfs(FolderOf(path).c_str(), &vfs) != 0)
        return std::nullopt;
    return static_cast<ULONGLONG>(vfs.f_bavail) * vfs.f_frsize;
}

bool EjectTarget(const std::string& path) {
    if (const auto sim = SimDriveFor(path))
        return SimEject(*sim);
    const std::string device = DiscDeviceFor(path);
    return !device.empty() && DiscRequest(device, CDROMEJECT) == 0;
}

bool TargetHasDisc(const std::string& path) {
    if (const auto sim = SimDriveFor(path))
        return SimHasDisc(*sim);
    const std::string device = DiscDeviceFor(path);
    return !device.empty() && DiscRequest(device, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_DISC_OK;
}

} // namespace platform
