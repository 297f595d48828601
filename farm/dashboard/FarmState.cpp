#include "farm/dashboard/FarmState.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "farm/dashboard/Metrics.h"
#include "farm/dashboard/Sse.h"
#include "farm/dashboard/Views.h"

namespace dashboard {
namespace {

using Json = nlohmann::json;

constexpr size_t kFrameIntervals = 31;  // recent frame intervals kept for the median

std::string IsoNow() { return farm_wire::IsoTime(farm_wire::WallMicros()); }

int64_t Micros(std::chrono::milliseconds duration) { return static_cast<int64_t>(duration.count()) * 1000; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A CSV field as spreadsheets read it: quoted when it holds a separator, a quote or a line
// break; a text that a spreadsheet would take for a formula is led by a quote mark.
std::string CsvField(const std::string& text) {
    std::string field = !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos ? "'" + text : text;
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

}  // namespace

FarmState::FarmState(FarmOptions options, EventHub& hub, Notifier& notifier, History& history)
    : options_(std::move(options)), hub_(hub), notifier_(notifier), history_(history),
      lastThumbnailVersion_(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch()).count())) {
    summaryText_ = Dump(SummaryJson(machines_));
    try {
        forgotten_ = history_.Forgotten();
    } catch (const std::exception& error) {
        // Without the list, the machines that left come back from their retained topics.
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
    }
}

void FarmState::SetBrokerConnected(bool connected) {
    std::lock_guard<std::mutex> lock(mutex_);
    brokerConnected_ = connected;
    if (connected) connectedAt_ = SteadyClock::now();
}

FarmState::Readiness FarmState::Ready() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {brokerConnected_, unwritten_.empty() && !retrying_};
}

void FarmState::SetBrokerFigures(BrokerFigures figures) {
    brokerDropped_ = figures.droppedMessages;
    brokerStored_ = figures.storedMessages;
}

void FarmState::OnMessage(std::string_view topicText, std::string_view payload) {
    // Parsing needs no lock: a flood of bad messages does not hold up the readers.
    std::optional<Topic> topic = ParseTopic(options_.prefix, topicText, options_.limits);
    Parsed parsed = topic ? ParsePayload(*topic, payload, options_.limits) : Parsed(DropReason::Topic);
    std::lock_guard<std::mutex> lock(mutex_);
    ++received_;
    if (auto* reason = std::get_if<DropReason>(&parsed)) {
        ++dropped_[static_cast<int>(*reason)];
        return;
    }
    Message& message = std::get<Message>(parsed);
    auto found = machines_.find(topic->machine);
    if (found == machines_.end()) {
        if (std::holds_alternative<Cleared>(message) || !Admit(topic->machine, message)) return;
        if (machines_.size() >= options_.maxMachines) {
            ++dropped_[static_cast<int>(DropReason::Capacity)];
            return;
        }
        found = machines_.emplace(topic->machine, std::make_unique<MachineState>()).first;
        found->second->name = topic->machine;
        found->second->offlineSinceMicros = farm_wire::WallMicros();
        removed_.erase(topic->machine);  // back within one flush: its new tile replaces the old
        Changed(*found->second);
    }
    MachineState& machine = *found->second;
    machine.lastSeen = IsoNow();
    machine.heardAt = SteadyClock::now();
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

bool FarmState::Admit(const std::string& name, const Message& message) {
    const Status* status = std::get_if<Status>(&message);
    auto gone = forgotten_.find(name);
    if (gone == forgotten_.end()) {
        if (!status || status->state == farm_wire::kOnline) return true;
        const std::optional<int64_t> said = farm_wire::IsoMicros(status->time);
        if (!said || farm_wire::WallMicros() - *said <= Micros(options_.retireAfter)) return true;
        // Long gone (its retained status, read at start): retired since it said so, so that its
        // other retained topics, which come in any order, do not make it either.
        ++retired_;
        Remember(name, *said);
        return false;
    }
    if (!status || status->state != farm_wire::kOnline) return false;
    std::optional<int64_t> started = farm_wire::IsoMicros(status->startedAt);
    if (!started) started = farm_wire::IsoMicros(status->time);
    if (!started || *started <= gone->second) return false;
    forgotten_.erase(gone);
    try {
        history_.Remember(name);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
    }
    return true;
}

void FarmState::ApplyStatus(MachineState& machine, const Status& status) {
    const bool wasOnline = machine.Online(), hadStatus = machine.status.has_value();
    machine.status = status;
    if (!machine.Online() && (wasOnline || !hadStatus)) {
        const int64_t now = farm_wire::WallMicros();
        machine.offlineSinceMicros = std::min(now, farm_wire::IsoMicros(status.time).value_or(now));
    }
    // A host online again whose process began before the job: the job is its own, back after a
    // lost connection (or a new host's, whose job came before its status), and it goes on.
    if (machine.lostRecorded && machine.Online() && machine.Rendering() && machine.job->startedAt >= status.startedAt) {
        history_.Reopen(machine.jobId);
        machine.lostRecorded = machine.jobFinished = false;
    }
    if (wasOnline && !machine.Online() && machine.Rendering()) {
        Notify("machineOffline:" + machine.name + ":" + status.startedAt + ":" + std::to_string(status.pid),
               "machineOffline",
               "Machine " + machine.name + " went offline (" + (status.reason.empty() ? "no reason" : status.reason) +
                   ") while rendering " + machine.job->project,
               {{"machine", machine.name}, {"project", machine.job->project}, {"jobId", machine.jobId},
                {"reason", status.reason}});
    }
    // A host that went away in the middle of a job will not end it: the job is lost, unless the
    // machine comes back and goes on with it.
    if (!machine.Online() && machine.Rendering() && !machine.jobFinished) FinishJob(machine, "lost");
    PublishMachine(machine);
}

void FarmState::ApplyJob(MachineState& machine, JobMessage job) {
    // A job that started before the one shown (a late copy, after the broker's retained value)
    // only completes the history.
    if (machine.job && job.startedAt < machine.job->startedAt) return RecordOnly(machine, std::move(job));
    const bool isNew = !machine.job || machine.job->session != job.session || machine.job->startedAt != job.startedAt;
    if (isNew) {
        if (machine.job && machine.Rendering() && !machine.jobFinished) FinishJob(machine, "lost");
        machine.lostRecorded = false;
        failedItems_.JobOf(job.project);
        // Progress of this job may have arrived before it (retained topics come in any order
        // after a restart); everything else belongs to an earlier job, also one of a host that
        // restarted and began again at the same session number.
        const std::optional<int64_t> start = farm_wire::IsoMicros(job.startedAt);
        for (auto it = machine.items.begin(); it != machine.items.end();) {
            const std::optional<Progress>& progress = it->second.progress;
            bool ours = progress && progress->session == job.session && (!start || progress->ts >= *start);
            it = ours ? std::next(it) : machine.items.erase(it);
        }
    } else if (machine.lostRecorded && job.state == farm_wire::kJobEnded) {
        // The machine was taken for lost, and its job's end arrives after all (sent once the
        // broker was back): the end it reports replaces "lost".
        machine.lostRecorded = machine.jobFinished = false;
    } else if (machine.lostRecorded && machine.Online()) {
        // The machine was taken for lost and is back with the same job.
        history_.Reopen(machine.jobId);
        machine.lostRecorded = machine.jobFinished = false;
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
        if (item.state == farm_wire::kItemRendering && live.startedAt.empty()) live.startedAt = when;
        if (farm_wire::ItemEnded(item.state) && live.endedAt.empty()) live.endedAt = when;
        const bool failed = item.state == farm_wire::kItemFailed;
        if (observed && failed) failedItems_.Failed(job.project);
        if (observed && (failed || item.state == farm_wire::kItemStopped)) {
            Notify((failed ? "itemFailed:" : "itemStopped:") + std::to_string(machine.jobId) + ":" + std::to_string(item.item),
                   failed ? "itemFailed" : "itemStopped",
                   "Item " + item.name + " of " + job.project + " " + item.state + " on " + machine.name,
                   {{"machine", machine.name}, {"project", job.project}, {"item", item.item}, {"name", item.name},
                    {"state", item.state}});
        }
    }
    const bool endedNow = !isNew && machine.Rendering() && job.state == farm_wire::kJobEnded;
    machine.job = std::move(job);
    if (isNew) {
        machine.jobId = 0;
        machine.jobFinished = false;
        try {
            machine.jobId = history_.Begin(RecordOf(machine, ""));
            // A job that ended while the service was down may be in the history already:
            // written then, with the times seen then, it is not written again.
            auto stored = machine.job->state == farm_wire::kJobEnded ? history_.Get(machine.jobId) : std::nullopt;
            machine.jobFinished = stored && stored->state == farm_wire::kJobEnded && stored->outcome != "lost";
        } catch (const std::exception& error) {
            // The database is away; the job's end is kept and written when it is back.
            std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
        }
    }
    if (machine.job->state == farm_wire::kJobEnded && !machine.jobFinished) {
        const Counts& counts = machine.job->counts;
        const std::string outcome = Outcome(counts);
        FinishJob(machine, outcome);
        if (endedNow) {
            Notify("jobDone:" + std::to_string(machine.jobId), "jobDone",
                   "Job " + machine.job->project + " on " + machine.name + " ended: " + std::to_string(counts.done) +
                       " done, " + std::to_string(counts.failed) + " failed, " + std::to_string(counts.stopped) +
                       " stopped",
                   {{"machine", machine.name}, {"project", machine.job->project}, {"jobId", machine.jobId},
                    {"outcome", outcome},
                    {"counts", {{"done", counts.done}, {"stopped", counts.stopped}, {"failed", counts.failed},
                                {"notStarted", counts.notStarted}}}});
        }
    } else if (machine.Rendering() && machine.status && !machine.Online() && !machine.jobFinished &&
               (machine.status->time.empty() || machine.status->time >= machine.job->startedAt)) {
        // Its machine is gone: a last will (it has no time), or a status said after the job
        // began. The clean shutdown of a host before this one is not about this job.
        FinishJob(machine, "lost");
    }
    PublishMachine(machine);
}

void FarmState::RecordOnly(const MachineState& machine, JobMessage job) {
    MachineState past;
    past.name = machine.name;
    past.job = std::move(job);
    if (past.Rendering()) {
        history_.Begin(RecordOf(past, ""));
        return;
    }
    JobRecord record = RecordOf(past, Outcome(past.job->counts));
    record.state = farm_wire::kJobEnded;
    record.id = history_.Begin(record);
    auto stored = history_.Get(record.id);
    if (stored && stored->state == farm_wire::kJobEnded && stored->outcome != "lost") return;  // written already
    Write(record);
}

void FarmState::FinishJob(MachineState& machine, const std::string& outcome) {
    JobRecord record = RecordOf(machine, outcome);
    record.state = farm_wire::kJobEnded;
    if (record.endedAt.empty()) record.endedAt = IsoNow();
    machine.jobFinished = true;
    machine.lostRecorded = outcome == "lost";
    Write(record);
    hub_.PublishAll(EventHub::Format("history", Dump(ToJson(record, false))));
}

void FarmState::Write(const JobRecord& record) {
    historyText_.reset();
    try {
        history_.Finish(record);
    } catch (const std::exception& error) {
        // The database is away: the job is written again by Maintain, in order, once it is back.
        std::fprintf(stderr, "brevant-dashboard: %s (the job of %s that started %s, %s, is kept to be written again)\n",
                     error.what(), record.machine.c_str(), record.startedAt.c_str(), record.outcome.c_str());
        unwritten_.push_back(record);
        if (unwritten_.size() > options_.maxUnwritten) {
            unwritten_.pop_front();
            ++unwrittenDropped_;
        }
    }
}

void FarmState::Notify(const std::string& key, const std::string& kind, const std::string& text, Json details) {
    if (!notifier_.Enabled()) return;
    bool claimed = true;
    try {
        claimed = history_.Claim(key);
    } catch (const std::exception& error) {
        // Without the history, twice is better than never.
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
    }
    if (claimed) notifier_.Post(kind, text, std::move(details));
}

void FarmState::Maintain() {
    std::deque<JobRecord> retry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retry.swap(unwritten_);
        retrying_ = !retry.empty();
        if (retrying_) historyText_.reset();
    }
    for (size_t i = 0; i < retry.size(); ++i) {
        try {
            history_.Finish(retry[i]);
        } catch (const std::exception&) {
            std::lock_guard<std::mutex> lock(mutex_);
            unwritten_.insert(unwritten_.begin(), retry.begin() + static_cast<long>(i), retry.end());
            break;
        }
    }
    if (!retry.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        retrying_ = false;
    }
    const SteadyClock::time_point now = SteadyClock::now();
    if (now < nextPrune_) return;
    nextPrune_ = now + options_.pruneEvery;
    try {
        const int64_t removed = history_.Prune(options_.retention, farm_wire::WallMicros());
        std::lock_guard<std::mutex> lock(mutex_);
        pruned_ += static_cast<uint64_t>(removed);
        if (removed > 0) historyText_.reset();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
    }
}

void FarmState::ApplyProgress(MachineState& machine, Progress progress) {
    LiveItem& live = machine.items[progress.item];
    const SteadyClock::time_point now = SteadyClock::now();
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
        Notify("diskWillFill:" + std::to_string(machine.jobId) + ":" + std::to_string(progress.item) + ":" + output.path,
               "diskWillFill",
                       "Disk " + output.disk + " on " + machine.name + " will fill before " + output.path + " is written",
                       {{"machine", machine.name}, {"project", machine.Project()}, {"item", progress.item},
                        {"path", output.path}, {"disk", output.disk}, {"projectedBytes", output.projectedBytes},
                        {"bytes", output.bytes}, {"freeBytes", output.freeBytes}});
    }
    live.progress = std::move(progress);
    if (wasStalled) return PublishMachine(machine);
    Changed(machine);
    if (!Watched(machine)) return;
    auto itemEta = ItemEtaMs(*live.progress);
    auto jobEta = JobEtaMs(machine);
    hub_.PublishDetail(machine.name, machine.Project(), EventHub::Format("progress", Dump({{"machine", machine.name},
                                   {"item", live.progress->item},
                                   {"lastSeen", machine.lastSeen},
                                   {"etaMs", itemEta ? Json(*itemEta) : Json()},
                                   {"jobEtaMs", jobEta ? Json(*jobEta) : Json()},
                                   {"progress", ProgressJson(*live.progress)}})));
}

void FarmState::ApplyEvent(MachineState& machine, const Event& event) {
    if (event.event != farm_wire::kJobItemLog || event.item < 1 || event.item > options_.limits.items) return;
    LiveItem& live = machine.items[event.item];
    const std::string time = event.time.empty() ? IsoNow() : event.time;
    live.logs.push_back({time, event.message});
    if (live.logs.size() > options_.logLines) live.logs.pop_front();
    if (!Watched(machine)) return;
    hub_.PublishDetail(machine.name, machine.Project(), EventHub::Format("log", Dump({{"machine", machine.name},
                              {"item", event.item},
                              {"lastSeen", machine.lastSeen},
                              {"time", time},
                              {"message", event.message}})));
}

void FarmState::ApplyThumbnail(MachineState& machine, int64_t item, std::string jpeg) {
    LiveItem& live = machine.items[item];
    live.thumbnail = std::make_shared<const std::string>(std::move(jpeg));
    live.thumbnailVersion = ++lastThumbnailVersion_;
    if (!Watched(machine)) return;
    hub_.PublishDetail(machine.name, machine.Project(), EventHub::Format("thumbnail", Dump({{"machine", machine.name},
                                    {"item", item},
                                    {"lastSeen", machine.lastSeen},
                                    {"version", live.thumbnailVersion}})));
}

void FarmState::Clear(MachineState& machine, const Topic& topic) {
    switch (topic.kind) {
        case TopicKind::Status: {
            // The publisher withdrew the machine: it leaves the page (its history stays).
            return Leave(machine, std::nullopt);
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

void FarmState::Tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    const SteadyClock::time_point now = SteadyClock::now();
    const int64_t wallNow = farm_wire::WallMicros();
    std::vector<MachineState*> retiring;
    for (auto& [name, machinePointer] : machines_) {
        MachineState& machine = *machinePointer;
        if (machine.tile.state == TileState::Offline && wallNow - machine.offlineSinceMicros > Micros(options_.retireAfter)) {
            retiring.push_back(&machine);
            continue;
        }
        // Only the broker's silence is a machine's: after a reconnect each is given its time again.
        if (brokerConnected_ && machine.Online() && now - std::max(machine.heardAt, connectedAt_) > std::chrono::seconds(options_.silentAfterSeconds)) {
            // Told as the broker would have told it, had it known: the machine is lost.
            Status silent = *machine.status;
            silent.state = farm_wire::kOffline;
            silent.reason = "silent";
            silent.time.clear();
            try {
                ApplyStatus(machine, silent);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
            }
            continue;
        }
        if (!machine.Online() || !machine.Rendering()) continue;
        bool changed = false;
        for (const auto& item : machine.job->items) {
            if (item.state != farm_wire::kItemRendering) continue;
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
            Notify("itemStalled:" + std::to_string(machine.jobId) + ":" + std::to_string(item.item) + ":" +
                       std::to_string(live.progress->framesDone),
                   "itemStalled",
                           "Item " + item.name + " of " + machine.job->project + " on " + machine.name +
                               " stalled: no frame for " + seconds + " s",
                           {{"machine", machine.name}, {"project", machine.job->project}, {"item", item.item},
                            {"name", item.name}, {"silentMs", static_cast<int64_t>(silentMs)},
                            {"medianFrameMs", static_cast<int64_t>(medianMs)}});
        }
        if (changed) PublishMachine(machine);
    }
    for (MachineState* machine : retiring) {
        ++retired_;
        Leave(*machine, wallNow);
    }
}

void FarmState::Changed(MachineState& machine) {
    machine.tile = TileOf(machine);
    changed_.insert(machine.name);
}

void FarmState::PublishMachine(MachineState& machine) {
    Changed(machine);
    if (Watched(machine))
        hub_.PublishDetail(machine.name, machine.Project(), EventHub::Format("machine", Dump(MachineJson(machine))));
}

void FarmState::Remember(const std::string& name, int64_t leftMicros) {
    forgotten_[name] = leftMicros;
    try {
        history_.Forget(name, leftMicros);
    } catch (const std::exception& error) {
        // Until the next restart the dashboard remembers it all the same.
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
    }
}

void FarmState::Leave(MachineState& machine, std::optional<int64_t> leftMicros) {
    const std::string name = machine.name;
    if (leftMicros) {
        // Nobody follows its job any more: a job it left rendering is lost (its end, should the
        // machine come back and send it, replaces that).
        if (machine.Rendering() && !machine.jobFinished) FinishJob(machine, "lost");
        Remember(name, *leftMicros);
    }
    changed_.erase(name);
    removed_.insert(name);
    machines_.erase(name);
}

Json FarmState::Machines(const MachineQuery& query) const {
    const int limit = std::clamp(query.limit, 0, 1000), offset = std::max(query.offset, 0);
    const std::string name = Lower(query.name);
    std::lock_guard<std::mutex> lock(mutex_);
    Json list = Json::array();
    int64_t total = 0;
    for (const auto& entry : machines_) {
        const MachineState& machine = *entry.second;
        const Tile& tile = machine.tile;
        const bool wanted =
            (query.state.empty() || (query.state == "attention" ? tile.attention != 0 : query.state == TileStateName(tile.state))) &&
            (query.project.empty() || query.project == tile.project) &&
            (name.empty() || Lower(machine.name).find(name) != std::string::npos);
        if (!wanted) continue;
        if (total >= offset && static_cast<int64_t>(list.size()) < limit) list.push_back(MachineJson(machine));
        ++total;
    }
    return {{"machines", std::move(list)}, {"total", total}, {"limit", limit}, {"offset", offset}};
}

Json FarmState::Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return SummaryJson(machines_);
}

Json FarmState::Tiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Json tiles = Json::array();
    for (const auto& [name, machine] : machines_) tiles.push_back(TileJson(name, machine->tile));
    return {{"tiles", std::move(tiles)}};
}

bool FarmState::Forget(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = machines_.find(name);
    if (found == machines_.end()) return false;
    ++retired_;
    Leave(*found->second, farm_wire::WallMicros());
    return true;
}

void FarmState::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (changed_.empty() && removed_.empty()) return;
    std::string tiles;
    for (const std::string& name : changed_) {
        auto found = machines_.find(name);
        if (found == machines_.end()) continue;
        MachineState& machine = *found->second;
        machine.tileText = Dump(TileJson(machine.name, machine.tile));
        if (!tiles.empty()) tiles += ',';
        tiles += machine.tileText;
    }
    Json summary = SummaryJson(machines_);
    summaryText_ = Dump(summary);
    snapshotHead_.reset();
    // The list of what needs a person changes far less often than the counts and the projects'
    // figures, and is the summary's largest part: it is sent when it changed, and viewers keep
    // the last one.
    std::string attention = Dump(Json::array({summary["attention"], summary["attentionTotal"]}));
    if (attention == attentionText_) {
        summary.erase("attention");
        summary.erase("attentionTotal");
    } else {
        attentionText_ = std::move(attention);
    }
    const std::string event = "{\"tiles\":[" + tiles + "],\"removed\":" + Dump(Json(removed_)) + ",\"summary\":" + Dump(summary) + "}";
    changed_.clear();
    removed_.clear();
    hub_.PublishAll(EventHub::Format("tiles", event));
}

std::optional<Json> FarmState::Machine(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = machines_.find(name);
    if (found == machines_.end()) return std::nullopt;
    return MachineJson(*found->second);
}

Json FarmState::Jobs(const JobFilter& filter, int pastLimit, int pastOffset) const {
    Json current = Json::array();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : machines_)
            if (entry.second->job && !entry.second->jobFinished) current.push_back(JobJson(*entry.second, false));
    }
    Json past = Json::array();
    for (const auto& record : history_.Past(filter, pastLimit, pastOffset)) past.push_back(ToJson(record, false));
    return {{"current", std::move(current)}, {"past", std::move(past)}, {"total", history_.Count(filter)}};
}

Json FarmState::RenderHours(const JobFilter& filter) const {
    Json out = Json::object();
    for (bool byMachine : {false, true}) {
        Json rows = Json::array();
        for (const Hours& hours : history_.RenderHours(filter, byMachine))
            rows.push_back({{byMachine ? "machine" : "project", hours.key},
                            {"jobs", hours.jobs},
                            {"hours", static_cast<double>(hours.renderMs) / 3600000.0}});
        out[byMachine ? "byMachine" : "byProject"] = std::move(rows);
    }
    return out;
}

std::string FarmState::JobsCsv(const JobFilter& filter, int limit) const {
    std::string csv = "id,machine,session,project,outcome,startedAt,endedAt,renderHours,done,failed,stopped,notStarted\r\n";
    // Read in pages, so that the history's lock is not held for a whole export.
    constexpr int kPage = 1000;
    for (int offset = 0; offset < limit; offset += kPage) {
        auto jobs = history_.Past(filter, std::min(kPage, limit - offset), offset);
        for (const JobRecord& job : jobs) {
            char hours[32];
            std::snprintf(hours, sizeof hours, "%.4f", static_cast<double>(job.renderMs) / 3600000.0);
            csv += std::to_string(job.id) + ',' + CsvField(job.machine) + ',' + std::to_string(job.session) + ',' +
                   CsvField(job.project) + ',' + job.outcome + ',' + job.startedAt + ',' + job.endedAt + ',' + hours + ',' +
                   std::to_string(job.done) + ',' + std::to_string(job.failed) + ',' + std::to_string(job.stopped) + ',' +
                   std::to_string(job.notStarted) + "\r\n";
        }
        if (static_cast<int>(jobs.size()) < kPage) break;
    }
    return csv;
}

std::optional<Json> FarmState::Job(int64_t id) const {
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

std::shared_ptr<const std::string> FarmState::Thumbnail(const std::string& machine, int64_t item) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = machines_.find(machine);
    if (found == machines_.end()) return nullptr;
    const LiveItem* live = found->second->Live(item);
    return live ? live->thumbnail : nullptr;
}

std::vector<Frame> FarmState::SnapshotLocked(const Interest& interest) {
    if (!snapshotHead_) {
        // The tiles as the last flush sent them: a machine that appeared since has none yet, and
        // comes with the next flush, like every change since.
        // "retry" tells the browser to reconnect after 3 s when the stream breaks.
        std::string head = SseRetry(3000) + SseEventHead("snapshot") + "{\"summary\":" + summaryText_ + ",\"tiles\":[";
        bool first = true;
        for (const auto& entry : machines_) {
            if (entry.second->tileText.empty()) continue;
            if (!first) head += ',';
            head += entry.second->tileText;
            first = false;
        }
        snapshotHead_ = std::make_shared<const std::string>(head + "]");
    }
    std::string machines;
    const auto add = [&machines](const MachineState& machine) {
        if (!machines.empty()) machines += ',';
        machines += Dump(MachineJson(machine));
    };
    if (interest.project.empty()) {
        for (const std::string& name : std::set<std::string>(interest.machines.begin(), interest.machines.end()))
            if (auto found = machines_.find(name); found != machines_.end()) add(*found->second);
    } else {
        for (const auto& [name, machine] : machines_)
            if (interest.Wants(name, machine->Project())) add(*machine);
    }
    if (!historyText_) {
        try {
            Json history = Json::array();
            for (const auto& record : history_.Past(JobFilter{}, options_.historyOnPage, 0)) history.push_back(ToJson(record, false));
            historyText_ = Dump(history);
        } catch (const std::exception& error) {
            // The database is away: the page shows the live farm, and its history once it is back.
            std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
        }
    }
    std::string tail = ",\"machines\":[" + machines + "],\"history\":" + historyText_.value_or("[]") + "}";
    tail += kSseEventEnd;
    return {snapshotHead_, std::make_shared<const std::string>(std::move(tail))};
}

std::shared_ptr<EventHub::Client> FarmState::Attach(Interest interest, std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Frame> snapshot = SnapshotLocked(interest);
    return hub_.Attach(std::move(interest), std::move(snapshot), std::move(wake));
}

void FarmState::Resync(EventHub::Client& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    hub_.Reset(client, SnapshotLocked(hub_.InterestOf(client)));
}

std::string FarmState::Metrics() const {
    FarmFigures figures;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        AddMachineFigures(machines_, figures);
        figures.failedItems = failedItems_.Counts();
        figures.service = {received_, dropped_, brokerConnected_, 0, 0, {}, unwritten_.size(), unwrittenDropped_, pruned_,
                           {brokerDropped_, brokerStored_}, retired_};
    }
    // The event hub and the notifier count under their own locks.
    figures.service.sseClients = hub_.ClientCount();
    figures.service.sseResyncs = hub_.Resyncs();
    figures.service.webhooks = notifier_.Count();
    return MetricsText(figures);
}

}  // namespace dashboard
