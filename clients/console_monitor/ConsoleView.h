// What the console monitor shows, apart from where its facts come from: the plug-in's callbacks
// read the monitor suite and hand the view plain values; the view decides what to print.
//
// [main-thread]: the view is driven from the listener callbacks only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace console_monitor {

struct OutputModuleSummary {
    std::string outputTo;               // the resolved target, as described at job begin
    std::vector<std::string> warnings;  // the module's warnings, in the suite's order
};

struct ItemSummary {
    int64_t id = 0;
    std::string compName;
    std::vector<OutputModuleSummary> outputModules;
};

struct JobSummary {
    std::string projectName;
    std::string appVersion;
    std::vector<ItemSummary> items;
};

// One output module's file while a frame is reported.
struct OutputFileProgress {
    std::string outputTo;
    std::string disk;
    bool fileBased = false;
    uint64_t fileSize = 0;
    uint64_t estFinalSize = 0;
    uint64_t diskSpace = 0;
};

// What is known when a frame is done. Times are the host's milliseconds; -1 when not reported.
struct FrameProgress {
    int64_t frameId = 0;
    int32_t framesTotal = 0;
    int64_t elapsedMs = -1;
    int64_t remainingMs = -1;
    std::vector<OutputFileProgress> files;
};

// Progress of one item as the view accumulates it.
struct ItemProgress {
    int64_t itemId = 0;
    std::string compName;
    int32_t framesDone = 0;
    FrameProgress last;
};

// The live line of an item: bar, frames, percent, times and each file's sizes.
std::string ProgressLine(const ItemProgress& progress);
// Percent of frames done, 0 to 100; 0 when the total is unknown.
int32_t PercentDone(int32_t framesDone, int32_t framesTotal);
// A file whose estimated final size exceeds the free space of its volume.
bool EstimateExceedsFreeSpace(const OutputFileProgress& file);
// "done", "stopped", "failed", or "status N" for a code the listener interface does not define.
std::string StatusText(int32_t status);
// Whether a plain (non-terminal) progress line is due: on the first and the last frame, and
// each time another tenth of the frames is done; every 10 frames when the total is unknown.
bool PlainLineDue(int32_t framesDone, int32_t framesTotal, int32_t lastPrintedFrames);

class ConsoleView {
public:
    using Writer = std::function<void(const std::string&)>;

    // `terminal` selects one redrawn line per item; otherwise plain lines, few per item.
    ConsoleView(Writer writer, bool terminal);

    void JobBegin(const JobSummary& job);
    void ItemStart(int64_t itemId);
    void FrameDone(int64_t itemId, const FrameProgress& frame);
    void Log(int64_t itemId, uint8_t flag, const std::string& text);
    void ItemEnd(int64_t itemId, int32_t status);
    void JobEnd();

private:
    const ItemSummary* FindItem(int64_t itemId) const;
    std::string ItemLabel(int64_t itemId) const;
    // Ends a redrawn progress line so that a full line can be written; [terminal only].
    void ClearLiveLine();
    void RedrawLiveLine();
    void WriteLine(const std::string& line);

    Writer writer_;
    bool terminal_;
    JobSummary job_;
    ItemProgress current_;
    bool itemActive_ = false;
    bool liveLineShown_ = false;
    int32_t lastPrintedFrames_ = 0;
    // Files already warned about for the current item, by output-module position.
    std::vector<bool> spaceWarned_;
    std::map<int32_t, int32_t> statusCounts_;
};

}  // namespace console_monitor
