// Helpers of the TAV source filter tests: a simulated recorder drive, the filter created through the
// class registry as the reader creates it, open requests, and reading back what a pin delivered.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../../tests/tav_test_util.h"
#include "ivtsource.h"
#include "media/harness.h"
#include "media/interfaces.h"
#include "media/pin_names.h"
#include "platform/bytes.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "sim_tav/tav_recorder.h"
#include "tav/packet.h"

namespace vtstest {

// Physical drives are opened as files (the Windows 4 access), the log goes to a scratch home, and
// message boxes are answered without a window.
inline void UseTestEnvironment() {
    static const testsupport::CTempDir home("vts-home");
    ::setenv("SCRYDE_HOME", home.Path().c_str(), 1);
    ::setenv("SCRYDE_WINVER", "4.0", 1);
}

struct Drive {
    tavtest::ScratchDir dir;
    std::string path;
    sim_tav::Recording rec;
    Drive(const std::string& name, const sim_tav::RecorderOptions& o) : path(dir.File(name)) {
        rec = sim_tav::WriteTavDrive(path, o);
    }
};

// Four channels, two pictures per second each, a key frame every fourth, ADPCM audio on channel 0.
inline sim_tav::RecorderOptions FourChannels() {
    sim_tav::RecorderOptions o;
    o.channels = 4;
    o.framesPerSecond = 2;
    o.keyInterval = 4;
    o.audioFormat = 1;
    o.segments = 2;
    o.blocksPerSegment = 2;
    o.packetsPerBlock = 40;
    return o;
}

inline std::vector<BYTE> OpenRequest(int kind, const std::string& path, int drive = 0) {
    std::vector<BYTE> r(vtopen::kPath + path.size() + 1, 0);
    r[vtopen::kKind] = static_cast<BYTE>(kind);
    r[vtopen::kDrive] = static_cast<BYTE>(drive);
    std::copy(path.begin(), path.end(), r.begin() + vtopen::kPath);
    return r;
}

struct Filter {
    ComPtr<IBaseFilter> base;
    ComPtr<IVTSourceFilter> vts;
    HRESULT created = E_FAIL;
    Filter() {
        UseTestEnvironment();
        created = CoCreateInstance(CLSID_VTSourceFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   base.ReleaseAndGetVoidAddress());
        if (SUCCEEDED(created))
            created = base.As(IID_IVTSourceFilter, vts);
    }
    HRESULT Open(int kind, const std::string& path) {
        std::vector<BYTE> r = OpenRequest(kind, path);
        return vts->Open(r.data());
    }
};

// What one delivered video sample says about itself.
struct Delivered {
    bool placeholder = false;
    int channel = -1;
    BYTE type = 0;
    ULONGLONG micros = 0; // sample time from the header, µs
};
inline Delivered Inspect(const media::CapturedSample& s) {
    Delivered d;
    const BYTE* p = s.data.data();
    if (s.data.size() >= 4 && platform::ReadLE32(p) == tav::kPlaceholderWord) {
        d.placeholder = true;
        return d;
    }
    if (s.data.size() < 64)
        return d;
    d.channel = p[18];
    d.type = p[19];
    d.micros = ULONGLONG(platform::ReadLE32(p + 20)) * 1000000ull + platform::ReadLE32(p + 24);
    return d;
}
inline std::vector<Delivered> Frames(const std::vector<media::CapturedSample>& samples) {
    std::vector<Delivered> out;
    for (const auto& s : samples) {
        Delivered d = Inspect(s);
        if (!d.placeholder)
            out.push_back(d);
    }
    return out;
}
// The recorded packet's sample time in µs.
inline ULONGLONG Micros(const sim_tav::RecordedPacket& p) {
    DWORD s = 0, us = 0;
    tav::TimestampToTime(p.timestamp, &s, &us);
    return ULONGLONG(s) * 1000000ull + us;
}

// A harness around the filter with the audio pin as capture 0 and video pin c as capture c + 1.
inline std::unique_ptr<media::CFilterHarness> ConnectAll(IBaseFilter* filter, int videoPins = 16) {
    auto h = std::make_unique<media::CFilterHarness>(filter);
    int index = -1;
    EXPECT_EQ(h->ConnectOutput(&index, {}, {}, "Audio PIN"), S_OK);
    for (int c = 0; c < videoPins; ++c) {
        const std::string name = media::VideoPinName(c);
        EXPECT_EQ(h->ConnectOutput(&index, {}, {}, name.c_str()), S_OK) << name;
    }
    return h;
}

} // namespace vtstest
