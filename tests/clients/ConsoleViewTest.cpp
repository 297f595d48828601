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
        uint64_t size, final, free;
        bool exceeds;
    };
    const Case cases[] = {
        {"fits", 100, 1000, 5000, false},
        {"growth exactly fits", 100, 1000, 900, false},
        {"growth does not fit", 100, 1000, 899, true},
        {"final below size", 1000, 0, 0, false},
    };
    for (const Case& c : cases) EXPECT_EQ(EstimateExceedsFreeSpace(c.size, c.final, c.free), c.exceeds) << c.name;
}

TEST(ConsoleRules, ProjectedFinalSize) {
    struct Case {
        uint64_t size, hostEstimate;
        int32_t done, total;
        uint64_t final;
        bool projected;
    };
    const Case cases[] = {
        {1000, 3000, 3, 10, 3333, true},   // the host's whole quotient would say 3000
        {1000, 1000, 7, 12, 1714, true},   // ... and 1000 here
        {500, 0, 12, 12, 500, true},       // the last frame: what is written is final
        {500, 0, 13, 12, 500, true},
        {700, 1400, 0, 12, 1400, false},   // nothing done: the host's figure
        {700, 1400, 4, 0, 1400, false},    // no total: the host's figure
        {UINT64_MAX / 2, 0, 1, 2, UINT64_MAX - 1, true},  // no overflow on the way
    };
    for (const Case& c : cases) {
        OutputFileProgress file;
        file.fileSize = c.size;
        file.estFinalSize = c.hostEstimate;
        const FinalSize final = ProjectFinalSize(file, c.done, c.total);
        EXPECT_EQ(final.bytes, c.final) << c.size << " after " << c.done << "/" << c.total;
        EXPECT_EQ(final.projected, c.projected) << c.size << " after " << c.done << "/" << c.total;
    }
}

TEST(ConsoleRules, TimeLeftRoundsUp) {
    struct Case {
        int64_t ms;
        const char* text;
    };
    const Case cases[] = {{-5, "0:00"}, {0, "0:00"}, {1, "0:01"}, {999, "0:01"}, {1000, "0:01"},
                          {1001, "0:02"}, {59001, "1:00"}, {3600000, "60:00"}};
    for (const Case& c : cases) EXPECT_EQ(FormatTimeLeft(c.ms), c.text) << c.ms;
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
    main.frames = 20;
    main.outputModules.push_back({"/out/Main_[####].png", {}});
    main.outputModules.push_back({"/out/Main.mov", {"size mismatch"}});
    ItemSummary titles;
    titles.id = 2;
    titles.compName = "Titles";
    titles.frames = 10;
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

// A clock the test moves: one second per frame unless told otherwise.
struct TestClock {
    int64_t now = 0;
    ConsoleView::Clock clock() {
        return [this] { return now; };
    }
};

TEST(ConsoleView, PlainRunOfAJob) {
    std::string out;
    TestClock time;
    ConsoleView view([&](const std::string& text) { out += text; }, nullptr, time.clock());
    view.JobBegin(TwoItemJob());
    view.Log(-1, 0, "before any item");
    view.ItemStart(1);
    for (int32_t f = 1; f <= 20; ++f) {
        time.now += 1000;
        view.FrameDone(1, Frame(f, 20, 1024u * f, 1024u * 20, 1u << 30));
    }
    view.Log(1, 1, "disk is slow");
    view.ItemEnd(1, 1);
    view.ItemStart(2);
    view.ItemEnd(2, 2);
    view.JobEnd();

    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(out.find('\r'), std::string::npos) << "no redraws when not a terminal";
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "job begin: project \"demo\", host 24.1x2, 2 items");
    EXPECT_EQ(lines[1], "  item 1 \"Main\", 20 frames");
    EXPECT_EQ(lines[2], "    output 1: /out/Main_[####].png");
    EXPECT_EQ(lines[3], "    output 2: /out/Main.mov");
    EXPECT_EQ(lines[4], "  item 2 \"Titles\", 10 frames");
    EXPECT_EQ(lines[5], "  sizes: written so far of ~final, projected from the bytes and frames so far");
    EXPECT_EQ(lines[6], "job: log: before any item");
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": output 2 warning: size mismatch"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": log (flagged): disk is slow"), 1u);
    // Frame 1, then each tenth: 2, 4, ... 20; plain lines carry every detail.
    EXPECT_EQ(CountContaining(lines, "item 1 ["), 11u);
    EXPECT_EQ(CountContaining(lines, "item 1 [#...................] 1/20 5% -- fps elapsed 0:01 left -:-- job left -:-- "
                                     "| Main_0001.png 1.0 KiB of ~20.0 KiB | 1.0 GiB free"),
              1u)
        << "no pace, hence no ETA, from a single frame";
    EXPECT_EQ(CountContaining(lines, "item 1 [##..................] 2/20 10% 1.0 fps elapsed 0:02 left 0:18 "
                                     "job left 0:28 | Main_0001.png 2.0 KiB of ~20.0 KiB | 1.0 GiB free"),
              1u);
    EXPECT_EQ(CountContaining(lines, "item 1 [####################] 20/20 100% 1.0 fps elapsed 0:20 left 0:00 "
                                     "job left 0:10 | Main_0001.png 20.0 KiB of ~20.0 KiB | 1.0 GiB free"),
              1u);
    EXPECT_EQ(CountContaining(lines, "Preview"), 0u) << "a module without a file shows no sizes";
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": done, 20/20 frames in 0:20, Main_0001.png 20.0 KiB"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 2 \"Titles\": stopped, 0 frames"), 1u);
    EXPECT_EQ(lines.back(), "job end: 2 items: 1 done, 1 stopped, 0 failed");
}

TEST(ConsoleView, TheEtaMovesWithThePace) {
    struct Case {
        std::vector<int64_t> frameGapsMs;  // before each frame of item 1's 10
        const char* figures;               // on the last frame's line; item 2 has 10 frames to come
    };
    const Case cases[] = {
        {{40}, "1/10 10% -- fps elapsed 0:01 left -:-- job left -:-- |"},
        {{40, 1000}, "2/10 20% 1.0 fps elapsed 0:02 left 0:08 job left 0:18 |"},
        {{5, 41, 41}, "3/10 30% 24.4 fps elapsed 0:03 left 0:01 job left 0:01 |"},  // 287 ms, rounded up
        {{0, 500, 500, 2000}, "4/10 40% 1.0 fps elapsed 0:04 left 0:06 job left 0:16 |"},
    };
    for (const Case& c : cases) {
        std::string out;
        TestClock time;
        ConsoleView view([&](const std::string& text) { out += text; }, [] { return size_t{200}; }, time.clock());
        view.JobBegin(TwoItemJob());
        view.ItemStart(1);
        int64_t f = 0;
        for (int64_t gap : c.frameGapsMs) {
            time.now += gap;
            out.clear();
            ++f;
            view.FrameDone(1, Frame(f, 10, 100, 100, 1u << 30));
        }
        EXPECT_NE(out.find(c.figures), std::string::npos) << out;
    }
}

// A render like the demo's halfway through its first item: two files on one volume.
LineFigures DemoFigures() {
    LineFigures figures;
    figures.itemId = 1;
    figures.framesDone = 12;
    figures.framesTotal = 24;
    figures.percent = 50;
    figures.framesPerSecond = 24.0;
    figures.elapsedMs = 480;
    figures.itemLeftMs = 500;
    figures.hasJobLeft = true;
    figures.jobLeftMs = 1500;
    figures.files = {{"Main_0012.jpg", 2000000, {4000000, true}, false},
                     {"Demo_Main.raw", 74649600, {149299200, true}, false}};
    figures.free = {{"/", 120ull << 30}};
    return figures;
}

TEST(ConsoleLayout, FitsTheWidthDroppingTheLeastUsefulFirst) {
    struct Case {
        size_t columns;
        const char* line;
    };
    const Case cases[] = {
        {0, "item 1 [##########..........] 12/24 50% 24.0 fps elapsed 0:00 left 0:01 job left 0:02 | Main_0012.jpg "
            "1.9 MiB of ~3.8 MiB | Demo_Main.raw 71.2 MiB of ~142.4 MiB | 120.0 GiB free"},
        {200, "item 1 [##########..........] 12/24 50% 24.0 fps elapsed 0:00 left 0:01 job left 0:02 | Main_0012.jpg "
              "1.9 MiB of ~3.8 MiB | Demo_Main.raw 71.2 MiB of ~142.4 MiB | 120.0 GiB free"},
        {120, "item 1 [#####.....] 12/24 50% 24.0 fps left 0:01 job left 0:02 | 1.9 MiB of ~3.8 MiB | 71.2 MiB of "
              "~142.4 MiB"},
        {80, "item 1 [#####.....] 12/24 50% left 0:01 job 0:02 | 1.9 MiB of ~3.8 MiB"},
        {40, "item 1 12/24 50% left 0:01 job 0:02"},
        {20, "item 1 12/24 50%"},
        {12, "item 1 12/2"},  // what is never dropped is cut at last
    };
    for (const Case& c : cases) {
        const std::string line = ProgressLine(DemoFigures(), c.columns);
        EXPECT_EQ(line, c.line) << c.columns << " columns";
        if (c.columns > 0) {
            EXPECT_LT(line.size(), c.columns) << "the last column stays free";
        }
    }
}

TEST(ConsoleLayout, FileDetailsAndUnknowns) {
    LineFigures figures = DemoFigures();
    figures.files[1].final = {149299200, false};
    figures.files[0].exceedsFreeSpace = true;
    figures.free = {{"/", 1000}, {"/mnt/b", 2048}};
    EXPECT_EQ(ProgressLine(figures, 0),
              "item 1 [##########..........] 12/24 50% 24.0 fps elapsed 0:00 left 0:01 job left 0:02 | Main_0012.jpg "
              "1.9 MiB of ~3.8 MiB (!) | Demo_Main.raw 71.2 MiB, host est. 142.4 MiB | free: 1000 B on /, 2.0 KiB on "
              "/mnt/b");

    LineFigures unknown;
    unknown.itemId = 9;
    unknown.framesDone = 3;
    EXPECT_EQ(ProgressLine(unknown, 0), "item 9 [....................] 3/? -- fps elapsed -:-- left -:--");
}

TEST(ConsoleView, WarnsOncePerItemWhenTheProjectionDoesNotFit) {
    std::string out;
    TestClock time;
    ConsoleView view([&](const std::string& text) { out += text; }, nullptr, time.clock());
    view.JobBegin(TwoItemJob());
    view.ItemStart(1);
    for (int32_t f = 1; f <= 5; ++f) view.FrameDone(1, Frame(f, 5, 1000u * f, 1000u * f, 100));
    view.ItemEnd(1, 3);
    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": output 1 warning: projected final size 4.9 KiB will not "
                                     "fit in the 100 B free on /"),
              1u);
    EXPECT_EQ(CountContaining(lines, "(!)"), 4u) << "frames 1 to 4 show the mark; frame 5 has nothing left to write";
    EXPECT_EQ(CountContaining(lines, "item 1 \"Main\": failed, 5/5 frames"), 1u);
}

TEST(ConsoleView, TerminalRedrawsOneLineThatFollowsTheWidth) {
    std::string out;
    TestClock time;
    size_t columns = 200;
    ConsoleView view([&](const std::string& text) { out += text; }, [&] { return columns; }, time.clock());
    view.JobBegin(TwoItemJob());
    view.ItemStart(1);
    view.FrameDone(1, Frame(1, 3, 10, 30, 1000));
    time.now += 1000;
    view.FrameDone(1, Frame(2, 3, 20, 30, 1000));
    view.Log(1, 0, "hello");
    columns = 40;
    time.now += 1000;
    view.FrameDone(1, Frame(3, 3, 30, 30, 1000));
    view.ItemEnd(1, 1);

    // Every frame redraws in place; a log line clears the live line and redraws it after.
    EXPECT_NE(out.find("\ritem 1 [######..............] 1/3 33% -- fps elapsed 0:01 left -:--"), std::string::npos);
    EXPECT_NE(out.find("\ritem 1 [#############.......] 2/3 66% 1.0 fps"), std::string::npos);
    EXPECT_NE(out.find("\r\x1b[Kitem 1 \"Main\": log: hello\n\ritem 1 [#############.......] 2/3"), std::string::npos);
    EXPECT_NE(out.find("\ritem 1 [##########] 3/3 100% left 0:00\x1b[K"), std::string::npos)
        << "the narrower terminal gets a shorter line";
    EXPECT_NE(out.find("\r\x1b[Kitem 1 \"Main\": done, 3/3 frames"), std::string::npos);
    const size_t finalLine = out.find("done, 3/3 frames");
    ASSERT_NE(finalLine, std::string::npos);
    EXPECT_EQ(out.find('\r', finalLine), std::string::npos) << "nothing is redrawn after the item ended";
}

TEST(ConsoleView, JobEndCountsWhatNeverStarted) {
    struct Case {
        std::vector<int32_t> endStatuses;  // of items 1, 2 ... in order
        const char* line;
    };
    const Case cases[] = {
        {{1, 1}, "job end: 2 items: 2 done, 0 stopped, 0 failed"},
        {{2}, "job end: 1 of 2 items: 0 done, 1 stopped, 0 failed, 1 never started"},
        {{}, "job end: 0 of 2 items: 0 done, 0 stopped, 0 failed, 2 never started"},
    };
    for (const Case& c : cases) {
        std::string out;
        ConsoleView view([&](const std::string& text) { out += text; }, nullptr, nullptr);
        view.JobBegin(TwoItemJob());
        for (size_t i = 0; i < c.endStatuses.size(); ++i) {
            view.ItemStart(static_cast<int64_t>(i + 1));
            view.ItemEnd(static_cast<int64_t>(i + 1), c.endStatuses[i]);
        }
        view.JobEnd();
        EXPECT_EQ(Lines(out).back(), c.line);
    }
}

TEST(ConsoleView, UnknownItemsAndUpdatesWithoutStartArePrinted) {
    std::string out;
    ConsoleView view([&](const std::string& text) { out += text; }, nullptr, nullptr);
    view.ItemEnd(7, 1);  // no job begin, no start
    view.FrameDone(9, FrameProgress{});
    view.JobEnd();
    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(CountContaining(lines, "item 7: done, 0 frames"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 9: started"), 1u);
    EXPECT_EQ(CountContaining(lines, "item 9 [....................] 1/? -- fps elapsed -:-- left -:--"), 1u);
    EXPECT_EQ(lines.back(), "job end: 1 item: 1 done, 0 stopped, 0 failed");
}

}  // namespace
