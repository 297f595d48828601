// The console monitor's view: what it prints for each event, in plain and in terminal mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <brevant/client.hpp>
#include "clients/console_monitor/ConsoleView.h"

namespace {

using namespace console_monitor;

TEST(ConsoleRules, PercentDoneAndWhenAPlainLineIsDue) {
    const std::tuple<int32_t, int32_t, int32_t> percents[] = {  // done, total, percent
        {0, 10, 0}, {1, 10, 10}, {5, 10, 50}, {10, 10, 100}, {12, 10, 100}, {1, 3, 33},
        {2, 3, 66}, {5, 0, 0}, {5, -1, 0}, {-1, 10, 0}, {2000000000, 2000000000, 100}};
    for (const auto& [done, total, percent] : percents) EXPECT_EQ(PercentDone(done, total), percent) << done << "/" << total;
    // The first frame and each tenth of a known total are PlainRunOfAJob's; here the last frame,
    // printed already; few frames, each a tenth or more; an unknown total: every ten frames.
    const std::tuple<int32_t, int32_t, int32_t, bool> due[] = {  // done, total, last printed, due
        {100, 100, 100, false}, {3, 3, 2, true}, {2, 3, 1, true}, {9, 0, 1, false}, {11, 0, 1, true}, {0, 10, 0, false}};
    for (const auto& [done, total, last, d] : due) EXPECT_EQ(PlainLineDue(done, total, last), d) << done << "/" << total << " after " << last;
}

// The projection's arithmetic is ClientProjection's; here when the monitor uses it.
TEST(ConsoleRules, ProjectedFinalSizeOnlyWithFramesDoneOfAKnownTotal) {
    // size, host estimate, done, total; the final size and whether it is projected
    const std::tuple<uint64_t, uint64_t, int32_t, int32_t, uint64_t, bool> cases[] = {
        {1000, 3000, 3, 10, 3333, true}, {1000, 1000, 7, 12, 1714, true}, {500, 0, 12, 12, 500, true},
        {700, 1400, 0, 12, 1400, false}, {700, 1400, 4, 0, 1400, false}};  // the host's figure
    for (const auto& [size, hostEstimate, done, total, bytes, projected] : cases) {
        const FinalSize final = ProjectFinalSize(OutputFileProgress{"", "", true, size, hostEstimate, 0}, done, total);
        EXPECT_EQ(std::make_pair(final.bytes, final.projected), std::make_pair(bytes, projected)) << size << " after " << done << "/" << total;
    }
}

// Durations round down, times left up; the SDK's deprecated copy, kept for one release, writes
// durations as the monitor does.
TEST(ConsoleRules, DurationRoundsDownTimeLeftUp) {
    const std::tuple<int64_t, const char*, const char*> cases[] = {
        {-5, "0:00", "0:00"}, {0, "0:00", "0:00"}, {1, "0:00", "0:01"}, {999, "0:00", "0:01"}, {1000, "0:01", "0:01"},
        {1001, "0:01", "0:02"}, {59001, "0:59", "1:00"}, {59999, "0:59", "1:00"}, {60000, "1:00", "1:00"},
        {754000, "12:34", "12:34"}, {3600000, "60:00", "60:00"}};
    for (const auto& [ms, duration, left] : cases) {
        EXPECT_EQ(FormatDuration(ms), duration) << ms;
        EXPECT_EQ(FormatTimeLeft(ms), left) << ms;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        EXPECT_EQ(brevant_client::FormatDuration(ms), duration) << ms;
#pragma GCC diagnostic pop
    }
}

JobSummary TwoItemJob() {
    return {"demo", "24.1x2",
            {{1, "Main", 20, {{"/out/Main_[####].png", {}}, {"/out/Main.mov", {"size mismatch"}}}},
             {2, "Titles", 10, {}}}};
}

// Frame `id` of `total`, one second each, with a file on "/" and an output without a file.
FrameProgress Frame(int64_t id, int32_t total, uint64_t size, uint64_t estimate, uint64_t free) {
    const OutputFileProgress file{"/out/Main_0001.png", "/", true, size, estimate, free};
    return {id, total, 1000 * id, 1000 * (total - id), {file, {"Preview", "", false, 0, 0, 0}}};
}

// A view writing into `out` on a clock the test moves; a terminal of `columns` when above 0.
struct Screen {
    explicit Screen(size_t width = 0) : columns(width) {}
    std::string out;
    int64_t now = 0;
    size_t columns;
    ConsoleView view{[this](const std::string& text) { out += text; },
                     columns > 0 ? ConsoleView::Columns([this] { return columns; }) : nullptr, [this] { return now; }};

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Each row: a part of a line, and on how many lines it is.
    void ExpectCounts(const std::vector<std::pair<std::string, std::ptrdiff_t>>& counts) const {
        const std::vector<std::string> lines = Lines();
        for (const auto& row : counts) {
            const std::string& part = row.first;  // a name the lambda can take (not a structured binding)
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }),
                      row.second)
                << part << "\n" << out;
        }
    }
};

TEST(ConsoleView, PlainRunOfAJob) {
    Screen screen;
    screen.view.JobBegin(TwoItemJob());
    screen.view.Log(-1, 0, "before any item");
    screen.view.ItemStart(1);
    for (int32_t f = 1; f <= 20; ++f) {
        screen.now += 1000;
        screen.view.FrameDone(1, Frame(f, 20, 1024u * f, 1024u * 20, 1u << 30));
    }
    screen.view.Log(1, 1, "disk is slow");
    screen.view.ItemEnd(1, 1);
    screen.view.ItemStart(2);
    screen.view.ItemEnd(2, 2);
    screen.view.JobEnd();

    const std::vector<std::string> lines = screen.Lines();
    EXPECT_EQ(screen.out.find('\r'), std::string::npos) << "no redraws when not a terminal";
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7),
              (std::vector<std::string>{"job begin: project \"demo\", host 24.1x2, 2 items",
                                        "  item 1 \"Main\", 20 frames", "    output 1: /out/Main_[####].png",
                                        "    output 2: /out/Main.mov", "  item 2 \"Titles\", 10 frames",
                                        "  sizes: written so far of ~final, projected from the bytes and frames so far",
                                        "job: log: before any item"}));
    EXPECT_EQ(lines.back(), "job end: 2 items: 1 done, 1 stopped, 0 failed");
    // Frame 1 (no pace, hence no ETA, from a single frame), then each tenth: 2, 4, ... 20; plain
    // lines carry every detail; a module without a file shows no sizes.
    screen.ExpectCounts({
        {"item 1 \"Main\": output 2 warning: size mismatch", 1}, {"item 1 \"Main\": log (flagged): disk is slow", 1},
        {"item 1 [", 11}, {"Preview", 0},
        {"item 1 [#...................] 1/20 5% -- fps elapsed 0:01 left -:-- job left -:-- "
         "| Main_0001.png 1.0 KiB of ~20.0 KiB | 1.0 GiB free", 1},
        {"item 1 [##..................] 2/20 10% 1.0 fps elapsed 0:02 left 0:18 "
         "job left 0:28 | Main_0001.png 2.0 KiB of ~20.0 KiB | 1.0 GiB free", 1},
        {"item 1 [####################] 20/20 100% 1.0 fps elapsed 0:20 left 0:00 "
         "job left 0:10 | Main_0001.png 20.0 KiB of ~20.0 KiB | 1.0 GiB free", 1},
        {"item 1 \"Main\": done, 20/20 frames in 0:20, Main_0001.png 20.0 KiB", 1},
        {"item 2 \"Titles\": stopped, 0 frames", 1},
    });
}

TEST(ConsoleView, TheEtaMovesWithThePace) {
    // The gaps before each frame of item 1's 10; the figures on the last frame's line, with item
    // 2's 10 frames to come.
    const std::pair<std::vector<int64_t>, const char*> cases[] = {
        {{40}, "1/10 10% -- fps elapsed 0:01 left -:-- job left -:-- |"},
        {{40, 1000}, "2/10 20% 1.0 fps elapsed 0:02 left 0:08 job left 0:18 |"},
        {{5, 41, 41}, "3/10 30% 24.4 fps elapsed 0:03 left 0:01 job left 0:01 |"},  // 287 ms, rounded up
        {{0, 500, 500, 2000}, "4/10 40% 1.0 fps elapsed 0:04 left 0:06 job left 0:16 |"},
    };
    for (const auto& [gapsMs, figures] : cases) {
        Screen screen(200);
        screen.view.JobBegin(TwoItemJob());
        screen.view.ItemStart(1);
        int64_t f = 0;
        for (int64_t gap : gapsMs) {
            screen.now += gap;
            screen.out.clear();
            screen.view.FrameDone(1, Frame(++f, 10, 100, 100, 1u << 30));
        }
        EXPECT_NE(screen.out.find(figures), std::string::npos) << screen.out;
    }
}

// A render like the demo's halfway through its first item: two files on one volume.
LineFigures DemoFigures() {
    // Item 1, 12 of 24 frames, 50%, 24 fps, 480 ms elapsed, 500 ms left, 1500 ms left in the job.
    return {1, 12, 24, 50, 24.0, 480, 500, true, 1500,
            {{"Main_0012.jpg", 2000000, {4000000, true}, false}, {"Demo_Main.raw", 74649600, {149299200, true}, false}},
            {{"/", 120ull << 30}}};
}

TEST(ConsoleLayout, FitsTheWidthDroppingTheLeastUsefulFirst) {
    const char* const everything = "item 1 [##########..........] 12/24 50% 24.0 fps elapsed 0:00 left 0:01 job left "
                                   "0:02 | Main_0012.jpg 1.9 MiB of ~3.8 MiB | Demo_Main.raw 71.2 MiB of ~142.4 MiB | "
                                   "120.0 GiB free";
    const std::pair<size_t, const char*> cases[] = {
        {0, everything},
        {200, everything},
        {120, "item 1 [#####.....] 12/24 50% 24.0 fps left 0:01 job left 0:02 | 1.9 MiB of ~3.8 MiB | 71.2 MiB of "
              "~142.4 MiB"},
        {80, "item 1 [#####.....] 12/24 50% left 0:01 job 0:02 | 1.9 MiB of ~3.8 MiB"},
        {40, "item 1 12/24 50% left 0:01 job 0:02"},
        {20, "item 1 12/24 50%"},
        {12, "item 1 12/2"},  // what is never dropped is cut at last
    };
    for (const auto& [columns, expected] : cases) {
        const std::string line = ProgressLine(DemoFigures(), columns);
        EXPECT_EQ(line, expected) << columns << " columns";
        EXPECT_TRUE(columns == 0 || line.size() < columns) << columns << " columns: the last column stays free";
    }
}

TEST(ConsoleLayout, FileDetails) {
    LineFigures figures = DemoFigures();
    figures.files[1].final = {149299200, false};
    figures.files[0].exceedsFreeSpace = true;
    figures.free = {{"/", 1000}, {"/mnt/b", 2048}};
    EXPECT_EQ(ProgressLine(figures, 0),
              "item 1 [##########..........] 12/24 50% 24.0 fps elapsed 0:00 left 0:01 job left 0:02 | Main_0012.jpg "
              "1.9 MiB of ~3.8 MiB (!) | Demo_Main.raw 71.2 MiB, host est. 142.4 MiB | free: 1000 B on /, 2.0 KiB on "
              "/mnt/b");
}

TEST(ConsoleView, WarnsOncePerItemWhenTheProjectionDoesNotFit) {
    Screen screen;
    screen.view.JobBegin(TwoItemJob());
    screen.view.ItemStart(1);
    for (int32_t f = 1; f <= 5; ++f) screen.view.FrameDone(1, Frame(f, 5, 1000u * f, 1000u * f, 100));
    screen.view.ItemEnd(1, 3);
    screen.view.JobEnd();
    // Frames 1 to 4 show the mark; frame 5 has nothing left to write.
    screen.ExpectCounts({
        {"item 1 \"Main\": output 1 warning: projected final size 4.9 KiB will not fit in the 100 B free on /", 1},
        {"(!)", 4}, {"item 1 \"Main\": failed, 5/5 frames", 1},
    });
    EXPECT_EQ(screen.Lines().back(), "job end: 1 of 2 items: 0 done, 0 stopped, 1 failed, 1 never started");
}

TEST(ConsoleView, TerminalRedrawsOneLineThatFollowsTheWidth) {
    Screen screen(200);
    screen.view.JobBegin(TwoItemJob());
    screen.view.ItemStart(1);
    screen.view.FrameDone(1, Frame(1, 3, 10, 30, 1000));
    screen.now += 1000;
    screen.view.FrameDone(1, Frame(2, 3, 20, 30, 1000));
    screen.view.Log(1, 0, "hello");
    screen.columns = 40;
    screen.now += 1000;
    screen.view.FrameDone(1, Frame(3, 3, 30, 30, 1000));
    screen.view.ItemEnd(1, 1);

    // Every frame redraws in place; a log line clears the live line and redraws it after; the
    // narrower terminal gets a shorter line; nothing is redrawn after the item ended.
    const std::string& out = screen.out;
    EXPECT_NE(out.find("\ritem 1 [######..............] 1/3 33% -- fps elapsed 0:01 left -:--"), std::string::npos);
    EXPECT_NE(out.find("\ritem 1 [#############.......] 2/3 66% 1.0 fps"), std::string::npos);
    EXPECT_NE(out.find("\r\x1b[Kitem 1 \"Main\": log: hello\n\ritem 1 [#############.......] 2/3"), std::string::npos);
    EXPECT_NE(out.find("\ritem 1 [##########] 3/3 100% left 0:00\x1b[K"), std::string::npos);
    const size_t finalLine = out.find("\r\x1b[Kitem 1 \"Main\": done, 3/3 frames");
    ASSERT_NE(finalLine, std::string::npos);
    EXPECT_EQ(out.find('\r', finalLine + 1), std::string::npos);
}

// Without a job begin or a start; with a status the listener interface does not define.
TEST(ConsoleView, UnknownItemsAndUpdatesWithoutStartArePrinted) {
    Screen screen;
    screen.view.ItemEnd(7, 9);
    screen.view.FrameDone(9, FrameProgress{});
    screen.view.JobEnd();
    screen.ExpectCounts({
        {"item 7: status 9, 0 frames", 1}, {"item 9: started", 1},
        {"item 9 [....................] 1/? -- fps elapsed -:-- left -:--", 1},
    });
    EXPECT_EQ(screen.Lines().back(), "job end: 1 item: 0 done, 0 stopped, 0 failed");
}

}  // namespace
