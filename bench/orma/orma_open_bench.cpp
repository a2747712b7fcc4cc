// Opening an ORMA image reads one D32M record per cluster. This compares the whole open (geometry,
// scan, segment list, first positioning) of the largest image a 32-bit sector number allows with
// the floor: a plain loop reading the same 65 535 sectors, once through the same sector library
// and once with bare pread(2). At the end it prints the open time, the floor and their ratio.
//   orma_open_bench [--image PATH] [benchmark options]   (without --image a temporary image is written)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "bench/floor_report.h"
#include "common/sector.h"
#include "orma/orma_disk.h"
#include "sim_orma/orma_sim.h"

namespace {

std::string g_image;
constexpr DWORD kClusters = 65535;
constexpr DWORD kClusterSectors = 65536;

void BM_OpenIndex(benchmark::State& state) {
    for (auto _ : state) {
        orma::COrmaDisk disk(nullptr);
        if (disk.OpenDisk(0, g_image.c_str()) != S_OK)
            state.SkipWithError("the image did not open");
        benchmark::DoNotOptimize(disk.AlarmTotal());
    }
    state.counters["clusters"] = kClusters;
}

void BM_FloorSectorLibrary(benchmark::State& state) {
    std::vector<BYTE> records(std::size_t(kClusters) * 512);
    for (auto _ : state) {
        HANDLE h = CreateFileA(g_image.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_READONLY, nullptr);
        for (DWORD i = 0; i < kClusters; ++i)
            common::ReadSector(h, records.data() + std::size_t(i) * 512, (i + 1) * kClusterSectors - 1, 1,
                               common::kOrmaSourceVariant);
        CloseHandle(h);
        benchmark::DoNotOptimize(records.data());
    }
}

void BM_FloorPread(benchmark::State& state) {
    std::vector<unsigned char> records(std::size_t(kClusters) * 512);
    for (auto _ : state) {
        int fd = ::open(g_image.c_str(), O_RDONLY);
        for (DWORD i = 0; i < kClusters; ++i)
            if (::pread(fd, records.data() + std::size_t(i) * 512, 512,
                        static_cast<off_t>((std::uint64_t(i + 1) * kClusterSectors - 1) * 512)) != 512)
                state.SkipWithError("short read");
        ::close(fd);
        benchmark::DoNotOptimize(records.data());
    }
}

BENCHMARK(BM_OpenIndex)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FloorSectorLibrary)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FloorPread)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    const auto given = bench::TakeOption(argc, argv, "--image");
    const bool temporary = !given;
    if (given)
        g_image = *given;
    if (temporary) {
        g_image = "/tmp/orma_open_bench_" + std::to_string(::getpid()) + ".orm";
        simorma::Options o;
        o.image = true;
        o.clusterSectors = kClusterSectors;
        o.clusterCount = kClusters;
        o.sparseContent = true;
        o.framesPerBlock = 1;
        o.width = o.height = 32;
        o.segments = {{1, 40000, simorma::SecondsOf(2011, 1, 1, 0, 0, 0), 40 * 86400, 1, 0},
                      {2, 25535, simorma::SecondsOf(2011, 3, 1, 0, 0, 0), 25 * 86400, 0, 0}};
        std::fprintf(stderr, "writing %s (65 535 clusters of 32 MiB, sparse)...\n", g_image.c_str());
        simorma::Result r = simorma::Write(g_image, o);
        if (!r.error.empty()) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    bench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (temporary)
        std::remove(g_image.c_str());
    auto open = reporter.times.find("BM_OpenIndex/min_time:2.000");
    auto floor = reporter.times.find("BM_FloorSectorLibrary/min_time:2.000");
    auto bare = reporter.times.find("BM_FloorPread/min_time:2.000");
    if (open != reporter.times.end() && floor != reporter.times.end() && bare != reporter.times.end())
        std::printf("\nopen %.1f ms, floor %.1f ms (sector library), %.1f ms (pread): ratio %.2f (%.2f "
                    "against pread)\n",
                    open->second, floor->second, bare->second, open->second / floor->second,
                    open->second / bare->second);
    return 0;
}
