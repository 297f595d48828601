// The job's description as clients read it: items, render settings, output modules, warnings.
#include <tuple>

#include "support/PluginFixture.h"

using namespace brevant_test;

namespace {

class DescribeTest : public PluginFixture {
protected:
    // DescribeBegin, one DescribeAddItem per queued item, DescribeEnd; of a job file, or a job given inline.
    void DescribeJob(const std::string& job) {
        std::string error;
        job_ = job[0] == '{' ? MakeJob(job) : brevant_host::LoadJob(job, &error);
        ASSERT_NE(job_, nullptr) << error;
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
    std::unique_ptr<brevant_host::Job> job_;
    std::shared_ptr<RQSession> session_;
    int64_t sessionId_ = 0;
};

// Five output modules, one of each kind of exporter, and an item without a project item (the
// cli tests compare what a client reads of it with the records in the same folder).
const char* kExporters = BREVANT_SOURCE_DIR "/tests/cli/golden/exporters.json";

// Only an id's low 32 bits count; describing an index again replaces its lists, lists its id twice.
TEST_F(DescribeTest, ListsAreCountedPerItemAndReplacedWhenDescribedAgain) {
    DescribeJob(kExporters);
    const int64_t farItem = (int64_t{1} << 32) + 1;
    struct Case { const char* name; bool describeAgainFirst; List list; int64_t item; int32_t module; HostErr expected;
                  int32_t count; } cases[] = {
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

// "Comment" is the render setting whose value fails: its key handle is the caller's.
TEST_F(DescribeTest, KeyHandleStaysDeliveredWhenTheValueFails) {
    DescribeJob(kExporters);
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
