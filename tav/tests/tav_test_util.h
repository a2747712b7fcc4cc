// Shared fixture pieces: a scratch folder, a recorder drive written by the simulator, recorded boxes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "sim_tav/tav_recorder.h"
#include "tav/disk_source.h"

namespace tavtest {

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/tav-test-XXXXXX";
        m_path = ::mkdtemp(tmpl);
    }
    ~ScratchDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Records every message box instead of showing it.
class BoxRecorder {
public:
    BoxRecorder() {
        m_previous = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
            boxes.push_back(r);
            return platform::DefaultButton(r.type);
        });
    }
    ~BoxRecorder() { platform::SetMessageBoxHandler(m_previous); }
    std::vector<platform::MessageBoxRequest> boxes;

private:
    platform::MessageBoxHandler m_previous;
};

inline std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// FNV-1a over the data regions of a (sparse) file and their offsets: enough to prove its bytes did not
// change, without reading gigabytes of holes.
inline unsigned long long Checksum(const std::string& path) {
    unsigned long long h = 1469598103934665603ull;
    auto mix = [&](const void* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            h ^= static_cast<const unsigned char*>(p)[i];
            h *= 1099511628211ull;
        }
    };
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    off_t end = ::lseek(fd, 0, SEEK_END);
    mix(&end, sizeof end);
    std::vector<char> buf(1 << 20);
    off_t pos = 0;
    while (pos < end) {
        off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        for (off_t at = data; at < hole;) {
            ssize_t n =
                ::pread(fd, buf.data(), std::min<off_t>(hole - at, static_cast<off_t>(buf.size())), at);
            if (n <= 0)
                break;
            // Zero runs hash the same whether stored or a hole.
            bool zero = std::all_of(buf.begin(), buf.begin() + n, [](char c) { return c == 0; });
            if (!zero) {
                mix(&at, sizeof at);
                mix(buf.data(), static_cast<std::size_t>(n));
            }
            at += n;
        }
        pos = hole;
    }
    ::close(fd);
    return h;
}

// Opens a drive file in physical-drive (file) mode and loads its index.
inline std::unique_ptr<tav::CTavDiskSource> OpenDrive(const std::string& path, HRESULT* open = nullptr,
                                                      HRESULT* load = nullptr) {
    auto src = std::make_unique<tav::CTavDiskSource>(4);
    HRESULT hr = src->Open(tav::kOpenDrive, 0, path.c_str());
    if (open)
        *open = hr;
    HRESULT lr = hr >= 0 ? src->LoadIndex() : E_FAIL;
    if (load)
        *load = lr;
    return src;
}

struct Walked {
    DWORD segment;
    int block, entry;
    DWORD time;
    BYTE channel, type;
    DWORD size;
};

// Every entry of every section in use, in reading order.
inline std::vector<Walked> WalkAll(tav::CTavDiskSource& src) {
    std::vector<Walked> out;
    for (int s = 0; s < src.SectionCount(); ++s) {
        src.SelectSection(s);
        while (src.NextEntry()) {
            auto p = src.CurrentPacket();
            out.push_back({p.segment, p.block, p.entry, p.time, p.channel, p.type, p.size});
        }
    }
    return out;
}

} // namespace tavtest
