// The event log's C boundary: entry point, listener callbacks and death hook. Each callback reads
// everything the monitor suite offers at its event and writes one JSON line; thumbnails are
// written next to it as JPEG files. All of it runs on the host's main thread; nothing escapes
// as an exception.
#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <brevant/client.hpp>
#include "EventLog.h"

namespace {

using brevant_client::CatchToClientCode;
using brevant_client::KeyValueList;
using brevant_client::Monitor;
using event_log::QueryError;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int64_t WallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

event_log::Origin ReadOrigin() {
    event_log::Origin origin;
    char name[256] = {};
#if defined(_WIN32)
    DWORD length = sizeof name - 1;
    if (GetComputerNameA(name, &length)) origin.machine = name;
    origin.processId = static_cast<int64_t>(_getpid());
#else
    if (gethostname(name, sizeof name - 1) == 0) origin.machine = name;
    origin.processId = static_cast<int64_t>(getpid());
#endif
    // brevant-host names the job file it renders; a host that has none leaves it unset.
    if (const char* job = std::getenv("BREVANT_JOB_FILE")) origin.jobFile = job;
    return origin;
}

struct EventLogState {
    int32_t pluginId;
    const HostBasicSuite* basic;
    File file;
    event_log::EventLog log;

    EventLogState(int32_t id, const HostBasicSuite* suite, File output, event_log::Config config)
        : pluginId(id), basic(suite), file(std::move(output)),
          log(std::move(config), ReadOrigin(),
              [this](const std::string& line) {
                  // Flushed per line, so that the transcript is complete up to a crash.
                  std::fputs(line.c_str(), file.get());
                  std::fputc('\n', file.get());
                  std::fflush(file.get());
              },
              WallMilliseconds) {}
};

// Owned from the entry point until the death hook; one per loaded library.
std::unique_ptr<EventLogState> g_state;

uint64_t RefconOf(const EventLogState* state) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(state));
}

EventLogState* StateFor(const ListenerBasicData* data) {
    if (data == nullptr || !g_state || data->refcon != RefconOf(g_state.get())) return nullptr;
    return g_state.get();
}

void Note(std::vector<QueryError>& errors, HostErr code, const char* query, int32_t index = -1) {
    if (code != kHostErrNone) errors.push_back(QueryError{query, code, index});
}

// The number on disk of an item's first frame: what a module that numbers its files starts
// from, else the render settings' start timecode.
std::optional<int64_t> StartFrame(const event_log::ItemDescription& item) {
    int64_t start = 0;
    for (const event_log::OutputModuleDescription& module : item.outputModules) {
        const std::string* text = brevant_client::FindValue(module.settings, "StartFrame");
        if (text != nullptr && brevant_client::ParseSigned(*text, &start)) return start;
    }
    const std::string* timecode = brevant_client::FindValue(item.renderSettings, "Start");
    const std::string* rate = brevant_client::FindValue(item.renderSettings, "FrameRate");
    if (timecode != nullptr && rate != nullptr && brevant_client::TimecodeToFrames(*timecode, *rate, &start)) {
        return start;
    }
    return std::nullopt;
}

event_log::JobDescription ReadJob(const Monitor& monitor) {
    event_log::JobDescription job;
    Note(job.errors, monitor.ProjectName(&job.projectName), "ProjectName");
    Note(job.errors, monitor.AppVersion(&job.appVersion), "AppVersion");
    std::vector<int64_t> ids;
    Note(job.errors, monitor.ItemIds(&ids), "ItemIds");
    for (int64_t id : ids) {
        event_log::ItemDescription item;
        item.id = id;
        Note(job.errors, monitor.RenderSettings(id, &item.renderSettings), "RenderSettings");
        int32_t moduleCount = 0;
        Note(job.errors, monitor.OutputModuleCount(id, &moduleCount), "OutputModuleCount");
        for (int32_t m = 0; m < moduleCount; ++m) {
            event_log::OutputModuleDescription module;
            Note(job.errors, monitor.OutputModuleSettings(id, m, &module.settings), "OutputModuleSettings", m);
            Note(job.errors, monitor.OutputModuleWarnings(id, m, &module.warnings), "OutputModuleWarnings", m);
            item.outputModules.push_back(std::move(module));
        }
        item.startFrame = StartFrame(item);
        job.items.push_back(std::move(item));
    }
    return job;
}

// Writes the JPEG; false with the reason when the file cannot be made.
bool WriteThumbnail(const std::string& folder, const std::string& name, const std::vector<uint8_t>& jpeg,
                    std::string* path) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::string target = (std::filesystem::path(folder) / name).string();
    File file(std::fopen(target.c_str(), "wb"));
    if (!file) return false;
    const bool written = jpeg.empty() || std::fwrite(jpeg.data(), 1, jpeg.size(), file.get()) == jpeg.size();
    const bool closed = std::fclose(file.release()) == 0;
    *path = target;
    return written && closed;
}

event_log::FrameReading ReadFrame(const Monitor& monitor, EventLogState& state, int64_t item, int64_t frame,
                                  bool thumbnailDue) {
    event_log::FrameReading reading;
    Note(reading.errors, monitor.FrameProperties(item, frame, &reading.frameProperties), "FrameProperties");
    int32_t moduleCount = 0;
    Note(reading.errors, monitor.OutputModuleCount(item, &moduleCount), "OutputModuleCount");
    for (int32_t m = 0; m < moduleCount; ++m) {
        KeyValueList properties;
        Note(reading.errors, monitor.OutputModuleProperties(item, m, &properties), "OutputModuleProperties", m);
        reading.outputModuleProperties.push_back(std::move(properties));
    }
    if (thumbnailDue) {
        const event_log::Config& config = state.log.config();
        brevant_client::Thumbnail thumbnail;
        const HostErr err =
            monitor.FrameThumbnail(item, frame, config.thumbMaxWidth, config.thumbMaxHeight, &thumbnail);
        Note(reading.errors, err, "FrameThumbnail");
        if (err == kHostErrNone) {
            event_log::ThumbnailRecord record;
            const std::string name =
                event_log::ThumbnailFileName(state.log.jobId(), item, state.log.FrameNumber(item, frame), frame);
            if (WriteThumbnail(event_log::ThumbnailFolder(config), name, thumbnail.jpeg, &record.path)) {
                record.width = thumbnail.width;
                record.height = thumbnail.height;
                record.bytes = thumbnail.jpeg.size();
                reading.thumbnail = std::move(record);
            } else {
                Note(reading.errors, kHostErrGeneric, "WriteThumbnail");
            }
        }
    }
    return reading;
}

HostErr OnJobBegin(const ListenerBasicData* data, int64_t session) {
    return CatchToClientCode([&] {
        EventLogState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        Monitor monitor(data->basicSuite, session);
        event_log::JobDescription job;
        if (HostErr err = monitor.error()) {
            job.errors.push_back(QueryError{"AcquireSuites", err, -1});
        } else {
            job = ReadJob(monitor);
        }
        state->log.JobBegin(session, job);
        return kHostErrNone;
    });
}

HostErr OnJobEnd(const ListenerBasicData* data, int64_t session) {
    return CatchToClientCode([&] {
        EventLogState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        state->log.JobEnd(session);
        return kHostErrNone;
    });
}

HostErr OnJobItemStart(const ListenerBasicData* data, int64_t session, int64_t item) {
    return CatchToClientCode([&] {
        EventLogState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        state->log.ItemStart(session, item);
        return kHostErrNone;
    });
}

HostErr OnJobItemUpdate(const ListenerBasicData* data, int64_t session, int64_t item, int64_t frame) {
    return CatchToClientCode([&] {
        EventLogState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        const bool thumbnailDue = state->log.CountFrame(item);
        Monitor monitor(data->basicSuite, session);
        event_log::FrameReading reading;
        if (HostErr err = monitor.error()) {
            reading.errors.push_back(QueryError{"AcquireSuites", err, -1});
        } else {
            reading = ReadFrame(monitor, *state, item, frame, thumbnailDue);
        }
        state->log.Update(session, item, frame, reading);
        return kHostErrNone;
    });
}

HostErr OnJobItemEnd(const ListenerBasicData* data, int64_t session, int64_t item, int32_t status) {
    return CatchToClientCode([&] {
        EventLogState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        state->log.ItemEnd(session, item, status);
        return kHostErrNone;
    });
}

// The message handle stays Brevant's: read, never freed.
HostErr OnJobItemLog(const ListenerBasicData* data, int64_t session, int64_t item, uint8_t flag,
                     const HostMemoryHandle* message) {
    return CatchToClientCode([&] {
        EventLogState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        std::string text;
        if (HostErr err = brevant_client::ReadLogMessage(data, message, &text)) return err;
        state->log.Log(session, item, flag, text);
        return kHostErrNone;
    });
}

const ListenerCallbacks kCallbacks = {
    OnJobBegin, OnJobEnd, OnJobItemStart, OnJobItemUpdate, OnJobItemEnd, OnJobItemLog,
};

HostErr EventLogDeathHook(void* globalRefcon, void* /*hookRefcon*/) {
    return CatchToClientCode([&] {
        if (!g_state || globalRefcon != g_state.get()) return kHostErrBadArgument;
        const HostErr err = brevant_client::DeregisterClient(g_state->basic, g_state->pluginId, RefconOf(g_state.get()));
        g_state.reset();
        return err;
    });
}

}  // namespace

extern "C" BREVANT_EXPORT HostErr EventLogMain(const HostBasicSuite* basic,
                                                                     int32_t /*majorVersion*/,
                                                                     int32_t /*minorVersion*/, int32_t pluginId,
                                                                     void** globalRefcon) {
    return CatchToClientCode([&] {
        if (basic == nullptr || globalRefcon == nullptr) return kHostErrBadArgument;
        if (g_state) {
            // A second entry into a loaded library keeps the first registration.
            std::fputs("event_log: already started in this process; a client is loaded once\n", stderr);
            return kHostErrGeneric;
        }
        event_log::Config config;
        std::string problem;
        if (!event_log::ReadConfig([](const char* name) { return std::getenv(name); }, &config, &problem)) {
            std::fprintf(stderr, "event_log: %s\n", problem.c_str());
            return kHostErrBadArgument;
        }
        const std::filesystem::path parent = std::filesystem::path(config.logPath).parent_path();
        std::error_code madeParent;
        if (!parent.empty()) std::filesystem::create_directories(parent, madeParent);
        // Appended to: a log of earlier jobs is never lost; each job starts with its JobBegin.
        File file(std::fopen(config.logPath.c_str(), "a"));
        if (!file) {
            std::fprintf(stderr, "event_log: BREVANT_EVENT_LOG: cannot write %s: %s\n", config.logPath.c_str(),
                         std::strerror(errno));
            return kHostErrGeneric;
        }
        const std::string logPath = config.logPath;
        auto state = std::make_unique<EventLogState>(pluginId, basic, std::move(file), std::move(config));
        const HostErr err =
            brevant_client::RegisterClient(basic, pluginId, RefconOf(state.get()), &kCallbacks, EventLogDeathHook);
        if (err != kHostErrNone) return err;
        // Where the log goes is never a surprise.
        std::error_code absoluteError;
        std::fprintf(stderr, "event_log: appending to %s\n",
                     std::filesystem::absolute(logPath, absoluteError).string().c_str());
        *globalRefcon = state.get();
        g_state = std::move(state);
        return kHostErrNone;
    });
}
