// The job files that the benchmarks render, as text for brevant_host::ParseJob, and their names
// for CachedJob and Prepare.
#pragma once

#include <cstdint>
#include <string>

namespace brevant_bench {

// One small item without output modules: the frame only carries the event.
constexpr const char* kFanOutJob = "fan-out";
std::string FanOutJobText();

// A project name of exactly kLongProjectNameUnits UTF-16 code units, one small item.
constexpr const char* kLongProjectJob = "long-project-name";
constexpr size_t kLongProjectNameUnits = 512;
std::string LongProjectJobText();

// One 64 x 36 item of 100 frames with two file-based output modules (growing files).
constexpr const char* kTwoFilesJob = "two-files";
constexpr int32_t kTwoFilesModules = 2;
std::string TwoFilesJobText();

// One 3840 x 2160 item without output modules.
constexpr const char* kUhdJob = "uhd-frame";
constexpr int32_t kUhdWidth = 3840;
constexpr int32_t kUhdHeight = 2160;
std::string UhdJobText();

// `items` small items, each with one file-based output module; named "items-<count>".
std::string ManyItemsJobName(int64_t items);
std::string ManyItemsJobText(int64_t items);

// One 64 x 36 item of `frames` frames with two output modules that write no file; named
// "soak-<frames>".
constexpr int32_t kSoakModules = 2;
std::string SoakJobName(int64_t frames);
std::string SoakJobText(int64_t frames);

}  // namespace brevant_bench
