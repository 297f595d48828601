#include "ConsoleView.h"

#include <algorithm>
#include <utility>

#include <brevant/client.hpp>

namespace console_monitor {

namespace {

constexpr int32_t kBarWidth = 20;
constexpr int32_t kPlainEveryFramesWhenTotalUnknown = 10;

// The last path component, so that a progress line stays short; the header shows full paths.
std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Bar(int32_t percent) {
    const int32_t filled = percent * kBarWidth / 100;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
}

}  // namespace

int32_t PercentDone(int32_t framesDone, int32_t framesTotal) {
    if (framesTotal <= 0 || framesDone <= 0) return 0;
    const int64_t percent = static_cast<int64_t>(framesDone) * 100 / framesTotal;
    return static_cast<int32_t>(std::min<int64_t>(percent, 100));
}

bool EstimateExceedsFreeSpace(const OutputFileProgress& file) {
    return file.fileBased && file.estFinalSize > file.fileSize &&
           file.estFinalSize - file.fileSize > file.diskSpace;
}

std::string StatusText(int32_t status) {
    switch (status) {
        case 1: return "done";
        case 2: return "stopped";
        case 3: return "failed";
        default: return "status " + std::to_string(status);
    }
}

bool PlainLineDue(int32_t framesDone, int32_t framesTotal, int32_t lastPrintedFrames) {
    if (framesDone <= 0) return false;
    if (lastPrintedFrames <= 0) return true;
    if (framesTotal <= 0) return framesDone - lastPrintedFrames >= kPlainEveryFramesWhenTotalUnknown;
    if (framesDone >= framesTotal) return framesDone != lastPrintedFrames;
    const int64_t tenth = static_cast<int64_t>(framesDone) * 10 / framesTotal;
    const int64_t printedTenth = static_cast<int64_t>(lastPrintedFrames) * 10 / framesTotal;
    return tenth > printedTenth;
}

std::string ProgressLine(const ItemProgress& progress) {
    using brevant_client::FormatBytes;
    using brevant_client::FormatDuration;
    const FrameProgress& frame = progress.last;
    const int32_t percent = PercentDone(progress.framesDone, frame.framesTotal);

    std::string line = "item " + std::to_string(progress.itemId) + " " + Bar(percent) + " " +
                       std::to_string(progress.framesDone) + "/" +
                       (frame.framesTotal > 0 ? std::to_string(frame.framesTotal) : std::string("?")) + " " +
                       std::to_string(percent) + "%";
    line += " elapsed " + (frame.elapsedMs >= 0 ? FormatDuration(frame.elapsedMs) : std::string("-:--"));
    // The host stops reporting a remaining time once nothing remains.
    const bool finished = frame.framesTotal > 0 && progress.framesDone >= frame.framesTotal;
    const int64_t remainingMs = frame.remainingMs >= 0 ? frame.remainingMs : finished ? 0 : -1;
    line += " left " + (remainingMs >= 0 ? FormatDuration(remainingMs) : std::string("-:--"));
    for (const OutputFileProgress& file : frame.files) {
        if (!file.fileBased) continue;
        line += " | " + FileName(file.outputTo) + " " + FormatBytes(file.fileSize) + " of ~" +
                FormatBytes(file.estFinalSize) + ", " + FormatBytes(file.diskSpace) + " free";
        if (EstimateExceedsFreeSpace(file)) line += " (!)";
    }
    return line;
}

ConsoleView::ConsoleView(Writer writer, bool terminal) : writer_(std::move(writer)), terminal_(terminal) {}

const ItemSummary* ConsoleView::FindItem(int64_t itemId) const {
    for (const ItemSummary& item : job_.items) {
        if (item.id == itemId) return &item;
    }
    return nullptr;
}

std::string ConsoleView::ItemLabel(int64_t itemId) const {
    std::string label = "item " + std::to_string(itemId);
    if (const ItemSummary* item = FindItem(itemId)) {
        if (!item->compName.empty()) label += " \"" + item->compName + "\"";
    }
    return label;
}

void ConsoleView::WriteLine(const std::string& line) {
    ClearLiveLine();
    writer_(line + "\n");
    RedrawLiveLine();
}

void ConsoleView::ClearLiveLine() {
    if (terminal_ && liveLineShown_) {
        writer_("\r\x1b[K");
        liveLineShown_ = false;
    }
}

void ConsoleView::RedrawLiveLine() {
    if (terminal_ && itemActive_ && current_.framesDone > 0) {
        writer_("\r" + ProgressLine(current_) + "\x1b[K");
        liveLineShown_ = true;
    }
}

void ConsoleView::JobBegin(const JobSummary& job) {
    job_ = job;
    statusCounts_.clear();
    WriteLine("job begin: project \"" + job_.projectName + "\", host " + job_.appVersion + ", " +
              std::to_string(job_.items.size()) + (job_.items.size() == 1 ? " item" : " items"));
    for (const ItemSummary& item : job_.items) {
        WriteLine("  " + ItemLabel(item.id));
        for (size_t m = 0; m < item.outputModules.size(); ++m) {
            WriteLine("    output " + std::to_string(m + 1) + ": " + item.outputModules[m].outputTo);
        }
    }
}

void ConsoleView::ItemStart(int64_t itemId) {
    ClearLiveLine();
    current_ = ItemProgress{};
    current_.itemId = itemId;
    itemActive_ = true;
    lastPrintedFrames_ = 0;
    spaceWarned_.clear();
    const ItemSummary* item = FindItem(itemId);
    if (item != nullptr) current_.compName = item->compName;
    WriteLine(ItemLabel(itemId) + ": started");
    if (item == nullptr) return;
    for (size_t m = 0; m < item->outputModules.size(); ++m) {
        for (const std::string& warning : item->outputModules[m].warnings) {
            WriteLine(ItemLabel(itemId) + ": output " + std::to_string(m + 1) + " warning: " + warning);
        }
    }
}

void ConsoleView::FrameDone(int64_t itemId, const FrameProgress& frame) {
    if (!itemActive_ || itemId != current_.itemId) {
        // An update without a start (or for another item): follow it rather than drop it.
        ItemStart(itemId);
    }
    ++current_.framesDone;
    current_.last = frame;

    spaceWarned_.resize(std::max(spaceWarned_.size(), frame.files.size()), false);
    for (size_t m = 0; m < frame.files.size(); ++m) {
        const OutputFileProgress& file = frame.files[m];
        if (spaceWarned_[m] || !EstimateExceedsFreeSpace(file)) continue;
        spaceWarned_[m] = true;
        WriteLine(ItemLabel(itemId) + ": output " + std::to_string(m + 1) + " warning: estimated final size " +
                  brevant_client::FormatBytes(file.estFinalSize) + " will not fit in the " +
                  brevant_client::FormatBytes(file.diskSpace) + " free" +
                  (file.disk.empty() ? std::string() : " on " + file.disk));
    }

    if (terminal_) {
        RedrawLiveLine();
    } else if (PlainLineDue(current_.framesDone, frame.framesTotal, lastPrintedFrames_)) {
        lastPrintedFrames_ = current_.framesDone;
        WriteLine(ProgressLine(current_));
    }
}

void ConsoleView::Log(int64_t itemId, uint8_t flag, const std::string& text) {
    const std::string source = itemId > 0 ? ItemLabel(itemId) : std::string("job");
    WriteLine(source + (flag != 0 ? ": log (flagged): " : ": log: ") + text);
}

void ConsoleView::ItemEnd(int64_t itemId, int32_t status) {
    ClearLiveLine();
    ++statusCounts_[status];
    const bool sameItem = itemActive_ && itemId == current_.itemId;
    const int32_t framesDone = sameItem ? current_.framesDone : 0;
    const FrameProgress& last = current_.last;
    std::string line = ItemLabel(itemId) + ": " + StatusText(status) + ", " + std::to_string(framesDone);
    if (sameItem && last.framesTotal > 0) line += "/" + std::to_string(last.framesTotal);
    line += framesDone == 1 ? " frame" : " frames";
    if (sameItem && last.elapsedMs >= 0) line += " in " + brevant_client::FormatDuration(last.elapsedMs);
    if (sameItem) {
        for (const OutputFileProgress& file : last.files) {
            if (file.fileBased) line += ", " + FileName(file.outputTo) + " " + brevant_client::FormatBytes(file.fileSize);
        }
    }
    itemActive_ = false;
    WriteLine(line);
}

void ConsoleView::JobEnd() {
    ClearLiveLine();
    itemActive_ = false;
    int32_t ended = 0;
    for (const auto& entry : statusCounts_) ended += entry.second;
    std::string line = "job end: " + std::to_string(ended) + (ended == 1 ? " item" : " items");
    const char* const order[] = {"done", "stopped", "failed"};
    for (int32_t status = 1; status <= 3; ++status) {
        const auto found = statusCounts_.find(status);
        line += std::string(status == 1 ? ": " : ", ") +
                std::to_string(found == statusCounts_.end() ? 0 : found->second) + " " + order[status - 1];
    }
    WriteLine(line);
}

}  // namespace console_monitor
