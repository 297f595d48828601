// The results of one run, the comparisons drawn from them, and bench/README.md.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brevant_bench {

// One benchmark (one argument), over its repetitions.
struct Measurement {
    double cpuNs = 0;   // CPU time per iteration of the fastest repetition
    double realNs = 0;  // wall time per iteration of that repetition
    int64_t iterations = 0;
    int repetitions = 0;
    std::map<std::string, double> counters;  // of that repetition
    std::string error;  // why it failed; empty when it ran
};
// By "function/argument", e.g. "BM_FanOut_Brevant/listeners:8" or "BM_Soak".
using Results = std::map<std::string, Measurement>;

// One line of the table: a measurement, what it is judged against, and whether it does.
struct Row {
    std::string benchmark;
    std::string time;
    std::string reference;
    std::string referenceTime;
    std::string ratio;
    std::string goal;
    std::string met;    // "yes", "no", or "-" where there is no goal
    std::string bound;  // what holds it back, where a goal is not met
};
std::vector<Row> BuildRows(const Results& results);
std::string RowsAsMarkdown(const std::vector<Row>& rows);

struct RunInfo {
    std::string command;
    std::string date;     // UTC
    std::string cpuModel;
    int logicalCores = 0;
    double mhz = 0;
    std::string kernel;
    std::string build;
    std::string loadAverage;  // the 1, 5 and 15 minute figures
};
std::string Readme(const Results& results, const RunInfo& info);

// "12.3 ns", "4.56 us", "7.89 ms".
std::string FormatTime(double ns);

}  // namespace brevant_bench
