// The console monitor's view: what it prints for each event, in plain and in terminal mode.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "clients/console_monitor/ConsoleView.h"

namespace {

using namespace console_monitor;

TEST(ConsoleRules, PercentDone) {
    struct Case {
        int32_t done, total, percent;
    };
    const Case cases[] = {
        {0, 10, 0}, {1, 10, 10}, {5, 10, 50}, {10, 10, 100}, {12, 10, 100},
        {1, 3, 33}, {2, 3, 66}, {5, 0, 0}, {5, -1, 0}, {-1, 10, 0},
        {2000000000, 2000000000, 100},
    };
    for (const Case& c : cases) EXPECT_EQ(PercentDone(c.done, c.total), c.percent) << c.done << "/" << c.total;
}

TEST(ConsoleRules, PlainLineDue) {
    struct Case {
        int32_t done, total, lastPrinted;
        bool due;
    };
    const Case cases[] = {
        {1, 100, 0, true},     // the first frame
        {2, 100, 1, false},
        {10, 100, 1, true},    // another tenth
        {19, 100, 10, false},
        {20, 100, 10, true},
        {100, 100, 90, true},  // the last frame
        {100, 100, 100, false},
        {3, 3, 2, true},       // few frames: every frame is a tenth or more
        {2, 3, 1, true},
        {9, 0, 1, false},      // unknown total: every ten frames
        {11, 0, 1, true},
        {0, 10, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlainLineDue(c.done, c.total, c.lastPrinted), c.due)
            << c.done << "/" << c.total << " after " << c.lastPrinted;
    }
}

TEST(ConsoleRules, EstimateExceedsFreeSpace) {
    struct Case {
        const char* name;
        bool fileBased;
        uint64_t size, estimate, free;
        bool exceeds;
    };
    const Case cases[] = {
        {"fits", true, 100, 1000, 5000, false},
        {"growth exactly fits", true, 100, 1000, 900, false},
        {"growth does not fit", true, 100, 1000, 899, true},
        {"estimate below size", true, 1000, 0, 0, false},
        {"no file", false, 0, 1000, 0, false},
    };
    for (const Case& c : cases) {
        OutputFileProgress file;
        file.fileBased = c.fileBased;
        file.fileSize = c.size;
        file.estFinalSize = c.estimate;
        file.diskSpace = c.free;
        EXPECT_EQ(EstimateExceedsFreeSpace(file), c.exceeds) << c.name;
    }
}

TEST(ConsoleRules, StatusText) {
    EXPECT_EQ(StatusText(1), "done");
    EXPECT_EQ(StatusText(2), "stopped");
    EXPECT_EQ(StatusText(3), "failed");
    EXPECT_EQ(StatusText(9), "status 9");
}

JobSummary TwoItemJob() {
    JobSummary job;
    job.projectName = "demo";
    job.appVersion = "24.1x2";
    ItemSummary main;
    main.id = 1;
    main.compName = "Main";
    main.outputModules.push_back({"/out/Main_[####].png", {}});
    main.outputModules.push_back({"/out/Main.mov", {"size mismatch"}});
    ItemSummary titles;
    titles.id = 2;
    titles.compName = "Titles";
    job.items = {main, titles};
    return job;
}

FrameProgress Frame(int64_t id, int32_t total, uint64_t size, uint64_t estimate, uint64_t free) {
    FrameProgress frame;
    frame.frameId = id;
    frame.framesTotal = total;
    frame.elapsedMs = 1000 * id;
    frame.remainingMs = 1000 * (total - id);
    OutputFileProgress file;
    file.outputTo = "/out/Main_0001.png";
    file.disk = "/";
    file.fileBased = true;
    file.fileSize = size;
    file.estFinalSize = estimate;
    file.diskSpace = free;
    OutputFileProgress noFile;
    noFile.outputTo = "Preview";
    frame.files = {file, noFile};
    return frame;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    size_t count = 0;
    for (const std::string& line : lines) count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

TEST(ConsoleView, PlainRunOfAJob) {
    std::string out;
    ConsoleView view([&](const std::string& text) { out += text; }, false);
    view.JobBegin(TwoItemJob());
    view.Log(-1, 0, "before any item");
    view.ItemStart(1);
    for (int32_t f = 1; f <= 20; ++f) view.FrameDone(1, Frame(f, 20, 1024u * f, 1024u * 20, 1u << 30));
    view.Log(1, 1, "disk is slow");
    view.ItemEnd(1, 1);
    view.ItemStart(2);
    view.ItemEnd(2, 2);
    view.JobEnd();

    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(out.find('\r'), std::string::npos) << "no redraws when not a terminal";
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "job begin: project \"demo\", host 24.1x2, 2 items");
    EXPECT_EQ(lines[1], "  item 1 \"Main\"");
    EXPECT_EQ(lines[2], "    output 1: /out/Main_[####].png");
    EXPECT_EQ(lines[3], "    output 2: /out/Main.mov");
    EXPECT_EQ(lines[4], "  item 2 \"Titles\"");
    EXPECT_EQ(lines[5], "job: log: before any item");
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": output 2 warning: size mismatch"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": log (flagged): disk is slow"), 1u);
    // Frame 1, then each tenth: 2, 4, ... 20.
    EXPECT_EQ(CountContaining(lines, "item 1 ["), 11u);
    EXPECT_EQ(CountContaining(lines, "item 1 [####################] 20/20 100% elapsed 0:20 left 0:00 | "
                                     "Main_0001.png 20.0 KiB of ~20.0 KiB, 1.0 GiB free"),
              1u);
    EXPECT_EQ(CountContaining(lines, "Preview"), 0u) << "a module without a file shows no sizes";
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": done, 20/20 frames in 0:20, Main_0001.png 20.0 KiB"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 2 \"Titles\": stopped, 0 frames"), 1u);
    EXPECT_EQ(lines.back(), "job end: 2 items: 1 done, 1 stopped, 0 failed");
}

TEST(ConsoleView, WarnsOncePerItemWhenTheEstimateDoesNotFit) {
    std::string out;
    ConsoleView view([&](const std::string& text) { out += text; }, false);
    view.JobBegin(TwoItemJob());
    view.ItemStart(1);
    for (int32_t f = 1; f <= 5; ++f) view.FrameDone(1, Frame(f, 5, 1000u * f, 5000, 100));
    view.ItemEnd(1, 3);
    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": output 1 warning: estimated final size 4.9 KiB will not "
                                     "fit in the 100 B free on /"),
              1u);
    EXPECT_EQ(CountContaining(lines, "(!)"), 4u) << "frames 1 to 4 show the mark; frame 5 has nothing left to write";
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": failed, 5/5 frames"), 1u);
}

TEST(ConsoleView, TerminalRedrawsOneLine) {
    std::string out;
    ConsoleView view([&](const std::string& text) { out += text; }, true);
    view.JobBegin(TwoItemJob());
    view.ItemStart(1);
    view.FrameDone(1, Frame(1, 3, 10, 30, 1000));
    view.FrameDone(1, Frame(2, 3, 20, 30, 1000));
    view.Log(1, 0, "hello");
    view.FrameDone(1, Frame(3, 3, 30, 30, 1000));
    view.ItemEnd(1, 1);

    // Every frame redraws in place; a log line clears the live line and redraws it after.
    EXPECT_NE(out.find("\ritem 1 [######..............] 1/3 33%"), std::string::npos);
    EXPECT_NE(out.find("\ritem 1 [#############.......] 2/3 66%"), std::string::npos);
    EXPECT_NE(out.find("\r\x1b[Kitem 1 \"Main\": log: hello\n\ritem 1 [#############.......] 2/3"),
              std::string::npos);
    EXPECT_NE(out.find("\r\x1b[Kitem 1 \"Main\": done, 3/3 frames"), std::string::npos);
    const size_t finalLine = out.find("done, 3/3 frames");
    ASSERT_NE(finalLine, std::string::npos);
    EXPECT_EQ(out.find('\r', finalLine), std::string::npos) << "nothing is redrawn after the item ended";
}

TEST(ConsoleView, UnknownItemsAndUpdatesWithoutStartArePrinted) {
    std::string out;
    ConsoleView view([&](const std::string& text) { out += text; }, false);
    view.ItemEnd(7, 1);  // no job begin, no start
    view.FrameDone(9, FrameProgress{});
    view.JobEnd();
    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(CountContaining(lines, "item 7: done, 0 frames"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 9: started"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 9 [....................] 1/? 0% elapsed -:-- left -:--"), 1u);
    EXPECT_EQ(lines.back(), "job end: 1 item: 1 done, 0 stopped, 0 failed");
}

}  // namespace
