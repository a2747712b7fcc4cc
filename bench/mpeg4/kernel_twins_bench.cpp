// Each SIMD kernel of the two decoding cores against its scalar twin: the same pairs and inputs the
// core tests compare byte for byte (mpeg4/tests/dsp_twins.h, mjpeg/tests/jpeg_kernel_twins.h), timed
// on inputs of the sizes the decoders meet. After the runs a table gives the scalar and SIMD time of
// each call and their ratio (how many times faster the SIMD twin is).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "mjpeg/tests/jpeg_kernel_twins.h"
#include "mpeg4/tests/dsp_twins.h"

namespace {

struct Pair {
    std::string name;
    simdtwin::Entry entry;
};

std::vector<Pair> AllPairs() {
    std::vector<Pair> pairs;
    for (simdtwin::Entry& e : mpeg4::test::DspTwins())
        pairs.push_back({"mpeg4/" + e.name, e});
    for (simdtwin::Entry& e : mjpeg::test::KernelTwins())
        pairs.push_back({"jpeg/" + e.name, e});
    return pairs;
}

// Keeps each run's CPU time per iteration (steadier than wall time on a shared machine) for the table.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred)
                m_seconds[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintTable(const std::vector<Pair>& pairs) const {
        std::printf("\n%-22s %12s %12s %8s\n", "kernel (CPU time)", "scalar ns", "SIMD ns", "ratio");
        for (const Pair& p : pairs) {
            auto scalar = m_seconds.find(p.name + "/scalar");
            auto simd = m_seconds.find(p.name + "/simd");
            if (scalar == m_seconds.end() || simd == m_seconds.end())
                continue;
            std::printf("%-22s %12.1f %12.1f %8.2f\n", p.name.c_str(), scalar->second * 1e9,
                        simd->second * 1e9, scalar->second / simd->second);
        }
    }

private:
    std::map<std::string, double> m_seconds;
};

void RunKernel(benchmark::State& state, const simdtwin::Entry& entry, bool simd) {
    std::function<void()> run = entry.runner(simd);
    for (auto _ : state) {
        run();
        benchmark::ClobberMemory();
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<Pair> pairs = AllPairs();
    for (const Pair& p : pairs) {
        if (!p.entry.hasSimd)
            continue;
        benchmark::RegisterBenchmark((p.name + "/scalar").c_str(), RunKernel, p.entry, false);
        benchmark::RegisterBenchmark((p.name + "/simd").c_str(), RunKernel, p.entry, true);
    }
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable(pairs);
    benchmark::Shutdown();
    return 0;
}
