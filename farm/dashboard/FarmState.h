// The farm as the dashboard knows it: every machine's status, job, items, progress, thumbnails
// and recent log lines, built from the publishers' messages. One mutex guards it all. The MQTT
// thread applies messages, the ticker thread looks for stalled items and flushes the tiles, the
// HTTP workers read views. Events go to the EventHub under the same lock, so that a viewer that
// attaches with a snapshot then sees every later change once, in order. The JSON the views
// serve is shaped in Views.cpp, the Prometheus text in Metrics.cpp.
//
// What goes to the viewers, for farms of thousands of machines and hundreds of viewers:
// - Every viewer: one `tiles` event per flush (the ticker's, every flushEvery), only when
//   something changed: the tiles of the machines that changed since the last flush, the
//   machines that left, and the summary. A progress message changes its machine's tile and
//   nothing else is sent to everybody. Ended jobs (`history`) go to every viewer at once.
// - Only the viewers that have a machine, or its current job's project, open: its `machine`,
//   `progress`, `log` and `thumbnail` events, not even formatted when nobody has it open.
// - A snapshot on attach and after falling behind: the summary and the tiles as of the last
//   flush (the next `tiles` event brings what changed since), the full JSON of what the viewer
//   has open, and the last ended jobs. Each machine keeps its tile's JSON text from the last
//   flush, and the tiles' array is joined once per flush for all the snapshots that follow.
//
// Machines that leave the live views (their history stays):
// - Forget(name), the operator's choice, whatever the machine's state.
// - Retirement: offline (not online, no job taken for lost) for longer than retireAfter, since
//   the time of its offline status (or since the dashboard heard of it, for a status without
//   one). A machine lost during a render stays, for a person to see, until it is forgotten.
// - A publisher that withdraws its status (an empty retained payload).
// The broker keeps every machine's retained topics, so a forgotten or retired machine is written
// down in the history with the time it left, and every message of it is ignored (also after a
// restart) until an `online` status of a process started after that time (its `startedAt`, else
// the status's `time`): then it is back, and struck off the list. An `offline` status older than
// retireAfter of a machine the dashboard does not know (the retained status of a machine long
// gone, read at start) retires it as of that time: none of its retained topics makes it.
// Beyond maxMachines, new machines are dropped and counted.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "farm/dashboard/EventHub.h"
#include "farm/dashboard/History.h"
#include "farm/dashboard/MachineState.h"
#include "farm/dashboard/Metrics.h"
#include "farm/dashboard/Messages.h"
#include "farm/dashboard/Notifier.h"

namespace dashboard {

// A page of the REST API's machines: filtered by state (rendering, idle, offline, lost,
// attention), by project (exact) and by a part of the name (any case); sorted by name.
struct MachineQuery {
    std::string state, project, name;
    int limit = 100, offset = 0;
};

struct FarmOptions {
    std::string prefix = "brevant";
    Limits limits;
    double stallFactor = 5.0;                 // stalled: no frame for this many median frame times
    std::chrono::milliseconds stallFloor{2000};  // ... and never sooner than this (broker jitter)
    // An online machine heard nothing from for this long is gone without a last will (its host
    // was killed while its broker connection was down): offline, its job lost. Publishers
    // refresh their status every 10 s by default.
    int silentAfterSeconds = 120;
    size_t maxMachines = 20000;
    // A machine offline this long leaves the live views (it stays in the history) until it is
    // online again.
    std::chrono::milliseconds retireAfter{std::chrono::hours(7 * 24)};
    // How often the ticker flushes the tiles' changes to every viewer, coalesced.
    std::chrono::milliseconds flushEvery{150};
    size_t logLines = 20;                     // recent log messages kept per item
    int historyOnPage = 50;                   // finished jobs in a browser's snapshot
    Retention retention;
    std::chrono::seconds pruneEvery{3600};
    size_t maxUnwritten = 10000;              // ended jobs waiting for the history to come back
};

class FarmState {
public:
    FarmState(FarmOptions options, EventHub& hub, Notifier& notifier, History& history);
    FarmState(const FarmState&) = delete;
    FarmState& operator=(const FarmState&) = delete;

    // [mqtt thread] One message from the broker. Never throws: what fails validation is
    // counted and dropped, and leaves every machine as it was.
    void OnMessage(std::string_view topic, std::string_view payload);
    // [ticker thread] Marks items stalled whose next frame is overdue, takes silent machines for
    // offline, and retires the machines offline longer than retireAfter.
    void Tick();
    // [ticker thread] Writes again the ended jobs the history refused (a database that was
    // down), and removes what the retention no longer keeps, every pruneEvery.
    void Maintain();
    // [mqtt thread] The broker connection came or went.
    void SetBrokerConnected(bool connected);
    // [any thread] What /readyz tells: the broker connected, and the history open (the database
    // took the last ended job: none waits for it to come back).
    struct Readiness {
        bool broker = false, history = false;
    };
    Readiness Ready() const;
    // [mqtt thread] The broker's own figures changed.
    void SetBrokerFigures(BrokerFigures figures);

    // [ticker thread, every flushEvery] Sends one `tiles` event to every viewer with the tiles
    // that changed since the last flush, the machines that left and the summary; nothing when
    // nothing changed.
    void Flush();

    // [http worker] Views. JSON documents as the REST API serves them, of the farm as it is now.
    // Machines: {"machines", "total", "limit", "offset"}; limit at most 1000.
    nlohmann::json Machines(const MachineQuery& query) const;
    nlohmann::json Summary() const;
    nlohmann::json Tiles() const;  // {"tiles": [...]}, by name
    // [http worker] The operator forgets a machine: it leaves the live views at once (its
    // history stays) until it is online again (see above). False when no such machine is shown.
    bool Forget(const std::string& name);
    std::optional<nlohmann::json> Machine(const std::string& name) const;
    nlohmann::json Jobs(const JobFilter& filter, int pastLimit, int pastOffset) const;
    nlohmann::json RenderHours(const JobFilter& filter) const;
    // Ended jobs as CSV, newest first, at most `limit` rows.
    std::string JobsCsv(const JobFilter& filter, int limit) const;
    std::optional<nlohmann::json> Job(int64_t id) const;
    std::shared_ptr<const std::string> Thumbnail(const std::string& machine, int64_t item) const;
    // /metrics: the figures are copied under the lock, the text is written after it.
    std::string Metrics() const;

    // [http worker] A viewer with a snapshot of the farm and the detail of what it has open, or
    // null when none may attach. `wake` as EventHub::Attach.
    std::shared_ptr<EventHub::Client> Attach(Interest interest, std::function<void()> wake);
    void Resync(EventHub::Client& client);

private:
    void ApplyStatus(MachineState& machine, const Status& status);
    void ApplyJob(MachineState& machine, JobMessage job);
    void ApplyProgress(MachineState& machine, Progress progress);
    void ApplyEvent(MachineState& machine, const Event& event);
    void ApplyThumbnail(MachineState& machine, int64_t item, std::string jpeg);
    void Clear(MachineState& machine, const Topic& topic);
    void FinishJob(MachineState& machine, const std::string& outcome);
    void Write(const JobRecord& record);
    void RecordOnly(const MachineState& machine, JobMessage job);
    // Posts a webhook unless `key` was claimed before, by this or another dashboard on the
    // same history.
    void Notify(const std::string& key, const std::string& kind, const std::string& text, nlohmann::json details);
    // The machine's tile changed: worked out again and sent at the next flush.
    void Changed(MachineState& machine);
    // Changed, and its full JSON to the viewers that have it open.
    void PublishMachine(MachineState& machine);
    // Whether somebody has the machine open, for its detail events.
    bool Watched(const MachineState& machine) const { return hub_.Wanted(machine.name, machine.Project()); }
    // Takes the machine out of the live views; written down as gone at `leftMicros` unless
    // its publisher withdrew it. Invalidates `machine`.
    void Leave(MachineState& machine, std::optional<int64_t> leftMicros);
    // Writes the machine down as gone since `leftMicros`.
    void Remember(const std::string& name, int64_t leftMicros);
    // False when the message is of a forgotten machine and does not bring it back.
    bool Admit(const std::string& name, const Message& message);
    std::vector<Frame> SnapshotLocked(const Interest& interest);

    const FarmOptions options_;
    EventHub& hub_;
    Notifier& notifier_;
    History& history_;
    mutable std::mutex mutex_;
    dashboard::Machines machines_;
    std::array<uint64_t, kDropReasonCount> dropped_{};
    uint64_t received_ = 0;
    std::deque<JobRecord> unwritten_;
    bool retrying_ = false;  // Maintain is writing the unwritten jobs again
    uint64_t unwrittenDropped_ = 0;
    SteadyClock::time_point nextPrune_{};
    uint64_t pruned_ = 0;
    uint64_t retired_ = 0;
    FailedItems failedItems_;
    // Machines whose tiles changed, and machines that left, since the last flush.
    std::set<std::string> changed_, removed_;
    // As of the last flush: the summary's JSON text, and the part of the snapshot that every
    // viewer shares (the summary and every tile), made at the first snapshot after the flush.
    std::string summaryText_;
    std::string attentionText_;  // the attention list last sent in a flush
    Frame snapshotHead_;
    // The last ended jobs for snapshots, read again after the history changed.
    std::optional<std::string> historyText_;
    // Machines that left, with when (wall-clock microseconds); as the history's forgotten list.
    std::map<std::string, int64_t> forgotten_;
    // Thumbnail versions name the image in its URL, so browsers may cache it; they start at the
    // service's start time in milliseconds and so never repeat across a restart.
    uint64_t lastThumbnailVersion_;
    std::atomic<bool> brokerConnected_{false};
    SteadyClock::time_point connectedAt_{};  // the broker's last connect, under mutex_
    std::atomic<int64_t> brokerDropped_{-1}, brokerStored_{-1};
};

}  // namespace dashboard
