// Opening and indexing the largest TAV drive a 32-bit sector number allows (2047 GiB, sparse file)
// against a plain read of the same trailers and block-index sectors, on a drive whose first section
// holds a few blocks and on one whose first section is full.
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

// Two drives of the largest size: "sparse" has 8 segments of 4 blocks each in use, so its first
// section (one segment of 1024 blocks) holds 4 block indexes; "full" has every block of its first 4
// segments in use, so the first section's count and the step into it walk all 1024 block indexes.
struct BigDrive {
    std::string path;
    sim_tav::Recording rec;
    BigDrive(const char* name, std::uint32_t segments, std::uint32_t blocks, std::uint32_t packets)
        : path(std::string("/tmp/tav-bench-2tb-") + name + "-" + std::to_string(::getpid()) + ".img") {
        sim_tav::RecorderOptions o;
        o.totalSectors = 0xFFFFFFFFu;
        o.segments = segments;
        o.blocksPerSegment = blocks;
        o.packetsPerBlock = packets;
        rec = sim_tav::WriteTavDrive(path, o);
    }
    ~BigDrive() { std::remove(path.c_str()); }
};

BigDrive& Drive(int which) {
    static BigDrive sparse("sparse", 8, 4, 16);
    static BigDrive full("full", 4, 1024, 4);
    return which == 0 ? sparse : full;
}

// One open as a user makes it: the source made, the drive opened and its index loaded, the source
// closed again.
bool OpenAndLoadIndex(const BigDrive& d) {
    tav::CTavDiskSource src(4);
    src.Open(tav::kOpenDrive, 0, d.path.c_str());
    bool loaded = src.LoadIndex() == S_OK;
    benchmark::DoNotOptimize(src.SectionCount());
    return loaded;
}

void BM_OpenAndLoadIndex(benchmark::State& state) {
    auto& d = Drive(static_cast<int>(state.range(0)));
    for (auto _ : state)
        if (!OpenAndLoadIndex(d))
            state.SkipWithError("index did not load");
}

// The same sector reads done plainly: the probe trailer and index, every trailer (10 sectors), and the
// first sector of each block index of the first section.
void PlainReadOfTrailersAndIndexes(const BigDrive& d) {
    const auto& g = d.rec.geo;
    static std::vector<char> buf(20480);
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

void BM_PlainReadOfTrailersAndIndexes(benchmark::State& state) {
    auto& d = Drive(static_cast<int>(state.range(0)));
    for (auto _ : state)
        PlainReadOfTrailersAndIndexes(d);
}

BENCHMARK(BM_OpenAndLoadIndex)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadOfTrailersAndIndexes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

constexpr int kRounds = 400;

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const char* names[] = {"sparse", "full"};
    for (int i = 0; i < 2; ++i) {
        auto open = reporter.times.find("BM_OpenAndLoadIndex/" + std::to_string(i));
        auto floor = reporter.times.find("BM_PlainReadOfTrailersAndIndexes/" + std::to_string(i));
        if (open != reporter.times.end() && floor != reporter.times.end())
            std::printf("%s%s drive: open and index load %.2f ms, plain read %.2f ms: ratio %.2f\n",
                        i == 0 ? "\n" : "", names[i], open->second, floor->second,
                        open->second / floor->second);
    }
    // The same pair again, alternating call by call, which a shared machine's changing load does not
    // tilt: the figure to go by.
    std::printf("\nalternating, %d rounds, medians of wall time:\n", kRounds);
    for (int i = 0; i < 2; ++i) {
        const BigDrive& d = Drive(i);
        bench::InterleavedTimes t = bench::TimeInterleaved(
            [&] { OpenAndLoadIndex(d); }, [&] { PlainReadOfTrailersAndIndexes(d); }, kRounds);
        std::printf("%s drive: open and index load %.2f ms, plain read %.2f ms: ratio %.2f\n", names[i],
                    t.oursMs, t.floorMs, t.ratio);
    }
    return 0;
}
