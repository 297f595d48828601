// The farm publisher's C boundary: entry point, listener callbacks and death hook. Each
// callback reads what the monitor suite offers at its event and hands the messages to the
// outbox; the link's own thread does all network work. A setting that cannot be used, or a
// broker that refuses the credentials or the TLS handshake, is told to the user once through the
// host's message call, and the publisher then stays out of the render's way. Callbacks run on
// the host's main thread; nothing escapes as an exception.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <brevant/client.hpp>
#include "Publisher.h"
#include "Link.h"
#include "Outbox.h"
#include "Platform.h"

namespace {

using brevant_client::CatchToClientCode;
using brevant_client::KeyValueList;
using brevant_client::Monitor;
using farm_publisher::FrameReading;

// Shows `text` to the user through the host's utility suite, acquired for this call.
void TellUser(const HostBasicSuite* basic, int32_t pluginId, const std::string& text) {
    brevant_client::SuiteHandle<HostUtilitySuite7> utility(basic, kHostUtilitySuite, kHostUtilitySuiteVersion);
    const std::string message = std::string(farm_publisher::kClientName) + ": " + text;
    if (utility && utility->ReportMessage != nullptr) utility->ReportMessage(pluginId, message.c_str());
}

struct FarmState {
    int32_t pluginId;
    const HostBasicSuite* basic;
    farm_publisher::Config config;
    std::shared_ptr<farm_publisher::Outbox> outbox;
    farm_publisher::Link link;
    farm_publisher::Publisher publisher;
    bool quiet = false;  // the broker refused us for good: nothing more is read or sent

    FarmState(int32_t id, const HostBasicSuite* suite, farm_publisher::Config settings,
              farm_publisher::Identity identity)
        : pluginId(id), basic(suite), config(std::move(settings)),
          outbox(std::make_shared<farm_publisher::Outbox>(config.queueBytes)),
          link(config, identity, outbox),
          publisher(config, identity, [this](farm_publisher::Message message) { outbox->Push(std::move(message)); },
                    farm_wire::WallMicros) {}

    // Whether this callback should publish; tells the user of a problem the link found.
    bool Active() {
        if (quiet) return false;
        while (std::optional<std::string> problem = link.TakeProblem()) TellUser(basic, pluginId, *problem);
        quiet = link.Failed();
        return !quiet;
    }
};

// Wakes the link once per callback, after all of its messages are in: the link takes them
// while the main thread is back at the render rather than while it is still pushing.
struct WakeLinkAtEnd {
    FarmState* state;
    ~WakeLinkAtEnd() {
        if (state != nullptr) state->outbox->Wake();
    }
};

// Owned from the entry point until the death hook; one per loaded library.
std::unique_ptr<FarmState> g_state;

// Should the library's static objects go without the death hook having run, this one goes just
// before g_state: where the link's thread cannot be waited for there, it is abandoned first.
struct AbandonLinkAtExit {
    ~AbandonLinkAtExit() {
        if (g_state && !farm_publisher::platform::kCanWaitForThreadAtExit) g_state->link.Abandon();
    }
} g_abandonLinkAtExit;

uint64_t RefconOf(const FarmState* state) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(state)); }

FarmState* StateFor(const ListenerBasicData* data) {
    if (data == nullptr || !g_state || data->refcon != RefconOf(g_state.get())) return nullptr;
    return g_state->Active() ? g_state.get() : nullptr;
}

// Calls `read(index)` for each of the item's output modules.
template <typename Read>
void EachOutputModule(const Monitor& monitor, int64_t item, Read&& read) {
    int32_t moduleCount = 0;
    monitor.OutputModuleCount(item, &moduleCount);
    for (int32_t m = 0; m < moduleCount; ++m) read(m);
}

// What cannot be read stays empty: a dashboard shows less, the render goes on.
farm_publisher::JobDescription ReadJob(const Monitor& monitor) {
    farm_publisher::JobDescription job;
    monitor.ProjectName(&job.project);
    monitor.AppVersion(&job.appVersion);
    std::vector<int64_t> ids;
    monitor.ItemIds(&ids);
    for (int64_t id : ids) {
        farm_publisher::ItemDescription item;
        item.id = id;
        monitor.RenderSettings(id, &item.renderSettings);
        EachOutputModule(monitor, id, [&](int32_t m) {
            monitor.OutputModuleSettings(id, m, &item.outputModules.emplace_back());
            std::vector<std::string> warnings;
            monitor.OutputModuleWarnings(id, m, &warnings);
            item.warnings.insert(item.warnings.end(), warnings.begin(), warnings.end());
        });
        job.items.push_back(std::move(item));
    }
    return job;
}

FrameReading ReadFrame(const Monitor& monitor, const farm_publisher::Config& config, int64_t item, int64_t frame,
                       bool thumbnailDue) {
    FrameReading reading;
    monitor.FrameProperties(item, frame, &reading.frameProperties);
    EachOutputModule(monitor, item, [&](int32_t m) {
        monitor.OutputModuleProperties(item, m, &reading.outputModuleProperties.emplace_back());
    });
    if (thumbnailDue) {
        brevant_client::Thumbnail thumbnail;
        if (monitor.FrameThumbnail(item, frame, config.thumbWidth, config.thumbHeight, &thumbnail) == kHostErrNone) {
            reading.thumbnailJpeg = std::move(thumbnail.jpeg);
        }
    }
    return reading;
}

HostErr OnJobBegin(const ListenerBasicData* data, int64_t session) {
    return CatchToClientCode([&] {
        FarmState* state = StateFor(data);
        if (state == nullptr) return kHostErrNone;
        const WakeLinkAtEnd wake{state};
        Monitor monitor(data->basicSuite, session);
        state->publisher.JobBegin(session, monitor.error() == kHostErrNone ? ReadJob(monitor)
                                                                           : farm_publisher::JobDescription{});
        return kHostErrNone;
    });
}

HostErr OnJobEnd(const ListenerBasicData* data, int64_t session) {
    return CatchToClientCode([&] {
        FarmState* state = StateFor(data);
        const WakeLinkAtEnd wake{state};
        if (state != nullptr) state->publisher.JobEnd(session);
        return kHostErrNone;
    });
}

HostErr OnJobItemStart(const ListenerBasicData* data, int64_t session, int64_t item) {
    return CatchToClientCode([&] {
        FarmState* state = StateFor(data);
        const WakeLinkAtEnd wake{state};
        if (state != nullptr) state->publisher.ItemStart(session, item);
        return kHostErrNone;
    });
}

HostErr OnJobItemUpdate(const ListenerBasicData* data, int64_t session, int64_t item, int64_t frame) {
    return CatchToClientCode([&] {
        FarmState* state = StateFor(data);
        if (state == nullptr) return kHostErrNone;
        const WakeLinkAtEnd wake{state};
        Monitor monitor(data->basicSuite, session);
        FrameReading reading;
        if (monitor.error() == kHostErrNone) {
            reading = ReadFrame(monitor, state->config, item, frame, state->publisher.ThumbnailDue(item));
        }
        state->publisher.Frame(session, item, frame, reading);
        return kHostErrNone;
    });
}

HostErr OnJobItemEnd(const ListenerBasicData* data, int64_t session, int64_t item, int32_t status) {
    return CatchToClientCode([&] {
        FarmState* state = StateFor(data);
        const WakeLinkAtEnd wake{state};
        if (state != nullptr) state->publisher.ItemEnd(session, item, status);
        return kHostErrNone;
    });
}

// The message handle stays Brevant's: read, never freed.
HostErr OnJobItemLog(const ListenerBasicData* data, int64_t session, int64_t item, uint8_t flag,
                     const HostMemoryHandle* message) {
    return CatchToClientCode([&] {
        FarmState* state = StateFor(data);
        if (state == nullptr || message == nullptr) return kHostErrNone;
        const WakeLinkAtEnd wake{state};
        std::string text;
        if (brevant_client::ReadLogMessage(data, message, &text) != kHostErrNone) return kHostErrNone;
        state->publisher.Log(session, item, flag, text);
        return kHostErrNone;
    });
}

const ListenerCallbacks kCallbacks = {
    OnJobBegin, OnJobEnd, OnJobItemStart, OnJobItemUpdate, OnJobItemEnd, OnJobItemLog,
};

HostErr FarmPublisherDeathHook(void* globalRefcon, void* /*hookRefcon*/) {
    return CatchToClientCode([&] {
        if (!g_state || globalRefcon != g_state.get()) return kHostErrBadArgument;
        const HostErr err =
            brevant_client::DeregisterClient(g_state->basic, g_state->pluginId, RefconOf(g_state.get()));
        g_state->link.Stop();
        // A problem found only now (the broker refused us during the last frames) is still told.
        g_state->Active();
        g_state.reset();
        return err;
    });
}

}  // namespace

// A setting that cannot be used is told to the user and the entry point still succeeds without
// registering anything: the render goes on without the publisher.
extern "C" BREVANT_EXPORT HostErr FarmPublisherMain(const HostBasicSuite* basic, int32_t /*majorVersion*/,
                                                    int32_t /*minorVersion*/, int32_t pluginId,
                                                    void** globalRefcon) {
    return CatchToClientCode([&] {
        if (basic == nullptr || globalRefcon == nullptr) return kHostErrBadArgument;
        if (g_state) return kHostErrGeneric;
        farm_publisher::Config config;
        std::string problem;
        if (!farm_publisher::ReadConfig([](const char* name) { return std::getenv(name); },
                                        farm_publisher::platform::EnvironmentNames(),
                                        farm_publisher::platform::HostName(), &config, &problem)) {
            TellUser(basic, pluginId, problem + "; not publishing");
            return kHostErrNone;
        }
        if (const char* noTls = farm_publisher::platform::TlsUnavailable(); noTls != nullptr && !config.caFile.empty()) {
            TellUser(basic, pluginId, std::string("BREVANT_FARM_CAFILE: ") + noTls + "; not publishing");
            return kHostErrNone;
        }
        farm_publisher::Identity identity{config.prefix, config.machine, farm_wire::WallMicros(),
                                          farm_publisher::platform::ProcessId()};
        auto state = std::make_unique<FarmState>(pluginId, basic, std::move(config), std::move(identity));
        if (!state->link.Start(&problem)) {
            TellUser(basic, pluginId, problem + "; not publishing");
            return kHostErrNone;
        }
        const HostErr err = brevant_client::RegisterClient(basic, pluginId, RefconOf(state.get()), &kCallbacks,
                                                           FarmPublisherDeathHook);
        if (err != kHostErrNone) return err;
        *globalRefcon = state.get();
        g_state = std::move(state);
        return kHostErrNone;
    });
}
