#pragma once
// Ratios that hold on any machine: every benchmark named "Operation/Size" is read against the
// baseline "Baseline/Size" of the same run (the memory pass), and every operation against its
// own figure at the smallest size. Each figure is the best of its repetitions, the one least
// disturbed by whatever else shares the processor. Beside the wall-clock ratio stands the ratio
// of processor time (all threads, when the benchmark measures the process), which holds better
// while other programs compete for the cores.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sv::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::string baseline) : baseline_(std::move(baseline)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            const double cpu = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            const std::string name = run.run_name.function_name;
            auto [it, fresh] = best_.emplace(name, seconds);
            if (!fresh && seconds < it->second) it->second = seconds;
            auto [c, freshCpu] = bestCpu_.emplace(name, cpu);
            if (!freshCpu && cpu < c->second) c->second = cpu;
            if (fresh) order_.push_back(name);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nBest of the repetitions, as ratios (wall clock; processor time in brackets):\n");
        std::map<std::string, double> firstSize;
        for (const std::string& name : order_) {
            const auto slash = name.rfind('/');
            if (slash == std::string::npos) continue;
            const std::string operation = name.substr(0, slash);
            const std::string size = name.substr(slash + 1);
            const double t = best_[name];
            std::printf("  %-44s %9.2f ms", name.c_str(), t * 1e3);
            const auto base = best_.find(baseline_ + "/" + size);
            if (base != best_.end() && operation != baseline_) {
                const double cpu = bestCpu_[name];
                const double baseCpu = bestCpu_[baseline_ + "/" + size];
                std::printf("  %6.2fx (%6.2fx) %s", t / base->second, baseCpu > 0 ? cpu / baseCpu : 0.0,
                            baseline_.c_str());
            }
            const auto [first, fresh] = firstSize.emplace(operation, t);
            if (!fresh) std::printf("  %6.2fx its first size", t / first->second);
            std::printf("\n");
        }
    }

private:
    std::string baseline_;
    std::map<std::string, double> best_;
    std::map<std::string, double> bestCpu_;
    std::vector<std::string> order_;
};

// main() of a program whose figures read as ratios against `baseline`.
inline int runWithRatios(int argc, char** argv, const std::string& baseline) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(baseline);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace sv::bench
