// The render driver: the order of session operations, the host's status of a failed item,
// session failures and the output files as they grow.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "RecordingSession.h"

using namespace brevant_host;
using namespace host_simulator_test;

namespace {

class RenderDriver : public RecordsTest {
protected:
    void SetUp() override {
        RecordsTest::SetUp();
        options_.outputDirectory = scratch_.path.string();
    }
    RenderSummary Render(const std::string& jobText, const BrevantProviderSuite1& provider = RecordingProvider()) {
        job_ = MustParse(jobText);
        return job_ ? RenderJob(*job_, provider, options_) : RenderSummary{};
    }

    ScratchDirectory scratch_{"render"};
    RenderOptions options_;
    std::unique_ptr<Job> job_;
};

std::string TwoItems(const std::string& firstItemExtras) {
    return R"({"project": "Demo", "items": [{"comp": {"name": "A", "width": 32, "height": 18, "frames": 2},
        "outputModules": [{"path": "[compName]_[#].jpg"}])" + firstItemExtras + R"(},
        {"comp": {"name": "B", "width": 16, "height": 16, "frames": 1}}]})";
}

// What the host reports of failures and stops, and what clients see of them, is in the cli tests'
// records; the host's own status of a failed item here.
TEST_F(RenderDriver, DrivesTheSessionAsTheHostDoes) {
    Render(TwoItems(R"(, "fail": {"atFrame": 2, "status": 9},
        "logs": [{"atFrame": 0, "type": 2, "text": "starting"}, {"atFrame": 2, "type": 4, "text": "last"}])"));
    const std::vector<std::string> expected = {
        "DescribeBegin Demo", "DescribeAddItem 0", "DescribeAddItem 1", "DescribeEnd",
        "RenderItemStart", "Log 2 starting", "Update 2 frame 1/2", "Update 3 frame 1/2 picture",
        "Update 2 frame 2/2", "Update 3 frame 2/2 picture", "Log 4 last", "RenderItemEnd 9",
        "RenderItemStart", "Update 2 frame 1/1", "Update 3 frame 1/1 picture", "RenderItemEnd 6", "dtor"};
    EXPECT_EQ(TheRecorder().transcript, expected);
    EXPECT_EQ(HostRenderItemStatus(job_->Item(0)), 9);
}

TEST_F(RenderDriver, SessionFailuresAreCaughtAndRecorded) {
    const struct {
        const char *name, *operation;
        std::function<void()> raise;
        HostErr code;
        bool described;
        int32_t itemsStarted;
    } cases[] = {
        {"describing an item throws a host code", "DescribeAddItem", [] { throw int32_t{5}; }, 5, false, 0},
        {"the description's start throws", "DescribeBegin", [] { throw int32_t{7}; }, 7, false, 0},
        {"an update throws a standard exception", "Update", [] { throw std::runtime_error("trouble"); }, 0, true, 2},
        {"a log throws", "Log", [] { throw 3.5; }, 0, true, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRecorder();
        ClearRecordedLog();
        TheRecorder().raise[c.operation] = c.raise;
        const RenderSummary summary = Render(TwoItems(R"(, "logs": [{"text": "hello"}])"));
        EXPECT_EQ(summary.described, c.described);
        EXPECT_EQ(summary.items, c.itemsStarted);
        ASSERT_FALSE(summary.errors.empty());
        EXPECT_EQ(summary.errors.front().code, c.code);
        EXPECT_EQ(TheRecorder().transcript.back(), "dtor");  // the session is released on every path
        const auto& log = RecordedLog();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const LogLine& line) { return line.tag == "Host"; }));
    }
}

HostErr RefuseSession(std::shared_ptr<RQSession>*) { return 1; }

TEST_F(RenderDriver, ARefusedSessionRendersNothing) {
    for (const BrevantProviderSuite1& provider : {BrevantProviderSuite1{&RefuseSession}, BrevantProviderSuite1{nullptr}}) {
        const RenderSummary summary = Render(TwoItems(""), provider);
        EXPECT_FALSE(summary.started);
        EXPECT_EQ(summary.items, 0);
        ASSERT_EQ(summary.errors.size(), 1u);
        EXPECT_EQ(summary.errors[0].operation, "Brevant_StartSession");
    }
    EXPECT_TRUE(TheRecorder().transcript.empty());
}

TEST_F(RenderDriver, AnOutputThatCannotBeWrittenFailsItsItemAtThatFrame) {
    // A file where the output folder would be: no user, root included, can write under it.
    const std::string blocked = (scratch_.path / "blocked").generic_string();  // no backslash to escape in JSON
    { std::ofstream(blocked) << "a file"; }
    const std::string job = R"({"items": [{"comp": {"name": "A", "width": 8, "height": 8, "frames": 3},
        "outputModules": [{"path": ")" + blocked + R"(/[compName]_[#].jpg"}]}]})";
    const RenderSummary summary = Render(job);
    ASSERT_EQ(summary.outcomes.size(), 1u);
    EXPECT_EQ(summary.outcomes[0].status, kItemStatusFailed);
    EXPECT_EQ(summary.outcomes[0].framesRendered, 0);
    ASSERT_EQ(summary.errors.size(), 1u);
    EXPECT_EQ(summary.errors[0].operation, "WriteOutput");
    // A frame that was not written is not reported as done.
    const std::vector<std::string> expected = {"DescribeBegin Untitled Project", "DescribeAddItem 0", "DescribeEnd",
                                               "RenderItemStart", "Update 2 frame 1/3", "RenderItemEnd 5", "dtor"};
    EXPECT_EQ(TheRecorder().transcript, expected);
}

// What the host reports of its files is in the cli tests' records.
TEST_F(RenderDriver, OutputFilesGrowWithEveryFrame) {
    std::vector<std::vector<uint64_t>> sizesPerFrame;
    options_.onFrame = [&](const FrameEvent& event) {
        const HostOutputModuleList modules =
            HostRenderItemOutputModules(HostRenderItemAt(HostRenderQueueItems(event.queue), event.itemIndex));
        std::vector<uint64_t>& sizes = sizesPerFrame.emplace_back();
        for (uint64_t i = 0; i < modules.count; ++i) {
            HostString path;
            HostOutputModuleFilePath(modules.modules[i], path);
            sizes.push_back(HostFileSize(HostFile(path, 0)));
        }
    };
    const RenderSummary summary = Render(R"({"items": [{"comp": {"name": "C", "width": 96, "height": 54, "frames": 5},
        "outputModules": [{"path": "seq/[compName]_[###].jpg"}, {"path": "[compName].mjpg"},
                          {"path": "[compName].rgb", "write": "raw"}, {"fileBased": false}]}]})");
    EXPECT_TRUE(summary.errors.empty()) << FormatSummary(summary);

    ASSERT_EQ(sizesPerFrame.size(), 5u);
    for (size_t frame = 0; frame < sizesPerFrame.size(); ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame + 1));
        EXPECT_EQ(sizesPerFrame[frame][2], (frame + 1) * 96 * 54 * 3);  // raw RGB, one frame at a time
        EXPECT_EQ(sizesPerFrame[frame][3], 0u);
        for (size_t module = 0; module < 2; ++module)
            EXPECT_GT(sizesPerFrame[frame][module], frame == 0 ? 0 : sizesPerFrame[frame - 1][module]) << module;
    }

    // A second render starts the files afresh.
    sizesPerFrame.clear();
    RenderJob(*job_, RecordingProvider(), options_);
    ASSERT_EQ(sizesPerFrame.size(), 5u);
    EXPECT_EQ(sizesPerFrame[0][2], 96u * 54 * 3);
}

}  // namespace
