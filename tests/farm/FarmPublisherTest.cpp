// The farm publisher end to end: real brevant-host renders publishing to a real mosquitto, read
// back by a real subscriber; and the outbox's dropping rules through its own interface.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>

#include <thread>

#include "FarmFixture.h"
#include "clients/farm_publisher/Outbox.h"

namespace {

using farm_test::Broker;
using farm_test::BrokerOptions;
using farm_test::HostRun;
using farm_test::JobText;
using farm_test::Received;
using farm_test::Subscriber;
using farm_test::TempDir;
using nlohmann::json;
using namespace std::chrono_literals;

std::map<std::string, std::string> Env(const Broker& broker, const std::string& machine,
                                       std::map<std::string, std::string> more = {}) {
    more["BREVANT_FARM_BROKER"] = "127.0.0.1:" + std::to_string(broker.port());
    more["BREVANT_FARM_MACHINE"] = machine;
    more["BREVANT_FARM_THUMB_SECONDS"] = "1";
    return more;
}

json Last(Subscriber& subscriber, const std::string& topic) {
    Received received;
    if (!subscriber.Last(topic, &received) || received.payload.empty()) return json();
    return json::parse(received.payload);
}

auto Has(const std::string& topic, const std::string& text) {
    return [=](const std::vector<Received>& messages) {
        for (const Received& message : messages) {
            if (message.topic == topic && message.payload.find(text) != std::string::npos) return true;
        }
        return false;
    };
}

TEST(FarmPublisher, WholeRenderReadsBackInOrder) {
    TempDir dir;
    Broker broker(dir);
    Subscriber subscriber(broker.port(), "brevant/#");
    HostRun host(dir, JobText({4, 3}), Env(broker, "r/1+#"), 100);
    ASSERT_EQ(host.Wait(), 0) << host.Stderr();
    const std::string m = "brevant/r_1__";
    ASSERT_TRUE(subscriber.WaitFor(Has(m + "/status", "\"shutdown\"")));

    std::vector<std::string> events;
    int64_t seq = 0;
    for (const Received& message : subscriber.Messages()) {
        if (message.topic.rfind(m + "/items/", 0) == 0 && message.topic.find("/thumbnail") != std::string::npos) {
            EXPECT_EQ(message.payload.substr(0, 2), "\xFF\xD8") << "a JPEG";
            continue;
        }
        const json payload = json::parse(message.payload);
        EXPECT_EQ(payload["schema"], 1);
        EXPECT_EQ(payload["machine"], "r_1__");
        EXPECT_TRUE(payload["ts"].is_number_integer() && payload["time"].get<std::string>().back() == 'Z');
        if (message.topic != m + "/events") continue;
        EXPECT_FALSE(message.retained);
        EXPECT_EQ(payload["seq"], ++seq);
        events.push_back(payload["event"]);
    }
    const std::vector<std::string> expected = {"JobBegin",      "JobItemStart",  "JobItemUpdate", "JobItemUpdate",
                                               "JobItemUpdate", "JobItemUpdate", "JobItemEnd",    "JobItemStart",
                                               "JobItemUpdate", "JobItemUpdate", "JobItemUpdate", "JobItemEnd",
                                               "JobEnd"};
    EXPECT_EQ(events, expected);

    const json job = Last(subscriber, m + "/job");
    EXPECT_EQ(job["state"], "ended");
    EXPECT_EQ(job["items"][1]["name"], "Shot 2");
    EXPECT_EQ(job["counts"], json::parse(R"({"done":2,"stopped":0,"failed":0,"notStarted":0})"));
    const json progress = Last(subscriber, m + "/items/1/progress");
    EXPECT_EQ(progress["framesDone"], 4);
    EXPECT_EQ(progress["framesTotal"], 4);
    const json& output = progress["outputs"][0];
    EXPECT_GT(output["bytes"].get<int64_t>(), 0);
    EXPECT_EQ(output["projectedBytes"], output["bytes"]) << "the last frame projects what was written";
    EXPECT_EQ(output["willFill"], false);
}

// A broker killed in the second item and started again empty: the render is untouched, and the
// first item's state, published before the kill, is on the new broker from the republish alone.
TEST(FarmPublisher, BrokerRestartedMidRenderGetsTheRetainedStateAgain) {
    TempDir dir;
    Broker broker(dir);
    Subscriber watcher(broker.port(), "brevant/m/items/2/progress");
    HostRun host(dir, JobText({3, 40}), Env(broker, "m"), 20);
    ASSERT_TRUE(watcher.WaitFor([](auto& messages) { return !messages.empty(); }));
    broker.Kill();
    std::this_thread::sleep_for(500ms);
    broker.Start();
    EXPECT_EQ(host.Wait(), 0) << host.Stderr();

    Subscriber late(broker.port(), "brevant/#");
    ASSERT_TRUE(late.WaitFor(Has("brevant/m/status", "shutdown")));
    ASSERT_TRUE(late.WaitFor(Has("brevant/m/items/1/progress", "\"framesDone\":3")));
    EXPECT_TRUE(late.WaitFor(Has("brevant/m/job", "\"ended\"")));
    const json status = Last(late, "brevant/m/status");
    EXPECT_GE(status["connects"].get<int>(), 2);
}

TEST(FarmPublisher, KilledHostGoesOfflineThroughTheLastWill) {
    TempDir dir;
    Broker broker(dir);
    Subscriber subscriber(broker.port(), "brevant/+/status");
    HostRun host(dir, JobText({1000}, false), Env(broker, "doomed", {{"BREVANT_FARM_KEEPALIVE", "5"}}), 50);
    ASSERT_TRUE(subscriber.WaitFor(Has("brevant/doomed/status", "\"online\"")));
    host.Kill(SIGKILL);
    EXPECT_EQ(host.Wait(), -SIGKILL);
    ASSERT_TRUE(subscriber.WaitFor(Has("brevant/doomed/status", "\"lost\""), 8s));
}

TEST(FarmPublisher, LateSubscriberSeesEveryMachineFromRetainedMessages) {
    TempDir dir;
    Broker broker(dir);
    for (const char* machine : {"a", "b"}) {
        HostRun host(dir, JobText({2}), Env(broker, machine));
        ASSERT_EQ(host.Wait(), 0) << host.Stderr();
    }
    Subscriber late(broker.port(), "brevant/#");
    for (const std::string machine : {"a", "b"}) {
        const std::string m = "brevant/" + machine;
        EXPECT_TRUE(late.WaitFor(Has(m + "/status", "\"offline\"")));
        EXPECT_TRUE(late.WaitFor(Has(m + "/job", "\"ended\"")));
        EXPECT_TRUE(late.WaitFor(Has(m + "/items/1/progress", "\"framesDone\":2")));
        EXPECT_TRUE(late.WaitFor([&](auto& all) {
            for (const Received& r : all) if (r.topic == m + "/items/1/thumbnail" && r.retained) return true;
            return false;
        }));
    }
    for (const Received& message : late.Messages()) EXPECT_TRUE(message.retained) << message.topic;
}

// ---- Security ----------------------------------------------------------------------------------

struct SecurityCase {
    const char* name;
    bool passwords;  // password file with users m1/secret1 and watcher/look, and the ACL
    const char* tls;  // the CA the broker's certificate comes from; null: no TLS
    std::map<std::string, std::string> env;  // the host's, besides broker and thumbnails
    const char* machine;
    const char* expectOnline;   // a machine whose "online" must arrive, or null
    const char* expectMessage;  // a text the host must show, or null
};

void PrintTo(const SecurityCase& c, std::ostream* out) { *out << c.name; }

class FarmSecurity : public ::testing::TestWithParam<SecurityCase> {};

TEST_P(FarmSecurity, RenderGoesOnAndOnlyTheRightStateArrives) {
    const SecurityCase& c = GetParam();
    TempDir dir;
    BrokerOptions options;
    if (c.passwords) {
        options.passwordFile = dir.File("passwords", "");
        ASSERT_EQ(std::system(("mosquitto_passwd -b " + options.passwordFile + " m1 secret1 && mosquitto_passwd -b " +
                               options.passwordFile + " watcher look").c_str()), 0);
        // Each machine writes only under its own name; the watcher reads everything.
        options.aclFile = dir.File("acl", "user watcher\ntopic read brevant/#\npattern readwrite brevant/%u/#\n");
    }
    if (c.tls != nullptr) {
        for (const char* name : {"good", "other"}) {
            ASSERT_EQ(std::system((std::string(FARM_TEST_SOURCE_DIR "/make-ca.sh ") + dir.path() + " " + name).c_str()), 0);
        }
        options.tlsName = c.tls;
    }
    Broker broker(dir, options);
    Subscriber watcher(broker.port(), "brevant/#", c.passwords ? "watcher" : "", c.passwords ? "look" : "",
                       c.tls != nullptr ? dir.path() + "/good-ca.crt" : "");
    std::map<std::string, std::string> env = Env(broker, c.machine, c.env);
    for (auto& [name, value] : env) {
        const std::string placeholder = "$DIR";
        if (value.rfind(placeholder, 0) == 0) value = dir.path() + value.substr(placeholder.size());
    }
    HostRun host(dir, JobText({3}), env);
    EXPECT_EQ(host.Wait(), 0) << host.Stderr();
    if (c.expectOnline != nullptr) {
        EXPECT_TRUE(watcher.WaitFor(Has(std::string("brevant/") + c.expectOnline + "/status", "\"shutdown\"")));
    }
    if (c.expectMessage != nullptr) {
        const std::string err = host.Stderr();
        EXPECT_NE(err.find(std::string("farm_publisher: ") + c.expectMessage), std::string::npos) << err;
        EXPECT_EQ(err.find("farm_publisher:"), err.rfind("farm_publisher:")) << "one message: " << err;
    }
    std::this_thread::sleep_for(200ms);
    for (const Received& message : watcher.Messages()) {
        EXPECT_TRUE(c.expectOnline != nullptr && message.topic.find(std::string("brevant/") + c.expectOnline + "/") == 0)
            << "unexpected " << message.topic;
    }
}

const SecurityCase kSecurityCases[] = {
    {"Password", true, nullptr, {{"BREVANT_FARM_USERNAME", "m1"}, {"BREVANT_FARM_PASSWORD", "secret1"}}, "m1", "m1", nullptr},
    {"WrongPassword", true, nullptr, {{"BREVANT_FARM_USERNAME", "m1"}, {"BREVANT_FARM_PASSWORD", "nope"}}, "m1", nullptr,
     "the broker at 127.0.0.1:"},
    // m1 claiming to be m2: the ACL keeps m2's topics untouched.
    {"AclConfinesAMachineToItsOwnTopics", true, nullptr,
     {{"BREVANT_FARM_USERNAME", "m1"}, {"BREVANT_FARM_PASSWORD", "secret1"}}, "m2", nullptr, nullptr},
    {"Tls", false, "good", {{"BREVANT_FARM_CAFILE", "$DIR/good-ca.crt"}}, "t1", "t1", nullptr},
    {"TlsWithAnotherCa", false, "good", {{"BREVANT_FARM_CAFILE", "$DIR/other-ca.crt"}}, "t1", nullptr, "TLS with 127.0.0.1:"},
    {"UnreadableCa", false, nullptr, {{"BREVANT_FARM_CAFILE", "$DIR/missing.crt"}}, "t1", nullptr,
     "BREVANT_FARM_CAFILE: cannot read"},
    {"UnknownSetting", false, nullptr, {{"BREVANT_FARM_BROKR", "x"}}, "t1", nullptr, "unknown setting BREVANT_FARM_BROKR"},
    {"BadQueueBound", false, nullptr, {{"BREVANT_FARM_QUEUE_BYTES", "12k"}}, "t1", nullptr,
     "BREVANT_FARM_QUEUE_BYTES: expected"},
};

INSTANTIATE_TEST_SUITE_P(Farm, FarmSecurity, ::testing::ValuesIn(kSecurityCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The outbox's bound ------------------------------------------------------------------------

TEST(FarmOutbox, DropsTheOldestEventsFirstAndKeepsOnlyTheLatestRetainedValue) {
    using farm_publisher::Message;
    farm_publisher::Outbox outbox(100);  // bytes of topic and payload waiting
    outbox.Push(Message{"s", std::string(19, 'a'), true, 1});  // 20
    outbox.Push(Message{"e", std::string(29, '1'), false, 1}); // 30
    outbox.Push(Message{"e", std::string(29, '2'), false, 1}); // 30
    outbox.Push(Message{"s", std::string(19, 'b'), true, 1});  // replaces the waiting "a"
    outbox.Push(Message{"e", std::string(29, '3'), false, 1}); // 110 > 100: event 1 goes
    EXPECT_EQ(outbox.Dropped().messages, 1u);
    EXPECT_EQ(outbox.WaitingBytes(), 80u);
    outbox.Push(Message{"big", std::string(72, 'x'), true, 0});  // 155 > 100: events 2 and 3 go
    EXPECT_EQ(outbox.Dropped().messages, 3u);
    EXPECT_EQ(outbox.Dropped().bytes, 90u);

    // Retained values in the order of their last change; after a reconnect every retained
    // topic's latest value comes again.
    for (int round = 0; round < 2; ++round) {
        Message taken;
        ASSERT_TRUE(outbox.Take(&taken));
        EXPECT_EQ(taken.payload, std::string(19, 'b'));
        ASSERT_TRUE(outbox.Take(&taken));
        EXPECT_EQ(taken.topic, "big");
        EXPECT_FALSE(outbox.Take(&taken));
        outbox.RequeueRetained();
    }
}

}  // namespace
