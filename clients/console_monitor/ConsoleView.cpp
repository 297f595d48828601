#include "ConsoleView.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <utility>

#include <brevant/client.hpp>

namespace console_monitor {

namespace {

using brevant_client::FormatBytes;

constexpr int32_t kPlainEveryFramesWhenTotalUnknown = 10;

// The last path component, so that a progress line stays short; the header shows full paths.
std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Bar(int32_t percent, int32_t width) {
    const int32_t filled = percent * width / 100;
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') +
           "]";
}

std::string FramesPerSecond(double fps) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, fps >= 100 ? "%.0f fps" : "%.1f fps", fps);
    return buffer;
}

// One piece of a progress line: its forms from the shortest to the fullest, and how useful it
// is (0 first; 0 is never dropped).
struct Segment {
    std::vector<std::string> forms;
    int importance = 0;
    int chosen = -1;  // the form shown, -1 when dropped
};

std::string FileText(const LineFigures::File& file, bool withName) {
    std::string text = "| ";
    if (withName) text += file.name + " ";
    text += FormatBytes(file.size);
    text += file.final.projected ? " of ~" + FormatBytes(file.final.bytes)
                                 : ", host est. " + FormatBytes(file.final.bytes);
    if (file.exceedsFreeSpace) text += " (!)";
    return text;
}

std::string FreeText(const std::vector<std::pair<std::string, uint64_t>>& free) {
    if (free.size() == 1) return "| " + FormatBytes(free.front().second) + " free";
    std::string text = "| free:";
    for (size_t i = 0; i < free.size(); ++i) {
        text += (i == 0 ? " " : ", ") + FormatBytes(free[i].second) + (free[i].first.empty() ? "" : " on " + free[i].first);
    }
    return text;
}

size_t ShownLength(const std::vector<Segment>& segments) {
    size_t length = 0;
    size_t shown = 0;
    for (const Segment& segment : segments) {
        if (segment.chosen < 0) continue;
        length += segment.forms[static_cast<size_t>(segment.chosen)].size();
        ++shown;
    }
    return length + (shown > 0 ? shown - 1 : 0);
}

}  // namespace

int32_t PercentDone(int32_t framesDone, int32_t framesTotal) {
    if (framesTotal <= 0 || framesDone <= 0) return 0;
    const int64_t percent = static_cast<int64_t>(framesDone) * 100 / framesTotal;
    return static_cast<int32_t>(std::min<int64_t>(percent, 100));
}

std::string FormatDuration(int64_t milliseconds) {
    const int64_t seconds = std::max<int64_t>(milliseconds, 0) / 1000;
    const int64_t secondsOfMinute = seconds % 60;
    return std::to_string(seconds / 60) + (secondsOfMinute < 10 ? ":0" : ":") + std::to_string(secondsOfMinute);
}

std::string FormatTimeLeft(int64_t milliseconds) {
    if (milliseconds <= 0) return FormatDuration(0);
    return FormatDuration((milliseconds + 999) / 1000 * 1000);
}

FinalSize ProjectFinalSize(const OutputFileProgress& file, int32_t framesDone, int32_t framesTotal) {
    if (framesTotal <= 0 || framesDone <= 0) return FinalSize{file.estFinalSize, false};
    std::vector<brevant_client::OutputSize> one(1);
    one[0].bytes = file.fileSize;
    brevant_client::ProjectOutputSizes(one, framesDone, framesTotal);
    return FinalSize{one[0].projectedBytes, true};
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

namespace {

// The pieces of a line in the order shown; the same pieces, in the same order, for any figures
// of one item.
std::vector<Segment> Segments(const LineFigures& figures) {
    const bool totalKnown = figures.framesTotal > 0;
    std::vector<Segment> segments;
    auto add = [&](std::vector<std::string> forms, int importance) {
        segments.push_back(Segment{std::move(forms), importance, -1});
    };
    add({"item " + std::to_string(figures.itemId)}, 0);
    add({Bar(figures.percent, 10), Bar(figures.percent, 20)}, 2);
    add({std::to_string(figures.framesDone) + "/" +
         (totalKnown ? std::to_string(figures.framesTotal) + " " + std::to_string(figures.percent) + "%"
                     : std::string("?"))},
        0);
    add({figures.framesPerSecond > 0 ? FramesPerSecond(figures.framesPerSecond) : std::string("-- fps")}, 5);
    add({"elapsed " + (figures.elapsedMs >= 0 ? FormatDuration(figures.elapsedMs) : std::string("-:--"))}, 20);
    add({"left " + (figures.itemLeftMs >= 0 ? FormatTimeLeft(figures.itemLeftMs) : std::string("-:--"))}, 1);
    if (figures.hasJobLeft) {
        const std::string left = figures.jobLeftMs >= 0 ? FormatTimeLeft(figures.jobLeftMs) : std::string("-:--");
        add({"job " + left, "job left " + left}, 3);
    }
    for (size_t f = 0; f < figures.files.size(); ++f) {
        add({FileText(figures.files[f], false), FileText(figures.files[f], true)}, f == 0 ? 4 : 6 + static_cast<int>(f));
    }
    if (!figures.free.empty()) add({FreeText(figures.free)}, 30);
    return segments;
}

// The same item at its widest: every frame done, every size at the longest text a size has.
LineFigures Widest(LineFigures figures) {
    constexpr uint64_t kWidestBytes = 1023 * 1024 + 922;  // "1023.9 KiB"
    if (figures.framesTotal > 0) {
        figures.framesDone = std::max(figures.framesDone, figures.framesTotal);
        figures.percent = 100;
    }
    figures.framesPerSecond = 99.9;
    for (LineFigures::File& file : figures.files) {
        file.size = kWidestBytes;
        file.final.bytes = kWidestBytes;
    }
    for (auto& free : figures.free) free.second = kWidestBytes;
    return figures;
}

}  // namespace

std::string ProgressLine(const LineFigures& figures, size_t columns) {
    std::vector<Segment> segments = Segments(figures);
    if (columns == 0) {
        for (Segment& segment : segments) segment.chosen = static_cast<int>(segment.forms.size()) - 1;
    } else {
        std::vector<Segment> widest = Segments(Widest(figures));
        const size_t limit = columns - 1;
        std::vector<size_t> byImportance(widest.size());
        std::iota(byImportance.begin(), byImportance.end(), size_t{0});
        std::stable_sort(byImportance.begin(), byImportance.end(),
                         [&](size_t a, size_t b) { return widest[a].importance < widest[b].importance; });
        // Shortest forms first, by importance; then the fuller forms that still fit.
        for (size_t index : byImportance) {
            Segment& segment = widest[index];
            segment.chosen = 0;
            if (segment.importance > 0 && ShownLength(widest) > limit) segment.chosen = -1;
        }
        for (size_t index : byImportance) {
            Segment& segment = widest[index];
            if (segment.chosen < 0) continue;
            const int fitting = segment.chosen;
            for (int form = static_cast<int>(segment.forms.size()) - 1; form > fitting; --form) {
                segment.chosen = form;
                if (ShownLength(widest) <= limit) break;
                segment.chosen = fitting;
            }
        }
        for (size_t i = 0; i < segments.size(); ++i) segments[i].chosen = widest[i].chosen;
    }

    std::string line;
    for (const Segment& segment : segments) {
        if (segment.chosen < 0) continue;
        if (!line.empty()) line += " ";
        line += segment.forms[static_cast<size_t>(segment.chosen)];
    }
    if (columns > 0 && line.size() > columns - 1) line.resize(columns - 1);
    return line;
}

ConsoleView::ConsoleView(Writer writer, Columns columns, Clock clock)
    : writer_(std::move(writer)), columns_(std::move(columns)), clock_(std::move(clock)) {}

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

LineFigures ConsoleView::Figures() const {
    const FrameProgress& frame = current_.last;
    LineFigures figures;
    figures.itemId = current_.itemId;
    figures.framesDone = current_.framesDone;
    figures.framesTotal = std::max(frame.framesTotal, 0);
    figures.percent = PercentDone(current_.framesDone, frame.framesTotal);
    figures.elapsedMs = frame.elapsedMs;

    // The pace is the monitor's own: time between the first and the latest frame it saw.
    double msPerFrame = -1;
    if (current_.framesDone >= 2 && current_.firstFrameAtMs) {
        msPerFrame = static_cast<double>(current_.lastFrameAtMs - *current_.firstFrameAtMs) / (current_.framesDone - 1);
        if (msPerFrame > 0) figures.framesPerSecond = 1000.0 / msPerFrame;
    }
    const bool finished = figures.framesTotal > 0 && current_.framesDone >= figures.framesTotal;
    if (finished) {
        figures.itemLeftMs = 0;
    } else if (msPerFrame >= 0 && figures.framesTotal > 0) {
        figures.itemLeftMs = static_cast<int64_t>(msPerFrame * (figures.framesTotal - current_.framesDone));
    }
    // Later items at the current pace; only when every one of them says how long it is.
    bool later = false;
    bool known = true;
    int64_t laterFrames = 0;
    for (const ItemSummary& item : job_.items) {
        if (later) {
            known = known && item.frames > 0;
            laterFrames += item.frames;
        }
        later = later || item.id == current_.itemId;
    }
    figures.hasJobLeft = known && laterFrames > 0;
    if (figures.hasJobLeft && figures.itemLeftMs >= 0 && msPerFrame >= 0) {
        figures.jobLeftMs = figures.itemLeftMs + static_cast<int64_t>(msPerFrame * static_cast<double>(laterFrames));
    }

    // Every client projects alike: from the frames it saw done, whatever the host's frame ids.
    std::vector<brevant_client::OutputSize> sizes;
    for (const OutputFileProgress& file : frame.files) {
        brevant_client::OutputSize size;
        size.disk = file.disk;
        size.bytes = file.fileSize;
        size.freeBytes = file.diskSpace;
        sizes.push_back(std::move(size));
    }
    brevant_client::ProjectOutputSizes(sizes, current_.framesDone, frame.framesTotal);
    for (size_t m = 0; m < frame.files.size(); ++m) {
        const OutputFileProgress& file = frame.files[m];
        if (!file.fileBased) continue;
        LineFigures::File shown;
        shown.name = FileName(file.outputTo);
        shown.size = file.fileSize;
        shown.final = ProjectFinalSize(file, current_.framesDone, frame.framesTotal);
        shown.exceedsFreeSpace = sizes[m].willFill;
        figures.files.push_back(std::move(shown));
        const auto seen = std::find_if(figures.free.begin(), figures.free.end(),
                                       [&](const auto& entry) { return entry.first == file.disk; });
        if (seen == figures.free.end()) figures.free.emplace_back(file.disk, file.diskSpace);
    }
    return figures;
}

void ConsoleView::WriteLine(const std::string& line) {
    ClearLiveLine();
    writer_(line + "\n");
    RedrawLiveLine();
}

void ConsoleView::ClearLiveLine() {
    if (terminal() && liveLineShown_) {
        writer_("\r\x1b[K");
        liveLineShown_ = false;
    }
}

void ConsoleView::RedrawLiveLine() {
    if (terminal() && itemActive_ && current_.framesDone > 0) {
        // Asked at every redraw, so that the line follows a resize of the terminal.
        size_t columns = columns_();
        if (columns == 0) columns = 80;
        writer_("\r" + ProgressLine(Figures(), columns) + "\x1b[K");
        liveLineShown_ = true;
    }
}

void ConsoleView::JobBegin(const JobSummary& job) {
    job_ = job;
    jobKnown_ = true;
    statusCounts_.clear();
    WriteLine("job begin: project \"" + job_.projectName + "\", host " + job_.appVersion + ", " +
              std::to_string(job_.items.size()) + (job_.items.size() == 1 ? " item" : " items"));
    bool anyOutput = false;
    for (const ItemSummary& item : job_.items) {
        WriteLine("  " + ItemLabel(item.id) +
                  (item.frames > 0 ? ", " + std::to_string(item.frames) + (item.frames == 1 ? " frame" : " frames")
                                   : std::string()));
        for (size_t m = 0; m < item.outputModules.size(); ++m) {
            WriteLine("    output " + std::to_string(m + 1) + ": " + item.outputModules[m].outputTo);
            anyOutput = true;
        }
    }
    if (anyOutput) WriteLine("  sizes: written so far of ~final, projected from the bytes and frames so far");
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
    const int64_t now = clock_ ? clock_() : 0;
    if (!current_.firstFrameAtMs) current_.firstFrameAtMs = now;
    current_.lastFrameAtMs = now;
    ++current_.framesDone;
    current_.last = frame;

    const LineFigures figures = Figures();
    spaceWarned_.resize(std::max(spaceWarned_.size(), frame.files.size()), false);
    size_t shown = 0;  // figures.files holds the file-based modules only
    for (size_t m = 0; m < frame.files.size(); ++m) {
        const OutputFileProgress& file = frame.files[m];
        if (!file.fileBased) continue;
        const LineFigures::File& figure = figures.files[shown++];
        if (spaceWarned_[m] || !figure.exceedsFreeSpace) continue;
        spaceWarned_[m] = true;
        WriteLine(ItemLabel(itemId) + ": output " + std::to_string(m + 1) + " warning: " +
                  (figure.final.projected ? "projected" : "estimated") + " final size " +
                  FormatBytes(figure.final.bytes) + " will not fit in the " + FormatBytes(file.diskSpace) + " free" +
                  (file.disk.empty() ? std::string() : " on " + file.disk));
    }

    if (terminal()) {
        RedrawLiveLine();
    } else if (PlainLineDue(current_.framesDone, frame.framesTotal, lastPrintedFrames_)) {
        lastPrintedFrames_ = current_.framesDone;
        WriteLine(ProgressLine(figures, 0));
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
    if (sameItem && last.elapsedMs >= 0) line += " in " + FormatDuration(last.elapsedMs);
    if (sameItem) {
        for (const OutputFileProgress& file : last.files) {
            if (file.fileBased) line += ", " + FileName(file.outputTo) + " " + FormatBytes(file.fileSize);
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
    const int32_t described = jobKnown_ ? static_cast<int32_t>(job_.items.size()) : ended;
    const int32_t neverStarted = std::max(described - ended, 0);
    std::string line = "job end: " + std::to_string(ended);
    if (neverStarted > 0) line += " of " + std::to_string(described);
    line += (neverStarted > 0 ? described : ended) == 1 ? " item" : " items";
    const char* const order[] = {"done", "stopped", "failed"};
    for (int32_t status = 1; status <= 3; ++status) {
        const auto found = statusCounts_.find(status);
        line += std::string(status == 1 ? ": " : ", ") +
                std::to_string(found == statusCounts_.end() ? 0 : found->second) + " " + order[status - 1];
    }
    if (neverStarted > 0) line += ", " + std::to_string(neverStarted) + " never started";
    WriteLine(line);
}

}  // namespace console_monitor
