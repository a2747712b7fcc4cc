// Drives for the checker tests: small whole drives from the synthetic recorder, every cluster in use,
// so that a sound drive checks clean at cluster and at block level.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "orma/tests/orma_test_util.h"
#include "testsupport/checksum.h"

namespace checker::test {

using orma::test::Capture;
using orma::test::Recording;

constexpr DWORD kC = 65536; // the recorder's cluster size on drives below 0x0A000000 sectors

// A fixed report time: 2026-12-22 11:45:07 UTC.
constexpr std::time_t kReportTime = 1797939907;

inline void UseUtc() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

// A whole drive of `clusters` clusters, all recorded by one segment starting 2026/12/10 11:00:00.
inline simorma::Options SoundDrive(std::uint32_t clusters, bool everyBlock = true) {
    simorma::Options o;
    o.driveSectors = std::uint64_t(clusters) * kC + 2048;
    o.framesPerBlock = 2;
    o.straddle = false;
    o.width = 32;
    o.height = 16;
    o.quality = 10;
    o.sparseContent = !everyBlock;
    o.segments = {{7, clusters, simorma::SecondsOf(2026, 12, 10, 11, 0, 0), 60, 3}};
    return o;
}

// A checksum of a sparse drive that reads only its data: FNV-1a over each data extent's offset and
// bytes, and the file size. Any write, even of zeros into a hole, shows as changed data or a new extent.
inline unsigned long long SparseChecksum(const std::string& path) {
    std::uint64_t h = testsupport::kFnv1a64Offset;
    const off_t size = testsupport::ForEachDataPiece(
        path, [&h](off_t extent, off_t at, const std::uint8_t* data, std::size_t n) {
            if (at == extent)
                h = testsupport::Fnv1a64(&extent, sizeof extent, h);
            h = testsupport::Fnv1a64(data, n, h);
        });
    if (size < 0)
        return 0;
    return testsupport::Fnv1a64(&size, sizeof size, h);
}

// The whole file, byte for byte.
inline std::string Slurp(const std::string& path) {
    std::string out;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

} // namespace checker::test
