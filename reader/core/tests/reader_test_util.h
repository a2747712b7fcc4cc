// Helpers of the reader tests: a scratch environment (home, settings, documents, the drive map and
// the Windows version), message boxes recorded instead of shown, simulated recordings of both
// families, and reading the picture tag back from a renderer.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/digest.h"
#include "media/videowindow.h"
#include "orma/layout.h"
#include "platform/system.h"
#include "reader/player.h"
#include "sim_m4v/m4v_encoder.h"
#include "sim_orma/orma_sim.h"
#include "sim_tav/tav_recorder.h"
#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace readertest {

class Scratch {
public:
    Scratch() : m_dir("reader-test") {
        for (const char* sub : {"home", "config", "docs"})
            std::filesystem::create_directories(m_dir.File(sub));
        ::setenv("SCRYDE_HOME", m_dir.File("home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
        ::setenv("XDG_DOCUMENTS_DIR", m_dir.File("docs").c_str(), 1);
        ::setenv("SCRYDE_WINVER", "5.1", 1);
        ::setenv("SCRYDE_DRIVES", "", 1);
    }
    std::string File(const std::string& name) const { return m_dir.File(name); }
    const std::string& Path() const { return m_dir.Path(); }

private:
    testsupport::CTempDir m_dir;
};

// Records every message box; answers with the box's default button.
class Boxes {
public:
    Boxes() {
        m_previous = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
            m_seen.push_back(r);
            return platform::DefaultButton(r.type);
        });
    }
    ~Boxes() { platform::SetMessageBoxHandler(m_previous); }
    const std::vector<platform::MessageBoxRequest>& Seen() const { return m_seen; }
    bool Saw(const std::string& text, const std::string& caption) const {
        for (const auto& r : m_seen)
            if (r.text == text && r.caption == caption)
                return true;
        return false;
    }
    void Clear() { m_seen.clear(); }

private:
    platform::MessageBoxHandler m_previous;
    std::vector<platform::MessageBoxRequest> m_seen;
};

// Four TAV channels of tagged MPEG-4 pictures with ADPCM audio.
inline sim_tav::RecorderOptions TavOptions(int channels = 4) {
    sim_tav::RecorderOptions o;
    o.channels = channels;
    o.framesPerSecond = 4;
    o.keyInterval = 1;
    o.audioFormat = 1;
    o.segments = 3;
    o.blocksPerSegment = 2;
    o.packetsPerBlock = 60;
    o.realPictures = true;
    return o;
}

// An ORMA drive image of two segments, four tagged channels.
inline simorma::Options OrmaOptions() {
    simorma::Options o;
    o.image = true;
    o.channels = 4;
    o.tagPictures = true;
    o.width = 176, o.height = 128; // room for the tag, small enough for the sanitizer runs
    o.framesPerBlock = 4;
    o.segments = {{1, 1, simorma::SecondsOf(2009, 3, 1, 8, 0, 0), 120, 2, 0},
                  {2, 1, simorma::SecondsOf(2009, 3, 2, 9, 30, 0), 120, 0, 0}};
    return o;
}

inline std::string Sha256Of(const std::string& path) {
    const std::vector<std::uint8_t> bytes = testsupport::ReadFileBytes(path);
    return common::Sha256Hex(bytes.data(), bytes.size());
}

// The channel tagged in the last picture a renderer presented, or -1.
inline int TaggedChannel(IBaseFilter* renderer) {
    ComPtr<IVideoFrameStore> store;
    media::VideoFrame f;
    if (!renderer ||
        FAILED(renderer->QueryInterface(IID_IVideoFrameStore, store.ReleaseAndGetVoidAddress())) ||
        FAILED(store->GetLastFrame(&f)))
        return -1;
    int channel = -1;
    std::uint32_t value = 0;
    if (!simm4v::ReadTagPacked(f.pixels.data(), f.width, f.height, std::ptrdiff_t(f.width) * 4,
                               simm4v::PackedFormat::kBgrx, false, &channel, &value))
        return -1;
    return channel;
}

} // namespace readertest
