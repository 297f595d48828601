// Output path templates, resolved in place by HostFlattenOutputModuleFilePath, and the output
// directory that relative paths join.
#include <gtest/gtest.h>

#include "RecordingSession.h"

using namespace brevant_host;
using namespace host_records_test;

namespace {

std::string JobWithPath(const std::string& path, const std::string& compName, int32_t startFrame,
                        const std::string& outputDirectory) {
    return R"({"project": "Proj", "outputDirectory": ")" + outputDirectory + R"(", "items": [{"template": "Best Settings",
        "comp": {"name": ")" + compName + R"(", "width": 1920, "height": 1080, "frameRate": 29.97, "frames": 10,
                 "startFrame": )" + std::to_string(startFrame) + R"(},
        "outputModules": [{"template": "Lossless", "path": ")" + path + R"("}]}]})";
}

HostOutputModule* FirstModule(const Job& job) { return HostRenderItemOutputModules(job.Item(0)).modules[0]; }

std::string PathOf(const HostOutputModule* module) {
    HostString path;
    HostOutputModuleFilePath(module, path);
    return Utf8(path);
}

TEST(PathTemplates, FlatteningResolvesEveryToken) {
    struct Case {
        const char* pathTemplate;
        const char* compName;
        int32_t startFrame;
        const char* expected;  // under the output directory "/renders"
    } const cases[] = {
        {"[compName]_[####].jpg", "Main", 0, "/renders/Main_0000.jpg"},
        {"[compName]_[#].jpg", "Main", 7, "/renders/Main_7.jpg"},
        {"[compName]_[###].jpg", "Main", 1234, "/renders/Main_1234.jpg"},
        {"[compName]_[#####].jpg", "Main", -12, "/renders/Main_-00012.jpg"},
        {"[projectName]/[compName].mov", "Main", 0, "/renders/Proj/Main.mov"},
        {"[renderSettingsName]_[outputModuleName].raw", "Main", 0, "/renders/Best Settings_Lossless.raw"},
        {"[width]x[height]@[frameRate].raw", "Main", 0, "/renders/1920x1080@29.97.raw"},
        {"[startFrame]-[endFrame] of [durationFrames].raw", "Main", 5, "/renders/5-14 of 10.raw"},
        {"[compName].raw", "Shots/Hero", 0, "/renders/Shots_Hero.raw"},
        {"[unknown]_[compName]", "Main", 0, "/renders/[unknown]_Main"},
        {"[compName", "Main", 0, "/renders/[compName"},
        {"[[compName]].raw", "Main", 0, "/renders/[Main].raw"},
        {"/elsewhere/[compName].mov", "Main", 0, "/elsewhere/Main.mov"},
        {"../up/./[compName].mov", "Main", 0, "/up/Main.mov"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pathTemplate);
        const auto job = MustParse(JobWithPath(c.pathTemplate, c.compName, c.startFrame, "/renders"));
        ASSERT_NE(job, nullptr);
        HostOutputModule* module = FirstModule(*job);
        EXPECT_EQ(PathOf(module), c.pathTemplate);  // as written until flattened
        HostFlattenOutputModuleFilePath(job->Item(0), module);
        EXPECT_EQ(PathOf(module), NativePath(c.expected));
        HostFlattenOutputModuleFilePath(job->Item(0), module);
        EXPECT_EQ(PathOf(module), NativePath(c.expected));
    }
}

TEST(PathTemplates, RelativePathsJoinTheOutputDirectory) {
    struct Case {
        const char* outputDirectory;  // in the job file
        const char* base;             // given to the driver
        const char* expected;
    } const cases[] = {
        {"", "/work/out", "/work/out/Main.raw"},
        {"renders", "/work/out", "/work/out/renders/Main.raw"},
        {"/absolute", "/work/out", "/absolute/Main.raw"},
        {"renders/../final", "/work/out/", "/work/out/final/Main.raw"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outputDirectory);
        const auto job = MustParse(JobWithPath("[compName].raw", "Main", 0, c.outputDirectory));
        ASSERT_NE(job, nullptr);
        job->SetBaseDirectory(c.base);
        HostFlattenOutputModuleFilePath(job->Item(0), FirstModule(*job));
        EXPECT_EQ(PathOf(FirstModule(*job)), NativePath(c.expected));
    }
}

}  // namespace
