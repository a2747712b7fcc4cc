// Decoding speed of the JPEG core on three typical recorder frames, against libjpeg-turbo's tjDecompress2
// to BGRX on the same files in the same run. The frames are compressed at start-up with libturbojpeg from
// a synthetic picture (gradients, edges, text-like detail and sensor noise).
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "mjpeg/jpeg_decoder.h"

namespace {

struct Frame {
    const char* name;
    int width, height, subsamp, quality;
    bool progressive;
    std::vector<unsigned char> jpeg;
};

std::vector<Frame> g_frames = {
    {"720x288_422_q75", 720, 288, TJSAMP_422, 75, false, {}},
    {"704x480_420_q90", 704, 480, TJSAMP_420, 90, false, {}},
    {"704x480_progressive", 704, 480, TJSAMP_420, 75, true, {}},
};

std::vector<unsigned char> Picture(int w, int h) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
    std::mt19937 rng(42);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double r = 110 + 60 * std::sin(x / 40.0) * std::cos(y / 30.0) + 40.0 * x / w;
            double g = 90 + 80.0 * y / h + 30 * std::sin((x + y) / 25.0);
            double b = 140 - 50.0 * x / w + 20 * std::cos(y / 11.0);
            if ((x / 48 + y / 36) % 4 == 0) { // blocks of scene detail
                r = 200 - r / 3;
                g = 60 + ((x * 7 + y * 3) % 50);
            }
            if (y > h - 40 && y < h - 20 && (x / 6) % 3 != 0 && x > 20 && x < w / 2) // a caption-like strip
                r = g = b = 235;
            unsigned char* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            double v[3] = {r, g, b};
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<unsigned char>(std::min(255.0, std::max(0.0, v[c] + noise(rng))));
        }
    }
    return rgb;
}

void Compress(Frame& f) {
    std::vector<unsigned char> rgb = Picture(f.width, f.height);
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    int flags = f.progressive ? TJFLAG_PROGRESSIVE : 0;
    if (tjCompress2(tj, rgb.data(), f.width, 0, f.height, TJPF_RGB, &buf, &size, f.subsamp, f.quality,
                    flags) != 0) {
        std::fprintf(stderr, "compressing %s failed: %s\n", f.name, tjGetErrorStr2(tj));
        std::exit(1);
    }
    f.jpeg.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(tj);
}

void BM_Ours(benchmark::State& state, const Frame* f) {
    std::uint64_t sink = 0;
    for (auto _ : state) {
        mjpeg::jpeg_decoder_memory_stream stream(f->jpeg.data(), static_cast<std::int32_t>(f->jpeg.size()));
        mjpeg::jpeg_decoder dec(&stream);
        if (dec.begin_decoding() != 0) {
            state.SkipWithError("begin_decoding failed");
            break;
        }
        const void* line;
        std::uint32_t bytes;
        while (dec.decode(&line, &bytes) == 0)
            sink += static_cast<const unsigned char*>(line)[0];
    }
    benchmark::DoNotOptimize(sink);
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(f->width) * f->height / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Turbo(benchmark::State& state, const Frame* f) {
    tjhandle tj = tjInitDecompress();
    std::vector<unsigned char> bgrx(static_cast<std::size_t>(f->width) * f->height * 4);
    for (auto _ : state) {
        if (tjDecompress2(tj, f->jpeg.data(), f->jpeg.size(), bgrx.data(), f->width, 0, f->height, TJPF_BGRX,
                          0) != 0) {
            state.SkipWithError("tjDecompress2 failed");
            break;
        }
        benchmark::DoNotOptimize(bgrx.data());
    }
    tjDestroy(tj);
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(f->width) * f->height / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

// Keeps each run's CPU time per iteration (steadier than wall time on a shared machine) so the ratios
// can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred)
                m_seconds[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    void Summary() const {
        std::printf("\n%-22s %12s %10s %12s %8s\n", "frame (CPU time)", "ours ms", "ours MP/s", "turbo ms",
                    "ratio");
        for (const Frame& f : g_frames) {
            auto ours = m_seconds.find(std::string("ours/") + f.name);
            auto turbo = m_seconds.find(std::string("turbo/") + f.name);
            if (ours == m_seconds.end() || turbo == m_seconds.end())
                continue;
            double mp = static_cast<double>(f.width) * f.height / 1e6;
            std::printf("%-22s %12.3f %10.1f %12.3f %8.2f   (%zu bytes)\n", f.name, ours->second * 1e3,
                        mp / ours->second, turbo->second * 1e3, ours->second / turbo->second, f.jpeg.size());
        }
    }

private:
    std::map<std::string, double> m_seconds;
};

} // namespace

int main(int argc, char** argv) {
    for (Frame& f : g_frames) {
        Compress(f);
        benchmark::RegisterBenchmark((std::string("ours/") + f.name).c_str(), BM_Ours, &f)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("turbo/") + f.name).c_str(), BM_Turbo, &f)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summary();
    benchmark::Shutdown();
    return 0;
}
