// The dashboard's reading of the wire and what it makes of it, in process: every kind of payload
// accepted or refused with its reason, the farm's state as the API, the metrics and the history
// show it, and the history read back after a restart. The service end to end, with a real broker,
// renders and browsers, is test_feed.py's, test_render.py's and test_browser.py's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/History.h"
#include "farm/dashboard/Views.h"
#include "farm/dashboard/Messages.h"

namespace dashboard {
namespace {

std::string Describe(const Parsed& parsed) {
    if (auto* reason = std::get_if<DropReason>(&parsed)) return std::string("drop ") + DropReasonName(*reason);
    const Message& message = std::get<Message>(parsed);
    std::string out;
    auto add = [&](const auto&... parts) { ((out += parts, out += ' '), ...); };
    auto n = [](auto value) { return std::to_string(value); };
    if (auto* s = std::get_if<Status>(&message)) {
        add("status", s->state, s->reason, s->client, s->version, s->startedAt, s->time, n(s->pid), n(s->droppedMessages),
            n(s->droppedBytes));
    } else if (auto* j = std::get_if<JobMessage>(&message)) {
        add("job", n(j->session), j->state, j->project, j->appVersion, j->startedAt, j->endedAt, j->time);
        for (const auto& item : j->items) {
            add(n(item.item), item.name, item.state, n(item.renderSettings.size()), n(item.outputModules.size()),
                n(item.warnings.size()));
        }
        add(n(j->counts.done), n(j->counts.stopped), n(j->counts.failed), n(j->counts.notStarted));
    } else if (auto* p = std::get_if<Progress>(&message)) {
        add("progress", n(p->session), n(p->item), n(p->frameId), n(p->framesDone), n(p->framesTotal), n(p->elapsedMs),
            p->remainingMs ? n(*p->remainingMs) : "-", n(static_cast<int>(p->fps * 100)), n(p->ts), p->time);
        for (const auto& o : p->outputs) {
            add(o.path, o.disk, n(o.bytes), n(o.projectedBytes), n(o.hostEstimateBytes), n(o.freeBytes), o.willFill ? "fill" : "fits");
        }
    } else if (auto* e = std::get_if<Event>(&message)) {
        add("event", n(e->session), n(e->seq), n(e->item), e->event, e->status, e->message, e->time);
    } else if (auto* t = std::get_if<Thumbnail>(&message)) {
        add("thumbnail", n(t->jpeg.size()));
    } else {
        add("cleared");
    }
    out.pop_back();
    return out;
}

// A row's payload: {"json": value} sent as one line, {"text": "..."}, {"hex": "..."} for bytes
// that are not text, or {"repeat": [HEX_BYTE, COUNT]} for sizes at a bound.
std::string PayloadOf(const nlohmann::json& row) {
    if (row.contains("json")) return row["json"].dump();
    if (row.contains("text")) return row["text"];
    const std::string hex = row.contains("hex") ? row["hex"].get<std::string>() : row["repeat"][0].get<std::string>();
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return row.contains("hex") ? bytes : std::string(row["repeat"][1].get<size_t>(), bytes[0]);
}

// The rows of messages.json, which test_feed.py also sends through a real broker: what the
// dashboard makes of each, or why it drops it.
TEST(DashboardMessages, EachPayloadIsReadOrDroppedWithItsReason) {
    std::ifstream file(BREVANT_SOURCE_DIR "/tests/farm/dashboard/messages.json");
    const nlohmann::json rows = nlohmann::json::parse(file);
    ASSERT_GT(rows.size(), 40u);
    const Limits limits;
    for (const nlohmann::json& row : rows) {
        const std::string topicText = row[0], payload = PayloadOf(row[1]);
        std::optional<Topic> topic = ParseTopic("brevant", topicText, limits);
        EXPECT_EQ(topic ? Describe(ParsePayload(*topic, payload, limits)) : "drop topic", row[2].get<std::string>())
            << topicText << " " << payload.substr(0, 200);
    }
}

const std::string kCommon = R"("schema":1,"machine":"m1","time":"T","ts":5)";
std::string Json(const std::string& rest) { return "{" + kCommon + (rest.empty() ? "" : "," + rest) + "}"; }

struct TempFile {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("brevant-dashboard-test-" + std::to_string(::getpid()) + ".db")).string();
    ~TempFile() { std::remove(path.c_str()); }
};

// A machine through a job: what the API, the metrics and the history show at each step.
TEST(DashboardFarm, AJobAsTheApiTheMetricsAndTheHistoryShowIt) {
    TempFile db;
    EventHub hub(4, 100, 1 << 20);
    Notifier notifier({}, WebhookPolicy{});
    int64_t jobId = 0;
    {
        History history(db.path);
        FarmOptions options;
        options.prefix = "p";
        options.silentAfterSeconds = 0;
        FarmState farm(options, hub, notifier, history);
        farm.OnMessage("p/m1/status", Json(R"("state":"online","pid":7,"dropped":{"messages":2,"bytes":9})"));
        const std::string job = R"("session":3,"project":"Shot \"A\"","appVersion":"23.0","startedAt":"S",)";
        const std::string items = R"("items":[{"item":1,"name":"One","state":"rendering"},{"item":2,"name":"Two","state":"queued"}])";
        farm.OnMessage("p/m1/items/1/progress",
                       Json(R"("session":3,"item":1,"frameId":12,"framesDone":12,"framesTotal":48,"elapsedMs":500,"remainingMs":1500,"fps":24,)"
                            R"("outputs":[{"path":"/o","disk":"/d","bytes":10,"projectedBytes":40,"freeBytes":20,"willFill":true}])"));
        // Retained topics come in any order after a restart: the job after its item's progress.
        farm.OnMessage("p/m1/job", Json(job + R"("state":"rendering",)" + items));
        farm.OnMessage("p/m1/events", Json(R"("session":3,"seq":4,"event":"JobItemLog","item":1,"message":"half")"));
        farm.OnMessage("p/m1/events", Json(R"("session":3,"seq":5,"event":"JobItemLog","item":1001,"message":"lost")"));
        farm.OnMessage("p/m1/items/1/thumbnail", std::string("\xFF\xD8\xFF\xD9", 4));
        farm.OnMessage("p/m1/bogus", "x");
        farm.OnMessage("p/m2/status", Json(R"("state":"online")"));  // another machine's name in m2's topic

        const nlohmann::json machine = *farm.Machine("m1");
        EXPECT_EQ(machine["state"], "online");
        EXPECT_EQ(machine["pid"], 7);
        EXPECT_EQ(machine["dropped"], (nlohmann::json{{"messages", 2}, {"bytes", 9}}));
        const nlohmann::json& item = machine["job"]["items"][0];
        EXPECT_EQ(item["progress"]["framesDone"], 12);
        EXPECT_EQ(item["progress"]["outputs"][0]["willFill"], true);
        EXPECT_EQ(item["etaMs"], 1500);
        EXPECT_EQ(item["logs"].size(), 1u);
        EXPECT_EQ(item["logs"][0]["message"], "half");
        EXPECT_EQ(item["logs"][0]["time"], "T");
        EXPECT_FALSE(item["thumbnail"].is_null());
        EXPECT_TRUE(machine["job"]["items"][1]["progress"].is_null());
        EXPECT_EQ(machine["job"]["etaMs"], 1500 + 2000);  // the queued item as long as the current one in all
        EXPECT_EQ(farm.Thumbnail("m1", 1)->size(), 4u);
        EXPECT_EQ(farm.Thumbnail("m1", 2), nullptr);
        EXPECT_FALSE(farm.Machine("m2"));

        const std::string metrics = farm.Metrics();
        const std::string labels = R"({machine="m1",project="Shot \"A\"",item="1"})";
        const std::vector<std::string> lines = {
            "brevant_machine_up{machine=\"m1\"} 1",
            "brevant_machine_messages_dropped_total{machine=\"m1\"} 2",
            "brevant_frames_rendered_total" + labels + " 12",
            "brevant_item_progress_ratio" + labels + " 0.25",
            "brevant_item_remaining_seconds" + labels + " 1.5",
            "brevant_item_frames_per_second" + labels + " 24",
            "brevant_item_stalled" + labels + " 0",
            "brevant_output_projected_bytes{machine=\"m1\",project=\"Shot \\\"A\\\"\",item=\"1\",output=\"0\"} 40",
            "brevant_disk_free_bytes{machine=\"m1\",disk=\"/d\"} 20",
            "brevant_dashboard_messages_total 8",
            "brevant_dashboard_messages_dropped_total{reason=\"topic\"} 1",
            "brevant_dashboard_messages_dropped_total{reason=\"invalid\"} 1",
            "brevant_dashboard_broker_connected 0"};
        for (const std::string& line : lines) {
            EXPECT_NE(metrics.find("\n" + line + "\n"), std::string::npos) << line;
        }

        farm.OnMessage("p/m1/job", Json(job + R"("state":"rendering","items":[{"item":1,"name":"One","state":"failed"},{"item":2,"name":"Two","state":"rendering"},{"item":3,"state":"queued"}],"counts":{"failed":1})"));
        farm.OnMessage("p/m1/items/2/progress", Json(R"("session":3,"item":2,"frameId":5,"framesDone":5,"framesTotal":10,"elapsedMs":1000,"remainingMs":1000)"));
        // Only done items give the queued ones their length; else the rendering item's whole time.
        EXPECT_EQ((*farm.Machine("m1"))["job"]["etaMs"], 1000 + 2000);
        farm.OnMessage("p/m1/job", Json(job + R"("state":"ended","endedAt":"E","items":[{"item":1,"name":"One","state":"failed"},{"item":2,"name":"Two","state":"done"}],"counts":{"done":1,"failed":1})"));
        const nlohmann::json jobs = farm.Jobs({}, 10, 0);
        EXPECT_TRUE(jobs["current"].empty());
        ASSERT_EQ(jobs["past"].size(), 1u);
        EXPECT_EQ(jobs["past"][0]["outcome"], "failed");
        jobId = jobs["past"][0]["id"];

        // A new job of the machine; the machine then lost while it renders: the job ends as lost.
        farm.OnMessage("p/m1/job", Json(R"("session":4,"state":"rendering","startedAt":"S2","items":[{"item":1,"state":"rendering"}])"));
        const std::string lost = Json(R"("state":"offline","reason":"lost","pid":7)");
        farm.OnMessage("p/m1/status", lost);
        EXPECT_EQ(farm.Jobs({}, 10, 0)["past"][0]["outcome"], "lost");
        farm.OnMessage("p/m1/status", Json(R"("state":"online","pid":7)"));  // the same host back: the job goes on
        EXPECT_EQ(farm.Jobs({}, 10, 0)["past"][0]["outcome"], "failed");
        farm.OnMessage("p/m1/status", lost);
        // A job shown rendering by a machine already known to be gone is lost at once.
        farm.OnMessage("p/m1/job", Json(R"("session":5,"state":"rendering","startedAt":"S3")"));
        EXPECT_EQ(farm.Jobs({}, 10, 0)["past"][0]["startedAt"], "S3");
        EXPECT_EQ((*farm.Machine("m1"))["job"]["etaMs"], 0);  // nothing queued, nothing rendering
        // A host gone without a last will: silent while the broker is there, so offline, its job lost.
        farm.OnMessage("p/m1/status", Json(R"("state":"online","pid":8)"));
        farm.OnMessage("p/m1/job", Json(R"("session":6,"state":"rendering","startedAt":"S4")"));
        farm.Tick();  // no broker: nobody has been silent to it
        EXPECT_EQ((*farm.Machine("m1"))["state"], "online");
        farm.SetBrokerConnected(true);
        farm.Tick();
        EXPECT_EQ((*farm.Machine("m1"))["reason"], "silent");
        EXPECT_EQ(farm.Jobs({}, 10, 0)["past"][0]["startedAt"], "S4");
        farm.OnMessage("p/m1/status", "");
        EXPECT_FALSE(farm.Machine("m1"));
    }
    History reopened(db.path);
    const std::optional<JobRecord> record = reopened.Get(jobId);
    ASSERT_TRUE(record);
    EXPECT_EQ(ToJson(*record, true).dump(),
              R"({"appVersion":"23.0","counts":{"done":1,"failed":1,"notStarted":0,"stopped":0},"endedAt":"E","id":)" +
                  std::to_string(jobId) +
                  R"(,"items":[{"endedAt":"T","framesDone":12,"framesTotal":48,"item":1,"log":[{"message":"half","time":"T"}],"name":"One",)"
                  R"("startedAt":"T","state":"failed","warnings":[]},)"
                  R"({"endedAt":"T","framesDone":5,"framesTotal":10,"item":2,"log":[],"name":"Two","startedAt":"T","state":"done","warnings":[]}],)"
                  R"("machine":"m1","outcome":"failed","project":"Shot \"A\"","renderMs":0,"session":3,"startedAt":"S","state":"ended"})");
}

}  // namespace
}  // namespace dashboard
