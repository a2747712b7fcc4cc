// Shared helpers of the ORMA tests: temporary recordings from the synthetic recorder, captured debugger
// output and message boxes, file checksums.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "orma/orma_disk.h"
#include "platform/system.h"
#include "sim_orma/orma_sim.h"
#include "testsupport/checksum.h"
#include "testsupport/temp.h"

namespace orma::test {

inline std::string TempPath(const std::string& name) {
    return testsupport::TempPath("orma", "_" + name);
}

// A recording written for one test and removed afterwards.
struct Recording {
    std::string path;
    simorma::Result result;
    Recording(const std::string& name, const simorma::Options& o)
        : path(TempPath(name)), result(simorma::Write(path, o)) {}
    ~Recording() { std::remove(path.c_str()); }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
};

// Collects the debugger output and message boxes while alive.
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
    bool Saw(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& s : m_debug)
            if (s == text)
                return true;
        return false;
    }
    bool SawPrefix(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& s : m_debug)
            if (s.rfind(text, 0) == 0)
                return true;
        return false;
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
    return testsupport::FileFnv1a64(path);
}

// Rewrites bytes of one sector of a file in place.
template <class Edit> void PatchSector(const std::string& path, unsigned long long sector, Edit edit) {
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char s[512];
    ASSERT_EQ(::pread(fd, s, 512, static_cast<off_t>(sector * 512)), 512);
    edit(s);
    ASSERT_EQ(::pwrite(fd, s, 512, static_cast<off_t>(sector * 512)), 512);
    ::close(fd);
}

// A one- or two-segment image small enough to write in a fraction of a second.
inline simorma::Options SmallImage() {
    simorma::Options o;
    o.image = true;
    o.imageFirstCluster = 3;
    o.framesPerBlock = 2;
    o.width = 96;
    o.height = 64;
    o.segments = {{1, 2, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 640, 1, 5},
                  {2, 1, simorma::SecondsOf(2009, 3, 1, 9, 0, 0), 300, 0, 3}};
    return o;
}

// Reads every frame from the current position until GetFrame fails or `limit` frames were read.
struct Walked {
    BYTE year;
    DWORD time;
    int channel;
    LONG picture;
    LONG audio;
    DWORD cluster, block;
    int entry;
};
inline std::vector<Walked> Walk(COrmaDisk& disk, int limit, HRESULT* last = nullptr) {
    std::vector<Walked> out;
    std::vector<BYTE> audio(51040);
    for (int i = 0; i < limit; ++i) {
        DWORD c = disk.CurrentCluster(), b = disk.CurrentBlock();
        int e = disk.CurrentEntry();
        LONG length = static_cast<LONG>(audio.size());
        BYTE channel = 0;
        HRESULT hr = disk.GetFrame(audio.data(), &length, &channel);
        if (last)
            *last = hr;
        if (hr != S_OK)
            break;
        out.push_back(
            {disk.LastFrameYear(), disk.LastFrameTime(), channel, disk.LastPictureLength(), length, c, b, e});
    }
    return out;
}

} // namespace orma::test
