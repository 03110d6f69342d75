// Benchmark main with same-run ratios: runs the registered benchmarks, then
// prints each ratio of two results beside its target, since absolute times
// on a shared machine mean little.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Ratio {
    std::string what;
    std::string numerator;    // benchmark names, as Google Benchmark prints them
    std::string denominator;
    double target;            // the ratio must stay at or below this
    std::string minus = {};   // when set, (numerator - minus) / denominator
};

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                nanoseconds[run.run_name.str()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> nanoseconds;
};

// Runs everything and prints the ratios; the exit status is 0 when every
// ratio met its target.
inline int runWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios)
{
    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    int failed = 0;
    std::printf("\n%-60s %10s %8s\n", "ratio", "measured", "target");
    for (const Ratio& ratio : ratios) {
        auto& times = reporter.nanoseconds;
        if (!times.count(ratio.numerator) || !times.count(ratio.denominator) ||
            (!ratio.minus.empty() && !times.count(ratio.minus)))
            continue;  // filtered out
        double top = times[ratio.numerator] - (ratio.minus.empty() ? 0.0 : times[ratio.minus]);
        double value = top / times[ratio.denominator];
        bool met = value <= ratio.target;
        failed += !met;
        std::printf("%-60s %10.3f %8.2f %s\n", ratio.what.c_str(), value, ratio.target, met ? "ok" : "MISSED");
    }
    benchmark::Shutdown();
    return failed ? 1 : 0;
}

}  // namespace bench
