// What the dashboard keeps of one machine: its status, its current job, and per item what arrived
// besides the job's description (progress, thumbnail, log lines) with the dashboard's own
// observations (times, frame intervals, stall and disk warnings). Plain data: FarmState owns
// every MachineState and guards them with its mutex; the views and the metrics read them under it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "farm/dashboard/History.h"
#include "farm/dashboard/Messages.h"
#include "farm/wire/Wire.h"

namespace dashboard {

using SteadyClock = std::chrono::steady_clock;

struct LiveItem {
    std::optional<Progress> progress;
    std::shared_ptr<const std::string> thumbnail;
    uint64_t thumbnailVersion = 0;
    std::deque<LogLine> logs;
    std::deque<double> intervalsMs;
    SteadyClock::time_point lastFrameAt{};
    bool stalled = false;
    std::set<std::string> fillNotified;  // output paths already reported as filling their disk
    std::string startedAt, endedAt;

    double MedianIntervalMs() const {
        std::vector<double> sorted(intervalsMs.begin(), intervalsMs.end());
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

// What a machine's tile and the farm's summary need of it, worked out when the machine changes,
// so that views over every machine (the summary, the tiles, a page of machines) read plain figures.
enum class TileState { Rendering, Idle, Offline, Lost };
// Reasons a person is needed, a bit each, from the worst down.
enum Attention : unsigned { kAttentionLost = 1, kAttentionFailed = 2, kAttentionStalled = 4, kAttentionDiskWillFill = 8 };
constexpr int kAttentionReasons = 4;

// One item of a rendering machine's job, as the summary adds it up by (project, item name).
struct ItemFigures {
    std::string name;
    int64_t framesDone = 0, framesTotal = 0;
    double fps = 0;  // 0 unless the item renders now
    bool failed = false;
};

struct Tile {
    TileState state = TileState::Offline;
    unsigned attention = 0;  // Attention bits
    std::string project;     // the current job's; "" without a job
    // The item rendering now, when there is one.
    std::optional<int64_t> itemId, done, total, ts;
    std::string item;
    // While the machine renders: its item's frame rate and its job's remaining time.
    std::optional<double> fps;
    std::optional<int64_t> etaMs;
    std::vector<ItemFigures> items;  // the job's items while the machine renders, else empty
};

struct MachineState {
    std::string name;
    std::optional<Status> status;
    std::string lastSeen;
    SteadyClock::time_point heardAt{};  // when lastSeen was
    std::optional<JobMessage> job;
    int64_t jobId = 0;
    bool jobFinished = false;   // written to the history as ended in this process
    bool lostRecorded = false;  // ... as lost: the machine went away during the job
    std::map<int64_t, LiveItem> items;
    // Wall-clock microseconds since it was last online (or first heard of, without a status).
    int64_t offlineSinceMicros = 0;
    // FarmState's: the tile as of the machine's last change, and the JSON text of it that the
    // viewers were last sent (empty until the first flush after the machine appeared).
    Tile tile;
    std::string tileText;

    bool Online() const { return status && status->state == farm_wire::kOnline; }
    bool Rendering() const { return job && job->state == farm_wire::kJobRendering; }
    std::string Project() const { return job ? job->project : std::string(); }
    // The item's live part, or null when nothing but its description has arrived.
    const LiveItem* Live(int64_t item) const {
        auto found = items.find(item);
        return found == items.end() ? nullptr : &found->second;
    }
    // The item's progress when it belongs to the current job, else null.
    const Progress* CurrentProgress(int64_t item) const {
        const LiveItem* live = Live(item);
        return live && job && live->progress && live->progress->session == job->session ? &*live->progress : nullptr;
    }
};

using Machines = std::map<std::string, std::unique_ptr<MachineState>>;

}  // namespace dashboard
