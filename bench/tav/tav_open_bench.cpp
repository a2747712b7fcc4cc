// Opening and indexing the largest TAV drive a 32-bit sector number allows (2047 GiB, sparse) against
// a plain read of the same trailers and block-index sectors.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/floor_report.h"
#include "platform/system.h"
#include "sim_tav/tav_recorder.h"
#include "tav/disk_source.h"

namespace {

struct BigDrive {
    std::string path = "/tmp/tav-bench-2tb.img";
    sim_tav::Recording rec;
    BigDrive() {
        sim_tav::RecorderOptions o;
        o.totalSectors = 0xFFFFFFFFu;
        o.segments = 8;
        o.blocksPerSegment = 4;
        o.packetsPerBlock = 16;
        rec = sim_tav::WriteTavDrive(path, o);
    }
    ~BigDrive() { std::remove(path.c_str()); }
};

BigDrive& Drive() {
    static BigDrive d;
    return d;
}

void BM_OpenAndLoadIndex(benchmark::State& state) {
    auto& d = Drive();
    for (auto _ : state) {
        tav::CTavDiskSource src(4);
        src.Open(tav::kOpenDrive, 0, d.path.c_str());
        if (src.LoadIndex() != S_OK)
            state.SkipWithError("index did not load");
        benchmark::DoNotOptimize(src.SectionCount());
    }
}

// The same sector reads done plainly: the probe trailer and index, every trailer (10 sectors), and the
// first sector of each block index of the first section.
void BM_PlainReadOfTrailersAndIndexes(benchmark::State& state) {
    auto& d = Drive();
    const auto& g = d.rec.geo;
    std::vector<char> buf(20480);
    for (auto _ : state) {
        int fd = ::open(d.path.c_str(), O_RDONLY);
        ::pread(fd, buf.data(), 512, off_t(2008) * 512);
        ::pread(fd, buf.data(), 512, off_t(g.Tprime - g.S) * 512);
        ::pread(fd, buf.data(), 20480, off_t(2008) * 512);
        for (std::uint32_t s = 0; s + 1 < g.N; ++s)
            ::pread(fd, buf.data(), 5120, (off_t(s + 1) * g.S - 12) * 512);
        for (std::uint32_t b = 0; b < g.B; ++b)
            ::pread(fd, buf.data(), 512, off_t(b * 2048 + (b + 1 == g.B ? 1996 : 2008)) * 512);
        ::close(fd);
    }
}

BENCHMARK(BM_OpenAndLoadIndex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadOfTrailersAndIndexes)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto open = reporter.times.find("BM_OpenAndLoadIndex");
    auto floor = reporter.times.find("BM_PlainReadOfTrailersAndIndexes");
    if (open != reporter.times.end() && floor != reporter.times.end())
        std::printf("\nopen and index load %.2f ms, plain read %.2f ms: ratio %.2f\n", open->second,
                    floor->second, open->second / floor->second);
    return 0;
}
