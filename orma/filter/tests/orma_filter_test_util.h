// Helpers of the ORMA source filter tests: recordings from the synthetic recorder, captured debugger
// output and message boxes, file checksums, and a filter created through the class registry.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "iormasrc.h"
#include "media/interfaces.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "sim_orma/orma_sim.h"

namespace ormasrc::test {

inline std::string TempPath(const std::string& name) {
    return std::string(::testing::TempDir()) + "ormasrc_" + std::to_string(::getpid()) + "_" + name;
}

// Keeps the filter's log and home folder out of the user's state folder.
inline void UseTempHome() {
    static const std::string home = [] {
        std::string h = TempPath("home");
        ::mkdir(h.c_str(), 0700);
        return h;
    }();
    ::setenv("SCRYDE_HOME", home.c_str(), 1);
}

struct Recording {
    std::string path;
    simorma::Result result;
    Recording(const std::string& name, const simorma::Options& o) : path(TempPath(name)), result(simorma::Write(path, o)) {}
    ~Recording() { std::remove(path.c_str()); }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
};

// A four-channel image of two segments: 2 clusters of 6 frames per block, then one cluster.
inline simorma::Options FourChannelImage() {
    simorma::Options o;
    o.image = true;
    o.imageFirstCluster = 3;
    o.framesPerBlock = 6;
    o.width = 96;
    o.height = 64;
    o.channels = 4;
    o.recordFrames = true;
    o.segments = {{7, 2, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 600, 1, 0},
                  {8, 1, simorma::SecondsOf(2009, 3, 1, 9, 0, 0), 300, 0, 0}};
    return o;
}

// Collects debugger output and message boxes while alive.
class Capture {
public:
    Capture() {
        m_oldSink = platform::SetDebugSink([this](const std::string& s) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_debug.push_back(s);
        });
        m_oldBox = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_boxes.push_back(r.caption + ": " + r.text);
            return IDOK;
        });
    }
    ~Capture() {
        platform::SetDebugSink(m_oldSink);
        platform::SetMessageBoxHandler(m_oldBox);
    }
    int Count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const std::string& s : m_debug)
            n += s == text;
        return n;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_debug;
    }
    std::vector<std::string> Boxes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_debug.clear();
        m_boxes.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_debug;
    std::vector<std::string> m_boxes;
    platform::DebugSink m_oldSink;
    platform::MessageBoxHandler m_oldBox;
};

// FNV-1a over the whole file.
inline unsigned long long Checksum(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    unsigned long long h = 1469598103934665603ull;
    std::vector<unsigned char> buf(1 << 20);
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) > 0)
        for (ssize_t i = 0; i < n; ++i)
            h = (h ^ buf[static_cast<std::size_t>(i)]) * 1099511628211ull;
    ::close(fd);
    return h;
}

inline bool CopyFile(const std::string& from, const std::string& to) {
    std::string cmd = "cp --sparse=always '" + from + "' '" + to + "'";
    return std::system(cmd.c_str()) == 0;
}

// The filter created by class id, as the reader creates it, with its control interface.
struct Filter {
    ComPtr<IBaseFilter> base;
    ComPtr<IOrmaSrc> src;
    HRESULT created = E_FAIL;
    Filter() {
        UseTempHome();
        created = CoCreateInstance(CLSID_OrmaSrc, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   base.ReleaseAndGetVoidAddress());
        if (SUCCEEDED(created))
            created = base.As(IID_IOrmaSrc, src);
    }
};

}  // namespace ormasrc::test
