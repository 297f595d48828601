// The dashboard's reading of the wire and what it makes of it, in process: every kind of payload
// accepted or refused with its reason, the farm's state as the API, the metrics and the history
// show it, and the history read back after a restart. The service end to end, with a real broker,
// renders and browsers, is test_feed.py's, test_render.py's and test_browser.py's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/History.h"
#include "farm/dashboard/Views.h"
#include "farm/dashboard/Messages.h"
#include "farm/wire/Wire.h"

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
        for (const auto& i : j->items)
            add(n(i.item), i.name, i.state, n(i.renderSettings.size()), n(i.outputModules.size()), n(i.warnings.size()));
        add(n(j->counts.done), n(j->counts.stopped), n(j->counts.failed), n(j->counts.notStarted));
    } else if (auto* p = std::get_if<Progress>(&message)) {
        add("progress", n(p->session), n(p->item), n(p->frameId), n(p->framesDone), n(p->framesTotal), n(p->elapsedMs),
            p->remainingMs ? n(*p->remainingMs) : "-", n(static_cast<int>(p->fps * 100)), n(p->ts), p->time);
        for (const auto& o : p->outputs)
            add(o.path, o.disk, n(o.bytes), n(o.projectedBytes), n(o.hostEstimateBytes), n(o.freeBytes), o.willFill ? "fill" : "fits");
    } else if (auto* e = std::get_if<Event>(&message)) {
        add("event", n(e->session), n(e->seq), n(e->item), e->event, e->status, e->message, e->time);
    } else {
        add(std::holds_alternative<Thumbnail>(message) ? "thumbnail " + n(std::get<Thumbnail>(message).jpeg.size()) : "cleared");
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
    std::string path = (std::filesystem::temp_directory_path() / ("brevant-dashboard-test-" + std::to_string(::getpid()) + ".db")).string();
    ~TempFile() { for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str()); }
};
using J = nlohmann::json;
using Events = std::vector<std::pair<std::string, J>>;

// A farm on its own history file, fed message by message, with viewers attached to its events as
// the HTTP service attaches them.
struct Farm {
    explicit Farm(const std::string& db, FarmOptions options = {})
        : notifier({}, WebhookPolicy{}), history(db), farm(WithPrefix(std::move(options)), hub, notifier, history) {}
    static FarmOptions WithPrefix(FarmOptions options) {
        options.prefix = "p";
        return options;
    }

    // A message of `machine` on PREFIX/MACHINE/TOPIC: the fields every payload has, and `fields`.
    void Send(const std::string& machine, const std::string& topic, const J& fields) {
        J message = {{"schema", 1}, {"machine", machine}, {"time", "T"}, {"ts", 5}};
        message.update(fields);
        farm.OnMessage("p/" + machine + "/" + topic, message.dump());
    }
    void Job(const std::string& machine, const std::string& project, const std::string& state, const J& items) {
        Send(machine, "job", {{"session", 1}, {"state", state}, {"project", project}, {"startedAt", "2026-12-01T10:00:00.000Z"}, {"items", items}});
    }
    void Frames(const std::string& machine, int64_t item, int64_t done, int64_t total, J more = J::object()) {
        more.update({{"session", 1}, {"item", item}, {"frameId", done}, {"framesDone", done}, {"framesTotal", total}});
        Send(machine, "items/" + std::to_string(item) + "/progress", more);
    }

    std::shared_ptr<EventHub::Client> Attach(Interest interest) { return farm.Attach(std::move(interest), [] {}); }
    // What the viewer's writer would send now, as (event, data); a viewer that fell behind is
    // given its new snapshot, as the service does.
    Events Take(EventHub::Client& client) {
        std::vector<Frame> frames;
        if (hub.Take(client, frames) == EventHub::Taken::Resync) {
            farm.Resync(client);
            hub.Take(client, frames);
        }
        std::string text;
        for (const Frame& frame : frames) text += *frame;
        Events events;
        for (size_t at = 0, end; (end = text.find("\n\n", at)) != std::string::npos; at = end + 2) {
            const std::string block = text.substr(at, end - at);
            if (block.rfind("event: ", 0) != 0) continue;  // "retry: ..."
            const size_t data = block.find("\ndata: ");
            events.emplace_back(block.substr(7, data - 7), J::parse(block.substr(data + 7)));
        }
        return events;
    }
    static std::vector<std::string> Names(const Events& events) {
        std::vector<std::string> names;
        for (const auto& event : events) names.push_back(event.first);
        return names;
    }

    EventHub hub{8, 50, 1 << 20};
    Notifier notifier;
    History history;
    FarmState farm;
};

std::vector<std::string> Field(const J& list, const char* field) {
    std::vector<std::string> values;
    for (const J& entry : list) values.push_back(entry[field]);
    return values;
}

std::string Iso(int64_t micros) { return farm_wire::IsoTime(micros); }

// A machine through a job: what the API, the metrics and the history show at each step.
TEST(DashboardFarm, AJobAsTheApiTheMetricsAndTheHistoryShowIt) {
    TempFile db;
    int64_t jobId = 0;
    {
        FarmOptions options;
        options.silentAfterSeconds = 0;
        Farm f(db.path, options);
        FarmState& farm = f.farm;
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

        const J machine = *farm.Machine("m1");
        EXPECT_EQ(J::array({machine["state"], machine["pid"], machine["dropped"]}), J::parse(R"(["online", 7, {"messages": 2, "bytes": 9}])"));
        const J& item = machine["job"]["items"][0];
        EXPECT_EQ(J::array({item["progress"]["framesDone"], item["progress"]["outputs"][0]["willFill"], item["etaMs"], item["logs"]}),
                  J::parse(R"([12, true, 1500, [{"message": "half", "time": "T"}]])"));
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
        for (const std::string& line : lines) EXPECT_NE(metrics.find("\n" + line + "\n"), std::string::npos) << line;

        farm.OnMessage("p/m1/job", Json(job + R"("state":"rendering","items":[{"item":1,"name":"One","state":"failed"},{"item":2,"name":"Two","state":"rendering"},{"item":3,"state":"queued"}],"counts":{"failed":1})"));
        farm.OnMessage("p/m1/items/2/progress", Json(R"("session":3,"item":2,"frameId":5,"framesDone":5,"framesTotal":10,"elapsedMs":1000,"remainingMs":1000)"));
        // Only done items give the queued ones their length; else the rendering item's whole time.
        EXPECT_EQ((*farm.Machine("m1"))["job"]["etaMs"], 1000 + 2000);
        farm.OnMessage("p/m1/job", Json(job + R"("state":"ended","endedAt":"E","items":[{"item":1,"name":"One","state":"failed"},{"item":2,"name":"Two","state":"done"}],"counts":{"done":1,"failed":1})"));
        const J jobs = farm.Jobs({}, 10, 0);
        EXPECT_EQ(J::array({jobs["current"], jobs["past"].size(), jobs["past"][0]["outcome"]}), J::parse(R"([[], 1, "failed"])"));
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


// One machine in each state and with each reason for attention: their tiles, the summary, and
// the pages of machines the REST API serves.
TEST(DashboardFarm, EachMachineStateAsItsTileTheSummaryAndThePagesOfMachines) {
    TempFile db;
    FarmOptions options;
    options.stallFloor = std::chrono::milliseconds(1);
    Farm f(db.path, options);
    const J online = {{"state", "online"}}, rendering = "rendering";
    for (const char* name : {"r1", "r2", "st", "i1", "i2", "l1"}) f.Send(name, "status", online);
    f.Job("r1", "P", "rendering", {{{"item", 1}, {"name", "Comp 1"}, {"state", "rendering"}}, {{"item", 2}, {"name", "Comp 2"}, {"state", "queued"}}});
    f.Frames("r1", 1, 10, 100, {{"elapsedMs", 5000}, {"remainingMs", 45000}, {"fps", 2}, {"ts", 111}});
    f.Job("r2", "P", "rendering", {{{"item", 1}, {"name", "Comp 1"}, {"state", "failed"}}, {{"item", 2}, {"name", "Comp 2"}, {"state", "rendering"}}});
    f.Frames("r2", 2, 5, 50, {{"elapsedMs", 1000}, {"remainingMs", 9000}, {"fps", 1},
                              {"outputs", {{{"path", "/o"}, {"disk", "/d"}, {"bytes", 1}, {"projectedBytes", 9}, {"freeBytes", 2}, {"willFill", true}}}}});
    f.Job("st", "Q", "rendering", {{{"item", 1}, {"name", "Comp 1"}, {"state", "rendering"}}});
    for (int done = 1; done <= 4; ++done) f.Frames("st", 1, done, 8, {{"remainingMs", (8 - done) * 1000}, {"fps", 0.5}});
    f.Job("i1", "P", "ended", {{{"item", 1}, {"name", "Comp 1"}, {"state", "failed"}}});
    f.Send("o1", "status", {{"state", "offline"}, {"reason", "shutdown"}});
    f.Job("l1", "Q", "rendering", {{{"item", 1}, {"name", "Comp 1"}, {"state", "rendering"}}});
    f.Send("l1", "status", {{"state", "offline"}, {"reason", "lost"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.farm.Tick();  // st's next frame is overdue

    const J tiles = f.farm.Tiles()["tiles"];
    const struct {
        const char *machine, *state;
        J project, item, attention;
    } rows[] = {
        {"i1", "idle", "P", nullptr, {"failed"}},
        {"i2", "idle", nullptr, nullptr, J::array()},
        {"l1", "lost", "Q", "Comp 1", {"lost"}},
        {"o1", "offline", nullptr, nullptr, J::array()},
        {"r1", "rendering", "P", "Comp 1", J::array()},
        {"r2", "rendering", "P", "Comp 2", {"failed", "diskWillFill"}},
        {"st", "rendering", "Q", "Comp 1", {"stalled"}}};
    ASSERT_EQ(tiles.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(J::array({tiles[i]["machine"], tiles[i]["state"], tiles[i]["project"], tiles[i]["item"], tiles[i]["attention"]}),
                  J::array({rows[i].machine, rows[i].state, rows[i].project, rows[i].item, rows[i].attention}));
    // Rendering: its item's frames and rate, its job's remaining time (the queued item as long
    // as the rendering one in all); lost: what it rendered, but no rate or remaining time.
    EXPECT_EQ(tiles[4], J::parse(R"({"machine":"r1","state":"rendering","project":"P","item":"Comp 1","itemId":1,
        "done":10,"total":100,"fps":2.0,"etaMs":95000,"ts":111,"attention":[]})"));
    EXPECT_EQ(tiles[2], J::parse(R"({"machine":"l1","state":"lost","project":"Q","item":"Comp 1","itemId":1,
        "done":null,"total":null,"fps":null,"etaMs":null,"ts":null,"attention":["lost"]})"));

    const J summary = f.farm.Summary();
    EXPECT_EQ(summary["counts"], J::parse(R"({"machines":7,"rendering":3,"idle":2,"offline":1,"lost":1,"attention":4})"));
    EXPECT_EQ(summary["projects"], J::parse(R"([
        {"project":"P","item":"Comp 1","machines":2,"framesDone":10,"framesTotal":100,"fps":2.0,"etaMs":95000,"failed":1},
        {"project":"P","item":"Comp 2","machines":2,"framesDone":5,"framesTotal":50,"fps":1.0,"etaMs":95000,"failed":0},
        {"project":"Q","item":"Comp 1","machines":1,"framesDone":4,"framesTotal":8,"fps":0.5,"etaMs":4000,"failed":0}])"));
    EXPECT_EQ(Field(summary["attention"], "machine"), (std::vector<std::string>{"l1", "i1", "r2", "st"}));  // worst first
    EXPECT_EQ(summary["attention"][2], J::parse(R"({"machine":"r2","project":"P","item":"Comp 2","reasons":["failed","diskWillFill"]})"));
    EXPECT_EQ(summary["attentionTotal"], 4);

    // The viewers see the same: nothing flushed yet in the first snapshot, then every tile.
    auto viewer = f.Attach({});
    EXPECT_EQ(f.Take(*viewer).at(0).second["tiles"], J::array());
    f.farm.Flush();
    const Events flushed = f.Take(*viewer);
    ASSERT_EQ(Farm::Names(flushed), std::vector<std::string>{"tiles"});
    EXPECT_EQ(flushed[0].second, (J{{"tiles", tiles}, {"removed", J::array()}, {"summary", summary}}));
    const J snapshot = f.Take(*f.Attach({})).at(0).second;
    EXPECT_EQ((J{snapshot["tiles"], snapshot["summary"], snapshot["machines"]}), (J{tiles, summary, J::array()}));

    const struct {
        MachineQuery query;
        std::vector<std::string> machines;
        int total, limit;
    } pages[] = {
        {{}, {"i1", "i2", "l1", "o1", "r1", "r2", "st"}, 7, 100},
        {{"rendering", "", "", 100, 0}, {"r1", "r2", "st"}, 3, 100},
        {{"attention", "", "", 100, 0}, {"i1", "l1", "r2", "st"}, 4, 100},
        {{"lost", "", "", 100, 0}, {"l1"}, 1, 100},
        {{"offline", "", "", 100, 0}, {"o1"}, 1, 100},
        {{"", "P", "", 100, 0}, {"i1", "r1", "r2"}, 3, 100},
        {{"", "", "R", 100, 0}, {"r1", "r2"}, 2, 100},
        {{"idle", "", "", 1, 1}, {"i2"}, 2, 1},
        {{"rendering", "Q", "s", 5000, 0}, {"st"}, 1, 1000},
        {{"bogus", "", "", 100, 0}, {}, 0, 100},
    };
    for (const auto& page : pages) {
        const J got = f.farm.Machines(page.query);
        EXPECT_EQ(Field(got["machines"], "name"), page.machines) << page.query.state << page.query.project << page.query.name;
        EXPECT_EQ((J{got["total"], got["limit"], got["offset"]}), (J{page.total, page.limit, page.query.offset}));
    }
    EXPECT_EQ(f.farm.Machines({"lost", "", "", 100, 0})["machines"][0], *f.farm.Machine("l1"));
}

// Every viewer gets one coalesced tiles event per flush; a machine's detail goes only to the
// viewers that have it, or its project, open; a viewer that falls behind gets a new snapshot.
TEST(DashboardFarm, ViewersGetCoalescedTilesAndOnlyTheDetailTheyHaveOpen) {
    TempFile db;
    Farm f(db.path);
    for (const auto& [machine, project] : {std::pair{"m1", "P"}, std::pair{"m2", "Q"}}) {
        f.Send(machine, "status", {{"state", "online"}});
        f.Job(machine, project, "rendering", {{{"item", 1}, {"name", "Comp"}, {"state", "rendering"}}});
    }
    auto nobody = f.Attach({}), m1 = f.Attach({{"m1", "nope"}, ""}), q = f.Attach({{}, "Q"});
    const struct {
        EventHub::Client* client;
        std::vector<std::string> machines;
    } viewers[] = {{nobody.get(), {}}, {m1.get(), {"m1"}}, {q.get(), {"m2"}}};
    for (const auto& viewer : viewers) {
        const Events events = f.Take(*viewer.client);
        ASSERT_EQ(Farm::Names(events), std::vector<std::string>{"snapshot"});
        EXPECT_EQ(Field(events[0].second["machines"], "name"), viewer.machines);
        EXPECT_EQ(events[0].second["machines"], viewer.machines.empty() ? J::array() : J::array({*f.farm.Machine(viewer.machines[0])}));
    }
    f.farm.Flush();
    for (const auto& viewer : viewers) EXPECT_EQ(Farm::Names(f.Take(*viewer.client)), std::vector<std::string>{"tiles"});

    for (int done = 1; done <= 5; ++done) {
        f.Frames("m1", 1, done, 10);
        f.Frames("m2", 1, done, 10);
    }
    f.Send("m1", "events", {{"session", 1}, {"seq", 1}, {"event", "JobItemLog"}, {"item", 1}, {"message", "hello"}});
    f.farm.OnMessage("p/m1/items/1/thumbnail", std::string("\xFF\xD8\xFF\xD9", 4));
    EXPECT_TRUE(f.Take(*nobody).empty());
    const Events ofM1 = f.Take(*m1), ofQ = f.Take(*q);
    EXPECT_EQ(Farm::Names(ofM1), (std::vector<std::string>{"progress", "progress", "progress", "progress", "progress", "log", "thumbnail"}));
    EXPECT_EQ(Farm::Names(ofQ), (std::vector<std::string>{"progress", "progress", "progress", "progress", "progress"}));
    for (const Events* events : {&ofM1, &ofQ})
        for (const auto& event : *events) EXPECT_EQ(event.second["machine"], events == &ofM1 ? "m1" : "m2");
    EXPECT_EQ(ofQ[4].second["progress"]["framesDone"], 5);

    f.farm.Flush();
    f.farm.Flush();  // nothing changed since
    // The attention list (still empty) was sent by an earlier flush, so not again.
    J figures = f.farm.Summary();
    figures.erase("attention");
    figures.erase("attentionTotal");
    for (const auto& viewer : viewers) {
        const Events events = f.Take(*viewer.client);
        ASSERT_EQ(Farm::Names(events), std::vector<std::string>{"tiles"});
        EXPECT_EQ(Field(events[0].second["tiles"], "machine"), (std::vector<std::string>{"m1", "m2"}));
        EXPECT_EQ(events[0].second["tiles"][1]["done"], 5);
        EXPECT_EQ(events[0].second["summary"], figures);
    }

    // An ended job is everybody's news; its machine's detail only its viewers'.
    f.Job("m2", "Q", "ended", {{{"item", 1}, {"name", "Comp"}, {"state", "done"}}});
    EXPECT_EQ(Farm::Names(f.Take(*nobody)), std::vector<std::string>{"history"});
    EXPECT_EQ(Farm::Names(f.Take(*m1)), std::vector<std::string>{"history"});
    EXPECT_EQ(Farm::Names(f.Take(*q)), (std::vector<std::string>{"history", "machine"}));

    // m1's viewer stops reading: beyond its queue's bound it is sent the farm anew, with the last
    // ended jobs.
    for (int done = 6; done <= 60; ++done) f.Frames("m1", 1, done, 100);
    const Events behind = f.Take(*m1);
    ASSERT_EQ(Farm::Names(behind), std::vector<std::string>{"snapshot"});
    EXPECT_EQ(behind[0].second["machines"][0]["job"]["items"][0]["progress"]["framesDone"], 60);
    EXPECT_EQ(Field(behind[0].second["history"], "machine"), std::vector<std::string>{"m2"});
    EXPECT_EQ(Field(behind[0].second["tiles"], "machine"), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(f.Take(*nobody), Events{});
}

// A machine forgotten by the operator or offline too long leaves the live views and stays gone,
// also from its retained topics after a restart, until a process started later says online.
TEST(DashboardFarm, MachinesForgottenOrRetiredStayGoneUntilANewProcessSaysOnline) {
    TempFile db;
    const int64_t now = farm_wire::WallMicros(), hour = int64_t{3600} * 1000000;
    const J before = {{"state", "online"}, {"startedAt", Iso(now - hour)}};  // the process running now
    const J will = {{"state", "offline"}, {"reason", "lost"}, {"startedAt", Iso(now - hour)}};  // no time
    FarmOptions options;
    options.retireAfter = std::chrono::hours(1);
    {
        Farm f(db.path, options);
        auto viewer = f.Attach({});
        for (const char* machine : {"m1", "m2", "m4"}) f.Send(machine, "status", before);
        f.Job("m1", "P", "rendering", {{{"item", 1}, {"name", "Comp"}, {"state", "rendering"}}});
        f.Send("m3", "status", {{"state", "offline"}, {"time", Iso(now - 2 * hour)}});  // long gone: not shown
        f.Job("m3", "P", "ended", J::array());  // nor by its other retained topics
        f.Send("m4", "status", {{"state", "offline"}, {"time", Iso(now - 2 * hour)}});  // shown, until the next tick
        f.Send("m5", "status", {{"state", "offline"}, {"time", Iso(now - hour / 2)}});
        f.farm.Tick();
        f.farm.Flush();
        Events events = f.Take(*viewer);
        ASSERT_EQ(Farm::Names(events), (std::vector<std::string>{"snapshot", "tiles"}));
        EXPECT_EQ(Field(events[1].second["tiles"], "machine"), (std::vector<std::string>{"m1", "m2", "m5"}));
        EXPECT_EQ(events[1].second["removed"], J::array({"m4"}));

        EXPECT_TRUE(f.farm.Forget("m1"));
        EXPECT_FALSE(f.farm.Forget("m3"));
        f.farm.Flush();
        events = f.Take(*viewer);
        EXPECT_EQ(Farm::Names(events), (std::vector<std::string>{"history", "tiles"}));  // its job, lost
        EXPECT_EQ(events.back().second["removed"], J::array({"m1"}));
        EXPECT_EQ(events.back().second["tiles"], J::array());
        EXPECT_EQ(f.farm.Jobs({}, 10, 0)["past"][0]["outcome"], "lost");
        f.Send("m1", "status", before);  // its publisher's next status: the same process
        f.Frames("m1", 1, 3, 10);
        EXPECT_FALSE(f.farm.Machine("m1"));
        f.Send("m1", "status", {{"state", "online"}, {"startedAt", Iso(farm_wire::WallMicros() + 1000)}});
        EXPECT_TRUE(f.farm.Machine("m1"));

        EXPECT_TRUE(f.farm.Forget("m2"));
        f.Send("m2", "status", will);
        EXPECT_FALSE(f.farm.Machine("m2"));
        EXPECT_NE(f.farm.Metrics().find("\nbrevant_dashboard_machines_retired_total 4\n"), std::string::npos);
    }
    // Restarted: the broker's retained statuses arrive again.
    Farm f(db.path, options);
    f.Send("m1", "status", {{"state", "online"}, {"startedAt", Iso(farm_wire::WallMicros())}});
    for (const char* machine : {"m2", "m4"}) f.Send(machine, "status", will);
    f.Send("m5", "status", {{"state", "offline"}, {"time", Iso(now - hour / 2)}});
    EXPECT_EQ(Field(f.farm.Tiles()["tiles"], "machine"), (std::vector<std::string>{"m1", "m5"}));
    f.Send("m2", "status", {{"state", "online"}, {"time", Iso(now - hour / 2)}});  // no process start: its time, too early
    EXPECT_FALSE(f.farm.Machine("m2"));
    f.Send("m2", "status", {{"state", "online"}, {"time", Iso(farm_wire::WallMicros() + 1000)}});
    EXPECT_EQ(Field(f.farm.Tiles()["tiles"], "machine"), (std::vector<std::string>{"m1", "m2", "m5"}));
    EXPECT_EQ(f.history.Forgotten().count("m2"), 0u);
    EXPECT_EQ(f.history.Forgotten().count("m4"), 1u);
    EXPECT_EQ(f.history.Forgotten().at("m3"), now - 2 * hour - (now - 2 * hour) % 1000);
}

}  // namespace
}  // namespace dashboard
