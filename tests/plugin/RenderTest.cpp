// Following a real render of the stand-in host from inside a listener's callbacks.
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "support/PluginFixture.h"
#include "support/JpegInfo.h"

using namespace brevant_test;
using brevant_host::HostCall;

namespace {

class RenderTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
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
    // One item "T" of one frame, its comp's size and fields after them, and its output modules.
    void RenderOneFrame(int width, int height, const std::string& comp, const std::string& modules) {
        Render(R"({"items": [{"comp": {"name": "T", "width": )" + std::to_string(width) + R"(, "height": )" +
               std::to_string(height) + R"(, "frames": 1)" + comp + R"(}, "outputModules": [)" + modules + "]}]}");
    }
    Pairs ModuleProperties(const ListenerEvent& e, int32_t module) {
        return ReadPairs(suite_->Brevant_GetNumJobItemOutputModuleProperties,
                         suite_->Brevant_GetJobItemOutputModuleProperty, e.sessionId, e.itemId, module);
    }

    const std::filesystem::path outputDir_ =
        std::filesystem::temp_directory_path() / ("brevant-render-test-" + std::to_string(::getpid()));
    std::unique_ptr<brevant_host::Job> job_;
};

const char* kTwoModules = R"({"project": "Progress", "items": [{
    "comp": {"name": "Main", "width": 96, "height": 54, "frames": 5},
    "outputModules": [{"path": "[compName]_[####].jpg"}, {"path": "[compName].raw", "write": "raw"},
                      {"fileBased": false, "path": "deck.mov", "outputInfo": {"type": "Tape deck"}}],
    "logs": [{"atFrame": 2, "type": 4, "text": "half way"}]}]})";

// Queue index INT32_MAX has id INT32_MIN, which must lead back to it without overflow.
TEST_F(RenderTest, FramePropertiesAreTheUpdatesFigures) {
    job_ = MakeJob(kTwoModules);
    ASSERT_TRUE(job_);
    struct Case { int32_t elapsed, frameId, framesTotal; Pairs expected; } cases[] = {
        {1000, 2, 5, {{"ElapsedTime", "1000"}, {"FramesTotal", "5"}, {"RemainingTime", "1500"}}},
        {1, 1, 2, {{"ElapsedTime", "1"}, {"FramesTotal", "2"}, {"RemainingTime", "1"}}},
        {0, 1, 2, {{"ElapsedTime", "0"}, {"FramesTotal", "2"}}},
        {999, 3, 3, {{"ElapsedTime", "999"}, {"FramesTotal", "3"}}},  // the last frame
    };
    std::vector<Pairs> frames;
    std::vector<int64_t> seen;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemUpdate") return;
        HostMemoryHandle stale = nullptr;  // asked before its count: refused, never the last frame's
        EXPECT_EQ(suite_->Brevant_GetJobItemFrameProperty(e.sessionId, e.itemId, e.frameId, 0, &stale, &stale), 3);
        int32_t width = 64, height = 64;  // a finished frame without its picture has no thumbnail
        EXPECT_EQ(suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, e.frameId, &width, &height, &stale), 3);
        frames.push_back(ReadPairs(suite_->Brevant_GetNumJobItemFrameProperties,
                                   suite_->Brevant_GetJobItemFrameProperty, e.sessionId, e.itemId, e.frameId));
        int32_t count = -1;
        EXPECT_EQ(suite_->Brevant_GetNumJobItemFrameProperties(e.sessionId, e.itemId, e.frameId - 1, &count), 3);
        EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 0, &count), 0);
        seen.insert(seen.end(), {e.itemId, count});
    });
    auto session = StartSession();
    session->DescribeBegin(u"last index");
    session->DescribeAddItem(INT32_MAX, *job_->Item(0));
    session->DescribeEnd();
    session->RenderItemStart(job_->Queue());
    for (const auto& c : cases) {
        HostFrameUpdate update = FrameDone(c.frameId, c.elapsed, c.framesTotal);
        session->RenderItemUpdate(job_->Queue(), &update);
    }
    session->RenderItemEnd(job_->Queue(), 6);
    session.reset();
    ASSERT_EQ(frames.size(), std::size(cases));
    for (size_t f = 0; f < frames.size(); ++f) EXPECT_EQ(frames[f], cases[f].expected) << "row " << f;
    EXPECT_EQ(seen, (std::vector<int64_t>{INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0}));
}

TEST_F(RenderTest, AClientFollowsTheRenderFromItsCallbacks) {
    std::vector<std::vector<Pairs>> frames;
    std::vector<int32_t> counts;
    SetAction(11, 1, [&](const ListenerEvent& e) {
        int32_t count = -1, modules = -1, width = 100, height = 100;
        HostMemoryHandle jpeg = nullptr;
        if (e.event == "JobItemUpdate") {
            // Asked before their counts, the new frame's properties are refused, never the last frame's.
            EXPECT_EQ(suite_->Brevant_GetJobItemOutputModuleProperty(e.sessionId, e.itemId, 0, 0, &jpeg, &jpeg), 3);
            frames.push_back({ModuleProperties(e, 0), ModuleProperties(e, 1), ModuleProperties(e, 2)});
            EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 3, &count), 3);
            EXPECT_EQ(suite_->Brevant_GetJobItemOutputModuleProperty(e.sessionId, e.itemId, 3, 0, &jpeg, &jpeg), 3);
        } else if (e.event == "JobItemStart" || e.event == "JobItemLog") {
            const int64_t frameId = e.event == "JobItemStart" ? -1 : 2;
            EXPECT_EQ(suite_->Brevant_GetNumJobItemFrameProperties(e.sessionId, e.itemId, frameId, &count), 0);
            EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 0, &modules), 0);
            counts.insert(counts.end(), {count, modules});
            EXPECT_EQ(suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, 2, &width, &height, &jpeg), 3);
        }
    });
    EXPECT_EQ(Render(kTwoModules).frames, 5);
    // Progress updates that are not a finished frame are not processed at all.
    size_t updates = 0;
    for (const auto& line : LinesOf("BrevantSession")) updates += line.rfind("RenderItemUpdate:", 0) == 0;
    EXPECT_EQ(updates, 5u);
    EXPECT_EQ(counts, (std::vector<int32_t>{0, 0, 0, 0}));
    // After the item's end every module index is refused.
    int32_t count = 5;
    EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleProperties(LastSessionId(), 1, 0, &count), 3);

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
        // A module that writes no file, though it names one: its description, no disk, zeros.
        EXPECT_EQ(frames[f][2], (Pairs{{"OutputTo", "Tape deck"}, {"Disk", ""}, {"FileSize", "0"},
                                       {"EstFinalSize", "0"}, {"DiskSpace", "0"}}));
    }
    EXPECT_EQ(lastRawSize, std::filesystem::file_size(outputDir_ / "Main.raw"));
}

// Corrected by the pixel aspect ratio first; a compressor that throws leaves the size as it was,
// and so does a size beyond what the host can scale to, refused before the host is asked.
TEST_F(RenderTest, ThumbnailsAreSizedToTheLongerSide) {
    struct Case {
        int width, height;
        int aspectNum, aspectDen;
        int32_t maxWidth, maxHeight;
        int32_t expectedWidth, expectedHeight;
        int refusal = 0;  // 1 the compressor throws, 2 the host cannot make that size, 3 never asked
    } cases[] = {
        {1920, 1080, 1, 1, 200, 200, 200, 113}, {1080, 1920, 1, 1, 200, 200, 113, 200},
        {1920, 1080, 1, 1, 4000, 4000, 1920, 1080}, {1920, 1080, 1, 1, 200, 50, 200, 113},
        {500, 500, 1, 1, 100, 80, 80, 80}, {960, 1080, 2, 1, 4000, 4000, 1920, 1080},
        {720, 480, 10, 11, 320, 240, 320, 235}, {32, 32, 1, 1, 64, 48, 64, 48, 1},
        {1, 40, 1, 1, 64, 64, 1, 40}, {40, 1, 1, 1, 64, 64, 40, 1}, {100, 50, 1, 1, 1, 64, 1, 1},
        {50, 100, 1, 1, 64, 1, 1, 1}, {100, 100, INT32_MAX, 1, INT32_MAX, 9, INT32_MAX, 9, 3},
        {100, 100, INT32_MAX, 1, 2147483520, 9, 2147483520, 9, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        ClearListeners();
        brevant_host::ClearRecordedLog();
        if (c.refusal == 1) brevant_host::SetFault(HostCall::CompressJpeg, 5, 0, 1);
        ASSERT_EQ(suite_->Brevant_RegisterListener(11, 1, &AllCallbacks()), 0);
        int32_t width = 0, height = 0;
        std::vector<uint8_t> jpeg;
        SetAction(11, 1, [&](const ListenerEvent& e) {
            if (e.event != "JobItemUpdate") return;
            width = c.maxWidth;
            height = c.maxHeight;
            HostMemoryHandle handle = nullptr;
            const HostErr result =
                suite_->Brevant_GetJobItemFrameThumbnail(e.sessionId, e.itemId, e.frameId, &width, &height, &handle);
            ASSERT_EQ(result, c.refusal ? 3 : 0);
            if (result) return;
            brevant_host::HandleInfo info;
            ASSERT_TRUE(brevant_host::InspectHandle(handle, &info));
            EXPECT_EQ(info.label + " " + std::to_string(info.flags), "convert thumbnail to memhandle for brevant 0");
            jpeg = info.bytes;
            TakeString(handle);
        });
        const std::string aspect = std::to_string(c.aspectNum) + ", " + std::to_string(c.aspectDen);
        RenderOneFrame(c.width, c.height, ", \"pixelAspect\": [" + aspect + "]", "");
        EXPECT_EQ(std::make_pair(width, height), std::make_pair(c.expectedWidth, c.expectedHeight));
        EXPECT_EQ(HasLine("BrevantSession", "GetJobItemFrameThumbnail", "failed to get thumbnail"), c.refusal == 1 || c.refusal == 2);
        if (c.refusal) continue;
        int jpegWidth = 0, jpegHeight = 0;
        ASSERT_TRUE(JpegSize(jpeg, &jpegWidth, &jpegHeight));
        EXPECT_EQ(std::make_pair(jpegWidth, jpegHeight), std::make_pair(c.expectedWidth, c.expectedHeight));
    }
}

// A failing host query is the client's code; what was complete before it stays readable: the
// file's "OutputTo" when its volume name fails, nothing when the "OutputTo" of a deck fails.
TEST_F(RenderTest, FailingHostQueriesAreReturnedToTheClient) {
    const struct { HostCall call; const char* module; HostErr readBack; } cases[] = {
        {HostCall::FileSpecName, R"({"path": "t.raw", "write": "raw"})", 0},
        {HostCall::OutputInfoQuery, R"({"fileBased": false, "outputInfo": {"type": "Deck"}})", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.module);
        ClearListeners();
        ASSERT_EQ(suite_->Brevant_RegisterListener(11, 1, &AllCallbacks()), 0);
        HostErr result = 0, readBack = -1;
        HostMemoryHandle key = nullptr, value = nullptr;
        SetAction(11, 1, [&](const ListenerEvent& e) {
            if (e.event != "JobItemUpdate") return;
            brevant_host::SetFault(c.call, 5, 0, 1);
            int32_t count = 8;
            result = suite_->Brevant_GetNumJobItemOutputModuleProperties(e.sessionId, e.itemId, 0, &count);
            readBack = suite_->Brevant_GetJobItemOutputModuleProperty(e.sessionId, e.itemId, 0, 0, &key, &value);
        });
        RenderOneFrame(8, 8, "", c.module);
        EXPECT_EQ(result, 5);
        ASSERT_EQ(readBack, c.readBack);
        if (readBack) continue;
        brevant_host::HandleInfo info;
        ASSERT_TRUE(brevant_host::InspectHandle(key, &info));
        EXPECT_EQ(info.bytes.size(), 18u) << "eight UTF-16 units and one zero unit";
        EXPECT_EQ(TakeString(key), "OutputTo");
        TakeString(value);
    }
}

}  // namespace
