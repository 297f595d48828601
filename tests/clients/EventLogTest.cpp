// The event log's configuration and records, without a host.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "clients/event_log/EventLog.h"

namespace {

using namespace event_log;
using nlohmann::json;

EnvLookup Env(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> const char* {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
    };
}

TEST(EventLogConfig, ReadsTheEnvironment) {
    Config config;
    ASSERT_TRUE(ReadConfig(Env({}), &config, nullptr));
    EXPECT_EQ(config.logPath, "brevant-events.jsonl");
    EXPECT_EQ(config.thumbsEvery, 0);
    EXPECT_EQ(config.thumbMaxWidth, 320);
    EXPECT_EQ(config.thumbMaxHeight, 180);
    EXPECT_FALSE(config.stable);

    ASSERT_TRUE(ReadConfig(Env({{"BREVANT_EVENT_LOG", "/tmp/x.jsonl"},
                                {"BREVANT_EVENT_LOG_THUMBS_EVERY", "5"},
                                {"BREVANT_EVENT_LOG_THUMBS_DIR", "/tmp/thumbs"},
                                {"BREVANT_EVENT_LOG_THUMBS_SIZE", "64x48"},
                                {"BREVANT_EVENT_LOG_STABLE", "1"}}),
                           &config, nullptr));
    EXPECT_EQ(config.logPath, "/tmp/x.jsonl");
    EXPECT_EQ(config.thumbsEvery, 5);
    EXPECT_EQ(config.thumbsDir, "/tmp/thumbs");
    EXPECT_EQ(config.thumbMaxWidth, 64);
    EXPECT_EQ(config.thumbMaxHeight, 48);
    EXPECT_TRUE(config.stable);
}

TEST(EventLogConfig, RefusesUnusableValues) {
    struct Case {
        const char* variable;
        const char* value;
    };
    const Case cases[] = {
        {"BREVANT_EVENT_LOG", ""},
        {"BREVANT_EVENT_LOG_THUMBS_EVERY", "-1"},
        {"BREVANT_EVENT_LOG_THUMBS_EVERY", "often"},
        {"BREVANT_EVENT_LOG_THUMBS_EVERY", "99999999999"},
        {"BREVANT_EVENT_LOG_THUMBS_SIZE", "320"},
        {"BREVANT_EVENT_LOG_THUMBS_SIZE", "0x180"},
        {"BREVANT_EVENT_LOG_THUMBS_SIZE", "320x"},
        {"BREVANT_EVENT_LOG_STABLE", "maybe"},
    };
    for (const Case& c : cases) {
        Config config;
        config.logPath = "untouched";
        std::string error;
        EXPECT_FALSE(ReadConfig(Env({{c.variable, c.value}}), &config, &error)) << c.variable << "=" << c.value;
        EXPECT_EQ(config.logPath, "untouched");
        EXPECT_NE(error.find(c.variable), std::string::npos) << error;
    }
    EXPECT_FALSE(ReadConfig(Env({}), nullptr, nullptr));
}

TEST(EventLogConfig, ThumbnailPlaces) {
    Config config;
    config.logPath = "/var/log/run/events.jsonl";
    EXPECT_EQ(ThumbnailFolder(config), "/var/log/run");
    config.logPath = "events.jsonl";
    EXPECT_EQ(ThumbnailFolder(config), ".");
    config.thumbsDir = "/elsewhere";
    EXPECT_EQ(ThumbnailFolder(config), "/elsewhere");
}

TEST(EventLogNames, ThumbnailsAndTimes) {
    struct Case {
        std::string jobId;
        int64_t item;
        std::optional<int64_t> number;
        int64_t frameId;
        const char* name;
    };
    const Case cases[] = {
        {"20261207T110616-42-1", 1, 12, 13, "20261207T110616-42-1_item1_0012.jpg"},  // the file Main_0012.jpg
        {"j", 12, 1234567, 5, "j_item12_1234567.jpg"},
        {"j", 2, -3, 1, "j_item2_-003.jpg"},
        {"j", 3, std::nullopt, 7, "j_item3_id7.jpg"},
    };
    for (const Case& c : cases) EXPECT_EQ(ThumbnailFileName(c.jobId, c.item, c.number, c.frameId), c.name);

    const std::pair<int64_t, const char*> times[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1796641576123, "2026-12-07T11:06:16.123Z"},
        {951782400999, "2000-02-29T00:00:00.999Z"},
    };
    for (const auto& [ms, text] : times) EXPECT_EQ(UtcTimestamp(ms), text) << ms;
}

struct Transcript {
    std::vector<json> records;
    EventLog::Writer writer() {
        return [this](const std::string& line) {
            EXPECT_EQ(line.find('\n'), std::string::npos) << "one record per line";
            records.push_back(json::parse(line));
        };
    }
};

JobDescription OneItemJob() {
    JobDescription job;
    job.projectName = "demo";
    job.appVersion = "24.1";
    ItemDescription item;
    item.id = 1;
    item.startFrame = 100;
    item.renderSettings = {{"CompName", "Main"}, {"Comment", ""}};
    OutputModuleDescription module;
    module.settings = {{"OutputModuleIndex", "0"}, {"OutputTo", "/out/a.png"}};
    module.warnings = {"too big"};
    item.outputModules = {module};
    job.items = {item};
    return job;
}

FrameReading Reading(bool withRemaining) {
    FrameReading reading;
    reading.frameProperties = {{"ElapsedTime", "40"}, {"FramesTotal", "3"}};
    if (withRemaining) reading.frameProperties.push_back({"RemainingTime", "80"});
    reading.outputModuleProperties = {{{"OutputTo", "/out/a.png"},
                                       {"Disk", "/"},
                                       {"FileSize", "100"},
                                       {"EstFinalSize", "300"},
                                       {"DiskSpace", "5000"}}};
    return reading;
}

TEST(EventLogRecords, OneItemJobInOrder) {
    Transcript transcript;
    int64_t now = 1796641576000;
    EventLog log(Config{}, Origin{"render07", "/jobs/demo.json", 42}, transcript.writer(), [&] { return now += 5; });
    log.JobBegin(7, OneItemJob());
    log.ItemStart(7, 1);
    for (int64_t frame = 1; frame <= 3; ++frame) {
        EXPECT_FALSE(log.CountFrame(1)) << "no thumbnails by default";
        log.Update(7, 1, frame, Reading(frame < 3));
    }
    log.Log(7, 1, 1, "caf\xc3\xa9");
    log.ItemEnd(7, 1, 1);
    log.JobEnd(7);

    const std::vector<std::string> expectedEvents = {"JobBegin", "JobItemStart", "JobItemUpdate", "JobItemUpdate",
                                                     "JobItemUpdate", "JobItemLog", "JobItemEnd", "JobEnd"};
    ASSERT_EQ(transcript.records.size(), expectedEvents.size());
    for (size_t i = 0; i < expectedEvents.size(); ++i) {
        const json& record = transcript.records[i];
        EXPECT_EQ(record["event"], expectedEvents[i]);
        EXPECT_EQ(record["seq"], i + 1);
        EXPECT_EQ(record["session"], 7);
        EXPECT_EQ(record["timeMs"], static_cast<int64_t>(5 * i));
        EXPECT_EQ(record["time"], UtcTimestamp(1796641576005 + static_cast<int64_t>(5 * i)));
    }
    EXPECT_EQ(transcript.records[0]["time"], "2026-12-07T11:06:16.005Z");
    const json& begin = transcript.records[0];
    EXPECT_EQ(begin["jobId"], "20261207T110616-42-7");
    EXPECT_EQ(begin["machine"], "render07");
    EXPECT_EQ(begin["jobFile"], "/jobs/demo.json");
    EXPECT_EQ(begin["items"][0]["startFrame"], 100);
    EXPECT_EQ(begin["projectName"], "demo");
    EXPECT_EQ(begin["appVersion"], "24.1");
    EXPECT_EQ(begin["items"][0]["id"], 1);
    EXPECT_EQ(begin["items"][0]["renderSettings"], json::parse(R"([["CompName","Main"],["Comment",""]])"));
    EXPECT_EQ(begin["items"][0]["outputModules"][0]["settings"][1], json::parse(R"(["OutputTo","/out/a.png"])"));
    EXPECT_EQ(begin["items"][0]["outputModules"][0]["warnings"], json::parse(R"(["too big"])"));
    EXPECT_FALSE(begin.contains("errors"));

    // The host's texts as they came, the numbers beside them.
    const json& update = transcript.records[2];
    EXPECT_EQ(update["frame"], 1);
    EXPECT_EQ(update["frameNumber"], 100);
    EXPECT_EQ(transcript.records[4]["frameNumber"], 102);
    EXPECT_EQ(update["frameProperties"], json::parse(R"({"ElapsedTime":"40","FramesTotal":"3","RemainingTime":"80"})"));
    EXPECT_EQ(update["elapsedMs"], 40);
    EXPECT_EQ(update["framesTotal"], 3);
    EXPECT_EQ(update["remainingMs"], 80);
    EXPECT_EQ(update["outputModules"][0],
              json::parse(R"({"OutputTo":"/out/a.png","Disk":"/","FileSize":"100","EstFinalSize":"300",
                              "DiskSpace":"5000","fileSize":100,"estFinalSize":300,"diskSpace":5000})"));
    EXPECT_FALSE(transcript.records[4]["frameProperties"].contains("RemainingTime"));
    EXPECT_FALSE(transcript.records[4].contains("remainingMs")) << "no number where the host gave no text";

    EXPECT_EQ(transcript.records[5]["flag"], 1);
    EXPECT_EQ(transcript.records[5]["message"], "caf\xc3\xa9");
    EXPECT_EQ(transcript.records[6]["status"], 1);
    EXPECT_EQ(transcript.records[6]["statusText"], "done");
    EXPECT_EQ(transcript.records[6]["frames"], 3);
    EXPECT_EQ(transcript.records[7]["jobId"], "20261207T110616-42-7");
    EXPECT_EQ(transcript.records[7]["itemsEnded"], 1);
    EXPECT_EQ(transcript.records[7]["frames"], 3);
}

TEST(EventLogRecords, StableModeHidesWhatVaries) {
    Transcript transcript;
    Config config;
    config.stable = true;
    EventLog log(config, Origin{"render07", "/jobs/demo.json", 42}, transcript.writer(), [] { return int64_t{123}; });
    log.JobBegin(1, OneItemJob());
    log.ItemStart(1, 1);
    log.CountFrame(1);
    FrameReading reading = Reading(true);
    reading.thumbnail = ThumbnailRecord{"/t/session1_item1_0100.jpg", 32, 18, 999};
    log.Update(1, 1, 1, reading);

    for (const json& record : transcript.records) {
        EXPECT_FALSE(record.contains("timeMs"));
        EXPECT_FALSE(record.contains("time"));
    }
    const json& begin = transcript.records[0];
    EXPECT_EQ(begin["jobId"], "session1");
    EXPECT_EQ(begin["machine"], nullptr);
    EXPECT_EQ(begin["jobFile"], "demo.json");
    const json& update = transcript.records[2];
    EXPECT_EQ(update["frameProperties"], json::parse(R"({"ElapsedTime":null,"FramesTotal":"3"})"));
    EXPECT_EQ(update["elapsedMs"], nullptr);
    EXPECT_EQ(update["framesTotal"], 3);
    EXPECT_FALSE(update.contains("remainingMs"));
    EXPECT_EQ(update["outputModules"][0],
              json::parse(R"({"OutputTo":"/out/a.png","Disk":null,"FileSize":null,"EstFinalSize":null,"DiskSpace":null,
                              "fileSize":null,"estFinalSize":null,"diskSpace":null})"));
    EXPECT_EQ(update["thumbnail"], json::parse(R"({"file":"/t/session1_item1_0100.jpg","width":32,"height":18})"));
}

TEST(EventLogRecords, ThumbnailCadence) {
    struct Case {
        int32_t every;
        std::vector<bool> due;  // per frame of one item
    };
    const Case cases[] = {
        {0, {false, false, false, false}},
        {1, {true, true, true, true}},
        {2, {true, false, true, false}},
        {3, {true, false, false, true, false}},
    };
    for (const Case& c : cases) {
        Config config;
        config.thumbsEvery = c.every;
        EventLog log(config, Origin{}, nullptr, nullptr);
        log.ItemStart(1, 1);
        for (size_t i = 0; i < c.due.size(); ++i) EXPECT_EQ(log.CountFrame(1), c.due[i]) << c.every << " frame " << i;
        // The count starts again with the next item.
        log.ItemStart(1, 2);
        EXPECT_EQ(log.CountFrame(2), c.every > 0);
    }
}

TEST(EventLogRecords, ErrorsAndOddValuesAreRecorded) {
    Transcript transcript;
    EventLog log(Config{}, Origin{}, transcript.writer(), nullptr);
    JobDescription job;
    job.errors = {{"ProjectName", 3, -1}, {"OutputModuleSettings", 4, 1}};
    log.JobBegin(1, job);
    log.ItemEnd(1, 5, 9);  // an end without a start, with a status the interface does not define
    log.Log(1, -1, 0, "\xff not utf-8");

    ASSERT_EQ(transcript.records.size(), 3u);
    EXPECT_EQ(transcript.records[0]["errors"],
              json::parse(R"([{"query":"ProjectName","code":3},{"query":"OutputModuleSettings","code":4,"index":1}])"));
    EXPECT_EQ(transcript.records[0]["items"], json::array());
    EXPECT_EQ(transcript.records[1]["statusText"], "unknown");
    EXPECT_EQ(transcript.records[1]["frames"], 0);
    EXPECT_EQ(transcript.records[2]["item"], -1);
    EXPECT_EQ(transcript.records[2]["message"], "\xef\xbf\xbd not utf-8");
    EXPECT_EQ(transcript.records[0]["jobFile"], nullptr) << "a host that names no job file";

    // A number the host wrote in a form the log cannot read stays a text, its number null.
    log.ItemStart(1, 1);
    FrameReading reading;
    reading.frameProperties = {{"ElapsedTime", "12.5"}, {"FramesTotal", "18446744073709551615"}};
    log.Update(1, 1, 1, reading);
    EXPECT_EQ(transcript.records.back()["frameProperties"]["ElapsedTime"], "12.5");
    EXPECT_EQ(transcript.records.back()["elapsedMs"], nullptr);
    EXPECT_EQ(transcript.records.back()["framesTotal"], 18446744073709551615ull);
    EXPECT_FALSE(transcript.records.back().contains("frameNumber")) << "no start frame was described";
}

TEST(EventLogRecords, JobEndCountsEveryItem) {
    struct Case {
        size_t described;
        std::vector<int32_t> endStatuses;
        json items;
    };
    const Case cases[] = {
        {2, {1, 1}, {{"described", 2}, {"done", 2}, {"stopped", 0}, {"failed", 0}, {"otherStatus", 0}, {"neverStarted", 0}}},
        {2, {2}, {{"described", 2}, {"done", 0}, {"stopped", 1}, {"failed", 0}, {"otherStatus", 0}, {"neverStarted", 1}}},
        {3, {3, 9}, {{"described", 3}, {"done", 0}, {"stopped", 0}, {"failed", 1}, {"otherStatus", 1}, {"neverStarted", 1}}},
        {0, {1}, {{"described", 0}, {"done", 1}, {"stopped", 0}, {"failed", 0}, {"otherStatus", 0}, {"neverStarted", 0}}},
    };
    for (const Case& c : cases) {
        Transcript transcript;
        EventLog log(Config{}, Origin{}, transcript.writer(), nullptr);
        JobDescription job;
        job.items.resize(c.described);
        log.JobBegin(1, job);
        for (size_t i = 0; i < c.endStatuses.size(); ++i) {
            log.ItemStart(1, static_cast<int64_t>(i + 1));
            log.ItemEnd(1, static_cast<int64_t>(i + 1), c.endStatuses[i]);
        }
        log.JobEnd(1);
        EXPECT_EQ(transcript.records.back()["items"], c.items) << transcript.records.back().dump();
        EXPECT_EQ(transcript.records.back()["itemsEnded"], c.endStatuses.size());
    }
}

}  // namespace
