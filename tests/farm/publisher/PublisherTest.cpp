// The publisher's payloads through its sink and clock: what each event sends, on which topic,
// retained or not and at which QoS, with every value pinned; when thumbnails are due; and the
// settings it reads. The same payloads reach a real broker in test_publisher.py, which checks them
// against the wire's schema.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "farm/publisher/Config.h"
#include "farm/publisher/Publisher.h"

namespace farm_publisher {
namespace {

constexpr int64_t kStart = 1796641323123000;  // 2026-12-07T11:02:03.123Z

struct Sent {
    std::string topic, payload;
    bool retained;
    int qos;
    bool operator==(const Sent& other) const {
        return topic == other.topic && payload == other.payload && retained == other.retained && qos == other.qos;
    }
};
void PrintTo(const Sent& sent, std::ostream* out) {
    *out << sent.topic << (sent.retained ? " (retained, qos " : " (qos ") << sent.qos << ") " << sent.payload;
}

struct Farm {
    Config config;
    int64_t now = kStart;
    std::vector<Sent> sent;
    Publisher publisher{config, Identity{"p", "m1", kStart, 42},
                        [this](Message message) {
                            sent.push_back({message.topic, message.payload, message.retained, message.qos});
                        },
                        [this] { return now; }};

    std::vector<Sent> Take() { return std::exchange(sent, {}); }
};

ItemDescription Item(int64_t id, const char* comp) {
    ItemDescription item{id, {}, {{{"OutputModuleIndex", "0"}}}, {"w"}};
    if (comp != nullptr) item.renderSettings = {{"CompName", comp}};
    return item;
}

// One output module: written bytes, the disk and its free bytes, and the host's estimate.
KeyValueList Output(const char* path, const char* disk, uint64_t bytes, uint64_t freeBytes) {
    return {{"OutputTo", path}, {"Disk", disk}, {"FileSize", std::to_string(bytes)},
            {"EstFinalSize", "7"}, {"DiskSpace", std::to_string(freeBytes)}};
}

const char* const kCommon = R"("schema":1,"machine":"m1","time":"2026-12-07T11:02:03.123Z","ts":1796641323123000)";

std::string Payload(const std::string& rest) { return std::string("{") + kCommon + "," + rest + "}"; }

TEST(Publisher, EachEventSendsItsPayloadsOnItsTopics) {
    Farm farm;
    farm.publisher.JobBegin(7, {"Proj", "23.0", {Item(1, "Main"), Item(2, ""), Item(3, nullptr)}});
    const std::string items0 =
        R"("items":[{"item":1,"name":"Main","state":"queued","framesDone":0,"renderSettings":[{"key":"CompName","value":"Main"}],"outputModules":[[{"key":"OutputModuleIndex","value":"0"}]],"warnings":["w"]},)"
        R"({"item":2,"name":"Item 2","state":"queued","framesDone":0,"renderSettings":[{"key":"CompName","value":""}],"outputModules":[[{"key":"OutputModuleIndex","value":"0"}]],"warnings":["w"]},)"
        R"({"item":3,"name":"Item 3","state":"queued","framesDone":0,"renderSettings":[],"outputModules":[[{"key":"OutputModuleIndex","value":"0"}]],"warnings":["w"]}])";
    const std::string job = R"("session":7,"state":"rendering","project":"Proj","appVersion":"23.0","startedAt":"2026-12-07T11:02:03.123Z","endedAt":null,)";
    EXPECT_EQ(farm.Take(), (std::vector<Sent>{
        {"p/m1/events", Payload(R"("session":7,"seq":1,"event":"JobBegin","project":"Proj","items":3)"), false, 1},
        {"p/m1/job", Payload(job + items0 + R"(,"counts":{"done":0,"stopped":0,"failed":0,"notStarted":3})"), true, 1},
    }));

    farm.publisher.ItemStart(7, 1);
    ASSERT_EQ(farm.sent.size(), 2u);
    EXPECT_EQ(farm.sent[0].payload, Payload(R"("session":7,"seq":2,"event":"JobItemStart","item":1)"));
    EXPECT_NE(farm.Take()[1].payload.find(R"("item":1,"name":"Main","state":"rendering")"), std::string::npos);

    // Frame ids need not start at 1; the projection counts the frames done.
    FrameReading frame{{{"FramesTotal", "4"}, {"ElapsedTime", "250"}, {"RemainingTime", "750"}},
                       {Output("/r/a.jpg", "/", 1000, 5000)},
                       std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}};
    farm.publisher.Frame(7, 1, 101, frame);
    EXPECT_EQ(farm.Take(), (std::vector<Sent>{
        {"p/m1/items/1/progress",
         Payload(R"("session":7,"item":1,"frameId":101,"framesDone":1,"framesTotal":4,"elapsedMs":250,"remainingMs":750,"fps":4.0,)"
                 R"("outputs":[{"path":"/r/a.jpg","disk":"/","bytes":1000,"projectedBytes":4000,"hostEstimateBytes":7,"freeBytes":5000,"willFill":false}])"),
         true, 0},
        {"p/m1/items/1/thumbnail", std::string("\xFF\xD8\xFF\xD9"), true, 0},
        {"p/m1/events",
         Payload(R"("session":7,"seq":3,"event":"JobItemUpdate","item":1,"frameId":101,"framesDone":1,"framesTotal":4,"elapsedMs":250,"remainingMs":750,"thumbnail":true)"),
         false, 1},
    }));

    // No remaining time from the host: none is sent. A frame without output figures has none.
    farm.publisher.Frame(7, 1, 102, FrameReading{{{"FramesTotal", "4"}, {"ElapsedTime", "300"}}, {}, std::nullopt});
    EXPECT_EQ(farm.Take()[1].payload,
              Payload(R"("session":7,"seq":4,"event":"JobItemUpdate","item":1,"frameId":102,"framesDone":2,"framesTotal":4,"elapsedMs":300,"thumbnail":false)"));

    farm.publisher.Log(7, 1, 1, "half \"way\"");
    EXPECT_EQ(farm.Take(), (std::vector<Sent>{
        {"p/m1/events", Payload(R"("session":7,"seq":5,"event":"JobItemLog","item":1,"flag":1,"message":"half \"way\"")"), false, 1}}));

    farm.now += 2000;  // the job's end is stamped with its own time
    farm.publisher.ItemEnd(7, 1, kListenerStatusFailed);
    EXPECT_EQ(farm.Take()[0].payload,
              std::string("{") + R"("schema":1,"machine":"m1","time":"2026-12-07T11:02:03.125Z","ts":1796641323125000,)"
                                 R"("session":7,"seq":6,"event":"JobItemEnd","item":1,"status":"failed","framesDone":2})");
    farm.publisher.ItemStart(7, 2);
    farm.Take();
    farm.publisher.JobEnd(7);
    const std::vector<Sent> end = farm.Take();
    ASSERT_EQ(end.size(), 2u);
    EXPECT_NE(end[0].payload.find(R"("event":"JobEnd","counts":{"done":0,"stopped":1,"failed":1,"notStarted":1}})"),
              std::string::npos);
    EXPECT_NE(end[1].payload.find(R"("state":"ended","project":"Proj","appVersion":"23.0","startedAt":"2026-12-07T11:02:03.123Z","endedAt":"2026-12-07T11:02:03.125Z")"),
              std::string::npos);
    for (const char* item : {R"("item":1,"name":"Main","state":"failed","framesDone":2)", R"("item":2,"name":"Item 2","state":"stopped")",
                             R"("item":3,"name":"Item 3","state":"notStarted")"}) {
        EXPECT_NE(end[1].payload.find(item), std::string::npos) << item;
    }
}

TEST(Publisher, ItemEndStatusesAndCounts) {
    const struct {
        int32_t status;
        const char* text;
        const char* counts;
    } rows[] = {
        {kListenerStatusDone, "done", R"({"done":1,"stopped":0,"failed":0,"notStarted":0})"},
        {kListenerStatusStopped, "stopped", R"({"done":0,"stopped":1,"failed":0,"notStarted":0})"},
        {kListenerStatusFailed, "failed", R"({"done":0,"stopped":0,"failed":1,"notStarted":0})"},
        {99, "failed", R"({"done":0,"stopped":0,"failed":1,"notStarted":0})"},
    };
    for (const auto& row : rows) {
        Farm farm;
        farm.publisher.JobBegin(1, {"P", "", {Item(4, "A")}});
        farm.publisher.ItemStart(1, 4);
        farm.publisher.ItemEnd(1, 4, row.status);
        farm.publisher.JobEnd(1);
        const std::vector<Sent> sent = farm.Take();
        EXPECT_NE(sent[4].payload.find(std::string(R"("status":")") + row.text + "\""), std::string::npos) << row.text;
        EXPECT_NE(sent.back().payload.find(std::string(R"("counts":)") + row.counts), std::string::npos) << row.text;
    }
}

// The disk fills when the growth still to come of all the item's outputs on it exceeds its free
// bytes; outputs on other disks, or writing no file, do not count towards it.
TEST(Publisher, ProjectionAndDiskFill) {
    const struct {
        const char* name;
        std::vector<KeyValueList> outputs;
        const char* expected;  // per output: projectedBytes/willFill
    } rows[] = {
        {"fits", {Output("a", "/", 100, 300)}, "400/0"},
        {"exactly fits", {Output("a", "/", 100, 300), Output("b", "/d", 1, 3)}, "400/0 4/0"},
        {"two outputs on one disk fill it together", {Output("a", "/", 100, 200), Output("b", "/", 100, 200)}, "400/1 400/1"},
        {"the second output fills its own disk", {Output("a", "/", 100, 300), Output("b", "/d", 100, 299)}, "400/0 400/1"},
        {"no disk: never fills", {Output("a", "", 100, 0)}, "400/0"},
    };
    for (const auto& row : rows) {
        Farm farm;
        farm.publisher.JobBegin(1, {"P", "", {Item(1, "A")}});
        farm.publisher.ItemStart(1, 1);
        farm.Take();
        farm.publisher.Frame(1, 1, 1, FrameReading{{{"FramesTotal", "4"}}, row.outputs, std::nullopt});
        const nlohmann::json progress = nlohmann::json::parse(farm.Take()[0].payload);
        std::string got;
        for (const auto& output : progress["outputs"]) {
            got += (got.empty() ? "" : " ") + std::to_string(output["projectedBytes"].get<uint64_t>()) + "/" +
                   (output["willFill"].get<bool>() ? "1" : "0");
        }
        EXPECT_EQ(got, row.expected) << row.name;
    }
}

TEST(Publisher, ThumbnailsAreDueOnAnItemsFirstFrameThenEveryPeriod) {
    Farm farm;  // thumbnails every 10 s
    Publisher& publisher = farm.publisher;
    publisher.JobBegin(1, {"P", "", {Item(1, "A"), Item(2, "B")}});
    publisher.ItemStart(1, 1);
    const FrameReading withThumbnail{{}, {}, std::vector<uint8_t>{0xFF, 0xD8}};
    EXPECT_TRUE(publisher.ThumbnailDue(1));
    publisher.Frame(1, 1, 1, withThumbnail);
    farm.now += 9999999;
    EXPECT_FALSE(publisher.ThumbnailDue(1));
    EXPECT_TRUE(publisher.ThumbnailDue(2));  // another item's first frame
    farm.now += 1;
    EXPECT_TRUE(publisher.ThumbnailDue(1));
    publisher.ItemStart(1, 2);
    publisher.Frame(1, 2, 1, withThumbnail);
    EXPECT_TRUE(publisher.ThumbnailDue(1));  // the period is the item's own

    Config off;
    off.thumbSeconds = 0;
    Publisher none(off, Identity{"p", "m", 0, 1}, [](Message) {}, [] { return int64_t{0}; });
    EXPECT_FALSE(none.ThumbnailDue(1));
}

TEST(Publisher, ANewJobClearsTheItemTopicsOfThePreviousJobThatItDoesNotHave) {
    Farm farm;
    farm.publisher.JobBegin(1, {"P", "", {Item(1, "A"), Item(2, "B"), Item(3, "C")}});
    farm.Take();
    farm.publisher.JobBegin(2, {"P", "", {Item(2, "B"), Item(4, "D")}});
    const std::vector<Sent> sent = farm.Take();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(std::vector<Sent>(sent.begin(), sent.begin() + 4), (std::vector<Sent>{
        {"p/m1/items/1/progress", "", true, 0}, {"p/m1/items/1/thumbnail", "", true, 0},
        {"p/m1/items/3/progress", "", true, 0}, {"p/m1/items/3/thumbnail", "", true, 0}}));
    EXPECT_NE(sent[4].payload.find(R"("session":2,"seq":2,"event":"JobBegin")"), std::string::npos);
}

TEST(Publisher, StatusPayloads) {
    const Identity identity{"p", "m1", kStart, 42};
    EXPECT_EQ(StatusPayload(identity, farm_wire::kOffline, farm_wire::kReasonLost, nullptr, std::nullopt),
              R"({"schema":1,"machine":"m1","state":"offline","reason":"lost","client":"farm_publisher","version":"1.0.0","startedAt":"2026-12-07T11:02:03.123Z","pid":42})");
    const LinkFigures figures{{1, 2}, {3, 4}, 5, 6, 7};
    EXPECT_EQ(StatusPayload(identity, farm_wire::kOnline, {}, &figures, kStart + 1000),
              R"({"schema":1,"machine":"m1","time":"2026-12-07T11:02:03.124Z","ts":1796641323124000,"state":"online","client":"farm_publisher","version":"1.0.0","startedAt":"2026-12-07T11:02:03.123Z","pid":42,)"
              R"("dropped":{"messages":1,"bytes":2},"published":{"messages":3,"bytes":4},"queue":{"bytes":5,"limitBytes":6},"connects":7})");
}

TEST(PublisherConfig, EverySettingIsReadOrRefusedWithItsName) {
    const struct {
        std::vector<std::pair<const char*, const char*>> env;
        const char* error;  // the message's start; null: accepted
        const char* read;   // what was read, when accepted
    } rows[] = {
        {{}, nullptr, "127.0.0.1:1883 brevant host_name 4194304 10 320x180 10 10 2000"},
        {{{"BREVANT_FARM_BROKER", "b.local"}}, nullptr, "b.local:1883"},
        {{{"BREVANT_FARM_BROKER", "[::1]:1884"}}, nullptr, "::1:1884"},
        {{{"BREVANT_FARM_BROKER", "b:0"}}, "BREVANT_FARM_BROKER: expected HOST or HOST:PORT (port 1 to 65535), got \"b:0\"", nullptr},
        {{{"BREVANT_FARM_BROKER", "b:"}}, "BREVANT_FARM_BROKER: expected", nullptr},
        {{{"BREVANT_FARM_BROKER", "a b"}}, "BREVANT_FARM_BROKER: expected", nullptr},
        {{{"BREVANT_FARM_BROKER", "[::1"}}, "BREVANT_FARM_BROKER: expected", nullptr},
        {{{"BREVANT_FARM_PREFIX", "site/a"}, {"BREVANT_FARM_MACHINE", "r#7/x"}}, nullptr, "site/a r_7_x"},
        {{{"BREVANT_FARM_PREFIX", "a//b"}}, "BREVANT_FARM_PREFIX: expected", nullptr},
        {{{"BREVANT_FARM_PREFIX", "a/+"}}, "BREVANT_FARM_PREFIX: expected", nullptr},
        {{{"BREVANT_FARM_MACHINE", ""}}, "BREVANT_FARM_MACHINE: expected a machine name", nullptr},
        {{{"BREVANT_FARM_QUEUE_BYTES", "1024"}, {"BREVANT_FARM_THUMB_SECONDS", "0"}}, nullptr, "1024 0"},
        {{{"BREVANT_FARM_QUEUE_BYTES", "1023"}}, "BREVANT_FARM_QUEUE_BYTES: expected a number of bytes, at least 1024", nullptr},
        {{{"BREVANT_FARM_THUMB_SECONDS", "86401"}}, "BREVANT_FARM_THUMB_SECONDS: expected", nullptr},
        {{{"BREVANT_FARM_THUMB_SIZE", "4096x1"}}, nullptr, "4096x1"},
        {{{"BREVANT_FARM_THUMB_SIZE", "4097x1"}}, "BREVANT_FARM_THUMB_SIZE: expected WIDTHxHEIGHT", nullptr},
        {{{"BREVANT_FARM_THUMB_SIZE", "320"}}, "BREVANT_FARM_THUMB_SIZE: expected", nullptr},
        {{{"BREVANT_FARM_KEEPALIVE", "5"}, {"BREVANT_FARM_STATUS_SECONDS", "1"}, {"BREVANT_FARM_SHUTDOWN_WAIT_MS", "0"}},
         nullptr, "5 1 0"},
        {{{"BREVANT_FARM_KEEPALIVE", "4"}}, "BREVANT_FARM_KEEPALIVE: expected", nullptr},
        {{{"BREVANT_FARM_STATUS_SECONDS", "0"}}, "BREVANT_FARM_STATUS_SECONDS: expected", nullptr},
        {{{"BREVANT_FARM_SHUTDOWN_WAIT_MS", "600001"}}, "BREVANT_FARM_SHUTDOWN_WAIT_MS: expected", nullptr},
        {{{"BREVANT_FARM_USERNAME", "u"}, {"BREVANT_FARM_PASSWORD", "pw"}}, nullptr, "u pw"},
        {{{"BREVANT_FARM_PASSWORD", "pw"}}, "BREVANT_FARM_PASSWORD is set but BREVANT_FARM_USERNAME is not", nullptr},
        {{{"BREVANT_FARM_CAFILE", "/nonexistent/ca.crt"}}, "BREVANT_FARM_CAFILE: cannot read /nonexistent/ca.crt", nullptr},
        {{{"BREVANT_FARM_CAFILE", "/dev/null"}, {"BREVANT_FARM_CERTFILE", "/dev/null"}}, "BREVANT_FARM_CERTFILE and BREVANT_FARM_KEYFILE go together", nullptr},
        {{{"BREVANT_FARM_CERTFILE", "/dev/null"}, {"BREVANT_FARM_KEYFILE", "/dev/null"}}, "BREVANT_FARM_CERTFILE needs BREVANT_FARM_CAFILE", nullptr},
        {{{"BREVANT_FARM_CAFILE", "/dev/null"}, {"BREVANT_FARM_CERTFILE", "/dev/null"}, {"BREVANT_FARM_KEYFILE", "/dev/null"}}, nullptr, "/dev/null"},
        {{{"BREVANT_FARM_BROKR", "x"}}, "unknown setting BREVANT_FARM_BROKR", nullptr},
    };
    for (const auto& row : rows) {
        std::vector<std::string> names = {"PATH", "HOME"};
        for (const auto& [name, value] : row.env) names.push_back(name);
        auto lookup = [&](const char* name) -> const char* {
            for (const auto& [key, value] : row.env)
                if (std::string(key) == name) return value;
            return nullptr;
        };
        Config config;
        config.prefix = "untouched";
        std::string error;
        const bool read = ReadConfig(lookup, names, "host/name", &config, &error);
        const std::string what = row.env.empty() ? "defaults" : row.env[0].first;
        if (row.error != nullptr) {
            EXPECT_FALSE(read) << what;
            EXPECT_EQ(error.rfind(row.error, 0), 0u) << what << ": " << error;
            EXPECT_EQ(config.prefix, "untouched") << what;
            continue;
        }
        ASSERT_TRUE(read) << what << ": " << error;
        const std::string all = config.Broker() + " " + config.prefix + " " + config.machine + " " +
                                std::to_string(config.queueBytes) + " " + std::to_string(config.thumbSeconds) + " " +
                                std::to_string(config.thumbWidth) + "x" + std::to_string(config.thumbHeight) + " " +
                                std::to_string(config.keepaliveSeconds) + " " + std::to_string(config.statusSeconds) +
                                " " + std::to_string(config.shutdownWaitMs) + " " + config.username + " " +
                                config.password + " " + config.caFile + config.certFile + config.keyFile;
        // Each row names the part of `all` it is about, in order.
        size_t at = 0;
        std::string rest = row.read;
        for (size_t space; !rest.empty(); rest = space == std::string::npos ? "" : rest.substr(space + 1)) {
            space = rest.find(' ');
            const std::string part = rest.substr(0, space);
            at = all.find(part, at);
            ASSERT_NE(at, std::string::npos) << what << ": " << part << " not in " << all;
        }
    }
}

}  // namespace
}  // namespace farm_publisher
