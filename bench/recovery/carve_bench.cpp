// Carving reads every byte of a drive. This times a whole carve of a large ORMA drive image whose
// clusters are mostly empty but whose recorded clusters are full of frames (each found frame's JPEG is
// decoded) against the floor: a plain loop reading the same bytes in order with pread(2), in the same
// request size. At the end it prints both times and their ratio.
//   carve_bench [--image PATH] [--gib N] [benchmark options]
// Without --image a temporary image of N GiB (64 by default) is written.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/floor_report.h"
#include "recovery/carver.h"
#include "sim_orma/orma_sim.h"

namespace {

std::string g_image;
constexpr std::size_t kRequestBytes = 16u << 20;
std::size_t g_frames = 0;

// Both runs start with none of the image in the page cache, so neither reads what the other cached.
void DropCachedImage() {
    const int fd = ::open(g_image.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void BM_Carve(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        DropCachedImage();
        state.ResumeTiming();
        recovery::CFileByteSource source(g_image);
        recovery::CarveOptions o;
        o.ormaImage = true;
        o.chunkBytes = kRequestBytes;
        recovery::CarveReport r = recovery::CarveOrma(source, o);
        if (!r.error.empty())
            state.SkipWithError(r.error.c_str());
        g_frames = r.frames.size();
    }
    state.counters["frames"] = static_cast<double>(g_frames);
}

void BM_FloorSequentialRead(benchmark::State& state) {
    std::vector<unsigned char> buffer(kRequestBytes);
    for (auto _ : state) {
        state.PauseTiming();
        DropCachedImage();
        state.ResumeTiming();
        const int fd = ::open(g_image.c_str(), O_RDONLY);
        off_t at = 0;
        for (;;) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
            if (n <= 0)
                break;
            at += n;
        }
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
}

// The floor first; each run twice from an empty page cache (the machine's other work makes single runs
// noisy).
BENCHMARK(BM_FloorSequentialRead)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK(BM_Carve)->Unit(benchmark::kSecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    const auto given = bench::TakeOption(argc, argv, "--image");
    const auto gibText = bench::TakeOption(argc, argv, "--gib");
    const std::uint32_t gib =
        gibText ? static_cast<std::uint32_t>(std::strtoul(gibText->c_str(), nullptr, 10)) : 64;
    const bool temporary = !given;
    if (given)
        g_image = *given;
    if (temporary) {
        if (gib < 1 || gib > 2047) {
            std::fprintf(stderr, "--gib wants 1 to 2047\n");
            return 2;
        }
        g_image = "/tmp/carve_bench_" + std::to_string(::getpid()) + ".orm";
        // Segments of 16 clusters of 32 MiB whose first and last clusters are recorded in full: one
        // cluster in eight holds frames, the rest is empty.
        simorma::Options o;
        o.image = true;
        o.clusterSectors = 65536;
        o.clusterCount = gib * 32;
        o.sparseContent = true;
        o.framesPerBlock = 4;
        o.width = 64;
        o.height = 48;
        for (std::uint32_t s = 0; s < o.clusterCount / 16; ++s)
            o.segments.push_back({static_cast<std::uint16_t>(s + 1), 16,
                                  simorma::SecondsOf(2012, 1, 1, 0, 0, 0) + 3600 * s, 1800, 0, 0});
        std::fprintf(stderr, "writing %s (%u GiB, sparse)...\n", g_image.c_str(), gib);
        simorma::Result r = simorma::Write(g_image, o);
        if (!r.error.empty()) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            std::remove(g_image.c_str());
            return 1;
        }
        std::fprintf(stderr, "%llu frames written\n", static_cast<unsigned long long>(r.framesWritten));
        // Written back before timing, so no run competes with the write-back of the image.
        const int fd = ::open(g_image.c_str(), O_RDONLY);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    // One untimed pass first: the first read of a freshly written sparse file costs more than later
    // ones, whichever run it would otherwise fall on.
    {
        std::vector<unsigned char> buffer(kRequestBytes);
        const int fd = ::open(g_image.c_str(), O_RDONLY);
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
            if (n <= 0)
                break;
            at += n;
        }
        if (fd >= 0)
            ::close(fd);
    }
    benchmark::Initialize(&argc, argv);
    bench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (temporary)
        std::remove(g_image.c_str());
    auto carve = reporter.times.find("BM_Carve/iterations:2");
    auto floor = reporter.times.find("BM_FloorSequentialRead/iterations:2");
    if (carve != reporter.times.end() && floor != reporter.times.end())
        std::printf("\ncarve %.1f s (%zu frames), sequential read %.1f s: ratio %.2f\n", carve->second,
                    g_frames, floor->second, carve->second / floor->second);
    return 0;
}
