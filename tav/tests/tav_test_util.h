// Shared fixture pieces: a scratch folder, a recorder drive written by the simulator, recorded boxes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "sim_tav/tav_recorder.h"
#include "tav/disk_source.h"
#include "testsupport/checksum.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace tavtest {

using ScratchDir = testsupport::CTempDir;

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
    return testsupport::ReadFileBytes(path);
}

// FNV-1a over the data regions of a (sparse) file and their offsets: enough to prove its bytes did not
// change, without reading gigabytes of holes.
inline unsigned long long Checksum(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    const off_t end = st.st_size;
    std::uint64_t h = testsupport::Fnv1a64(&end, sizeof end);
    testsupport::ForEachDataPiece(path, [&h](off_t, off_t at, const std::uint8_t* data, std::size_t n) {
        // Zero runs hash the same whether stored or a hole.
        if (std::any_of(data, data + n, [](std::uint8_t c) { return c != 0; })) {
            h = testsupport::Fnv1a64(&at, sizeof at, h);
            h = testsupport::Fnv1a64(data, n, h);
        }
    });
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
