// Pieces the benchmarks that time a subsystem against a plain read of the same sectors share: a
// reporter that keeps each benchmark's time for the ratio lines, and the option naming an existing
// drive or image instead of a simulated one.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Keeps each benchmark's real time per iteration, by name, while reporting as the console does.
class CTimesReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

// Takes "NAME VALUE" out of the command line (before Google Benchmark reads it); nothing when absent.
inline std::optional<std::string> TakeOption(int& argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) != 0)
            continue;
        std::string value = argv[i + 1];
        for (int j = i; j + 2 <= argc; ++j)
            argv[j] = argv[j + 2];
        argc -= 2;
        return value;
    }
    return std::nullopt;
}

// Times `ours` and `floor` alternately, one call each per round, so a change in the machine's load
// during the run falls on both alike. Gives the median wall time of each (ms) and the median of the
// per-round ratios ours / floor.
struct InterleavedTimes {
    double oursMs = 0, floorMs = 0, ratio = 0;
};
inline InterleavedTimes TimeInterleaved(const std::function<void()>& ours, const std::function<void()>& floor,
                                        int rounds) {
    using Clock = std::chrono::steady_clock;
    auto time = [](const std::function<void()>& f) {
        auto t0 = Clock::now();
        f();
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    };
    std::vector<double> a, b, r;
    for (int i = 0; i < rounds; ++i) {
        // Which one goes first alternates too, so neither always finds the caches the other left.
        double x, y;
        if (i & 1) {
            y = time(floor);
            x = time(ours);
        } else {
            x = time(ours);
            y = time(floor);
        }
        a.push_back(x);
        b.push_back(y);
        r.push_back(x / y);
    }
    auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    return {median(a), median(b), median(r)};
}

} // namespace bench
