// Pieces the benchmarks that time a subsystem against a plain read of the same sectors share: a
// reporter that keeps each benchmark's time for the ratio lines, and the option naming an existing
// drive or image instead of a simulated one.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
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

} // namespace bench
