// The event log's configuration and records, without a host.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <tuple>

#include "clients/event_log/EventLog.h"

namespace {

using namespace event_log;

EnvLookup Env(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> const char* {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
    };
}

TEST(EventLogConfig, ReadsTheEnvironmentAndRefusesUnusableValues) {
    // The variables set; the configuration read (path, every, thumbnail folder, size, stable), or
    // nullptr where it is refused with a message naming the variable.
    const std::pair<std::map<std::string, std::string>, const char*> cases[] = {
        {{}, "brevant-events.jsonl 0 . 320x180 0"},
        {{{"BREVANT_EVENT_LOG", "/tmp/x.jsonl"}, {"BREVANT_EVENT_LOG_THUMBS_EVERY", "5"},
          {"BREVANT_EVENT_LOG_THUMBS_DIR", "/tmp/thumbs"}, {"BREVANT_EVENT_LOG_THUMBS_SIZE", "64x48"},
          {"BREVANT_EVENT_LOG_STABLE", "1"}},
         "/tmp/x.jsonl 5 /tmp/thumbs 64x48 1"},
        {{{"BREVANT_EVENT_LOG", "/var/log/run/events.jsonl"}, {"BREVANT_EVENT_LOG_STABLE", "off"}},
         "/var/log/run/events.jsonl 0 /var/log/run 320x180 0"},
        {{{"BREVANT_EVENT_LOG_THUMBS_EVERY", ""}, {"BREVANT_EVENT_LOG_THUMBS_SIZE", ""}},
         "brevant-events.jsonl 0 . 320x180 0"},
        {{{"BREVANT_EVENT_LOG", ""}}, nullptr}, {{{"BREVANT_EVENT_LOG_THUMBS_EVERY", "-1"}}, nullptr},
        {{{"BREVANT_EVENT_LOG_THUMBS_EVERY", "often"}}, nullptr}, {{{"BREVANT_EVENT_LOG_THUMBS_EVERY", "99999999999"}}, nullptr},
        {{{"BREVANT_EVENT_LOG_THUMBS_SIZE", "320"}}, nullptr}, {{{"BREVANT_EVENT_LOG_THUMBS_SIZE", "0x180"}}, nullptr},
        {{{"BREVANT_EVENT_LOG_THUMBS_SIZE", "320x"}}, nullptr}, {{{"BREVANT_EVENT_LOG_STABLE", "maybe"}}, nullptr}};
    for (const auto& [env, expected] : cases) {
        const std::string name = env.empty() ? "no variables" : env.begin()->first + "=" + env.begin()->second;
        Config config;
        config.logPath = "untouched";
        std::string error;
        ASSERT_EQ(ReadConfig(Env(env), &config, &error), expected != nullptr) << name;
        if (expected == nullptr) {
            EXPECT_EQ(config.logPath, "untouched") << name;
            EXPECT_NE(error.find(env.begin()->first), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(config.logPath + " " + std::to_string(config.thumbsEvery) + " " + ThumbnailFolder(config) + " " +
                      std::to_string(config.thumbMaxWidth) + "x" + std::to_string(config.thumbMaxHeight) + " " +
                      std::to_string(config.stable),
                  expected)
            << name;
    }
    EXPECT_FALSE(ReadConfig(Env({}), nullptr, nullptr));
}

TEST(EventLogNames, ThumbnailsAndTimes) {
    // job id, item, frame number on disk, frame id; the thumbnail's name
    const std::tuple<std::string, int64_t, std::optional<int64_t>, int64_t, const char*> cases[] = {
        {"20261207T110616-42-1", 1, 12, 13, "20261207T110616-42-1_item1_0012.jpg"},  // the file Main_0012.jpg
        {"j", 12, 1234567, 5, "j_item12_1234567.jpg"}, {"j", 2, -3, 1, "j_item2_-003.jpg"},
        {"j", 3, std::nullopt, 7, "j_item3_id7.jpg"}};
    for (const auto& [job, item, number, id, name] : cases) EXPECT_EQ(ThumbnailFileName(job, item, number, id), name);
    const std::pair<int64_t, const char*> times[] = {
        {0, "1970-01-01T00:00:00.000Z"}, {1796641576123, "2026-12-07T11:06:16.123Z"}, {951782400999, "2000-02-29T00:00:00.999Z"}};
    for (const auto& [ms, text] : times) EXPECT_EQ(UtcTimestamp(ms), text) << ms;
}

// The lines a log writes, each checked to be one line.
struct Transcript {
    std::vector<std::string> lines;
    EventLog::Writer writer() {
        return [this](const std::string& line) {
            EXPECT_EQ(line.find('\n'), std::string::npos) << "one record per line";
            lines.push_back(line);
        };
    }
    void Expect(const std::vector<std::string>& expected) const { EXPECT_EQ(lines, expected); }
};

JobDescription OneItemJob() {
    ItemDescription item{1, 100, {{"CompName", "Main"}, {"Comment", ""}}, {}};
    item.outputModules = {{{{"OutputModuleIndex", "0"}, {"OutputTo", "/out/a.png"}}, {"too big"}}};
    return {"demo", "24.1", {item}, {}};
}
// Its items in the JobBegin record.
constexpr const char* kItems = R"("items":[{"id":1,"startFrame":100,"renderSettings":[["CompName","Main"],)"
                               R"(["Comment",""]],"outputModules":[{"settings":[["OutputModuleIndex","0"],)"
                               R"(["OutputTo","/out/a.png"]],"warnings":["too big"]}]}]})";

FrameReading Reading(bool withRemaining) {
    FrameReading reading;
    reading.frameProperties = {{"ElapsedTime", "40"}, {"FramesTotal", "3"}};
    if (withRemaining) reading.frameProperties.push_back({"RemainingTime", "80"});
    reading.outputModuleProperties = {{{"OutputTo", "/out/a.png"}, {"Disk", "/"}, {"FileSize", "100"},
                                       {"EstFinalSize", "300"}, {"DiskSpace", "5000"}}};
    return reading;
}

// The host's texts as they came, the numbers beside them; no number where the host gave no text.
// The records of a render as the cli tests compare them, with what stable mode hides there.
TEST(EventLogRecords, OneItemJobInOrder) {
    Transcript transcript;
    int64_t now = 1796641576000;
    EventLog log(Config{}, Origin{"render07", "/jobs/demo.json", 42}, transcript.writer(), [&] { return now += 5; });
    log.JobBegin(7, OneItemJob());
    log.ItemStart(7, 1);
    for (int64_t frame = 1; frame <= 2; ++frame) {
        EXPECT_FALSE(log.CountFrame(1)) << "no thumbnails by default";
        log.Update(7, 1, frame, Reading(frame == 1));
    }
    log.ItemEnd(7, 1, 1);
    log.JobEnd(7);
    const std::string modules = R"("outputModules":[{"OutputTo":"/out/a.png","Disk":"/","FileSize":"100",)"
                                R"("EstFinalSize":"300","DiskSpace":"5000","fileSize":100,"estFinalSize":300,)"
                                R"("diskSpace":5000}]})";
    transcript.Expect({
        R"({"event":"JobBegin","seq":1,"time":"2026-12-07T11:06:16.005Z","timeMs":0,"session":7,)"
        R"("jobId":"20261207T110616-42-7","machine":"render07","jobFile":"/jobs/demo.json","projectName":"demo",)"
        R"("appVersion":"24.1",)" + std::string(kItems),
        R"({"event":"JobItemStart","seq":2,"time":"2026-12-07T11:06:16.010Z","timeMs":5,"session":7,"item":1})",
        R"({"event":"JobItemUpdate","seq":3,"time":"2026-12-07T11:06:16.015Z","timeMs":10,"session":7,"item":1,)"
        R"("frame":1,"frameNumber":100,"elapsedMs":40,"framesTotal":3,"remainingMs":80,"frameProperties":)"
        R"({"ElapsedTime":"40","FramesTotal":"3","RemainingTime":"80"},)" + modules,
        R"({"event":"JobItemUpdate","seq":4,"time":"2026-12-07T11:06:16.020Z","timeMs":15,"session":7,"item":1,)"
        R"("frame":2,"frameNumber":101,"elapsedMs":40,"framesTotal":3,"frameProperties":)"
        R"({"ElapsedTime":"40","FramesTotal":"3"},)" + modules,
        R"({"event":"JobItemEnd","seq":5,"time":"2026-12-07T11:06:16.025Z","timeMs":20,"session":7,"item":1,)"
        R"("status":1,"statusText":"done","frames":2})",
        R"({"event":"JobEnd","seq":6,"time":"2026-12-07T11:06:16.030Z","timeMs":25,"session":7,)"
        R"("jobId":"20261207T110616-42-7","items":{"described":1,"done":1,"stopped":0,"failed":0,"otherStatus":0,)"
        R"("neverStarted":0},"itemsEnded":1,"frames":2})",
    });
}

// Without a clock or a job file; a number the host wrote in a form the log cannot read stays a
// text, its number null; an end without a start, with a status the interface does not define,
// and a JobEnd counting it.
TEST(EventLogRecords, ErrorsAndOddValuesAreRecorded) {
    Transcript transcript;
    EventLog log(Config{}, Origin{}, transcript.writer(), nullptr);
    JobDescription job;
    job.errors = {{"ProjectName", 3, -1}, {"OutputModuleSettings", 4, 1}};
    log.JobBegin(1, job);
    log.ItemEnd(1, 5, 9);
    log.Log(1, -1, 0, "\xff not utf-8");
    log.ItemStart(1, 1);
    FrameReading reading;
    reading.frameProperties = {{"ElapsedTime", "12.5"}, {"FramesTotal", "18446744073709551615"}};
    log.Update(1, 1, 1, reading);
    log.ItemEnd(1, 1, 3);
    log.JobEnd(1);
    transcript.Expect({
        R"({"event":"JobBegin","seq":1,"session":1,"jobId":"session1","machine":"","jobFile":null,"projectName":"",)"
        R"("appVersion":"","items":[],"errors":[{"query":"ProjectName","code":3},)"
        R"({"query":"OutputModuleSettings","code":4,"index":1}]})",
        R"({"event":"JobItemEnd","seq":2,"session":1,"item":5,"status":9,"statusText":"unknown","frames":0})",
        R"({"event":"JobItemLog","seq":3,"session":1,"item":-1,"flag":0,"message":")"
        "\xef\xbf\xbd not utf-8\"}",
        R"({"event":"JobItemStart","seq":4,"session":1,"item":1})",
        R"({"event":"JobItemUpdate","seq":5,"session":1,"item":1,"frame":1,"elapsedMs":null,)"
        R"("framesTotal":18446744073709551615,"frameProperties":{"ElapsedTime":"12.5",)"
        R"("FramesTotal":"18446744073709551615"},"outputModules":[]})",
        R"({"event":"JobItemEnd","seq":6,"session":1,"item":1,"status":3,"statusText":"failed","frames":0})",
        R"({"event":"JobEnd","seq":7,"session":1,"jobId":"session1","items":{"described":0,"done":0,"stopped":0,)"
        R"("failed":1,"otherStatus":1,"neverStarted":0},"itemsEnded":2,"frames":0})",
    });
}

}  // namespace
