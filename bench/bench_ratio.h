// Ratios between benchmarks of one run: a console reporter that keeps each
// benchmark's median time (or its only time, without repetitions) and, at
// the end, prints measured / baseline for the pairs it was given.
#pragma once

#include <string>
#include <vector>

struct bench_ratio_pair {
    std::string label;     // the row's name in the summary
    std::string measured;  // benchmark names as registered
    std::string baseline;
};

// Initializes Google Benchmark from the command line, runs the selected
// benchmarks with the ratio reporter as the display, prints the summary of
// every pair whose two benchmarks both ran, and returns main's status.
// `title` heads the summary.
int run_benchmarks_with_ratios(int argc, char** argv, const std::string& title,
                               const std::vector<bench_ratio_pair>& pairs);
