// Opens one ORMA image or drive in a fresh process and reports the index size, the open time and the
// process's peak resident memory, for the memory test and for people.
//   orma_open_probe IMAGE [--as-drive]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "orma/orma_disk.h"

namespace {

long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orma_open_probe IMAGE [--as-drive]\n");
        return 2;
    }
    const bool asDrive = argc > 2 && std::strcmp(argv[2], "--as-drive") == 0;
    const long before = PeakResidentKiB();
    orma::COrmaDisk disk(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    HRESULT hr = asDrive ? disk.OpenDrive(1, argv[1], common::AccessMode::File) : disk.OpenDisk(0, argv[1]);
    auto t1 = std::chrono::steady_clock::now();
    std::printf("result=%d clusters=%u segments=%zu index_bytes=%zu open_ms=%.1f vmhwm_before_kib=%ld "
                "vmhwm_kib=%ld\n",
                static_cast<int>(hr), disk.ClusterCount(), disk.Segments().size(), disk.IndexBytes(),
                std::chrono::duration<double, std::milli>(t1 - t0).count(), before, PeakResidentKiB());
    return hr == S_OK ? 0 : 1;
}
