#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace agent::bench {

// Prints the usual table, keeps each benchmark's best CPU time per iteration over its
// repetitions, and gives the ratios from the same run. The machine is shared: wall time
// measures the neighbours too, and the best repetition is the one they disturbed least.
// Benchmarks are known by function name, plus "/<args>" when they take arguments.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const std::string name =
                    run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
                const auto known = times_.find(name);
                const double time = run.GetAdjustedCPUTime();
                if (known == times_.end() || time < known->second)
                    times_[name] = time;
            }
        }
    }

    // Best time of `name` divided by best time of `base` (0 when one of them did not run).
    double ratio(const std::string& name, const std::string& base) const {
        const auto a = times_.find(name);
        const auto b = times_.find(base);
        return a == times_.end() || b == times_.end() || b->second == 0 ? 0 : a->second / b->second;
    }

    void print_ratio(const std::string& label, const std::string& name, const std::string& base) const {
        std::printf("%s: %.3f  (best CPU time %s / %s)\n", label.c_str(), ratio(name, base), name.c_str(), base.c_str());
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace agent::bench
