#include "farm/dashboard/Farm.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <set>
#include <vector>

namespace dashboard {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrameIntervals = 31;  // recent frame intervals kept for the median

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json TextOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

bool Ended(const std::string& state) { return state == "done" || state == "stopped" || state == "failed"; }

Json SettingsJson(const std::vector<Setting>& settings) {
    Json out = Json::array();
    for (const auto& setting : settings) out.push_back({{"key", setting.key}, {"value", setting.value}});
    return out;
}

Json ProgressJson(const Progress& progress) {
    Json outputs = Json::array();
    for (const auto& output : progress.outputs) {
        // The publisher's own verdict, or ours from its figures when it gave none.
        bool willFill = output.willFill || (output.projectedBytes > output.bytes &&
                                            output.projectedBytes - output.bytes > output.freeBytes && output.freeBytes > 0);
        outputs.push_back({{"path", output.path},
                           {"disk", output.disk},
                           {"bytes", output.bytes},
                           {"projectedBytes", output.projectedBytes},
                           {"hostEstimateBytes", output.hostEstimateBytes},
                           {"freeBytes", output.freeBytes},
                           {"willFill", willFill}});
    }
    return {{"session", progress.session},
            {"frameId", progress.frameId},
            {"framesDone", progress.framesDone},
            {"framesTotal", progress.framesTotal},
            {"elapsedMs", progress.elapsedMs},
            {"remainingMs", progress.remainingMs ? Json(*progress.remainingMs) : Json()},
            {"fps", progress.fps},
            {"ts", progress.ts},
            {"time", TextOrNull(progress.time)},
            {"outputs", std::move(outputs)}};
}

// Prometheus label values escape backslash, double quote and line feed.
std::string Label(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

}  // namespace

std::string IsoNow() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

struct Farm::LogLine {
    std::string time, message;
};

// What arrives per item besides the job's description: progress, thumbnail, log lines, and the
// dashboard's own observations (times, frame intervals, stall and disk warnings).
struct Farm::LiveItem {
    std::optional<Progress> progress;
    std::shared_ptr<const std::string> thumbnail;
    uint64_t thumbnailVersion = 0;
    std::deque<LogLine> logs;
    std::deque<double> intervalsMs;
    Clock::time_point lastFrameAt{};
    bool stalled = false;
    std::set<std::string> fillNotified;  // output paths already reported as filling their disk
    std::string startedAt, endedAt;

    double MedianIntervalMs() const {
        std::vector<double> sorted(intervalsMs.begin(), intervalsMs.end());
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

struct Farm::MachineState {
    std::string name;
    std::optional<Status> status;
    std::string lastSeen;
    std::optional<JobMessage> job;
    int64_t jobId = 0;
    bool jobFinished = false;  // written to the history as ended in this process
    std::map<int64_t, LiveItem> items;

    bool Online() const { return status && status->state == "online"; }
    bool Rendering() const { return job && job->state == "rendering"; }
    std::string Project() const { return job ? job->project : std::string(); }
};

Farm::Farm(FarmOptions options, EventHub& hub, Notifier& notifier, History& history)
    : options_(std::move(options)), hub_(hub), notifier_(notifier), history_(history),
      lastThumbnailVersion_(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch()).count())) {}

Farm::~Farm() = default;

void Farm::Drop(DropReason reason) { ++dropped_[static_cast<int>(reason)]; }

uint64_t Farm::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t total = 0;
    for (auto count : dropped_) total += count;
    return total;
}

void Farm::SetBrokerConnected(bool connected) { brokerConnected_ = connected; }

void Farm::OnMessage(std::string_view topicText, std::string_view payload) {
    // Parsing needs no lock: a flood of bad messages does not hold up the readers.
    std::optional<Topic> topic = ParseTopic(options_.prefix, topicText, options_.limits);
    Parsed parsed = topic ? ParsePayload(*topic, payload, options_.limits) : Parsed(DropReason::Topic);
    std::lock_guard<std::mutex> lock(mutex_);
    ++received_;
    if (auto* reason = std::get_if<DropReason>(&parsed)) return Drop(*reason);
    Message& message = std::get<Message>(parsed);
    auto found = machines_.find(topic->machine);
    if (found == machines_.end()) {
        if (std::holds_alternative<Cleared>(message)) return;
        if (machines_.size() >= options_.maxMachines) return Drop(DropReason::Capacity);
        found = machines_.emplace(topic->machine, std::make_unique<MachineState>()).first;
        found->second->name = topic->machine;
    }
    MachineState& machine = *found->second;
    machine.lastSeen = IsoNow();
    try {
        if (std::holds_alternative<Cleared>(message)) {
            Clear(machine, *topic);
        } else if (auto* status = std::get_if<Status>(&message)) {
            ApplyStatus(machine, *status);
        } else if (auto* job = std::get_if<JobMessage>(&message)) {
            ApplyJob(machine, std::move(*job));
        } else if (auto* progress = std::get_if<Progress>(&message)) {
            ApplyProgress(machine, std::move(*progress));
        } else if (auto* event = std::get_if<Event>(&message)) {
            ApplyEvent(machine, *event);
        } else if (auto* thumbnail = std::get_if<dashboard::Thumbnail>(&message)) {
            ApplyThumbnail(machine, topic->item, std::move(thumbnail->jpeg));
        }
    } catch (const std::exception& error) {
        // The history could not be written (disk full, database locked): the live state is
        // kept and the service goes on.
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
    }
}

void Farm::ApplyStatus(MachineState& machine, const Status& status) {
    bool wasOnline = machine.Online();
    machine.status = status;
    if (wasOnline && !machine.Online() && machine.Rendering()) {
        notifier_.Post("machineOffline",
                       "Machine " + machine.name + " went offline (" + (status.reason.empty() ? "no reason" : status.reason) +
                           ") while rendering " + machine.job->project,
                       {{"machine", machine.name}, {"project", machine.job->project}, {"jobId", machine.jobId},
                        {"reason", status.reason}});
    }
    PublishMachine(machine);
}

void Farm::ApplyJob(MachineState& machine, JobMessage job) {
    const bool isNew = !machine.job || machine.job->session != job.session || machine.job->startedAt != job.startedAt;
    if (isNew) {
        if (machine.job && machine.Rendering() && !machine.jobFinished) FinishJob(machine, "lost");
        // Progress of this session may have arrived before its job (retained topics come in
        // any order after a restart); everything else belongs to an earlier job.
        for (auto it = machine.items.begin(); it != machine.items.end();) {
            bool ours = it->second.progress && it->second.progress->session == job.session;
            it = ours ? std::next(it) : machine.items.erase(it);
        }
    }
    std::map<int64_t, std::string> before;
    if (!isNew)
        for (const auto& item : machine.job->items) before[item.item] = item.state;
    const std::string when = job.time.empty() ? IsoNow() : job.time;
    for (const auto& item : job.items) {
        auto previous = before.find(item.item);
        bool observed = previous != before.end();
        if (observed && previous->second == item.state) continue;
        LiveItem& live = machine.items[item.item];
        if (item.state == "rendering" && live.startedAt.empty()) live.startedAt = when;
        if (Ended(item.state) && live.endedAt.empty()) live.endedAt = when;
        if (observed && (item.state == "failed" || item.state == "stopped")) {
            notifier_.Post(item.state == "failed" ? "itemFailed" : "itemStopped",
                           "Item " + item.name + " of " + job.project + " " + item.state + " on " + machine.name,
                           {{"machine", machine.name}, {"project", job.project}, {"item", item.item}, {"name", item.name},
                            {"state", item.state}});
        }
    }
    const bool endedNow = !isNew && machine.job->state == "rendering" && job.state == "ended";
    machine.job = std::move(job);
    if (isNew) {
        machine.jobId = history_.Begin(Record(machine, ""));
        // A job that ended while the service was down is in the history already: written then,
        // with the times seen then, it is not written again.
        auto stored = machine.job->state == "ended" ? history_.Get(machine.jobId) : std::nullopt;
        machine.jobFinished = stored && stored->state == "ended";
    }
    if (machine.job->state == "ended" && !machine.jobFinished) {
        const Counts& counts = machine.job->counts;
        std::string outcome = counts.failed > 0 ? "failed" : counts.stopped > 0 ? "stopped" : "done";
        FinishJob(machine, outcome);
        if (endedNow) {
            notifier_.Post("jobDone",
                           "Job " + machine.job->project + " on " + machine.name + " ended: " + std::to_string(counts.done) +
                               " done, " + std::to_string(counts.failed) + " failed, " + std::to_string(counts.stopped) +
                               " stopped",
                           {{"machine", machine.name}, {"project", machine.job->project}, {"jobId", machine.jobId},
                            {"outcome", outcome},
                            {"counts", {{"done", counts.done}, {"stopped", counts.stopped}, {"failed", counts.failed},
                                        {"notStarted", counts.notStarted}}}});
        }
    }
    PublishMachine(machine);
}

void Farm::FinishJob(MachineState& machine, const std::string& outcome) {
    JobRecord record = Record(machine, outcome);
    record.state = "ended";
    if (record.endedAt.empty()) record.endedAt = IsoNow();
    machine.jobFinished = true;
    history_.Finish(record);
    hub_.Publish("history", Dump(ToJson(record, false)));
}

void Farm::ApplyProgress(MachineState& machine, Progress progress) {
    LiveItem& live = machine.items[progress.item];
    const Clock::time_point now = Clock::now();
    const bool sameRun = live.progress && live.progress->session == progress.session &&
                         live.progress->framesDone < progress.framesDone;
    if (sameRun) {
        live.intervalsMs.push_back(std::chrono::duration<double, std::milli>(now - live.lastFrameAt).count());
        if (live.intervalsMs.size() > kFrameIntervals) live.intervalsMs.pop_front();
    } else if (!live.progress || live.progress->session != progress.session) {
        live.intervalsMs.clear();
    }
    live.lastFrameAt = now;
    const bool wasStalled = live.stalled;
    live.stalled = false;
    for (const auto& output : progress.outputs) {
        if (!output.willFill || !live.fillNotified.insert(output.path).second) continue;
        notifier_.Post("diskWillFill",
                       "Disk " + output.disk + " on " + machine.name + " will fill before " + output.path + " is written",
                       {{"machine", machine.name}, {"project", machine.Project()}, {"item", progress.item},
                        {"path", output.path}, {"disk", output.disk}, {"projectedBytes", output.projectedBytes},
                        {"bytes", output.bytes}, {"freeBytes", output.freeBytes}});
    }
    live.progress = std::move(progress);
    if (wasStalled) return PublishMachine(machine);
    auto itemEta = ItemEtaMs(live);
    auto jobEta = JobEtaMs(machine);
    hub_.Publish("progress", Dump({{"machine", machine.name},
                                   {"item", live.progress->item},
                                   {"lastSeen", machine.lastSeen},
                                   {"etaMs", itemEta ? Json(*itemEta) : Json()},
                                   {"jobEtaMs", jobEta ? Json(*jobEta) : Json()},
                                   {"progress", ProgressJson(*live.progress)}}));
}

void Farm::ApplyEvent(MachineState& machine, const Event& event) {
    if (event.event != "JobItemLog" || event.item < 1 || event.item > options_.limits.items) return;
    LiveItem& live = machine.items[event.item];
    const std::string time = event.time.empty() ? IsoNow() : event.time;
    live.logs.push_back({time, event.message});
    if (live.logs.size() > options_.logLines) live.logs.pop_front();
    hub_.Publish("log", Dump({{"machine", machine.name},
                              {"item", event.item},
                              {"lastSeen", machine.lastSeen},
                              {"time", time},
                              {"message", event.message}}));
}

void Farm::ApplyThumbnail(MachineState& machine, int64_t item, std::string jpeg) {
    LiveItem& live = machine.items[item];
    live.thumbnail = std::make_shared<const std::string>(std::move(jpeg));
    live.thumbnailVersion = ++lastThumbnailVersion_;
    hub_.Publish("thumbnail", Dump({{"machine", machine.name},
                                    {"item", item},
                                    {"lastSeen", machine.lastSeen},
                                    {"version", live.thumbnailVersion}}));
}

void Farm::Clear(MachineState& machine, const Topic& topic) {
    switch (topic.kind) {
        case TopicKind::Status: {
            // The publisher withdrew the machine: it leaves the page (its history stays).
            hub_.Publish("removed", Dump({{"machine", machine.name}}));
            machines_.erase(machine.name);
            return;
        }
        case TopicKind::Job:
            machine.job.reset();
            machine.jobId = 0;
            machine.items.clear();
            break;
        case TopicKind::Progress:
            if (auto it = machine.items.find(topic.item); it != machine.items.end()) it->second.progress.reset();
            break;
        case TopicKind::Thumbnail:
            if (auto it = machine.items.find(topic.item); it != machine.items.end()) it->second.thumbnail.reset();
            break;
        case TopicKind::Events: break;
    }
    PublishMachine(machine);
}

void Farm::Tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    for (auto& [name, machinePointer] : machines_) {
        MachineState& machine = *machinePointer;
        if (!machine.Online() || !machine.Rendering()) continue;
        bool changed = false;
        for (const auto& item : machine.job->items) {
            if (item.state != "rendering") continue;
            auto found = machine.items.find(item.item);
            if (found == machine.items.end()) continue;
            LiveItem& live = found->second;
            if (live.stalled || !live.progress || live.progress->session != machine.job->session || live.intervalsMs.size() < 3)
                continue;
            double medianMs = live.MedianIntervalMs();
            double limitMs = std::max(options_.stallFactor * medianMs, static_cast<double>(options_.stallFloor.count()));
            double silentMs = std::chrono::duration<double, std::milli>(now - live.lastFrameAt).count();
            if (silentMs <= limitMs) continue;
            live.stalled = true;
            changed = true;
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", silentMs / 1000.0);
            notifier_.Post("itemStalled",
                           "Item " + item.name + " of " + machine.job->project + " on " + machine.name +
                               " stalled: no frame for " + seconds + " s",
                           {{"machine", machine.name}, {"project", machine.job->project}, {"item", item.item},
                            {"name", item.name}, {"silentMs", static_cast<int64_t>(silentMs)},
                            {"medianFrameMs", static_cast<int64_t>(medianMs)}});
        }
        if (changed) PublishMachine(machine);
    }
}

const Farm::LiveItem* Farm::Live(const MachineState& machine, int64_t item) const {
    auto found = machine.items.find(item);
    return found == machine.items.end() ? nullptr : &found->second;
}

std::optional<int64_t> Farm::ItemEtaMs(const LiveItem& live) const {
    if (!live.progress) return std::nullopt;
    const Progress& p = *live.progress;
    if (p.framesTotal > 0 && p.framesDone >= p.framesTotal) return 0;
    if (p.remainingMs) return *p.remainingMs;
    if (p.fps > 0 && p.framesTotal > p.framesDone) return static_cast<int64_t>((p.framesTotal - p.framesDone) / p.fps * 1000.0);
    return std::nullopt;
}

// The rendering item's remaining time, plus, for each queued item, the mean time the job's
// finished items took (or the rendering item's whole time when none has finished).
std::optional<int64_t> Farm::JobEtaMs(const MachineState& machine) const {
    if (!machine.Rendering()) return std::nullopt;
    int64_t remaining = 0, finishedMs = 0, finished = 0, queued = 0, currentWholeMs = -1;
    for (const auto& item : machine.job->items) {
        const LiveItem* live = Live(machine, item.item);
        const bool hasProgress = live && live->progress && live->progress->session == machine.job->session;
        if (item.state == "queued") {
            ++queued;
        } else if (item.state == "rendering") {
            auto eta = hasProgress ? ItemEtaMs(*live) : std::nullopt;
            if (!eta) return std::nullopt;
            remaining += *eta;
            currentWholeMs = live->progress->elapsedMs + *eta;
        } else if (item.state == "done" && hasProgress) {
            finishedMs += live->progress->elapsedMs;
            ++finished;
        }
    }
    if (queued == 0) return remaining;
    int64_t perItem = finished > 0 ? finishedMs / finished : currentWholeMs;
    if (perItem < 0) return std::nullopt;
    return remaining + queued * perItem;
}

JobRecord Farm::Record(const MachineState& machine, const std::string& outcome) const {
    const JobMessage& job = *machine.job;
    JobRecord record;
    record.id = machine.jobId;
    record.machine = machine.name;
    record.session = job.session;
    record.project = job.project;
    record.appVersion = job.appVersion;
    record.startedAt = job.startedAt;
    record.endedAt = job.endedAt;
    record.state = job.state;
    record.outcome = outcome;
    record.done = job.counts.done;
    record.stopped = job.counts.stopped;
    record.failed = job.counts.failed;
    record.notStarted = job.counts.notStarted;
    for (const auto& item : job.items) {
        ItemRecord out{item.item, item.name, item.state, {}, {}, 0, 0};
        if (const LiveItem* live = Live(machine, item.item)) {
            out.startedAt = live->startedAt;
            out.endedAt = live->endedAt;
            if (live->progress && live->progress->session == job.session) {
                out.framesDone = live->progress->framesDone;
                out.framesTotal = live->progress->framesTotal;
            }
        }
        record.items.push_back(std::move(out));
    }
    return record;
}

Json Farm::ItemJson(const MachineState& machine, const ItemDescription& item) const {
    const LiveItem* live = Live(machine, item.item);
    const bool hasProgress = live && live->progress && live->progress->session == machine.job->session;
    Json logs = Json::array();
    if (live)
        for (const auto& line : live->logs) logs.push_back({{"time", line.time}, {"message", line.message}});
    Json modules = Json::array();
    for (const auto& module : item.outputModules) modules.push_back(SettingsJson(module));
    auto eta = hasProgress ? ItemEtaMs(*live) : std::nullopt;
    return {{"item", item.item},
            {"name", item.name},
            {"state", item.state},
            {"stalled", live && live->stalled},
            {"startedAt", live ? TextOrNull(live->startedAt) : Json()},
            {"endedAt", live ? TextOrNull(live->endedAt) : Json()},
            {"warnings", item.warnings},
            {"renderSettings", SettingsJson(item.renderSettings)},
            {"outputModules", std::move(modules)},
            {"progress", hasProgress ? ProgressJson(*live->progress) : Json()},
            {"etaMs", eta ? Json(*eta) : Json()},
            {"thumbnail", live && live->thumbnail ? Json(live->thumbnailVersion) : Json()},
            {"logs", std::move(logs)}};
}

Json Farm::JobJson(const MachineState& machine, bool withItems) const {
    Json job = ToJson(Record(machine, ""), false);
    if (machine.jobFinished) {
        const Counts& counts = machine.job->counts;
        job["outcome"] = counts.failed > 0 ? "failed" : counts.stopped > 0 ? "stopped" : "done";
    }
    auto eta = JobEtaMs(machine);
    job["etaMs"] = eta ? Json(*eta) : Json();
    if (withItems) {
        job["items"] = Json::array();
        for (const auto& item : machine.job->items) job["items"].push_back(ItemJson(machine, item));
    }
    return job;
}

Json Farm::MachineJson(const MachineState& machine) const {
    const Status empty;
    const Status& status = machine.status ? *machine.status : empty;
    return {{"name", machine.name},
            {"state", machine.Online() ? "online" : machine.status ? "offline" : "unknown"},
            {"reason", TextOrNull(status.reason)},
            {"client", TextOrNull(status.client)},
            {"version", TextOrNull(status.version)},
            {"pid", status.pid},
            {"startedAt", TextOrNull(status.startedAt)},
            {"lastSeen", machine.lastSeen},
            {"dropped", {{"messages", status.droppedMessages}, {"bytes", status.droppedBytes}}},
            {"job", machine.job ? JobJson(machine, true) : Json()}};
}

void Farm::PublishMachine(const MachineState& machine) { hub_.Publish("machine", Dump(MachineJson(machine))); }

Json Farm::Machines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Json list = Json::array();
    for (const auto& entry : machines_) list.push_back(MachineJson(*entry.second));
    return {{"machines", std::move(list)}};
}

std::optional<Json> Farm::Machine(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = machines_.find(name);
    if (found == machines_.end()) return std::nullopt;
    return MachineJson(*found->second);
}

Json Farm::Jobs(int pastLimit, int pastOffset) const {
    Json current = Json::array();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : machines_)
            if (entry.second->job && !entry.second->jobFinished) current.push_back(JobJson(*entry.second, false));
    }
    Json past = Json::array();
    for (const auto& record : history_.Past(pastLimit, pastOffset)) past.push_back(ToJson(record, false));
    return {{"current", std::move(current)}, {"past", std::move(past)}};
}

std::optional<Json> Farm::Job(int64_t id) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : machines_)
            if (entry.second->job && !entry.second->jobFinished && entry.second->jobId == id)
                return JobJson(*entry.second, true);
    }
    // A finished job is served from the history, the same before and after a restart.
    if (auto record = history_.Get(id)) return ToJson(*record, true);
    return std::nullopt;
}

std::shared_ptr<const std::string> Farm::Thumbnail(const std::string& machine, int64_t item) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = machines_.find(machine);
    if (found == machines_.end()) return nullptr;
    const LiveItem* live = Live(*found->second, item);
    return live ? live->thumbnail : nullptr;
}

std::string Farm::SnapshotLocked() const {
    Json machines = Json::array();
    for (const auto& entry : machines_) machines.push_back(MachineJson(*entry.second));
    Json history = Json::array();
    for (const auto& record : history_.Past(options_.historyOnPage, 0)) history.push_back(ToJson(record, false));
    // "retry" tells the browser to reconnect after 3 s when the stream breaks.
    return "retry: 3000\n\n" + EventHub::Format("snapshot", Dump({{"machines", std::move(machines)}, {"history", std::move(history)}}));
}

std::shared_ptr<EventHub::Client> Farm::Attach() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hub_.Attach(SnapshotLocked());
}

void Farm::Resync(EventHub::Client& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    hub_.Reset(client, SnapshotLocked());
}

std::string Farm::Metrics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    auto family = [&out](const char* name, const char* type, const char* help) {
        out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
    };
    auto sample = [&out](const char* name, const std::string& labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        out.append(name).append(labels.empty() ? "" : "{" + labels + "}").append(" ").append(number).append("\n");
    };
    auto machineLabel = [](const MachineState& m) { return "machine=\"" + Label(m.name) + "\""; };
    auto itemLabels = [&](const MachineState& m, int64_t item) {
        return machineLabel(m) + ",project=\"" + Label(m.Project()) + "\",item=\"" + std::to_string(item) + "\"";
    };
    // The items with progress of the current job, walked once per family.
    auto eachItem = [&](auto&& emit) {
        for (const auto& [name, m] : machines_) {
            if (!m->job) continue;
            for (const auto& [number, live] : m->items)
                if (live.progress && live.progress->session == m->job->session) emit(*m, number, live);
        }
    };

    family("brevant_machine_up", "gauge", "1 while the machine's publisher is online.");
    for (const auto& [name, m] : machines_) sample("brevant_machine_up", machineLabel(*m), m->Online() ? 1 : 0);
    family("brevant_machine_messages_dropped_total", "counter", "Messages the machine's publisher dropped before the broker.");
    for (const auto& [name, m] : machines_)
        if (m->status) sample("brevant_machine_messages_dropped_total", machineLabel(*m), static_cast<double>(m->status->droppedMessages));
    family("brevant_frames_rendered_total", "counter", "Frames rendered of the item in the current job.");
    eachItem([&](const MachineState& m, int64_t item, const LiveItem& live) {
        sample("brevant_frames_rendered_total", itemLabels(m, item), static_cast<double>(live.progress->framesDone));
    });
    family("brevant_item_progress_ratio", "gauge", "Frames done over frames total.");
    eachItem([&](const MachineState& m, int64_t item, const LiveItem& live) {
        const Progress& p = *live.progress;
        sample("brevant_item_progress_ratio", itemLabels(m, item), p.framesTotal > 0 ? static_cast<double>(p.framesDone) / static_cast<double>(p.framesTotal) : 0.0);
    });
    family("brevant_item_remaining_seconds", "gauge", "Estimated time until the item ends.");
    eachItem([&](const MachineState& m, int64_t item, const LiveItem& live) {
        if (auto eta = ItemEtaMs(live)) sample("brevant_item_remaining_seconds", itemLabels(m, item), static_cast<double>(*eta) / 1000.0);
    });
    family("brevant_item_frames_per_second", "gauge", "Frames per second the item renders at.");
    eachItem([&](const MachineState& m, int64_t item, const LiveItem& live) {
        sample("brevant_item_frames_per_second", itemLabels(m, item), live.progress->fps);
    });
    family("brevant_item_stalled", "gauge", "1 while the item's next frame is overdue.");
    eachItem([&](const MachineState& m, int64_t item, const LiveItem& live) {
        sample("brevant_item_stalled", itemLabels(m, item), live.stalled ? 1 : 0);
    });
    family("brevant_output_projected_bytes", "gauge", "Projected final size of an output file.");
    eachItem([&](const MachineState& m, int64_t item, const LiveItem& live) {
        for (const auto& output : live.progress->outputs)
            sample("brevant_output_projected_bytes", itemLabels(m, item) + ",path=\"" + Label(output.path) + "\"",
                   static_cast<double>(output.projectedBytes));
    });
    family("brevant_disk_free_bytes", "gauge", "Free space of the disk an output file is written to.");
    for (const auto& [name, m] : machines_) {
        std::set<std::string> disks;
        for (const auto& [number, live] : m->items)
            if (live.progress)
                for (const auto& output : live.progress->outputs)
                    if (disks.insert(output.disk).second)
                        sample("brevant_disk_free_bytes", machineLabel(*m) + ",disk=\"" + Label(output.disk) + "\"",
                               static_cast<double>(output.freeBytes));
    }
    family("brevant_dashboard_messages_total", "counter", "Messages received from the broker.");
    sample("brevant_dashboard_messages_total", "", static_cast<double>(received_));
    family("brevant_dashboard_messages_dropped_total", "counter", "Messages from the broker that failed validation and were dropped.");
    for (int reason = 0; reason < kDropReasonCount; ++reason)
        sample("brevant_dashboard_messages_dropped_total",
               std::string("reason=\"") + DropReasonName(static_cast<DropReason>(reason)) + "\"",
               static_cast<double>(dropped_[reason]));
    family("brevant_dashboard_broker_connected", "gauge", "1 while connected to the broker.");
    sample("brevant_dashboard_broker_connected", "", brokerConnected_ ? 1 : 0);
    family("brevant_dashboard_sse_clients", "gauge", "Browsers connected to the event stream.");
    sample("brevant_dashboard_sse_clients", "", static_cast<double>(hub_.ClientCount()));
    family("brevant_dashboard_sse_resyncs_total", "counter", "Event-stream clients that fell behind and were sent a new snapshot.");
    sample("brevant_dashboard_sse_resyncs_total", "", static_cast<double>(hub_.Resyncs()));
    const Notifier::Counters webhooks = notifier_.Count();
    family("brevant_dashboard_webhooks_total", "counter", "Webhook deliveries by result.");
    sample("brevant_dashboard_webhooks_total", "result=\"sent\"", static_cast<double>(webhooks.sent));
    sample("brevant_dashboard_webhooks_total", "result=\"retried\"", static_cast<double>(webhooks.retried));
    sample("brevant_dashboard_webhooks_total", "result=\"failed\"", static_cast<double>(webhooks.failed));
    sample("brevant_dashboard_webhooks_total", "result=\"dropped\"", static_cast<double>(webhooks.dropped));
    return out;
}

}  // namespace dashboard
