#include "platform/drives.h"

#include "platform/disk_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace platform {

namespace {

// Block devices under /sys/block that are not whole disks of a drive bay.
bool IsVirtualBlockDevice(const std::string& name) {
    static const char* const prefixes[] = {"loop", "ram", "zram", "dm-", "md", "sr", "fd", "nbd"};
    for (const char* p : prefixes)
        if (name.rfind(p, 0) == 0)
            return true;
    return false;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    std::size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

} // namespace

DriveMap DriveMap::Parse(const std::string& text) {
    DriveMap map;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item =
            Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        std::size_t eq = item.find('=');
        if (eq == std::string::npos) {
            map.m_problem = "SCRYDE_DRIVES: \"" + item + "\" is not of the form NUMBER=PATH";
            map.m_entries.clear();
            return map;
        }
        std::string number = Trim(item.substr(0, eq));
        std::string path = Trim(item.substr(eq + 1));
        char* end = nullptr;
        errno = 0;
        long n = number.empty() ? -1 : std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || errno != 0 || n < 0 || n > 255) {
            map.m_problem = "SCRYDE_DRIVES: \"" + number + "\" is not a drive number from 0 to 255";
            map.m_entries.clear();
            return map;
        }
        if (path.empty()) {
            map.m_problem = "SCRYDE_DRIVES: drive " + number + " has no path";
            map.m_entries.clear();
            return map;
        }
        if (map.m_entries.count(static_cast<int>(n))) {
            map.m_problem = "SCRYDE_DRIVES: drive " + number + " is named twice";
            map.m_entries.clear();
            return map;
        }
        map.m_entries[static_cast<int>(n)] = path;
    }
    return map;
}

DriveMap DriveMap::Load() {
    const char* env = std::getenv("SCRYDE_DRIVES");
    if (env)
        return Parse(env);
    DriveMap map;
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/sys/block")) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name[0] == '.' || IsVirtualBlockDevice(name))
                continue;
            names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (std::size_t i = 0; i < names.size(); ++i)
        map.m_entries[static_cast<int>(i)] = "/dev/" + names[i];
    return map;
}

std::optional<std::string> DriveMap::PathOf(int drive) const {
    auto it = m_entries.find(drive);
    if (it == m_entries.end())
        return std::nullopt;
    return it->second;
}

std::optional<ULONGLONG> DeviceSize(const std::string& path, std::string* problem) {
    if (ImageFormatOf(path) != ImageFormat::Plain) {
        std::string why;
        DWORD error = 0;
        auto image = OpenDiskImage(path, &why, &error);
        if (!image) {
            if (problem)
                *problem = why;
            return std::nullopt;
        }
        return image->Size();
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (problem)
            *problem = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::optional<ULONGLONG> size;
    if (::fstat(fd, &st) == 0) {
        if (S_ISBLK(st.st_mode)) {
            std::uint64_t bytes = 0;
            if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0)
                size = bytes;
        } else if (S_ISREG(st.st_mode)) {
            size = static_cast<ULONGLONG>(st.st_size);
        } else if (problem) {
            *problem = "not a disk, partition or image file";
        }
    }
    if (!size && problem && problem->empty())
        *problem = std::strerror(errno);
    ::close(fd);
    return size;
}

bool IsRemovableDevice(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    // /sys/dev/block/MAJ:MIN/removable, or the parent disk's for a partition.
    std::string base =
        "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    for (const char* rel : {"/removable", "/../removable"}) {
        std::ifstream in(base + rel);
        int value = 0;
        if (in >> value)
            return value != 0;
    }
    return false;
}

DriveInfo DescribeDrive(int number, const std::string& path) {
    DriveInfo info;
    info.number = number;
    info.path = path;
    auto size = DeviceSize(path, &info.problem);
    if (size) {
        info.sectors = *size / 512;
        info.readable = true;
        info.removable = IsRemovableDevice(path);
    }
    return info;
}

} // namespace platform
