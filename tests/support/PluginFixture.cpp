#include "support/PluginFixture.h"

#include <algorithm>
#include <map>

#include <brevant/client.hpp>

namespace brevant_test {
namespace {

std::map<std::pair<int32_t, uint64_t>, ListenerAction>& Actions() {
    static std::map<std::pair<int32_t, uint64_t>, ListenerAction> actions;
    return actions;
}

HostErr Record(const ListenerBasicData* d, const char* name, int64_t session, int64_t item = 0, int64_t frame = 0,
               int32_t status = 0, uint8_t flag = 0, std::string text = {}) {
    const ListenerEvent event{d->pluginId, d->refcon, name, session, item, frame, status, flag, std::move(text)};
    Events().push_back(event);
    auto action = Actions().find({d->pluginId, d->refcon});
    if (action != Actions().end()) {
        ListenerAction copy = action->second;  // the action may replace itself
        copy(event);
    }
    return 0;
}

const ListenerCallbacks kAll = {
    [](const ListenerBasicData* d, int64_t s) { return Record(d, "JobBegin", s); },
    [](const ListenerBasicData* d, int64_t s) { return Record(d, "JobEnd", s); },
    [](const ListenerBasicData* d, int64_t s, int64_t i) { return Record(d, "JobItemStart", s, i); },
    [](const ListenerBasicData* d, int64_t s, int64_t i, int64_t f) { return Record(d, "JobItemUpdate", s, i, f); },
    [](const ListenerBasicData* d, int64_t s, int64_t i, int32_t status) {
        return Record(d, "JobItemEnd", s, i, 0, status);
    },
    [](const ListenerBasicData* d, int64_t s, int64_t i, uint8_t flag, const HostMemoryHandle* message) {
        HostString text;
        const bool read = message && brevant_host::ReadStringHandle(*message, &text);
        return Record(d, "JobItemLog", s, i, 0, 0, flag, read ? Utf8(text) : "<no handle>");
    },
};

}  // namespace

std::vector<ListenerEvent>& Events() {
    static std::vector<ListenerEvent> events;
    return events;
}

std::vector<std::string> EventTrace() {
    std::vector<std::string> trace;
    for (const auto& e : Events()) {
        trace.push_back(std::to_string(e.pluginId) + "/" + std::to_string(e.refcon) + ":" + e.event);
    }
    return trace;
}

void ClearListeners() {
    Events().clear();
    Actions().clear();
}

void SetAction(int32_t pluginId, uint64_t refcon, ListenerAction action) {
    Actions()[{pluginId, refcon}] = std::move(action);
}

const ListenerCallbacks& AllCallbacks() { return kAll; }

std::vector<std::string> LinesOf(const std::string& tag) {
    std::vector<std::string> lines;
    for (const auto& line : brevant_host::RecordedLog()) {
        if (tag.empty()) lines.push_back("[" + line.tag + "] " + line.function + ": " + line.message);
        if (line.tag == tag) lines.push_back(line.function + ": " + line.message);
    }
    return lines;
}

bool HasLine(const std::string& tag, const std::string& function, const std::string& message) {
    const auto lines = LinesOf(tag);
    return std::find(lines.begin(), lines.end(), function + ": " + message) != lines.end();
}

std::string Utf8(const HostString& text) { return brevant_client::Utf16ToUtf8(text.data(), text.size()); }

std::vector<std::string> KeysOf(const Pairs& pairs) {
    std::vector<std::string> keys;
    for (const auto& p : pairs) keys.push_back(p.first);
    return keys;
}

std::string ValueOf(const Pairs& pairs, const std::string& key) {
    for (const auto& p : pairs) {
        if (p.first == key) return p.second;
    }
    return "<absent>";
}

std::unique_ptr<brevant_host::Job> MakeJob(const std::string& json) {
    std::string error;
    auto job = brevant_host::ParseJob(json, "test.json", &error);
    EXPECT_NE(job, nullptr) << error;
    return job;
}

HostFrameUpdate FrameDone(int32_t frameId, int32_t elapsed, int32_t framesTotal) {
    HostFrameUpdate update{};
    update.updateStatus = 3;
    update.frameId = frameId;
    update.elapsedTime = elapsed;
    update.framesTotal = framesTotal;
    return update;
}

std::string TakeString(HostMemoryHandle handle) {
    HostString text;
    EXPECT_TRUE(brevant_host::ReadStringHandle(handle, &text));
    const void* table = nullptr;
    brevant_host::BasicSuite()->AcquireSuite(kHostMemorySuite, kHostMemorySuiteVersion, &table);
    static_cast<const HostMemorySuite1*>(table)->MemFree(handle);
    brevant_host::BasicSuite()->ReleaseSuite(kHostMemorySuite, kHostMemorySuiteVersion);
    return Utf8(text);
}

void PluginFixture::SetUp() {
    brevant_host::ResetHost();
    brevant_host::SetMainThread();
    ClearListeners();
    brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
    StartPlugin();
}

void PluginFixture::StartPlugin() {
    std::string error;
    ASSERT_TRUE(brevant_host::LoadPlugin(BREVANT_PLUGIN_PATH, &plugin_, &error)) << error;
    ASSERT_EQ(plugin_.entryResult, 0);
    const void* table = nullptr;
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    ASSERT_EQ(basic->AcquireSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &table), 0);
    suite_ = static_cast<const BrevantMonitorSuite1*>(table);
    ASSERT_EQ(basic->AcquireSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion, &table), 0);
    provider_ = static_cast<const BrevantProviderSuite1*>(table);
    suitesHeld_ = true;
}

void PluginFixture::StopPlugin() {
    if (suitesHeld_) {
        brevant_host::BasicSuite()->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
        brevant_host::BasicSuite()->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
        suitesHeld_ = false;
    }
    // The plug-in object holds nothing of the host's between calls: its destructor's line is
    // what shows that DeathHook ended it.
    brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
    auto destroyed = [] {
        const auto lines = LinesOf("BrevantPlugin");
        return std::count_if(lines.begin(), lines.end(), [](const auto& line) { return line.rfind("dtor: ", 0) == 0; });
    };
    const auto before = destroyed();
    const int ran = brevant_host::RunDeathHooks();
    EXPECT_EQ(destroyed() - before, ran) << "plug-in objects destroyed by the death hooks";
}

void PluginFixture::TearDown() {
    StopPlugin();
    for (const auto& leak : brevant_host::LeakReport()) ADD_FAILURE() << "leak: " << leak;
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
}

int64_t PluginFixture::LastSessionId() {
    int64_t id = -1;
    for (const auto& line : brevant_host::RecordedLog()) {
        if (line.tag == "BrevantPlugin" && line.function == "SessionCreate") id = std::stoll(line.message.substr(3));
    }
    return id;
}

std::shared_ptr<RQSession> PluginFixture::StartSession() {
    std::shared_ptr<RQSession> session;
    EXPECT_EQ(provider_->Brevant_StartSession(&session), 0);
    return session;
}

std::shared_ptr<RQSession> PluginFixture::BeginJob(const HostString& name, bool end) {
    auto session = StartSession();
    session->DescribeBegin(name);
    if (end) session->DescribeEnd();
    return session;
}

}  // namespace brevant_test
