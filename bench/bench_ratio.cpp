// The ratio reporter: see bench_ratio.h.
#include "bench_ratio.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <ostream>

namespace {

struct kept_time {
    double cpu = 0, real = 0;  // per iteration, in the benchmark's time unit
    benchmark::TimeUnit unit = benchmark::kNanosecond;
    bool median = false;       // from a median aggregate, not a single run
};

class ratio_reporter : public benchmark::ConsoleReporter {
public:
    ratio_reporter(std::string title, std::vector<bench_ratio_pair> pairs, OutputOptions options)
        : ConsoleReporter(options), title_(std::move(title)), pairs_(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            kept_time& kept = times_[run.run_name.function_name];
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            if (kept.median && !median) continue;
            kept = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime(), run.time_unit, median};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        bool header = false;
        for (const bench_ratio_pair& pair : pairs_) {
            const auto m = times_.find(pair.measured);
            const auto b = times_.find(pair.baseline);
            if (m == times_.end() || b == times_.end()) continue;
            if (m->second.unit != b->second.unit || b->second.cpu <= 0 || b->second.real <= 0) continue;
            if (!header) {
                out << "\n" << title_ << " (measured / baseline; "
                    << (m->second.median ? "medians of the repetitions" : "single runs") << ")\n";
                char line[160];
                std::snprintf(line, sizeof line, "%-28s %12s %12s %8s %8s\n", "case",
                              "measured", "baseline", "cpu x", "real x");
                out << line;
                header = true;
            }
            const char* unit = benchmark::GetTimeUnitString(m->second.unit);
            char line[200];
            std::snprintf(line, sizeof line, "%-28s %9.2f %-2s %9.2f %-2s %8.2f %8.2f\n",
                          pair.label.c_str(), m->second.cpu, unit, b->second.cpu, unit,
                          m->second.cpu / b->second.cpu, m->second.real / b->second.real);
            out << line;
        }
        out.flush();
    }

private:
    std::string title_;
    std::vector<bench_ratio_pair> pairs_;
    std::map<std::string, kept_time> times_;
};

}  // namespace

int run_benchmarks_with_ratios(int argc, char** argv, const std::string& title,
                               const std::vector<bench_ratio_pair>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    auto options = static_cast<benchmark::ConsoleReporter::OutputOptions>(
        benchmark::ConsoleReporter::OO_Tabular |
        (isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color : 0));
    ratio_reporter reporter(title, pairs, options);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
