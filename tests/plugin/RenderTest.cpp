// Following a render as a client does: events, frame properties, output files and thumbnails,
// read from inside the listener's callbacks while the stand-in host renders for real.
#include <cstdlib>
#include <filesystem>

#include "support/JobHelpers.h"
#include "support/JpegInfo.h"
#include "support/Listeners.h"

using namespace brevant_test;
using brevant_host::HostCall;

namespace {

class RenderTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        outputDir_ = std::filesystem::temp_directory_path() /
                     ("brevant-render-test-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(outputDir_);
        std::filesystem::create_directories(outputDir_);
        ASSERT_EQ(suite_->Brevant_RegisterListener(11, 1, &AllCallbacks()), 0);
    }
    void TearDown() override {
        PluginFixture::TearDown();
        std::filesystem::remove_all(outputDir_);
    }
    brevant_host::RenderSummary Render(const std::string& json) {
        job_ = MakeJob(json);
        if (!job_) return {};
        brevant_host::RenderOptions options;
        options.outputDirectory = outputDir_.string();
        return brevant_host::RenderJob(*job_, *provider_, options);
    }
    Pairs FrameProperties(const ListenerEvent& e, int64_t frameId) {
        return ReadPairs(
            [&](int32_t* n) { return suite_->Brevant_GetNumJobItemFrameProperties(e.sessionId, e.itemId, frameId, n); },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return suite_->Brevant_GetJobItemFrameProperty(e.sessionId, e.itemId, frameId, i, k, v);
            });
    }
    Pairs ModuleProperties(const ListenerEvent& e, int32_t module) {
        return ReadPairs(
            [&](int32_t* n) { return suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, module, n); },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return suite_->Brevant_GetJobItemOutputModuleProperty(e.sessionId, e.itemId, module, i, k, v);
            });
    }

    std::filesystem::path outputDir_;
    std::unique_ptr<brevant_host::Job> job_;
};

const char* kTwoModules = R"({
  "project": "Progress",
  "items": [{
    "comp": {"name": "Main", "width": 96, "height": 54, "frames": 5},
    "outputModules": [
      {"path": "[compName]_[####].jpg"},
      {"path": "[compName].raw", "write": "raw"},
      {"fileBased": false, "outputInfo": {"type": "Tape deck"}}
    ],
    "logs": [{"atFrame": 2, "type": 4, "text": "half way"}]
  }]
})";

TEST_F(RenderTest, ListenersHearTheJobInOrder) {
    const auto summary = Render(kTwoModules);
    EXPECT_EQ(summary.frames, 5);
    std::vector<std::string> events;
    for (const auto& e : Events()) events.push_back(e.event);
    const std::vector<std::string> expected = {"JobBegin", "JobItemStart", "JobItemUpdate", "JobItemUpdate",
                                               "JobItemLog", "JobItemUpdate", "JobItemUpdate", "JobItemUpdate",
                                               "JobItemEnd", "JobEnd"};
    EXPECT_EQ(events, expected);
    for (const auto& e : Events()) {
        if (e.event == "JobItemUpdate" || e.event == "JobItemStart") {
            EXPECT_EQ(e.itemId, 1);
        }
        if (e.event == "JobItemEnd") {
            EXPECT_EQ(e.status, kListenerStatusDone);
        }
        if (e.event == "JobItemLog") {
            EXPECT_EQ(e.text, "half way");
            EXPECT_EQ(e.flag, 1);
        }
    }
    // Progress updates that are not a finished frame are not processed at all.
    size_t updates = 0;
    for (const auto& line : LinesOf("BrevantSession")) updates += line.rfind("RenderItemUpdate:", 0) == 0;
    EXPECT_EQ(updates, 5u);
}

TEST_F(RenderTest, FramePropertiesAreTheHostsFigures) {
    std::vector<Pairs> frames;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemUpdate") return;
        frames.push_back(FrameProperties(e, e.frameId));
        // Another frame id, or one of an earlier frame, is refused.
        int32_t kept = 9;
        EXPECT_EQ(suite_->Brevant_GetNumJobItemFrameProperties(e.sessionId, e.itemId, e.frameId - 1, &kept), 3);
        EXPECT_EQ(kept, 9);
    });
    Render(kTwoModules);
    ASSERT_EQ(frames.size(), 5u);
    for (size_t f = 0; f < frames.size(); ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(ValueOf(frames[f], "FramesTotal"), "5");
        EXPECT_NE(ValueOf(frames[f], "ElapsedTime"), "<absent>");
    }
    // The last frame has no time left.
    EXPECT_EQ(KeysOf(frames.back()), (std::vector<std::string>{"ElapsedTime", "FramesTotal"}));
}

TEST_F(RenderTest, OutputFilePropertiesFollowTheFilesOnDisk) {
    std::vector<std::vector<Pairs>> frames;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemUpdate") return;
        frames.push_back({ModuleProperties(e, 0), ModuleProperties(e, 1), ModuleProperties(e, 2)});
        int32_t kept = 9;
        EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 3, &kept), 3);
        EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, -1, &kept), 3);
        EXPECT_EQ(kept, 9);
    });
    Render(kTwoModules);
    ASSERT_EQ(frames.size(), 5u);
    const std::vector<std::string> keys = {"OutputTo", "Disk", "FileSize", "EstFinalSize", "DiskSpace"};
    uint64_t lastRawSize = 0;
    for (size_t f = 0; f < frames.size(); ++f) {
        SCOPED_TRACE(f);
        const int64_t frameId = static_cast<int64_t>(f) + 1;
        for (const auto& module : frames[f]) EXPECT_EQ(KeysOf(module), keys);
        const Pairs& raw = frames[f][1];
        const uint64_t size = std::stoull(ValueOf(raw, "FileSize"));
        EXPECT_GT(size, lastRawSize);
        lastRawSize = size;
        // Whole frames first: size x (frames total / frame id).
        EXPECT_EQ(std::stoull(ValueOf(raw, "EstFinalSize")), size * static_cast<uint64_t>(5 / frameId));
        EXPECT_GT(std::stoull(ValueOf(raw, "DiskSpace")), 0u);
        EXPECT_FALSE(ValueOf(raw, "Disk").empty());
        EXPECT_NE(ValueOf(raw, "OutputTo").find("Main.raw"), std::string::npos);
        // A module that writes no file: its description and zeros.
        EXPECT_EQ(frames[f][2], (Pairs{{"OutputTo", "Tape deck"}, {"Disk", ""}, {"FileSize", "0"},
                                       {"EstFinalSize", "0"}, {"DiskSpace", "0"}}));
    }
    EXPECT_EQ(lastRawSize, std::filesystem::file_size(outputDir_ / "Main.raw"));
}

TEST_F(RenderTest, ProgressQueriesCountNothingOutsideTheUpdate) {
    std::vector<int32_t> counts;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemStart" && e.event != "JobItemLog") return;
        int32_t frames = -1, modules = -1;
        EXPECT_EQ(suite_->Brevant_GetNumJobItemFrameProperties(e.sessionId, e.itemId, e.event == "JobItemStart" ? -1 : 2, &frames), 0);
        EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 0, &modules), 0);
        counts.push_back(frames);
        counts.push_back(modules);
        int32_t width = 100, height = 100;
        HostMemoryHandle jpeg = nullptr;
        EXPECT_EQ(suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, 2, &width, &height, &jpeg), 3);
        EXPECT_EQ(width, 100);
    });
    Render(kTwoModules);
    EXPECT_EQ(counts, (std::vector<int32_t>{0, 0, 0, 0}));
    // After the item's end every module index is refused.
    int32_t kept = 5;
    EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(LastSessionId(), 1, 0, &kept), 3);
}

TEST_F(RenderTest, HostStatusMapsToListenerStatus) {
    const auto summary = Render(R"({"items": [
      {"comp": {"name": "A", "width": 8, "height": 8, "frames": 3}, "outputModules": [], "fail": {"atFrame": 2, "status": 5}},
      {"comp": {"name": "B", "width": 8, "height": 8, "frames": 3}, "outputModules": []},
      {"comp": {"name": "C", "width": 8, "height": 8, "frames": 3}, "outputModules": [], "stopAtFrame": 2}]})");
    std::vector<int32_t> statuses;
    for (const auto& e : Events()) {
        if (e.event == "JobItemEnd") statuses.push_back(e.status);
    }
    EXPECT_EQ(statuses, (std::vector<int32_t>{kListenerStatusFailed, kListenerStatusDone, kListenerStatusStopped}));
}

// The limit along the longer side decides, the other side follows, nothing is enlarged, and
// compositions are corrected by their pixel aspect ratio first.
TEST_F(RenderTest, ThumbnailsAreSizedToTheLongerSide) {
    struct Case {
        int width, height;
        int aspectNum, aspectDen;
        int32_t maxWidth, maxHeight;
        int32_t expectedWidth, expectedHeight;
    } cases[] = {
        {1920, 1080, 1, 1, 200, 200, 200, 113}, {1080, 1920, 1, 1, 200, 200, 113, 200},
        {1920, 1080, 1, 1, 4000, 4000, 1920, 1080}, {1920, 1080, 1, 1, 200, 50, 200, 113},
        {500, 500, 1, 1, 100, 80, 80, 80}, {960, 1080, 2, 1, 4000, 4000, 1920, 1080},
        {720, 480, 10, 11, 320, 240, 320, 235},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        ClearListeners();
        ASSERT_EQ(suite_->Brevant_RegisterListener(11, 1, &AllCallbacks()), 0);
        int32_t width = 0, height = 0;
        std::vector<uint8_t> jpeg;
        SetAction(11, 1, [&](const ListenerEvent& e) {
            if (e.event != "JobItemUpdate") return;
            width = c.maxWidth;
            height = c.maxHeight;
            HostMemoryHandle handle = nullptr;
            ASSERT_EQ(suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, e.frameId, &width, &height, &handle), 0);
            brevant_host::HandleInfo info;
            ASSERT_TRUE(brevant_host::InspectHandle(handle, &info));
            EXPECT_EQ(info.label, "convert thumbnail to memhandle for brevant");
            EXPECT_EQ(info.flags, 0);
            jpeg = info.bytes;
            TakeString(handle);
        });
        Render(R"({"items": [{"comp": {"name": "T", "width": )" + std::to_string(c.width) + R"(, "height": )" +
               std::to_string(c.height) + R"(, "frames": 1, "pixelAspect": [)" + std::to_string(c.aspectNum) + ", " +
               std::to_string(c.aspectDen) + R"(]}, "outputModules": []}]})");
        EXPECT_EQ(width, c.expectedWidth);
        EXPECT_EQ(height, c.expectedHeight);
        int jpegWidth = 0, jpegHeight = 0;
        ASSERT_TRUE(JpegSize(jpeg, &jpegWidth, &jpegHeight));
        EXPECT_EQ(jpegWidth, c.expectedWidth);
        EXPECT_EQ(jpegHeight, c.expectedHeight);
    }
}

TEST_F(RenderTest, ThumbnailRefusalsLeaveWidthAndHeight) {
    std::vector<std::pair<std::string, HostErr>> results;
    brevant_host::SetFault(HostCall::CompressJpeg, 5, 0, 1);
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemUpdate") return;
        struct Case {
            const char* name;
            int64_t frameId;
            int32_t width, height;
        } cases[] = {{"compressor throws", e.frameId, 64, 64}, {"earlier frame", e.frameId - 1, 64, 64},
                     {"zero width", e.frameId, 0, 64}, {"negative height", e.frameId, 64, -1}};
        for (const auto& c : cases) {
            int32_t width = c.width, height = c.height;
            auto* sentinel = reinterpret_cast<HostMemoryHandle>(0x99);
            HostMemoryHandle handle = sentinel;
            results.emplace_back(c.name, suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, c.frameId, &width, &height, &handle));
            EXPECT_EQ(width, c.width);
            EXPECT_EQ(height, c.height);
            EXPECT_EQ(handle, sentinel);
        }
        int32_t width = 64;
        HostMemoryHandle handle = nullptr;
        results.emplace_back("null height", suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, e.frameId, &width, nullptr, &handle));
    });
    Render(R"({"items": [{"comp": {"name": "T", "width": 32, "height": 32, "frames": 1}, "outputModules": []}]})");
    for (const auto& r : results) EXPECT_EQ(r.second, kBrevantErrRejected) << r.first;
    EXPECT_EQ(CountLines("BrevantSession", "GetJobItemFrameThumbnail", "failed to get thumbnail"), 1u);
}

TEST_F(RenderTest, FailingVolumeNameIsReturnedToTheClient) {
    brevant_host::SetFault(HostCall::FileSpecName, 5);
    HostErr result = 0;
    int32_t kept = 8;
    HostMemoryHandle key = nullptr, value = nullptr;
    HostErr readBack = -1;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemUpdate") return;
        result = suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 0, &kept);
        // "OutputTo" was appended before the failure and stays readable.
        readBack = suite_->Brevant_GetJobItemOutputModuleProperty(e.sessionId, e.itemId, 0, 0, &key, &value);
    });
    Render(R"({"items": [{"comp": {"name": "T", "width": 8, "height": 8, "frames": 1}, "outputModules": [{"path": "t.raw", "write": "raw"}]}]})");
    EXPECT_EQ(result, 5);
    EXPECT_EQ(kept, 8);
    ASSERT_EQ(readBack, 0);
    EXPECT_EQ(TakeString(key), "OutputTo");
    TakeString(value);
}

}  // namespace

namespace {

// Queue index INT32_MAX is item id INT32_MIN: finding the host's item again from that id
// during the update must lead back to the same index, not overflow.
TEST_F(RenderTest, TheLastQueueIndexIsFoundAgainFromItsId) {
    job_ = MakeJob(kTwoModules);
    ASSERT_TRUE(job_);
    std::vector<int64_t> seen;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemUpdate") return;
        int32_t modules = -1;
        EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 0, &modules), 0);
        seen.push_back(e.itemId);
        seen.push_back(modules);
    });
    auto session = StartSession();
    session->DescribeBegin(u"last index");
    session->DescribeAddItem(INT32_MAX, *job_->Item(0));
    session->DescribeEnd();
    session->RenderItemStart(job_->Queue());
    HostFrameUpdate update{};
    update.updateStatus = 3;
    update.frameId = 1;
    update.framesTotal = 5;
    session->RenderItemUpdate(job_->Queue(), &update);
    session->RenderItemEnd(job_->Queue(), 6);
    session.reset();
    // The queue holds no item at that index, so the module has no properties to report.
    EXPECT_EQ(seen, (std::vector<int64_t>{INT32_MIN, 0}));
}

}  // namespace
