#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>

#include "SoakBench.h"

namespace brevant_bench {
namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatRatio(double ratio) { return Format(ratio < 10 ? "%.2fx" : "%.1fx", ratio); }

std::string FormatCount(double value) {
    return Format(std::fabs(value - std::round(value)) < 0.005 ? "%.0f" : "%.2f", value);
}

std::string FormatKiB(double kib) {
    return std::fabs(kib) >= 1024 ? Format("%.2f MiB", kib / 1024) : Format("%.0f KiB", kib);
}

const Measurement* Find(const Results& results, const std::string& key) {
    const auto found = results.find(key);
    return found != results.end() && found->second.error.empty() ? &found->second : nullptr;
}

double Counter(const Measurement& measurement, const std::string& name, double missing = -1) {
    const auto found = measurement.counters.find(name);
    return found != measurement.counters.end() ? found->second : missing;
}

std::string FanOut(const char* kind, int listeners) {
    return std::string("BM_FanOut_") + kind + "/listeners:" + std::to_string(listeners);
}

// CPU time of a benchmark, or NaN when it did not run.
double Time(const Results& results, const std::string& key) {
    const Measurement* measurement = Find(results, key);
    return measurement ? measurement->cpuNs : std::nan("");
}

using BoundText = std::function<std::string(const Results&)>;

// A measurement against its reference; times are divided by the scales (per item, per call).
struct Comparison {
    std::string subjectKey;
    std::string subjectLabel;
    std::string referenceKey;
    std::string referenceLabel;
    double goal = 0;  // the highest ratio that meets it; 0 when there is no goal
    BoundText bound;
    double subjectScale = 1;
    double referenceScale = 1;
};

void AddComparison(const Results& results, const Comparison& comparison, std::vector<Row>& rows) {
    const Measurement* subject = Find(results, comparison.subjectKey);
    const Measurement* reference = Find(results, comparison.referenceKey);
    if (!subject || !reference || reference->cpuNs <= 0) return;
    const double subjectNs = subject->cpuNs / comparison.subjectScale;
    const double referenceNs = reference->cpuNs / comparison.referenceScale;
    const double ratio = subjectNs / referenceNs;
    Row row;
    row.benchmark = comparison.subjectLabel;
    row.time = FormatTime(subjectNs);
    row.reference = comparison.referenceLabel;
    row.referenceTime = FormatTime(referenceNs);
    row.ratio = FormatRatio(ratio);
    if (comparison.goal > 0) {
        row.goal = "≤ " + FormatRatio(comparison.goal);
        const bool met = ratio <= comparison.goal;
        row.met = met ? "yes" : "no";
        if (!met && comparison.bound) row.bound = comparison.bound(results);
    } else {
        row.goal = "-";
        row.met = "-";
    }
    rows.push_back(row);
}

std::string FanOutDirectBound(const Results& results, int listeners) {
    const double fixed = Time(results, FanOut("Brevant", 0));
    const double direct = Time(results, FanOut("DirectLoop", listeners));
    const double perBrevant = (Time(results, FanOut("Brevant", 1000)) - fixed) / 1000;
    const double perDirect = Time(results, FanOut("DirectLoop", 1000)) / 1000;
    std::ostringstream text;
    text << "A fixed cost per event of " << FormatTime(fixed)
         << " with no listener at all (the session's virtual call and checks, and three HostLog calls through "
            "the host, which drops the lines), against "
         << FormatTime(direct) << " for all " << listeners << " direct calls; per listener Brevant costs "
         << FormatTime(perBrevant) << " and a direct call " << FormatTime(perDirect)
         << ", so the ratio approaches 1 only with many listeners (see 1000 below).";
    return text.str();
}

std::string FanOutSignalsBound(const Results& results, int listeners) {
    return "Signals2 takes " + FormatTime(Time(results, FanOut("Signals2", listeners))) + " for " +
           std::to_string(listeners) + " slots; Brevant's fixed cost per event alone is " +
           FormatTime(Time(results, FanOut("Brevant", 0))) + ".";
}

std::string HandleBound(const Results& results) {
    const double brevant = Time(results, "BM_Handle_Brevant");
    const double host = Time(results, "BM_Handle_HostMemorySuite");
    const double copy = Time(results, "BM_Handle_MallocCopy");
    const double suite = Time(results, "BM_Handle_SuiteAcquireRelease");
    return "The host's memory suite alone (MemCreate zero-filled, MemLock, copy, MemUnlock, MemFree: a checked "
           "token per handle, the handle table's lock on create and free, an atomic operation on lock and "
           "unlock) costs " +
           FormatTime(host) + ", " + FormatRatio(host / copy) + " the reference by itself. Brevant adds " +
           FormatTime(brevant - host) + ", of which " + FormatTime(suite) +
           " is acquiring and releasing the memory suite for every conversion (BM_Handle_SuiteAcquireRelease) "
           "and the rest the suite operation's boundary (main-thread check, entry log line, and the strong "
           "reference to the session held for the call).";
}

std::string FrameBound(const Results& results) {
    const Measurement* brevant = Find(results, "BM_Frame_Brevant");
    const double calls = Time(results, "BM_Frame_HostFileCalls");
    const double pairs = brevant ? Counter(*brevant, "pairs/frame") : 0;
    return "The bare host calls take " + FormatTime(calls) + "; Brevant adds " +
           FormatTime((brevant ? brevant->cpuNs : 0) - calls) + " for the fan-out, the properties' texts and " +
           FormatCount(pairs) + " key/value pairs handed over as " + FormatCount(2 * pairs) + " handles (" +
           FormatTime(Time(results, "BM_Handle_Brevant")) + " each with the client's MemFree).";
}

std::string ThumbnailBound(const Results& results) {
    return "Brevant adds " +
           FormatTime(Time(results, "BM_Thumbnail_Brevant") - Time(results, "BM_Thumbnail_HostDirect")) +
           ": the fan-out, the size arithmetic, and the JPEG's copy into a host memory handle.";
}

std::string DescribeBound(const Results& results) {
    const Measurement* large = Find(results, "BM_Describe/items:10000");
    const double allocations = large ? Counter(*large, "allocs/item") : 0;
    const double bytes = large ? Counter(*large, "bytes/item") : 0;
    return FormatTime(Time(results, "BM_Describe/items:10000") / 10000) + " per item with 10,000 items against " +
           FormatTime(Time(results, "BM_Describe/items:10") / 10) + " with 10. Each item costs " +
           FormatCount(allocations) + " allocations of " + FormatKiB(bytes / 1024) +
           " in all; for 10,000 items they come from fresh pages (page faults) and the allocator's consolidation "
           "of its free lists, while a 10-item session reuses the memory its predecessor freed. A profile shows "
           "the allocator, not the plug-in's own code, on top.";
}

std::string RandomLookupBound(const Results& results, const std::string& name) {
    return FormatTime(Time(results, name + "/items:10000")) + " with 10,000 items against " +
           FormatTime(Time(results, name + "/items:10")) +
           " with 10, for items drawn at random. Finding the item costs the same in both (see op 6, which "
           "reads only the list's length); what grows is reading a random item's texts, which in a job of "
           "10,000 items (over 100 MiB of lists) are in no cache: the list, the key and the value are each "
           "likely a miss to main memory.";
}

}  // namespace

std::string FormatTime(double ns) {
    if (std::isnan(ns)) return "-";
    const double magnitude = std::fabs(ns);
    if (magnitude < 1e3) return Format("%.1f ns", ns);
    if (magnitude < 1e6) return Format("%.2f µs", ns / 1e3);
    if (magnitude < 1e9) return Format("%.2f ms", ns / 1e6);
    return Format("%.2f s", ns / 1e9);
}

std::vector<Row> BuildRows(const Results& results) {
    std::vector<Row> rows;
    for (int listeners : {1, 8, 64}) {
        const std::string count = std::to_string(listeners);
        const std::string label = "Fan-out of one frame event to " + count + (listeners == 1 ? " listener" : " listeners");
        const bool judged = listeners == 8;
        AddComparison(results,
                      {FanOut("Brevant", listeners), label, FanOut("DirectLoop", listeners),
                       "a loop of " + count + " direct calls", judged ? 1.5 : 0,
                       [listeners](const Results& r) { return FanOutDirectBound(r, listeners); }},
                      rows);
        AddComparison(results,
                      {FanOut("Brevant", listeners), label, FanOut("Signals2", listeners),
                       "Boost.Signals2 emitting to " + count + (listeners == 1 ? " slot" : " slots"),
                       judged ? 0.25 : 0, [listeners](const Results& r) { return FanOutSignalsBound(r, listeners); }},
                      rows);
    }

    // The most allocations per event that any fan-out size made.
    double allocations = -1;
    for (int listeners : {0, 1, 8, 64, 1000}) {
        if (const Measurement* fanOut = Find(results, FanOut("Brevant", listeners))) {
            allocations = std::max(allocations, Counter(*fanOut, "allocs/iter"));
        }
    }
    if (allocations >= 0) {
        Row row;
        row.benchmark = "Heap allocations per fan-out, 0 to 1000 listeners";
        row.time = FormatCount(allocations) + " per event";
        row.reference = "-";
        row.referenceTime = "-";
        row.ratio = "-";
        row.goal = "0";
        row.met = allocations == 0 ? "yes" : "no";
        if (allocations != 0) row.bound = "Something on the event's path allocates; the registry's snapshot should not.";
        rows.push_back(row);
    }

    AddComparison(results,
                  {"BM_Handle_Brevant", "1 KiB string handle: Brevant_GetProjectName + MemFree",
                   "BM_Handle_MallocCopy", "malloc + memcpy + free of the same bytes", 1.3, HandleBound},
                  rows);
    AddComparison(results,
                  {"BM_Handle_HostMemorySuite", "The same through the host's memory suite alone",
                   "BM_Handle_MallocCopy", "malloc + memcpy + free of the same bytes", 0, nullptr},
                  rows);
    AddComparison(results,
                  {"BM_Frame_Brevant", "One frame, 2 file-based modules, a listener reading ops 13-16",
                   "BM_Frame_HostFileCalls", "the bare host file-system calls of both modules", 1.5, FrameBound},
                  rows);
    AddComparison(results,
                  {"BM_Thumbnail_Brevant", "Thumbnail 3840x2160 to 320x180 through op 17",
                   "BM_Thumbnail_HostDirect", "HostConvertWorldToVideoFrame + HostCompressToJpeg", 1.05,
                   ThumbnailBound},
                  rows);
    AddComparison(results,
                  {"BM_Scaler_Host", "Host scaler (HostConvertWorldToVideoFrame), 3840x2160 to 320x180",
                   "BM_Scaler_Stb", "stb_image_resize, its default (Mitchell) filter, on the same picture as RGB", 0,
                   nullptr},
                  rows);
    // The like-for-like comparison: the same area-averaging filter, and how far apart the two
    // thumbnails are.
    if (const Measurement* box = Find(results, "BM_Scaler_StbBox")) {
        AddComparison(results,
                      {"BM_Scaler_Host", "Host scaler, 3840x2160 to 320x180", "BM_Scaler_StbBox",
                       "stb_image_resize with the same box filter (thumbnails differ by at most " +
                           FormatCount(Counter(*box, "max_diff")) + " per channel, " +
                           Format("%.2f", Counter(*box, "mean_diff")) + " on average)",
                       1.0, nullptr},
                      rows);
    }

    AddComparison(results,
                  {FanOut("Brevant", 1000), "Fan-out of one frame event to 1000 listeners", FanOut("DirectLoop", 1000),
                   "a loop of 1000 direct calls", 0, nullptr},
                  rows);
    AddComparison(results,
                  {FanOut("Brevant", 1000), "Fan-out of one frame event to 1000 listeners", FanOut("Signals2", 1000),
                   "Boost.Signals2 emitting to 1000 slots", 0, nullptr},
                  rows);
    AddComparison(results,
                  {"BM_Describe/items:10000", "Describing a job of 10,000 items, per item", "BM_Describe/items:10",
                   "the same per item for 10 items", 1.5, DescribeBound, 10000, 10},
                  rows);
    AddComparison(results,
                  {"BM_Query_RenderSettingCount/items:10000",
                   "Op 6 (render-setting count), random items of a 10,000-item job",
                   "BM_Query_RenderSettingCount/items:10", "the same in a 10-item job", 1.25,
                   [](const Results& r) { return RandomLookupBound(r, "BM_Query_RenderSettingCount"); }},
                  rows);
    AddComparison(results,
                  {"BM_Query_RenderSetting/items:10000",
                   "Op 7 (a render setting as 2 handles), random items of a 10,000-item job",
                   "BM_Query_RenderSetting/items:10", "the same in a 10-item job", 1.25,
                   [](const Results& r) { return RandomLookupBound(r, "BM_Query_RenderSetting"); }},
                  rows);
    AddComparison(results,
                  {"BM_Query_RenderSettingCountSameItem/items:10000", "Op 6, one item every call, 10,000-item job",
                   "BM_Query_RenderSettingCountSameItem/items:10", "the same in a 10-item job", 1.25,
                   [](const Results& r) {
                       return FormatTime(Time(r, "BM_Query_RenderSettingCountSameItem/items:10000")) +
                              " against " + FormatTime(Time(r, "BM_Query_RenderSettingCountSameItem/items:10")) +
                              ": the item is found at its queue position in both, so what differs is noise.";
                   }},
                  rows);

    if (const Measurement* soak = Find(results, "BM_Soak")) {
        const double growth = Counter(*soak, "growth_KiB");
        const bool peak = Counter(*soak, "peak_restarted") > 0;
        const double checkpoint = Counter(*soak, "checkpoint_frames");
        const char* measure = peak ? "peak_" : "rss_";
        Row row;
        row.benchmark = "Soak: " + FormatCount(static_cast<double>(soak->iterations)) +
                        " frames, a listener reading ops 13-16 every frame (time per frame)";
        row.time = FormatTime(soak->cpuNs);
        row.reference = std::string(peak ? "peak resident size" : "resident size") + " after " +
                        FormatCount(checkpoint) + " frames, then at the end";
        row.referenceTime = FormatKiB(Counter(*soak, std::string(measure) + "checkpoint_KiB")) + " → " +
                            FormatKiB(Counter(*soak, std::string(measure) + "end_KiB"));
        row.ratio = (growth >= 0 ? "+" : "") + FormatKiB(growth);
        row.goal = "growth ≤ 1 MiB";
        const bool met = growth <= 1024;
        row.met = met ? "yes" : "no";
        if (!met) row.bound = "Something kept per frame: the session's lists or the host's handle table grow.";
        if (soak->iterations < kSoakDefaultFrames) row.met += " (short soak)";
        rows.push_back(row);
    }
    return rows;
}

std::string RowsAsMarkdown(const std::vector<Row>& rows) {
    std::ostringstream table;
    table << "| Benchmark | Time | Reference | Reference time | Ratio | Goal | Met | What bounds it |\n";
    table << "|---|---:|---|---:|---:|---|---|---|\n";
    for (const Row& row : rows) {
        table << "| " << row.benchmark << " | " << row.time << " | " << row.reference << " | " << row.referenceTime
              << " | " << row.ratio << " | " << row.goal << " | " << row.met << " | " << row.bound << " |\n";
    }
    return table.str();
}

std::string Readme(const Results& results, const RunInfo& info) {
    int repetitions = 0;
    for (const auto& entry : results) repetitions = std::max(repetitions, entry.second.repetitions);

    std::ostringstream readme;
    readme << "# Benchmarks\n\n"
           << "Written by `brevant_bench --write-readme bench/README.md`; run `scripts/bench.sh` to measure again "
              "and rewrite this file.\n\n"
           << "- Machine: " << info.cpuModel << ", " << info.logicalCores << " logical cores"
           << (info.mhz > 0 ? Format(" at %.0f MHz", info.mhz) : "") << ", Linux " << info.kernel << "\n"
           << "- Build: " << info.build << "\n"
           << "- Date: " << info.date << "\n"
           << "- Command: " << info.command << "\n"
           << "- Load average when the run started: " << info.loadAverage << "\n\n"
           << "Times are CPU time per iteration, of the fastest of " << repetitions
           << (repetitions == 1 ? " repetition" : " repetitions")
           << " (the soak runs once). The ratio is the time over the reference's time; a goal is the highest "
              "ratio that meets it.\n\n"
           << "## Results\n\n"
           << RowsAsMarkdown(BuildRows(results)) << "\n"
           << "## What is measured\n\n"
           << "Every benchmark loads `libbrevant` into the stand-in host by path, as the host application does, "
              "with the host's log sink off so that `HostLog` returns before formatting. Listeners are registered "
              "through the monitor suite; sessions come from the provider suite.\n\n"
           << "- `BM_FanOut_Brevant/listeners:N`: `RenderItemUpdate` with update status 3 on a started item, relayed "
              "to N listeners whose `JobItemUpdate` only counts the call. `BM_FanOut_DirectLoop` makes the same "
              "calls through the same function pointers from a vector of the same entries (the limit); "
              "`BM_FanOut_Signals2` emits a `boost::signals2::signal` connected to N slots that make the same call. "
              "`allocs/iter` counts `operator new` calls per event in the whole process.\n"
           << "- `BM_Handle_Brevant`: `Brevant_GetProjectName` (operation 2) of a session whose project name is 512 "
              "UTF-16 code units, then the caller's `MemFree` of the handle. `BM_Handle_MallocCopy` is malloc, "
              "memcpy of the 1 KiB and free; `BM_Handle_HostMemorySuite` is the host memory suite's create, lock, "
              "copy, unlock and free without Brevant; `BM_Handle_SuiteAcquireRelease` is one acquisition and "
              "release of that suite through the basic suite.\n"
           << "- `BM_Frame_Brevant`: one finished frame of an item with two file-based output modules (growing "
              "files of 256 KiB on disk), with a listener that counts and reads every frame property (operations "
              "13, 14) and every property of both modules (15, 16) and frees each handle. "
              "`BM_Frame_HostFileCalls` makes, per module, only the host calls those properties need: the module's "
              "file path, a file-system object's volume name (selector 2) and its disposal, the full path, the "
              "volume's free space and the file's size.\n"
           << "- `BM_Thumbnail_Brevant`: a 3840 x 2160 frame, a listener asking for a thumbnail within 320 x 320 "
              "(operation 17; 320 x 180 comes back) and freeing it. `BM_Thumbnail_HostDirect` calls "
              "`HostConvertWorldToVideoFrame` and `HostCompressToJpeg` for the same size. `BM_Scaler_Host` is the "
              "host's scaler alone; `BM_Scaler_Stb` and `BM_Scaler_StbBox` are `stbir_resize_uint8_generic` with "
              "its default filter and with the box filter, from the same picture with its alpha dropped "
              "beforehand.\n"
           << "- `BM_Describe/items:N`: a new session's whole description of a job of N items, each with one "
              "file-based output module (`DescribeBegin`, N `DescribeAddItem`, `DescribeEnd`); `allocs/item` and "
              "`bytes/item` count what `operator new` was asked for.\n"
           << "- `BM_Query_RenderSettingCount/items:N` (operation 6) and `BM_Query_RenderSetting/items:N` "
              "(operation 7, two handles freed by the caller) for items drawn at random from a described job of N "
              "items; `BM_Query_RenderSettingCountSameItem/items:N` asks about the job's middle item every time.\n"
           << "- `BM_Soak`: " << FormatCount(static_cast<double>(kSoakDefaultFrames))
           << " finished frames of one item (`--soak-frames` changes it) whose two output modules write no file, "
              "each queried in full as in `BM_Frame_Brevant`. The peak resident size (VmHWM, restarted at the "
              "soak's start through /proc/self/clear_refs) is read after "
           << FormatCount(static_cast<double>(kSoakCheckpointFrames))
           << " frames and at the end; the growth between them is the measure.\n\n"
           << "## Every measurement\n\n"
           << "| Benchmark | CPU time | Wall time | Iterations | Counters |\n"
           << "|---|---:|---:|---:|---|\n";
    for (const auto& entry : results) {
        const Measurement& measurement = entry.second;
        readme << "| `" << entry.first << "` | ";
        if (!measurement.error.empty()) {
            readme << "failed: " << measurement.error << " | | | |\n";
            continue;
        }
        readme << FormatTime(measurement.cpuNs) << " | " << FormatTime(measurement.realNs) << " | "
               << measurement.iterations << " | ";
        bool first = true;
        for (const auto& counter : measurement.counters) {
            readme << (first ? "" : ", ") << counter.first << "=" << FormatCount(counter.second);
            first = false;
        }
        readme << " |\n";
    }
    return readme.str();
}

}  // namespace brevant_bench
