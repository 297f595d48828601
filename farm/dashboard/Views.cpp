#include "farm/dashboard/Views.h"

#include <map>
#include <string_view>
#include <utility>
#include <vector>

namespace dashboard {
namespace {

using Json = nlohmann::json;

Json TextOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

template <typename T>
Json ValueOrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json();
}

Json SettingsJson(const std::vector<Setting>& settings) {
    Json out = Json::array();
    for (const auto& setting : settings) out.push_back({{"key", setting.key}, {"value", setting.value}});
    return out;
}

Json ItemJson(const MachineState& machine, const ItemDescription& item) {
    const LiveItem* live = machine.Live(item.item);
    const Progress* progress = machine.CurrentProgress(item.item);
    Json modules = Json::array();
    for (const auto& module : item.outputModules) modules.push_back(SettingsJson(module));
    return {{"item", item.item},
            {"name", item.name},
            {"state", item.state},
            {"stalled", live && live->stalled},
            {"startedAt", live ? TextOrNull(live->startedAt) : Json()},
            {"endedAt", live ? TextOrNull(live->endedAt) : Json()},
            {"warnings", item.warnings},
            {"renderSettings", SettingsJson(item.renderSettings)},
            {"outputModules", std::move(modules)},
            {"progress", progress ? ProgressJson(*progress) : Json()},
            {"etaMs", progress ? ValueOrNull(ItemEtaMs(*progress)) : Json()},
            {"thumbnail", live && live->thumbnail ? Json(live->thumbnailVersion) : Json()},
            {"logs", live ? LogJson(live->logs) : Json::array()}};
}

const char* const kAttentionNames[kAttentionReasons] = {"lost", "failed", "stalled", "diskWillFill"};

Json AttentionJson(unsigned attention) {
    Json reasons = Json::array();
    for (int reason = 0; reason < kAttentionReasons; ++reason)
        if (attention & (1u << reason)) reasons.push_back(kAttentionNames[reason]);
    return reasons;
}

}  // namespace

const char* TileStateName(TileState state) {
    switch (state) {
        case TileState::Rendering: return "rendering";
        case TileState::Idle: return "idle";
        case TileState::Lost: return "lost";
        case TileState::Offline: break;
    }
    return "offline";
}

Tile TileOf(const MachineState& machine) {
    Tile tile;
    // A job taken for lost is not rendered by whoever is online now (a new process of the host).
    const bool rendering = machine.Rendering() && !machine.lostRecorded;
    tile.state = machine.Online() ? (rendering ? TileState::Rendering : TileState::Idle)
                 : machine.lostRecorded ? TileState::Lost
                                        : TileState::Offline;
    if (tile.state == TileState::Lost) tile.attention |= kAttentionLost;
    if (!machine.job) return tile;
    tile.project = machine.job->project;
    const bool renderingNow = tile.state == TileState::Rendering;
    for (const auto& item : machine.job->items) {
        const LiveItem* live = machine.Live(item.item);
        const Progress* progress = machine.CurrentProgress(item.item);
        const bool itemRendering = item.state == farm_wire::kItemRendering;
        if (item.state == farm_wire::kItemFailed) tile.attention |= kAttentionFailed;
        if (itemRendering && !tile.itemId) {
            tile.itemId = item.item;
            tile.item = item.name;
            if (progress) {
                tile.done = progress->framesDone;
                tile.total = progress->framesTotal;
                tile.ts = progress->ts;
                if (renderingNow) tile.fps = progress->fps;
            }
        }
        if (!renderingNow) continue;
        if (itemRendering && live && live->stalled) tile.attention |= kAttentionStalled;
        if (itemRendering && progress)
            for (const auto& output : progress->outputs)
                if (output.willFill) tile.attention |= kAttentionDiskWillFill;
        ItemFigures figures;
        figures.name = item.name;
        figures.failed = item.state == farm_wire::kItemFailed;
        if (progress) {
            figures.framesDone = progress->framesDone;
            figures.framesTotal = progress->framesTotal;
            if (itemRendering) figures.fps = progress->fps;
        }
        tile.items.push_back(std::move(figures));
    }
    if (renderingNow) tile.etaMs = JobEtaMs(machine);
    return tile;
}

Json TileJson(const std::string& machine, const Tile& tile) {
    return {{"machine", machine},
            {"state", TileStateName(tile.state)},
            {"project", TextOrNull(tile.project)},
            {"item", tile.itemId ? TextOrNull(tile.item) : Json()},
            {"itemId", ValueOrNull(tile.itemId)},
            {"done", ValueOrNull(tile.done)},
            {"total", ValueOrNull(tile.total)},
            {"fps", ValueOrNull(tile.fps)},
            {"etaMs", ValueOrNull(tile.etaMs)},
            {"ts", ValueOrNull(tile.ts)},
            {"attention", AttentionJson(tile.attention)}};
}

Json SummaryJson(const Machines& machines) {
    struct Row {
        int64_t machines = 0, framesDone = 0, framesTotal = 0, failed = 0;
        double fps = 0;
        std::optional<int64_t> etaMs;
        const MachineState* last = nullptr;  // the machine counted last, counted once
    };
    // Keyed by the tiles' own texts, which outlive this call: no copy per item.
    std::map<std::pair<std::string_view, std::string_view>, Row> rows;
    int64_t byState[4] = {};
    // Machines that need a person by their worst reason, each in name order.
    std::vector<const MachineState*> byWorst[kAttentionReasons];
    for (const auto& entry : machines) {
        const MachineState& machine = *entry.second;
        const Tile& tile = machine.tile;
        ++byState[static_cast<int>(tile.state)];
        for (int reason = 0; reason < kAttentionReasons; ++reason) {
            if (tile.attention & (1u << reason)) {
                byWorst[reason].push_back(&machine);
                break;
            }
        }
        for (const ItemFigures& item : tile.items) {
            Row& row = rows[{tile.project, item.name}];
            if (row.last != &machine) {
                row.last = &machine;
                ++row.machines;
                if (tile.etaMs && (!row.etaMs || *tile.etaMs > *row.etaMs)) row.etaMs = tile.etaMs;
            }
            row.framesDone += item.framesDone;
            row.framesTotal += item.framesTotal;
            row.fps += item.fps;
            row.failed += item.failed ? 1 : 0;
        }
    }
    Json projects = Json::array();
    for (const auto& [key, row] : rows) {
        projects.push_back({{"project", key.first},
                            {"item", key.second},
                            {"machines", row.machines},
                            {"framesDone", row.framesDone},
                            {"framesTotal", row.framesTotal},
                            {"fps", row.fps},
                            {"etaMs", ValueOrNull(row.etaMs)},
                            {"failed", row.failed}});
    }
    Json attention = Json::array();
    size_t attentionTotal = 0;
    for (const auto& worst : byWorst) {
        attentionTotal += worst.size();
        for (const MachineState* machine : worst) {
            if (attention.size() >= kSummaryAttentionRows) break;
            const Tile& tile = machine->tile;
            attention.push_back({{"machine", machine->name},
                                 {"project", TextOrNull(tile.project)},
                                 {"item", tile.itemId ? TextOrNull(tile.item) : Json()},
                                 {"reasons", AttentionJson(tile.attention)}});
        }
    }
    const auto count = [&](TileState state) { return byState[static_cast<int>(state)]; };
    return {{"counts", {{"machines", machines.size()},
                        {"rendering", count(TileState::Rendering)},
                        {"idle", count(TileState::Idle)},
                        {"offline", count(TileState::Offline)},
                        {"lost", count(TileState::Lost)},
                        {"attention", attentionTotal}}},
            {"projects", std::move(projects)},
            {"attention", std::move(attention)},
            {"attentionTotal", attentionTotal}};
}

Json ToJson(const JobRecord& job, bool withItems) {
    Json out = {{"id", job.id},
                {"machine", job.machine},
                {"session", job.session},
                {"project", job.project},
                {"appVersion", job.appVersion},
                {"state", job.state},
                {"outcome", job.outcome},
                {"startedAt", job.startedAt},
                {"endedAt", TextOrNull(job.endedAt)},
                {"renderMs", job.renderMs},
                {"counts", {{"done", job.done}, {"stopped", job.stopped}, {"failed", job.failed}, {"notStarted", job.notStarted}}}};
    if (withItems) {
        out["items"] = Json::array();
        for (const auto& item : job.items) {
            out["items"].push_back({{"item", item.item},
                                    {"name", item.name},
                                    {"state", item.state},
                                    {"framesDone", item.framesDone},
                                    {"framesTotal", item.framesTotal},
                                    {"startedAt", TextOrNull(item.startedAt)},
                                    {"endedAt", TextOrNull(item.endedAt)},
                                    {"log", LogJson(item.log)},
                                    {"warnings", item.warnings}});
        }
    }
    return out;
}

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json ProgressJson(const Progress& progress) {
    Json outputs = Json::array();
    for (const auto& output : progress.outputs) {
        outputs.push_back({{"path", output.path},
                           {"disk", output.disk},
                           {"bytes", output.bytes},
                           {"projectedBytes", output.projectedBytes},
                           {"hostEstimateBytes", output.hostEstimateBytes},
                           {"freeBytes", output.freeBytes},
                           {"willFill", output.willFill}});
    }
    return {{"session", progress.session},
            {"frameId", progress.frameId},
            {"framesDone", progress.framesDone},
            {"framesTotal", progress.framesTotal},
            {"elapsedMs", progress.elapsedMs},
            {"remainingMs", ValueOrNull(progress.remainingMs)},
            {"fps", progress.fps},
            {"ts", progress.ts},
            {"time", TextOrNull(progress.time)},
            {"outputs", std::move(outputs)}};
}

std::optional<int64_t> ItemEtaMs(const Progress& p) {
    if (p.framesTotal > 0 && p.framesDone >= p.framesTotal) return 0;
    if (p.remainingMs) return *p.remainingMs;
    if (p.fps > 0 && p.framesTotal > p.framesDone) return static_cast<int64_t>((p.framesTotal - p.framesDone) / p.fps * 1000.0);
    return std::nullopt;
}

std::optional<int64_t> JobEtaMs(const MachineState& machine) {
    if (!machine.Rendering()) return std::nullopt;
    int64_t remaining = 0, finishedMs = 0, finished = 0, queued = 0, currentWholeMs = -1;
    for (const auto& item : machine.job->items) {
        const Progress* progress = machine.CurrentProgress(item.item);
        if (item.state == farm_wire::kItemQueued) {
            ++queued;
        } else if (item.state == farm_wire::kItemRendering) {
            auto eta = progress ? ItemEtaMs(*progress) : std::nullopt;
            if (!eta) return std::nullopt;
            remaining += *eta;
            currentWholeMs = progress->elapsedMs + *eta;
        } else if (item.state == farm_wire::kItemDone && progress) {
            finishedMs += progress->elapsedMs;
            ++finished;
        }
    }
    if (queued == 0) return remaining;
    int64_t perItem = finished > 0 ? finishedMs / finished : currentWholeMs;
    if (perItem < 0) return std::nullopt;
    return remaining + queued * perItem;
}

std::string Outcome(const Counts& counts) {
    return std::string(counts.failed > 0    ? farm_wire::kItemFailed
                       : counts.stopped > 0 ? farm_wire::kItemStopped
                                            : farm_wire::kItemDone);
}

JobRecord RecordOf(const MachineState& machine, const std::string& outcome) {
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
        ItemRecord out;
        out.item = item.item;
        out.name = item.name;
        out.state = item.state;
        // What a person asks of an item that did not finish: its last words and warnings. A
        // lost job's item is still shown rendering.
        const bool unfinished = item.state == farm_wire::kItemFailed || item.state == farm_wire::kItemStopped ||
                                (outcome == "lost" && item.state == farm_wire::kItemRendering);
        if (unfinished) out.warnings = item.warnings;
        if (const LiveItem* live = machine.Live(item.item)) {
            out.startedAt = live->startedAt;
            out.endedAt = live->endedAt;
            if (unfinished)
                out.log.assign(live->logs.begin(), live->logs.end());
        }
        if (const Progress* progress = machine.CurrentProgress(item.item)) {
            out.framesDone = progress->framesDone;
            out.framesTotal = progress->framesTotal;
        }
        record.items.push_back(std::move(out));
    }
    return record;
}

Json JobJson(const MachineState& machine, bool withItems) {
    Json job = ToJson(RecordOf(machine, ""), false);
    if (machine.jobFinished) job["outcome"] = Outcome(machine.job->counts);
    job["etaMs"] = ValueOrNull(JobEtaMs(machine));
    if (withItems) {
        job["items"] = Json::array();
        for (const auto& item : machine.job->items) job["items"].push_back(ItemJson(machine, item));
    }
    return job;
}

Json MachineJson(const MachineState& machine) {
    const Status empty;
    const Status& status = machine.status ? *machine.status : empty;
    return {{"name", machine.name},
            {"state", machine.Online() ? farm_wire::kOnline : machine.status ? farm_wire::kOffline : "unknown"},
            {"reason", TextOrNull(status.reason)},
            {"client", TextOrNull(status.client)},
            {"version", TextOrNull(status.version)},
            {"pid", status.pid},
            {"startedAt", TextOrNull(status.startedAt)},
            {"lastSeen", machine.lastSeen},
            {"dropped", {{"messages", status.droppedMessages}, {"bytes", status.droppedBytes}}},
            {"job", machine.job ? JobJson(machine, true) : Json()}};
}

}  // namespace dashboard
