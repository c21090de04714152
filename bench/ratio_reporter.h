// A console reporter that also prints, after all runs, the time ratio of each benchmark to its peer.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace TolvanBench {

/// Pairs are (ours, peer) benchmark names; a ratio above 1 means ours is faster.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
        : mPairs(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations == 0) continue;
            // Benchmarks measured in wall-clock time (UseRealTime) compare wall-clock times.
            const std::string name = run.benchmark_name();
            const bool realTime = name.find("/real_time") != std::string::npos;
            mSecondsPerIteration[name] = realTime ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nSpeed relative to the peer (peer time / our time; wall-clock for /real_time runs):\n");
        for (const auto& [ours, peer] : mPairs) {
            const auto a = mSecondsPerIteration.find(ours);
            const auto b = mSecondsPerIteration.find(peer);
            if (a == mSecondsPerIteration.end() || b == mSecondsPerIteration.end() || a->second <= 0)
                continue;
            std::printf("  %-40s vs %-40s %6.2f x\n", ours.c_str(), peer.c_str(), b->second / a->second);
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> mPairs;
    std::map<std::string, double> mSecondsPerIteration;
};

/// Runs the registered benchmarks with the ratio reporter.
inline int runWithRatios(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(std::move(pairs));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace TolvanBench
