// The job's description as clients read it: items, render settings, output modules, warnings.
#include <tuple>

#include "support/PluginFixture.h"

using namespace brevant_test;

namespace {

class DescribeTest : public PluginFixture {
protected:
    // DescribeBegin, one DescribeAddItem per queued item, DescribeEnd.
    void DescribeJob(const std::string& json) {
        job_ = MakeJob(json);
        ASSERT_NE(job_, nullptr);
        session_ = StartSession();
        sessionId_ = LastSessionId();
        session_->DescribeBegin(job_->ProjectNameUtf16());
        for (int32_t i = 0; i < job_->ItemCount(); ++i) session_->DescribeAddItem(i, *job_->Item(i));
        session_->DescribeEnd();
    }
    Pairs RenderSettings(int64_t item) {
        return ReadPairs(suite_->Brevant_GetNumJobItemRenderSettings, suite_->Brevant_GetJobItemRenderSetting,
                         sessionId_, item);
    }
    Pairs ModuleSettings(int64_t item, int32_t module) {
        return ReadPairs(suite_->Brevant_GetNumJobItemOutputModuleSettings,
                         suite_->Brevant_GetJobItemOutputModuleSetting, sessionId_, item, module);
    }
    enum List { kItems, kRenderSettings, kModules, kWarnings };
    HostErr Count(List list, int64_t item, int32_t module, int32_t* n) {
        switch (list) {
            case kItems: return suite_->Brevant_GetNumJobItems(sessionId_, n);
            case kRenderSettings: return suite_->Brevant_GetNumJobItemRenderSettings(sessionId_, item, n);
            case kModules: return suite_->Brevant_GetNumJobItemOutputModules(sessionId_, item, n);
            default: return suite_->Brevant_GetNumJobItemOutputModuleWarnings(sessionId_, item, module, n);
        }
    }
    std::vector<std::string> Warnings(int64_t itemId, int32_t module) {
        int32_t n = -1;
        EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleWarnings(sessionId_, itemId, module, &n), 0);
        std::vector<std::string> warnings;
        for (int32_t i = 0; i < n; ++i) {
            HostMemoryHandle text = nullptr;
            EXPECT_EQ(suite_->Brevant_GetJobItemOutputModuleWarning(sessionId_, itemId, module, i, &text), 0);
            warnings.push_back(TakeString(text));
        }
        return warnings;
    }

    std::unique_ptr<brevant_host::Job> job_;
    std::shared_ptr<RQSession> session_;
    int64_t sessionId_ = 0;
};

const char* kTwoItems = R"({
  "project": "Render Test",
  "exporters": [{"id": 1, "flags": "0x4000"}, {"id": 2, "flags": "0x10004000"}, {"id": 3, "flags": "0x10000000"},
                {"id": 4, "flags": 0}],
  "items": [
    {"comp": {"name": "Main", "width": 320, "height": 180, "frames": 4}, "status": 6, "comment": "first pass",
     "template": "Best Settings",
     "renderSettings": {"quality": "  Best \t\r\n", "solos": " \t\r\n", "frameRate": {"value": "25", "whenDone": "30"}},
     "outputModules": [
       {"path": "a_[####].jpg", "exporter": 1, "postRenderAction": 1, "settings": {"format": "JPEG \t", "crop": " x"}},
       {"path": "b.raw", "exporter": 1, "outputSpecFlags": "0x100", "postRenderAction": 2, "write": "raw",
        "warnings": {"size": "Size differs", "frameRate": "Rate differs"}},
       {"fileBased": false, "exporter": 2, "outputSpecFlags": "0x100", "postRenderAction": 3,
        "outputInfo": {"type": "Tape deck"}, "warnings": {"size": "", "frameRate": "Rate only"}},
       {"fileBased": true, "exporter": 3, "postRenderAction": 4},
       {"path": "e.raw", "exporter": 4, "write": "raw"}]},
    {"comp": {"name": "Second", "width": 64, "height": 64, "frames": 2}, "projectItemType": null, "outputModules": []}
  ]
})";

// Only an id's low 32 bits count; describing an index again replaces its lists, lists its id twice.
TEST_F(DescribeTest, ListsAreCountedPerItemAndReplacedWhenDescribedAgain) {
    DescribeJob(kTwoItems);
    const int64_t farItem = (int64_t{1} << 32) + 1;
    struct Case {
        const char* name;
        bool describeAgainFirst;
        List list;
        int64_t item;
        int32_t module;
        HostErr expected;
        int32_t count;
    } cases[] = {
        {"items", false, kItems, 0, 0, 0, 2},
        {"render settings of item 1", false, kRenderSettings, 1, 0, 0, 23},
        {"item 2^32 + 1 is item 1", false, kRenderSettings, farItem, 0, 0, 23},
        {"item 3, one past the last", false, kRenderSettings, 3, 0, 3, 0},
        {"modules of item 1", false, kModules, 1, 0, 0, 5},
        {"modules of item 2", false, kModules, 2, 0, 0, 0},
        {"warnings of item 1 module 1", false, kWarnings, 1, 1, 0, 2},
        {"items after index 0 again", true, kItems, 0, 0, 0, 3},
        {"render settings of item 1 again", false, kRenderSettings, 1, 0, 0, 20},
        {"modules of item 1 again", false, kModules, 1, 0, 0, 0},
        {"warnings of item 1 module 0 again", false, kWarnings, 1, 0, 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.describeAgainFirst) session_->DescribeAddItem(0, *job_->Item(1));
        int32_t count = -1;
        ASSERT_EQ(Count(c.list, c.item, c.module, &count), c.expected);
        EXPECT_EQ(count, c.expected ? -1 : c.count);
    }
    int64_t ids[3] = {};
    for (int32_t index = 0; index < 3; ++index) {
        EXPECT_EQ(suite_->Brevant_GetJobItemID(sessionId_, index, &ids[index]), 0);
    }
    EXPECT_EQ(std::vector<int64_t>(ids, ids + 3), (std::vector<int64_t>{1, 2, 1}));
    EXPECT_EQ(suite_->Brevant_GetJobItemID(sessionId_, 3, &ids[0]), 3);
}

TEST_F(DescribeTest, RenderSettingsFollowTheHostsIndexOrder) {
    DescribeJob(kTwoItems);
    const std::vector<std::string> full = {
        "CompName", "Comment", "TemplateName", "Quality", "Resolution", "Size", "ProxyUse", "Effects",
        "DiskCache", "ColorDepth", "FrameBlending", "FieldRender", "Pulldown", "MotionBlur", "UseOpenGL",
        "Solos", "TimeSpan", "Start", "End", "Duration", "FrameRate", "GuideLayers", "SkipExistingFiles"};
    const Pairs first = RenderSettings(1);
    EXPECT_EQ(KeysOf(first), full);
    EXPECT_EQ(ValueOf(first, "CompName"), "Main");
    EXPECT_EQ(ValueOf(first, "Comment"), "first pass");
    EXPECT_EQ(ValueOf(first, "TemplateName"), "Best Settings");
    EXPECT_EQ(ValueOf(first, "Quality"), "  Best");  // trailing blanks go, leading ones stay
    EXPECT_EQ(ValueOf(first, "Solos"), "");          // only blanks: empty, still listed
    EXPECT_EQ(ValueOf(first, "FrameRate"), "30");    // status 6 asks for the labels of a done item

    std::vector<std::string> withoutProjectItem = full;
    withoutProjectItem.erase(withoutProjectItem.begin() + 17, withoutProjectItem.begin() + 20);
    EXPECT_EQ(KeysOf(RenderSettings(2)), withoutProjectItem);
}

// Settings by exporter, values the host's texts trimmed at the end; warnings drop empty texts.
TEST_F(DescribeTest, OutputModuleSettingsDependOnTheExporter) {
    DescribeJob(kTwoItems);
    const std::vector<std::pair<const char*, uint32_t>> common = {  // key, the host's setting index
        {"Format", 0}, {"OutputInfo", 1}, {"OutputAudio", 3}, {"Channels", 4}, {"Depth", 5}, {"Color", 6},
        {"Resize", 7}, {"Crop", 8}, {"FinalSize", 9}, {"Profile", 10}, {"EmbedProfile", 11}, {"PostRenderAction", 13}};
    struct Case {
        int32_t module;
        const char* index2;    // key of the host's setting 2, or null
        bool replaceItem;      // whether the host's setting 16 is listed
        const char* outputTo;  // after the last '/'
        std::vector<std::string> warnings;
    } cases[] = {
        {0, "StartFrame", false, "a_0000.jpg", {}},                          // bit 14, output-spec bit 0x100 clear
        {1, nullptr, true, "b.raw", {"Size differs", "Rate differs"}},      // bit 14 with 0x100 set, no bit 28
        {2, "Include", true, "Tape deck", {"Rate only"}},                   // bit 14 with 0x100 set, and bit 28
        {3, "Include", false, "", {}},                                      // bit 28 only
        {4, nullptr, false, "e.raw", {}},                                   // neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.module);
        HostOutputModule* module = HostRenderItemOutputModules(job_->Item(0)).modules[c.module];
        auto host = [&](const char* key, uint32_t index) {
            HostString label, value;
            HostOutputModuleLabels(index, HostRect{0, 0, 0, 0}, job_->Item(0), module, label, value);
            std::string text = Utf8(value);
            return std::make_pair(std::string(key), text.erase(text.find_last_not_of(" \t\r\n") + 1));
        };
        const Pairs settings = ModuleSettings(1, c.module);
        ASSERT_GE(settings.size(), 3u);
        const std::string& outputTo = settings[2].second;
        EXPECT_EQ(outputTo.substr(outputTo.find_last_of("/\\") + 1), c.outputTo);
        Pairs expected = {{"OutputModuleIndex", std::to_string(c.module)},
                          {"TemplateName", Utf8(HostOutputModuleSettingName(module))}, {"OutputTo", outputTo}};
        for (const auto& key : common) {
            if (key.second == 3 && c.index2) expected.push_back(host(c.index2, 2));
            expected.push_back(host(key.first, key.second));
        }
        if (c.replaceItem) expected.push_back(host("ReplaceItem", 16));
        EXPECT_EQ(settings, expected);
        EXPECT_EQ(Warnings(1, c.module), c.warnings);
    }
    EXPECT_EQ(ValueOf(ModuleSettings(1, 0), "Format"), "JPEG");
}

// "Comment" is the render setting whose value fails: its key handle is the caller's.
TEST_F(DescribeTest, KeyHandleStaysDeliveredWhenTheValueFails) {
    DescribeJob(kTwoItems);
    brevant_host::SetFault(brevant_host::HostCall::MemCreate, 58, 1, 1);
    HostMemoryHandle key = nullptr, value = nullptr;
    EXPECT_EQ(suite_->Brevant_GetJobItemRenderSetting(sessionId_, 1, 1, &key, &value), 58);
    EXPECT_EQ(TakeString(key), "Comment");
}

// The failing module's partial list is kept, the third module never came.
TEST_F(DescribeTest, FailingModuleInfoQueryKeepsWhatWasDescribed) {
    int32_t thrown = 0, items = 0, modules = 0, warnings = 0;
    try {
        DescribeJob(R"({"exporters": [{"id": 5, "queryError": 44}],
          "items": [{"comp": {"name": "C", "width": 8, "height": 8, "frames": 1},
                     "outputModules": [{"path": "x.raw", "write": "raw"}, {"path": "y.raw", "exporter": 5},
                                       {"path": "z.raw"}]}]})");
    } catch (int32_t code) {
        thrown = code;
    }
    EXPECT_EQ(thrown, 44);
    EXPECT_EQ(Count(kItems, 0, 0, &items) + Count(kModules, 1, 0, &modules) + Count(kWarnings, 1, 0, &warnings), 0);
    EXPECT_EQ(std::make_tuple(items, modules, warnings), std::make_tuple(1, 2, 0));
    EXPECT_EQ(KeysOf(RenderSettings(1)).size(), 23u);
    EXPECT_EQ(KeysOf(ModuleSettings(1, 1)), (std::vector<std::string>{"OutputModuleIndex", "TemplateName", "OutputTo",
                                                                    "Format", "OutputInfo"}));
    EXPECT_EQ(Count(kWarnings, 1, 1, &warnings), 3);
}

}  // namespace
