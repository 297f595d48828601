// The farm as the dashboard knows it: every machine's status, job, items, progress, thumbnails
// and recent log lines, built from the publishers' messages. One mutex guards it all. The MQTT
// thread applies messages, the ticker thread looks for stalled items, the HTTP workers read
// views; each change is published to the EventHub under the same lock, so that a browser that
// attaches with a snapshot then sees every later change once, in order. The JSON the views
// serve is shaped in Views.cpp, the Prometheus text in Metrics.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

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
    std::chrono::seconds retireAfter{7 * 24 * 3600};
    // Tile changes are sent to every viewer at most this often, coalesced.
    std::chrono::milliseconds flushEvery{250};
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
    // [ticker thread] Marks items stalled whose next frame is overdue.
    void Tick();
    // [ticker thread] Writes again the ended jobs the history refused (a database that was
    // down), and removes what the retention no longer keeps, every pruneEvery.
    void Maintain();
    // [mqtt thread] The broker connection came or went.
    void SetBrokerConnected(bool connected);
    // [mqtt thread] The broker's own figures changed.
    void SetBrokerFigures(BrokerFigures figures);

    // [ticker thread] Sends the tiles that changed since the last flush, and the summary, to
    // every viewer, when flushEvery has passed.
    void Flush();

    // [http worker] Views. JSON documents as the REST API serves them.
    nlohmann::json Machines(const MachineQuery& query) const;
    nlohmann::json Summary() const;
    nlohmann::json Tiles() const;
    // [http worker] The operator forgets a machine: it leaves the live views at once (its
    // history stays) until it is online again. False when no such machine is shown.
    bool Forget(const std::string& name);
    std::optional<nlohmann::json> Machine(const std::string& name) const;
    nlohmann::json Jobs(const JobFilter& filter, int pastLimit, int pastOffset) const;
    nlohmann::json RenderHours(const JobFilter& filter) const;
    // Ended jobs as CSV, newest first, at most `limit` rows.
    std::string JobsCsv(const JobFilter& filter, int limit) const;
    std::optional<nlohmann::json> Job(int64_t id) const;
    std::shared_ptr<const std::string> Thumbnail(const std::string& machine, int64_t item) const;
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
    std::string SnapshotLocked() const;
    void PublishMachine(const MachineState& machine);

    const FarmOptions options_;
    EventHub& hub_;
    Notifier& notifier_;
    History& history_;
    mutable std::mutex mutex_;
    dashboard::Machines machines_;
    uint64_t dropped_[kDropReasonCount] = {};
    uint64_t received_ = 0;
    std::deque<JobRecord> unwritten_;
    uint64_t unwrittenDropped_ = 0;
    SteadyClock::time_point nextPrune_{};
    uint64_t pruned_ = 0;
    // Thumbnail versions name the image in its URL, so browsers may cache it; they start at the
    // service's start time in milliseconds and so never repeat across a restart.
    uint64_t lastThumbnailVersion_;
    std::atomic<bool> brokerConnected_{false};
    SteadyClock::time_point connectedAt_{};  // the broker's last connect, under mutex_
    std::atomic<int64_t> brokerDropped_{-1}, brokerStored_{-1};
};

}  // namespace dashboard
