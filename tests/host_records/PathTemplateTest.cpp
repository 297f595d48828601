// Output path templates, resolved in place by HostFlattenOutputModuleFilePath, and the output
// directory that relative paths join.
#include <gtest/gtest.h>

#include "RecordingSession.h"

using namespace brevant_host;
using namespace host_records_test;

namespace {

std::string PathOf(const HostOutputModule* module) {
    HostString path;
    HostOutputModuleFilePath(module, path);
    return Utf8(path);
}

TEST(PathTemplates, FlatteningResolvesEveryTokenUnderTheOutputDirectory) {
    struct Case {
        const char* pathTemplate;
        const char* compName;
        int32_t startFrame;
        const char* outputDirectory;  // in the job file, joined to the base given to the driver
        const char* base;
        const char* expected;
    } const cases[] = {
        {"[compName]_[####].jpg", "Main", 0, "/renders", "", "/renders/Main_0000.jpg"},
        {"[compName]_[#].jpg", "Main", 7, "/renders", "", "/renders/Main_7.jpg"},
        {"[compName]_[###].jpg", "Main", 1234, "/renders", "", "/renders/Main_1234.jpg"},
        {"[compName]_[#####].jpg", "Main", -12, "/renders", "", "/renders/Main_-00012.jpg"},
        {"[projectName]/[compName].mov", "Main", 0, "/renders", "", "/renders/Proj/Main.mov"},
        {"[renderSettingsName]_[outputModuleName].raw", "Main", 0, "/renders", "",
         "/renders/Best Settings_Lossless.raw"},
        {"[width]x[height]@[frameRate].raw", "Main", 0, "/renders", "", "/renders/1920x1080@29.97.raw"},
        {"[startFrame]-[endFrame] of [durationFrames].raw", "Main", 5, "/renders", "", "/renders/5-14 of 10.raw"},
        {"[compName].raw", "Shots/Hero", 0, "/renders", "", "/renders/Shots_Hero.raw"},
        {"[unknown]_[compName]", "Main", 0, "/renders", "", "/renders/[unknown]_Main"},
        {"[compName", "Main", 0, "/renders", "", "/renders/[compName"},
        {"[[compName]].raw", "Main", 0, "/renders", "", "/renders/[Main].raw"},
        {"/elsewhere/[compName].mov", "Main", 0, "/renders", "", "/elsewhere/Main.mov"},
        {"../up/./[compName].mov", "Main", 0, "/renders", "", "/up/Main.mov"},
        {"[compName].raw", "Main", 0, "", "/work/out", "/work/out/Main.raw"},
        {"[compName].raw", "Main", 0, "renders", "/work/out", "/work/out/renders/Main.raw"},
        {"[compName].raw", "Main", 0, "/absolute", "/work/out", "/absolute/Main.raw"},
        {"[compName].raw", "Main", 0, "renders/../final", "/work/out/", "/work/out/final/Main.raw"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pathTemplate) + " in " + c.outputDirectory);
        const auto job = MustParse(std::string(R"({"project": "Proj", "outputDirectory": ")") + c.outputDirectory +
                                   R"(", "items": [{"template": "Best Settings", "comp": {"name": ")" + c.compName +
                                   R"(", "width": 1920, "height": 1080, "frameRate": 29.97, "frames": 10,
                                   "startFrame": )" + std::to_string(c.startFrame) +
                                   R"(}, "outputModules": [{"template": "Lossless", "path": ")" + c.pathTemplate +
                                   R"("}]}]})");
        ASSERT_NE(job, nullptr);
        if (*c.base) job->SetBaseDirectory(c.base);
        HostOutputModule* module = HostRenderItemOutputModules(job->Item(0)).modules[0];
        EXPECT_EQ(PathOf(module), c.pathTemplate);  // as written until flattened
        for (int time = 0; time < 2; ++time) {  // a second flattening changes nothing
            HostFlattenOutputModuleFilePath(job->Item(0), module);
            EXPECT_EQ(PathOf(module), NativePath(c.expected));
        }
    }
}

}  // namespace
