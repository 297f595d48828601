// Job files: what a mistake in one says, how queries on what it sets fail, and the output paths it
// names. (What the shipped examples set, and their defaults, reach the cli tests' records.)
#include <gtest/gtest.h>

#include <tuple>

#include "RecordingSession.h"

using namespace brevant_host;
using namespace host_simulator_test;

namespace {

using JobFile = RecordsTest;

TEST_F(JobFile, ErrorsNameThePlaceAndWhatWasExpected) {
    const struct {
        const char* name;
        const char* text;
        std::vector<std::string> mentions;
    } cases[] = {
        {"malformed JSON", "{\n  \"items\": [\n    {\"comp\": }\n  ]\n}", {"test.json:3:14: ", "malformed JSON"}},
        {"not an object", "[1, 2]", {"test.json: /: ", "expected an object", "an array"}},
        {"missing items", "{\"project\": \"P\"}", {"test.json: /: ", "missing required key \"items\""}},
        {"unknown top-level key", "{\"items\": [], \"itmes\": []}", {"/itmes: ", "unknown key", "items"}},
        {"unknown comp key", R"({"items": [{"comp": {"name": "C", "widht": 4}}]})", {"/items/0/comp/widht: ", "unknown key", "width"}},
        {"missing comp name", R"({"items": [{"comp": {"width": 4}}]})", {"/items/0/comp: ", "missing required key \"name\"", "a string"}},
        {"fractional width", R"({"items": [{"comp": {"name": "C", "width": 12.5}}]})",
         {"/items/0/comp/width: ", "expected an integer from 1 to 16384", "the number 12.5"}},
        {"post-render action as text",
         R"({"items": [{"comp": {"name": "C"}, "outputModules": [{}, {"postRenderAction": "two"}]}]})",
         {"/items/0/outputModules/1/postRenderAction: ", "expected an integer", "the string \"two\""}},
        {"pixel aspect as number", R"({"items": [{"comp": {"name": "C", "pixelAspect": 2}}]})", {"/items/0/comp/pixelAspect: ", "array of two integers"}},
        {"failure after the last frame", R"({"items": [{"comp": {"name": "C", "frames": 4}, "fail": {"atFrame": 5}}]})",
         {"/items/0/fail/atFrame: ", "from 0 to 4"}},
        {"log without text", R"({"items": [{"comp": {"name": "C"}, "logs": [{"atFrame": 1}]}]})",
         {"/items/0/logs/0: ", "missing required key \"text\""}},
        {"unknown fault call", R"({"items": [], "faults": [{"call": "Compress", "code": 5}]})", {"/faults/0/call: ", "one of AcquireSuite", "CompressJpeg"}},
        {"suite on another call", R"({"items": [], "faults": [{"call": "MemLock", "code": 5, "suite": "S"}]})", {"/faults/0/suite: ", "AcquireSuite"}},
        {"unknown exporter", R"({"items": [{"comp": {"name": "C"}, "outputModules": [{"exporter": 42}]}]})",
         {"/items/0/outputModules/0/exporter: ", "known exporter", "42"}},
        {"bad flags text", R"({"items": [], "exporters": [{"id": 9, "flags": "0xZZ"}]})", {"/exporters/0/flags: ", "flags word"}},
        {"unknown write format",
         R"({"items": [{"comp": {"name": "C"}, "outputModules": [{"path": "a", "write": "mp4"}]}]})",
         {"/items/0/outputModules/0/write: ", "\"jpeg\" or \"raw\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = "untouched";
        EXPECT_EQ(ParseJob(c.text, "test.json", &error), nullptr);
        for (const std::string& mention : c.mentions) EXPECT_NE(error.find(mention), std::string::npos) << error;
        EXPECT_EQ(ParseJob(c.text, "test.json", nullptr), nullptr);
    }
}

TEST_F(JobFile, AMissingFileIsNamed) {
    std::string error;
    EXPECT_EQ(LoadJob("/nonexistent/job.json", &error), nullptr);
    EXPECT_EQ(error, "/nonexistent/job.json: cannot open the job file");
}

TEST_F(JobFile, QueriesFailWithTheirCodesAndWriteNothing) {
    const auto job = MustParse(R"({"exporters": [{"id": 7, "queryError": 9}],
        "items": [{"comp": {"name": "C"}, "outputModules": [{"outputInfo": {"error": 12}}]}]})");
    ASSERT_NE(job, nullptr);
    const HostOutputSpec* spec = HostOutputModuleOutputSpec(HostRenderItemOutputModules(job->Item(0)).modules[0]);
    HostOutputVerbiage verbiage{u"kept", u"", u""};
    EXPECT_EQ(HostOutputInfoQuery(spec, nullptr, verbiage), 12);
    EXPECT_EQ(HostOutputInfoQuery(nullptr, nullptr, verbiage), kHostErrBadArgument);
    EXPECT_EQ(verbiage.type, u"kept");

    auto* const untouched = reinterpret_cast<HostModuleInfo*>(0x1);
    HostModuleInfo* info = untouched;
    EXPECT_EQ(HostModuleInfoQuery(-1, 7, &info), 9);
    EXPECT_NE(HostModuleInfoQuery(-1, 4242, &info), kHostErrNone);
    EXPECT_EQ(HostModuleInfoQuery(-1, 1, nullptr), kHostErrBadArgument);
    SetFault(HostCall::ModuleInfoQuery, 5, 0, 1);
    EXPECT_EQ(HostModuleInfoQuery(-1, 1, &info), 5);
    EXPECT_EQ(info, untouched);
    ASSERT_EQ(HostModuleInfoQuery(-1, 1, &info), kHostErrNone);  // the fault was for one use
    HostModuleInfoRelease(info);
    EXPECT_EQ(HostModuleInfoFlags(info), 0u);  // released: refused, not read
    HostModuleInfoRelease(info);
    HostModuleInfoRelease(nullptr);
}

std::string PathOf(const HostOutputModule* module) {
    HostString path;
    HostOutputModuleFilePath(module, path);
    return Utf8(path);
}

using PathTemplates = RecordsTest;

// Output path templates, resolved in place, under the output directory that relative paths join.
TEST_F(PathTemplates, FlatteningResolvesEveryTokenUnderTheOutputDirectory) {
    // The template, the comp's name and its start frame, the job's outputDirectory (joined to the
    // base given to the driver), that base; the path.
    const std::tuple<const char*, const char*, int32_t, const char*, const char*, const char*> cases[] = {
        {"[compName]_[####].jpg", "Main", 0, "/renders", "", "/renders/Main_0000.jpg"},
        {"[compName]_[#].jpg", "Main", 7, "/renders", "", "/renders/Main_7.jpg"},
        {"[compName]_[###].jpg", "Main", 1234, "/renders", "", "/renders/Main_1234.jpg"},
        {"[compName]_[#####].jpg", "Main", -12, "/renders", "", "/renders/Main_-00012.jpg"},
        {"[projectName]/[compName].mov", "Main", 0, "/renders", "", "/renders/Proj/Main.mov"},
        {"[renderSettingsName]_[outputModuleName].raw", "Main", 0, "/", "", "/Best Settings_Lossless.raw"},
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
#ifndef _WIN32  // where a path is bytes: read as every host text, one U+FFFD for a truncated sequence
        {"[compName].raw", "Main", 0, "", "/work/o\xE2\x82t", "/work/o\xEF\xBF\xBDt/Main.raw"},
#endif
    };
    for (const auto& [pathTemplate, compName, startFrame, outputDirectory, base, expected] : cases) {
        SCOPED_TRACE(std::string(pathTemplate) + " in " + outputDirectory);
        const auto job = MustParse(std::string(R"({"project": "Proj", "outputDirectory": ")") + outputDirectory +
                                   R"(", "items": [{"template": "Best Settings", "comp": {"name": ")" + compName +
                                   R"(", "width": 1920, "height": 1080, "frameRate": 29.97, "frames": 10, "startFrame": )" +
                                   std::to_string(startFrame) + R"(}, "outputModules": [{"template": "Lossless", "path": ")" +
                                   pathTemplate + R"("}]}]})");
        ASSERT_NE(job, nullptr);
        if (*base) job->SetBaseDirectory(base);
        HostOutputModule* module = HostRenderItemOutputModules(job->Item(0)).modules[0];
        EXPECT_EQ(PathOf(module), pathTemplate);  // as written until flattened
        for (int time = 0; time < 2; ++time) {  // a second flattening changes nothing
            HostFlattenOutputModuleFilePath(job->Item(0), module);
            EXPECT_EQ(PathOf(module), NativePath(expected));
        }
    }
}

}  // namespace
