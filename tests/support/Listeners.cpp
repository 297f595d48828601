#include "support/Listeners.h"

#include "host/StandInHost.h"
#include "support/PluginFixture.h"

namespace brevant_test {
namespace {

std::map<std::pair<int32_t, uint64_t>, ListenerAction>& Actions() {
    static std::map<std::pair<int32_t, uint64_t>, ListenerAction> actions;
    return actions;
}

HostErr Record(const ListenerBasicData* data, ListenerEvent event) {
    event.pluginId = data->pluginId;
    event.refcon = data->refcon;
    Events().push_back(event);
    auto action = Actions().find({data->pluginId, data->refcon});
    if (action != Actions().end()) {
        ListenerAction copy = action->second;  // the action may replace itself
        copy(event);
    }
    return 0;
}

HostErr OnJobBegin(const ListenerBasicData* d, int64_t s) { return Record(d, {0, 0, "JobBegin", s, 0, 0, 0, 0, {}}); }
HostErr OnJobEnd(const ListenerBasicData* d, int64_t s) { return Record(d, {0, 0, "JobEnd", s, 0, 0, 0, 0, {}}); }
HostErr OnJobItemStart(const ListenerBasicData* d, int64_t s, int64_t i) {
    return Record(d, {0, 0, "JobItemStart", s, i, 0, 0, 0, {}});
}
HostErr OnJobItemUpdate(const ListenerBasicData* d, int64_t s, int64_t i, int64_t f) {
    return Record(d, {0, 0, "JobItemUpdate", s, i, f, 0, 0, {}});
}
HostErr OnJobItemEnd(const ListenerBasicData* d, int64_t s, int64_t i, int32_t status) {
    return Record(d, {0, 0, "JobItemEnd", s, i, 0, status, 0, {}});
}
HostErr OnJobItemLog(const ListenerBasicData* d, int64_t s, int64_t i, uint8_t flag, const HostMemoryHandle* message) {
    HostString text;
    std::string utf8 = message && brevant_host::ReadStringHandle(*message, &text) ? Utf8(text) : "<no handle>";
    return Record(d, {0, 0, "JobItemLog", s, i, 0, 0, flag, utf8});
}

const ListenerCallbacks kAll = {OnJobBegin, OnJobEnd, OnJobItemStart, OnJobItemUpdate, OnJobItemEnd, OnJobItemLog};

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

}  // namespace brevant_test
