// What the console monitor shows, apart from where its facts come from: the plug-in's callbacks
// read the monitor suite and hand the view plain values; the view decides what to print.
//
// [main-thread]: the view is driven from the listener callbacks only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
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
    int32_t frames = 0;  // from the render settings' duration; 0 when they do not say
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
    uint64_t estFinalSize = 0;  // the host's "EstFinalSize"
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

// Progress of one item as the view accumulates it. Times on the view's own clock.
struct ItemProgress {
    int64_t itemId = 0;
    std::string compName;
    int32_t framesDone = 0;
    std::optional<int64_t> firstFrameAtMs;  // when the item's first frame was reported
    int64_t lastFrameAtMs = 0;
    FrameProgress last;
};

// The final size the monitor shows for a file: the SDK's projection (brevant_client::
// ProjectOutputSizes) from the bytes so far and the frames done when the total is known, else
// the host's coarse "EstFinalSize".
struct FinalSize {
    uint64_t bytes = 0;
    bool projected = false;
};
FinalSize ProjectFinalSize(const OutputFileProgress& file, int32_t framesDone, int32_t framesTotal);

// The figures of one progress line, worked out from an item's progress and the job.
struct LineFigures {
    int64_t itemId = 0;
    int32_t framesDone = 0;
    int32_t framesTotal = 0;  // 0 when unknown
    int32_t percent = 0;
    double framesPerSecond = -1;  // -1 until two frames were seen
    int64_t elapsedMs = -1;
    int64_t itemLeftMs = -1;      // -1 until it can be estimated
    bool hasJobLeft = false;      // later items follow, and each says how many frames it has
    int64_t jobLeftMs = -1;       // -1 until it can be estimated
    struct File {
        std::string name;
        uint64_t size = 0;
        FinalSize final;
        bool exceedsFreeSpace = false;  // the growth of the item's files on its disk will not fit
    };
    std::vector<File> files;                             // file-based outputs only
    std::vector<std::pair<std::string, uint64_t>> free;  // free space per disk, in first-seen order
};

// The live line of an item. With `columns` above 0 the line is at most columns - 1 characters
// (the last column would make some terminals wrap): detail is dropped, the least useful first
// (free space, elapsed time, later outputs' sizes, frames per second, the first output's size,
// the job's ETA, the bar; file names and full widths come only when everything else fits), and
// what still does not fit is cut. What is dropped is decided on the widest
// figures the item can reach, so that the line keeps its shape from frame to frame. 0: every
// detail, for plain lines.
std::string ProgressLine(const LineFigures& figures, size_t columns);
// Percent of frames done, 0 to 100; 0 when the total is unknown.
int32_t PercentDone(int32_t framesDone, int32_t framesTotal);
// Milliseconds as m:ss (minutes may exceed 59), seconds rounded down; negative values as 0:00.
std::string FormatDuration(int64_t milliseconds);
// Milliseconds as m:ss, seconds rounded up: what is left is never shown as less than it is.
std::string FormatTimeLeft(int64_t milliseconds);
// "done", "stopped", "failed", or "status N" for a code the listener interface does not define.
std::string StatusText(int32_t status);
// Whether a plain (non-terminal) progress line is due: on the first and the last frame, and
// each time another tenth of the frames is done; every 10 frames when the total is unknown.
bool PlainLineDue(int32_t framesDone, int32_t framesTotal, int32_t lastPrintedFrames);

class ConsoleView {
public:
    using Writer = std::function<void(const std::string&)>;
    using Clock = std::function<int64_t()>;      // milliseconds; only differences are used
    using Columns = std::function<size_t()>;     // the terminal's width now; 0 when unknown

    // With `columns`, one line per item is redrawn in place and fitted to the width asked for at
    // each redraw, so it follows a resize; without, plain lines are printed at milestones.
    ConsoleView(Writer writer, Columns columns, Clock clock);

    void JobBegin(const JobSummary& job);
    void ItemStart(int64_t itemId);
    void FrameDone(int64_t itemId, const FrameProgress& frame);
    void Log(int64_t itemId, uint8_t flag, const std::string& text);
    void ItemEnd(int64_t itemId, int32_t status);
    void JobEnd();

private:
    const ItemSummary* FindItem(int64_t itemId) const;
    std::string ItemLabel(int64_t itemId) const;
    LineFigures Figures() const;
    bool terminal() const { return static_cast<bool>(columns_); }
    // Ends a redrawn progress line so that a full line can be written; [terminal only].
    void ClearLiveLine();
    void RedrawLiveLine();
    void WriteLine(const std::string& line);

    Writer writer_;
    Columns columns_;
    Clock clock_;
    JobSummary job_;
    bool jobKnown_ = false;
    ItemProgress current_;
    bool itemActive_ = false;
    bool liveLineShown_ = false;
    int32_t lastPrintedFrames_ = 0;
    // Files already warned about for the current item, by output-module position.
    std::vector<bool> spaceWarned_;
    std::map<int32_t, int32_t> statusCounts_;
};

}  // namespace console_monitor
