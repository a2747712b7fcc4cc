// Evidence handling against the standard tools, each measured in the same run on the same files:
//   1. reading 1 GiB of media through the EWF layer (CreateFileA + ReadFile, as every reader does)
//      against `ewfexport` writing the same range to /dev/null;
//   2. `scryde verify` of the raw file against `sha256sum` of it.
// Goals: ratio 1 at most 1.2, ratio 2 at most 1.1.
//   evidence_bench [--dir DIR] [--mib N]   (files are written to DIR, default /tmp, and removed)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fileio.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The best of three runs of a shell command, in seconds; negative when it fails.
double TimeCommand(const std::string& command) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            return -1;
        best = std::min(best, Seconds(start));
    }
    return best;
}

double TimeLayerRead(const std::string& path, unsigned long long bytes) {
    double best = 1e30;
    std::vector<char> buffer(4u << 20);
    for (int i = 0; i < 3; ++i) {
        auto start = std::chrono::steady_clock::now();
        HANDLE h =
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return -1;
        unsigned long long done = 0;
        DWORD got = 0;
        while (done < bytes && ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
               got)
            done += got;
        CloseHandle(h);
        if (done != bytes)
            return -1;
        best = std::min(best, Seconds(start));
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    std::string dir = "/tmp";
    unsigned long long mib = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--dir"))
            dir = argv[i + 1];
        else if (!std::strcmp(argv[i], "--mib"))
            mib = std::strtoull(argv[i + 1], nullptr, 10);
    }
    const unsigned long long bytes = mib << 20;
    const std::string raw = dir + "/evidence_bench_" + std::to_string(::getpid()) + ".img";
    // Media that neither compresses nor repeats, as recorded video does not: a xorshift stream.
    {
        std::FILE* f = std::fopen(raw.c_str(), "wb");
        if (!f)
            return std::fprintf(stderr, "cannot write %s\n", raw.c_str()), 1;
        std::vector<unsigned long long> block(1 << 17);
        unsigned long long x = 88172645463325252ull;
        for (unsigned long long left = bytes; left; left -= block.size() * 8) {
            for (auto& v : block) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                v = x;
            }
            std::fwrite(block.data(), 8, block.size(), f);
        }
        std::fclose(f);
    }
    const std::string e01 = raw + ".E01";
    if (std::system(("ewfacquire -u -q -c fast -t " + raw + " " + raw + " >/dev/null 2>&1").c_str()) != 0)
        return std::fprintf(stderr, "ewfacquire failed (is ewf-tools installed?)\n"), 1;
    // Both read the image once with the page cache warm.
    TimeCommand("cat " + e01 + " " + raw);

    const double layer = TimeLayerRead(e01, bytes);
    const double ewfexport = TimeCommand("ewfexport -q -u -f raw -t - -o 0 -B " + std::to_string(bytes) +
                                         " " + e01 + " > /dev/null");
    const double verify = TimeCommand(std::string(SCRYDE_EXE) + " verify " + raw);
    const double sha256sum = TimeCommand("sha256sum " + raw);
    std::printf("%-44s %8.2f s\n", "read 1 range through the EWF layer", layer);
    std::printf("%-44s %8.2f s\n", "ewfexport of the same range", ewfexport);
    std::printf("%-44s %8.2f   (goal at most 1.2)\n", "ratio", layer / ewfexport);
    std::printf("%-44s %8.2f s\n", "scryde verify (SHA-256 and MD5)", verify);
    std::printf("%-44s %8.2f s\n", "sha256sum", sha256sum);
    std::printf("%-44s %8.2f   (goal at most 1.1)\n", "ratio", verify / sha256sum);
    std::remove(e01.c_str());
    std::remove(raw.c_str());
    return 0;
}
