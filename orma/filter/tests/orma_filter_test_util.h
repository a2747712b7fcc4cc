// Helpers of the ORMA source filter tests: the drive tests' recordings, captures and checksums, the
// filter's recordings, and a filter created through the class registry.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../../tests/orma_test_util.h"
#include "iormasrc.h"
#include "media/interfaces.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "sim_orma/orma_sim.h"
#include "testsupport/temp.h"

namespace ormasrc::test {

// The recordings, captures and checksums of the ORMA drive tests serve the filter tests as well.
using orma::test::Capture;
using orma::test::Checksum;
using orma::test::Recording;

inline std::string TempPath(const std::string& name) {
    return testsupport::TempPath("ormasrc", "_" + name);
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

} // namespace ormasrc::test
