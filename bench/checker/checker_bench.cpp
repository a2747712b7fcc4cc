// The cluster-level check of a whole 2 TB drive reads one D32M record per cluster (6 781 clusters of
// 288 MiB). This compares the check (log, findings, verdict) with the floor: a plain loop reading the
// same sectors, once through the same sector library and once with bare pread(2). It prints the
// check time, the floor and their ratio.
//   checker_bench [--drive PATH] [benchmark options]   (without --drive a temporary drive is written)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/floor_report.h"
#include "checker/structure_check.h"
#include "common/sector.h"
#include "sim_orma/orma_sim.h"

namespace {

std::string g_drive;
constexpr std::uint64_t kDriveSectors = 4000000000ull; // 2.048 TB
DWORD g_clusters = 0;
DWORD g_clusterSectors = 0;

void BM_CheckClusters(benchmark::State& state) {
    checker::CStructureCheck check;
    if (check.OpenFile(g_drive) != checker::CStructureCheck::OpenResult::Opened) {
        state.SkipWithError("the drive did not open");
        return;
    }
    g_clusters = check.ClusterCount();
    g_clusterSectors = check.ClusterSize();
    // The window's callbacks are part of the cost: a status line per cluster.
    std::size_t statusBytes = 0;
    check.SetCallbacks({{}, [&](DWORD, DWORD, const std::string& status) { statusBytes += status.size(); }});
    for (auto _ : state) {
        check.Run(false);
        if (check.ErrorCount() != 0)
            state.SkipWithError("the drive is not sound");
        benchmark::DoNotOptimize(check.Log().data());
    }
    benchmark::DoNotOptimize(statusBytes);
    state.counters["clusters"] = g_clusters;
}

void BM_FloorSectorLibrary(benchmark::State& state) {
    BYTE record[512];
    HANDLE h = CreateFileA(g_drive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_READONLY, nullptr);
    for (auto _ : state) {
        for (DWORD i = 0; i < g_clusters; ++i)
            common::ReadSector(h, record, (i + 1) * g_clusterSectors - 1, 1, common::kCheckerVariant);
        benchmark::DoNotOptimize(record);
    }
    CloseHandle(h);
}

void BM_FloorPread(benchmark::State& state) {
    unsigned char record[512];
    int fd = ::open(g_drive.c_str(), O_RDONLY);
    for (auto _ : state) {
        for (DWORD i = 0; i < g_clusters; ++i)
            if (::pread(fd, record, 512,
                        static_cast<off_t>((std::uint64_t(i + 1) * g_clusterSectors - 1) * 512)) != 512)
                state.SkipWithError("short read");
        benchmark::DoNotOptimize(record);
    }
    ::close(fd);
}

BENCHMARK(BM_CheckClusters)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FloorSectorLibrary)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FloorPread)->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    const auto given = bench::TakeOption(argc, argv, "--drive");
    const bool temporary = !given;
    if (given)
        g_drive = *given;
    if (temporary) {
        g_drive = "/tmp/checker_bench_" + std::to_string(::getpid()) + ".img";
        simorma::Options o;
        o.driveSectors = kDriveSectors;
        o.sparseContent = true;
        o.framesPerBlock = 1;
        o.width = o.height = 32;
        const std::uint32_t clusters =
            static_cast<std::uint32_t>(kDriveSectors / simorma::RecorderClusterSectors(kDriveSectors));
        o.segments = {
            {1, clusters / 2, simorma::SecondsOf(2011, 1, 1, 0, 0, 0), 40 * 86400, 4, 0},
            {2, clusters - clusters / 2, simorma::SecondsOf(2011, 3, 1, 0, 0, 0), 25 * 86400, 0, 0}};
        std::fprintf(stderr, "writing %s (%u clusters, a 2 TB drive, sparse)...\n", g_drive.c_str(),
                     clusters);
        simorma::Result r = simorma::Write(g_drive, o);
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
        std::remove(g_drive.c_str());
    auto check = reporter.times.find("BM_CheckClusters/min_time:1.000");
    auto floor = reporter.times.find("BM_FloorSectorLibrary/min_time:1.000");
    auto bare = reporter.times.find("BM_FloorPread/min_time:1.000");
    if (check != reporter.times.end() && floor != reporter.times.end() && bare != reporter.times.end())
        std::printf("\ncheck %.2f ms, floor %.2f ms (sector library), %.2f ms (pread): ratio %.2f (%.2f "
                    "against pread)\n",
                    check->second, floor->second, bare->second, check->second / floor->second,
                    check->second / bare->second);
    return 0;
}
