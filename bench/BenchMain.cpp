// brevant_bench's own main: Google Benchmark's flags plus
//   --write-readme PATH   write the results, ratios and goals to PATH (bench/README.md)
//   --soak-frames N       frames of the soak (default 1,000,000)
// The results table is printed after the benchmarks either way. The exit status is non-zero
// when a benchmark failed or the plug-in leaked a handle or a suite; goals never decide it.
#include <benchmark/benchmark.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "BenchHost.h"
#include "Report.h"
#include "SoakBench.h"

namespace brevant_bench {
namespace {

std::string KeyOf(const benchmark::BenchmarkReporter::Run& run) {
    const std::string& args = run.run_name.args;
    return run.run_name.function_name + (args.empty() ? "" : "/" + args);
}

// Prints as the console reporter does and keeps, per benchmark, its fastest repetition.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter()
        : benchmark::ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    bool ReportContext(const Context& context) override {
        logicalCores_ = context.cpu_info.num_cpus;
        mhz_ = context.cpu_info.cycles_per_second / 1e6;
        return benchmark::ConsoleReporter::ReportContext(context);
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            Measurement& kept = results_[KeyOf(run)];
            ++kept.repetitions;
            if (run.error_occurred) {
                kept.error = run.error_message.empty() ? "error" : run.error_message;
                continue;
            }
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const double cpuNs = run.GetAdjustedCPUTime() * toNs;
            if (kept.iterations > 0 && cpuNs >= kept.cpuNs) continue;
            kept.cpuNs = cpuNs;
            kept.realNs = run.GetAdjustedRealTime() * toNs;
            kept.iterations = run.iterations;
            kept.counters.clear();
            for (const auto& counter : run.counters) kept.counters[counter.first] = counter.second.value;
        }
        benchmark::ConsoleReporter::ReportRuns(runs);
    }

    const Results& Collected() const { return results_; }
    int LogicalCores() const { return logicalCores_; }
    double Mhz() const { return mhz_; }

private:
    Results results_;
    int logicalCores_ = 0;
    double mhz_ = 0;
};

struct Options {
    std::string readmePath;
    int64_t soakFrames = kSoakDefaultFrames;
    std::string command;
};

// Takes this binary's own flags out of argv, leaving Google Benchmark's.
bool TakeOptions(int& argc, char** argv, Options& options) {
    std::string command = argv[0];
    for (int i = 1; i < argc; ++i) command += std::string(" ") + argv[i];
    options.command = command;

    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&](const std::string& flag, std::string& out) {
            if (argument == flag && i + 1 < argc) {
                out = argv[++i];
                return true;
            }
            if (argument.rfind(flag + "=", 0) == 0) {
                out = argument.substr(flag.size() + 1);
                return true;
            }
            return false;
        };
        std::string text;
        if (value("--write-readme", text)) {
            options.readmePath = text;
        } else if (value("--soak-frames", text)) {
            char* end = nullptr;
            options.soakFrames = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || options.soakFrames < 1) {
                std::fprintf(stderr, "brevant_bench: --soak-frames wants a positive number, not \"%s\"\n", text.c_str());
                return false;
            }
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return true;
}

std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    }
    return "unknown CPU";
}

int ProcessorCount() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    int processors = 0;
    while (std::getline(cpuinfo, line)) processors += line.rfind("processor", 0) == 0;
    return processors > 0 ? processors : static_cast<int>(std::thread::hardware_concurrency());
}

std::string LoadAverage() {
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(loadavg >> one >> five >> fifteen)) return "unknown";
    return one + ", " + five + ", " + fifteen;
}

RunInfo DescribeRun(const Options& options, const CollectingReporter& reporter, const std::string& loadAverage) {
    RunInfo info;
    info.loadAverage = loadAverage;
    const char* script = std::getenv("BREVANT_BENCH_SCRIPT");
    info.command = script && *script ? "`" + std::string(script) + "`, which runs `" + options.command + "`"
                                     : "`" + options.command + "`";
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
    info.date = date;
    info.cpuModel = CpuModel();
    info.logicalCores = ProcessorCount();
    if (info.logicalCores <= 0) info.logicalCores = reporter.LogicalCores();
    info.mhz = reporter.Mhz();
    struct utsname system {};
    info.kernel = ::uname(&system) == 0 ? std::string(system.release) + " " + system.machine : "unknown";
    info.build = BREVANT_BENCH_BUILD;
    return info;
}

}  // namespace
}  // namespace brevant_bench

int main(int argc, char** argv) {
    using namespace brevant_bench;
    Options options;
    if (!TakeOptions(argc, argv, options)) return 2;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

    std::string error;
    if (!PluginHost::Start(&error)) {
        std::fprintf(stderr, "brevant_bench: cannot start the plug-in: %s\n", error.c_str());
        return 1;
    }
    RegisterSoak(options.soakFrames);

    const std::string loadAverage = LoadAverage();
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const std::vector<std::string> leaks = PluginHost::Stop();

    const Results& results = reporter.Collected();
    std::cout << "\n" << RowsAsMarkdown(BuildRows(results)) << std::flush;

    int status = 0;
    for (const auto& entry : results) {
        if (!entry.second.error.empty()) {
            std::fprintf(stderr, "brevant_bench: %s failed: %s\n", entry.first.c_str(), entry.second.error.c_str());
            status = 1;
        }
    }
    for (const std::string& leak : leaks) {
        std::fprintf(stderr, "brevant_bench: leak: %s\n", leak.c_str());
        status = 1;
    }
    if (!options.readmePath.empty()) {
        // Sections written by hand (the farm's runs) follow a marker and are kept.
        const std::string marker = "<!-- written by hand below: kept when this file is rewritten -->";
        std::string kept;
        {
            std::ifstream previous(options.readmePath);
            const std::string text((std::istreambuf_iterator<char>(previous)), std::istreambuf_iterator<char>());
            const size_t at = text.find(marker);
            if (at != std::string::npos) kept = "\n" + text.substr(at);
        }
        std::ofstream readme(options.readmePath);
        readme << Readme(results, DescribeRun(options, reporter, loadAverage)) << kept;
        if (!readme) {
            std::fprintf(stderr, "brevant_bench: cannot write %s\n", options.readmePath.c_str());
            status = 1;
        } else {
            std::printf("Wrote %s\n", options.readmePath.c_str());
        }
    }
    return status;
}
