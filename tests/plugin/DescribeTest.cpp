// The job's description as clients read it: items, render settings, output modules, warnings.
#include "support/JobHelpers.h"
#include "support/Listeners.h"

using namespace brevant_test;

namespace {

class DescribeTest : public PluginFixture {
protected:
    void DescribeJob(const std::string& json) {
        job_ = MakeJob(json);
        ASSERT_NE(job_, nullptr);
        session_ = StartSession();
        sessionId_ = LastSessionId();
        Describe(*session_, *job_);
    }
    Pairs RenderSettings(int64_t itemId) {
        return ReadPairs([&](int32_t* n) { return suite_->Brevant_GetNumJobItemRenderSettings(sessionId_, itemId, n); },
                         [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                             return suite_->Brevant_GetJobItemRenderSetting(sessionId_, itemId, i, k, v);
                         });
    }
    Pairs ModuleSettings(int64_t itemId, int32_t module) {
        return ReadPairs(
            [&](int32_t* n) { return suite_->Brevant_GetNumJobItemOutputModuleSettings(sessionId_, itemId, module, n); },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return suite_->Brevant_GetJobItemOutputModuleSetting(sessionId_, itemId, module, i, k, v);
            });
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
  "exporters": [
    {"id": 1, "flags": "0x4000"},
    {"id": 2, "flags": "0x10004000"},
    {"id": 3, "flags": "0x10000000"},
    {"id": 4, "flags": 0},
    {"id": 5, "queryError": 44}
  ],
  "items": [
    {
      "comp": {"name": "Main", "width": 320, "height": 180, "frames": 4},
      "status": 6,
      "comment": "first pass",
      "template": "Best Settings",
      "renderSettings": {"quality": "  Best \t\r\n", "solos": " \t\r\n", "frameRate": {"value": "25", "whenDone": "30"}},
      "outputModules": [
        {"path": "a_[####].jpg", "exporter": 1, "postRenderAction": 1},
        {"path": "b.raw", "exporter": 1, "outputSpecFlags": "0x100", "postRenderAction": 2, "write": "raw",
         "warnings": {"size": "Size differs", "frameRate": "Rate differs"}},
        {"fileBased": false, "exporter": 2, "outputSpecFlags": "0x100", "postRenderAction": 3, "outputInfo": {"type": "Tape deck"},
         "warnings": {"size": "", "frameRate": "Rate only"}},
        {"fileBased": true, "exporter": 3, "postRenderAction": 4},
        {"path": "e.raw", "exporter": 4, "write": "raw"}
      ]
    },
    {
      "comp": {"name": "Second", "width": 64, "height": 64, "frames": 2},
      "projectItemType": null,
      "outputModules": []
    }
  ]
})";

TEST_F(DescribeTest, ItemsAreNumberedByQueuePosition) {
    DescribeJob(kTwoItems);
    int32_t count = 0;
    ASSERT_EQ(suite_->Brevant_GetNumJobItems(sessionId_, &count), 0);
    EXPECT_EQ(count, 2);
    int64_t id = 0;
    ASSERT_EQ(suite_->Brevant_GetJobItemID(sessionId_, 1, &id), 0);
    EXPECT_EQ(id, 2);
    for (int32_t index : {-1, 2, 1 << 30}) {
        int64_t kept = 99;
        EXPECT_EQ(suite_->Brevant_GetJobItemID(sessionId_, index, &kept), kBrevantErrRejected);
        EXPECT_EQ(kept, 99);
    }
    // Describing a queue index again replaces its lists but lists the id twice.
    session_->DescribeAddItem(0, *job_->Item(1));
    ASSERT_EQ(suite_->Brevant_GetNumJobItems(sessionId_, &count), 0);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(suite_->Brevant_GetJobItemID(sessionId_, 2, &id), 0);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(RenderSettings(1).size(), 20u);  // now the item without a project item
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

TEST_F(DescribeTest, OutputModuleSettingsDependOnTheExporter) {
    DescribeJob(kTwoItems);
    int32_t modules = 0;
    ASSERT_EQ(suite_->Brevant_GetNumJobItemOutputModules(sessionId_, 1, &modules), 0);
    ASSERT_EQ(modules, 5);
    const std::vector<std::string> common = {"Format", "OutputInfo", "OutputAudio", "Channels", "Depth", "Color",
                                             "Resize", "Crop", "FinalSize", "Profile", "EmbedProfile",
                                             "PostRenderAction"};
    struct Case {
        int32_t module;
        const char* index2;  // key of setting index 2, or null
        bool replaceItem;
    } cases[] = {
        {0, "StartFrame", false},  // bit 14, output-spec bit 0x100 clear
        {1, nullptr, true},        // bit 14 with 0x100 set, no bit 28
        {2, "Include", true},      // bit 14 with 0x100 set, and bit 28
        {3, "Include", false},     // bit 28 only
        {4, nullptr, false},       // neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.module);
        const Pairs settings = ModuleSettings(1, c.module);
        std::vector<std::string> expected = {"OutputModuleIndex", "TemplateName", "OutputTo"};
        for (const auto& key : common) {
            if (key == "OutputAudio" && c.index2) expected.push_back(c.index2);
            expected.push_back(key);
        }
        if (c.replaceItem) expected.push_back("ReplaceItem");
        EXPECT_EQ(KeysOf(settings), expected);
        EXPECT_EQ(settings[0].second, std::to_string(c.module));
    }
    // The path is resolved in place while describing; a module that writes no file shows the
    // host's description of its output; a file module without a path shows nothing.
    const std::string outputTo = ValueOf(ModuleSettings(1, 0), "OutputTo");
    EXPECT_NE(outputTo.find("a_0"), std::string::npos) << outputTo;
    EXPECT_EQ(outputTo.find('['), std::string::npos) << outputTo;
    EXPECT_EQ(ValueOf(ModuleSettings(1, 2), "OutputTo"), "Tape deck");
    EXPECT_EQ(ValueOf(ModuleSettings(1, 3), "OutputTo"), "");
}

TEST_F(DescribeTest, WarningsKeepTheirOrderAndDropEmptyTexts) {
    DescribeJob(kTwoItems);
    EXPECT_EQ(Warnings(1, 1), (std::vector<std::string>{"Size differs", "Rate differs"}));
    EXPECT_EQ(Warnings(1, 2), std::vector<std::string>{"Rate only"});
    EXPECT_TRUE(Warnings(1, 4).empty());
    // An item without output modules is still an item.
    int32_t modules = -1;
    ASSERT_EQ(suite_->Brevant_GetNumJobItemOutputModules(sessionId_, 2, &modules), 0);
    EXPECT_EQ(modules, 0);
}

// Refusals at this job's own edges (the general ones are BadInputTest's): item 0 was never
// described, an item without modules has no module 0, the last index of each list is one short
// of its count, and a null value refuses even with a key to write. Only the low 32 bits of an
// item id count.
TEST_F(DescribeTest, RefusedQueriesLeaveTheirOutParameters) {
    DescribeJob(kTwoItems);
    const int64_t farItem = (int64_t{1} << 32) + 1;
    struct Case {
        const char* name;
        std::function<HostErr(int32_t*)> call;
        HostErr expected;
        int32_t count;
    } cases[] = {
        {"render settings of item 0", [&](int32_t* n) { return suite_->Brevant_GetNumJobItemRenderSettings(sessionId_, 0, n); }, 3, 7},
        {"item 2^32 + 1 is item 1", [&](int32_t* n) { return suite_->Brevant_GetNumJobItemRenderSettings(sessionId_, farItem, n); }, 0, 23},
        {"warnings of item 2 module 0", [&](int32_t* n) { return suite_->Brevant_GetNumJobItemOutputModuleWarnings(sessionId_, 2, 0, n); }, 3, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t count = 7;
        EXPECT_EQ(c.call(&count), c.expected);
        EXPECT_EQ(count, c.count);
    }
    struct PairCase {
        const char* name;
        std::function<HostErr(HostMemoryHandle*, HostMemoryHandle*)> call;
    } pairCases[] = {
        {"past the last module setting", [&](HostMemoryHandle* k, HostMemoryHandle* v) { return suite_->Brevant_GetJobItemOutputModuleSetting(sessionId_, 1, 4, 15, k, v); }},
        {"module 5", [&](HostMemoryHandle* k, HostMemoryHandle* v) { return suite_->Brevant_GetJobItemOutputModuleSetting(sessionId_, 1, 5, 0, k, v); }},
        {"null value", [&](HostMemoryHandle* k, HostMemoryHandle*) { return suite_->Brevant_GetJobItemRenderSetting(sessionId_, 1, 0, k, nullptr); }},
        {"warning 2", [&](HostMemoryHandle* k, HostMemoryHandle*) { return suite_->Brevant_GetJobItemOutputModuleWarning(sessionId_, 1, 1, 2, k); }},
    };
    for (const auto& c : pairCases) {
        SCOPED_TRACE(c.name);
        auto* sentinel = reinterpret_cast<HostMemoryHandle>(0x77);
        HostMemoryHandle key = sentinel, value = sentinel;
        EXPECT_EQ(c.call(&key, &value), kBrevantErrRejected);
        EXPECT_EQ(key, sentinel);
        EXPECT_EQ(value, sentinel);
    }
    EXPECT_EQ(brevant_host::LiveHandleCount(), 0u);
}

TEST_F(DescribeTest, KeyHandleStaysDeliveredWhenTheValueFails) {
    DescribeJob(kTwoItems);
    // "Comment" has seven characters: a 16-byte key handle.
    brevant_host::SetFault(brevant_host::HostCall::MemCreate, 58, 1, 1);
    HostMemoryHandle key = nullptr;
    auto* sentinel = reinterpret_cast<HostMemoryHandle>(0x77);
    HostMemoryHandle value = sentinel;
    EXPECT_EQ(suite_->Brevant_GetJobItemRenderSetting(sessionId_, 1, 1, &key, &value), 58);
    EXPECT_EQ(value, sentinel);
    brevant_host::HandleInfo info;
    ASSERT_TRUE(brevant_host::InspectHandle(key, &info));
    EXPECT_EQ(info.size, 16u);
    EXPECT_EQ(TakeString(key), "Comment");
}

TEST_F(DescribeTest, FailingModuleInfoQueryKeepsWhatWasDescribed) {
    const std::string json = R"({"exporters": [{"id": 5, "queryError": 44}],
      "items": [{"comp": {"name": "C", "width": 8, "height": 8, "frames": 1},
                 "outputModules": [{"path": "x.raw", "write": "raw"}, {"path": "y.raw", "exporter": 5}, {"path": "z.raw"}]}]})";
    job_ = MakeJob(json);
    ASSERT_NE(job_, nullptr);
    session_ = StartSession();
    sessionId_ = LastSessionId();
    session_->DescribeBegin(u"p");
    try {
        session_->DescribeAddItem(0, *job_->Item(0));
        ADD_FAILURE() << "no exception";
    } catch (int32_t code) {
        EXPECT_EQ(code, 44);
    }
    int32_t settings = 0, warnings = 0, items = 0;
    ASSERT_EQ(suite_->Brevant_GetNumJobItems(sessionId_, &items), 0);
    EXPECT_EQ(items, 1);
    EXPECT_EQ(KeysOf(RenderSettings(1)).size(), 23u);
    ASSERT_EQ(suite_->Brevant_GetNumJobItemOutputModules(sessionId_, 1, &settings), 0);
    EXPECT_EQ(settings, 2);  // the failing module's partial list is kept, the third never came
    EXPECT_EQ(KeysOf(ModuleSettings(1, 1)), (std::vector<std::string>{"OutputModuleIndex", "TemplateName", "OutputTo",
                                                                    "Format", "OutputInfo"}));
    EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleWarnings(sessionId_, 1, 1, &warnings), kBrevantErrRejected);
    EXPECT_EQ(suite_->Brevant_GetNumJobItemOutputModuleWarnings(sessionId_, 1, 0, &warnings), 0);
}

}  // namespace
