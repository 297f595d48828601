#include "farm/dashboard/Metrics.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "farm/dashboard/Views.h"

namespace dashboard {
namespace {

// Free-text label values (projects, disks) are cut to this many bytes, so that a long name makes
// no long series; machine names are bounded by the topic (Limits::machineNameBytes).
constexpr size_t kLabelBytes = 64;

// A label value as Prometheus reads it: backslash, double quote and line feed escaped. A text
// longer than `bound` keeps its first bytes (cut at a character's boundary) followed by "~" and
// the 8 hex digits of FNV-1a over the whole text, `bound` bytes in all, so that two long names
// that begin alike stay two series.
void AppendLabel(std::string& out, const std::string& value, size_t bound = std::string::npos) {
    size_t keep = value.size();
    char hash[10] = "";
    if (value.size() > bound) {
        uint32_t fnv = 2166136261u;
        for (unsigned char c : value) fnv = (fnv ^ c) * 16777619u;
        std::snprintf(hash, sizeof hash, "~%08x", static_cast<unsigned>(fnv));
        keep = bound - 9;
        while (keep > 0 && (static_cast<unsigned char>(value[keep]) & 0xC0) == 0x80) --keep;  // a UTF-8 continuation byte
    }
    for (size_t i = 0; i < keep; ++i) {
        const char c = value[i];
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    out += hash;
}

// Families, each with its help and type, then its samples.
class Exposition {
public:
    explicit Exposition(size_t reserve) { text_.reserve(reserve); }
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ");
        text_.append(type).append("\n");
    }
    template <typename Number>
    void Sample(const std::string& labels, Number value) {
        text_.append(name_);
        if (!labels.empty()) text_.append("{").append(labels).append("}");
        char number[32];
        // The shortest text that reads back as the same number.
        const auto end = std::to_chars(number, number + sizeof number, value).ptr;
        text_.append(" ").append(number, end).append("\n");
    }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
    const char* name_ = "";
};

template <typename Number>
double Ratio(Number part, Number whole) {
    return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

}  // namespace

uint64_t& FailedItems::Touch(const std::string& project) {
    auto [entry, added] = projects_.try_emplace(project);
    entry->second.heard = ++clock_;
    if (added && projects_.size() > kProjects) {
        projects_.erase(std::min_element(projects_.begin(), projects_.end(), [](const auto& a, const auto& b) {
            return a.second.heard < b.second.heard;
        }));
    }
    return entry->second.count;
}

std::vector<std::pair<std::string, uint64_t>> FailedItems::Counts() const {
    std::vector<std::pair<std::string, uint64_t>> counts;
    counts.reserve(projects_.size());
    for (const auto& [project, entry] : projects_) counts.emplace_back(project, entry.count);
    return counts;
}

void AddMachineFigures(const Machines& machines, FarmFigures& figures) {
    figures.machines.reserve(machines.size());
    figures.items.reserve(machines.size());
    figures.projectedBytes.reserve(machines.size());
    figures.disks.reserve(machines.size());
    for (const auto& entry : machines) {
        const MachineState& m = *entry.second;
        const size_t index = figures.machines.size();
        figures.machines.push_back({m.name, m.Project(), m.Online(), m.tile.state == TileState::Lost,
                                    m.status ? m.status->droppedMessages : -1});
        const size_t firstDisk = figures.disks.size();
        const auto disk = [&](const std::string& name) -> FarmFigures::Disk& {
            for (size_t d = firstDisk; d < figures.disks.size(); ++d)
                if (figures.disks[d].name == name) return figures.disks[d];
            return figures.disks.emplace_back(FarmFigures::Disk{index, name, 0, -1, 0});
        };
        for (const auto& [number, live] : m.items) {
            const Progress* p = m.CurrentProgress(number);
            if (!p) continue;
            figures.items.push_back({index, number, p->framesDone, p->framesTotal, ItemEtaMs(*p), p->fps, live.stalled,
                                     figures.projectedBytes.size(), p->outputs.size()});
            for (const Output& output : p->outputs) {
                figures.projectedBytes.push_back(output.projectedBytes);
                if (output.disk.empty()) continue;
                FarmFigures::Disk& d = disk(output.disk);
                if (p->ts > d.freeTs) d.freeBytes = output.freeBytes, d.freeTs = p->ts;
            }
        }
        // What the items rendering now have still to write, by disk.
        if (!m.job) continue;
        for (const auto& item : m.job->items) {
            const Progress* p = item.state == farm_wire::kItemRendering ? m.CurrentProgress(item.item) : nullptr;
            if (!p) continue;
            for (const Output& output : p->outputs)
                if (!output.disk.empty()) disk(output.disk).pendingBytes += std::max<int64_t>(output.projectedBytes - output.bytes, 0);
        }
    }
}

std::string MetricsText(const FarmFigures& f) {
    // Labels made once per machine and per item, for all the families that repeat them.
    std::vector<std::string> machineLabels, itemLabels;
    machineLabels.reserve(f.machines.size());
    for (const auto& m : f.machines) {
        std::string& labels = machineLabels.emplace_back("machine=\"");
        AppendLabel(labels, m.name);
        labels += '"';
    }
    itemLabels.reserve(f.items.size());
    for (const auto& item : f.items) {
        std::string& labels = itemLabels.emplace_back(machineLabels[item.machine]);
        labels += ",project=\"";
        AppendLabel(labels, f.machines[item.machine].project, kLabelBytes);
        labels.append("\",item=\"").append(std::to_string(item.item)).append("\"");
    }
    Exposition out((f.machines.size() + f.items.size() * 7 + f.disks.size() * 2) * 96 + 8192);

    out.Family("brevant_machine_up", "gauge", "1 while the machine's publisher is online.");
    for (size_t i = 0; i < f.machines.size(); ++i) out.Sample(machineLabels[i], f.machines[i].up ? 1 : 0);
    out.Family("brevant_machine_lost", "gauge",
               "1 while the machine is gone (offline or silent) in the middle of a job, until it is back or forgotten.");
    for (size_t i = 0; i < f.machines.size(); ++i) out.Sample(machineLabels[i], f.machines[i].lost ? 1 : 0);
    out.Family("brevant_machine_messages_dropped_total", "counter", "Messages the machine's publisher dropped before the broker.");
    for (size_t i = 0; i < f.machines.size(); ++i)
        if (f.machines[i].droppedMessages >= 0) out.Sample(machineLabels[i], f.machines[i].droppedMessages);

    out.Family("brevant_frames_rendered_total", "counter", "Frames rendered of the item in the current job.");
    for (size_t i = 0; i < f.items.size(); ++i) out.Sample(itemLabels[i], f.items[i].framesDone);
    out.Family("brevant_item_progress_ratio", "gauge", "Frames done over frames total.");
    for (size_t i = 0; i < f.items.size(); ++i) out.Sample(itemLabels[i], Ratio(f.items[i].framesDone, f.items[i].framesTotal));
    out.Family("brevant_item_remaining_seconds", "gauge", "Estimated time until the item ends.");
    for (size_t i = 0; i < f.items.size(); ++i)
        if (f.items[i].etaMs) out.Sample(itemLabels[i], static_cast<double>(*f.items[i].etaMs) / 1000.0);
    out.Family("brevant_item_frames_per_second", "gauge", "Frames per second the item renders at.");
    for (size_t i = 0; i < f.items.size(); ++i) out.Sample(itemLabels[i], f.items[i].fps);
    out.Family("brevant_item_stalled", "gauge", "1 while the item's next frame is overdue.");
    for (size_t i = 0; i < f.items.size(); ++i) out.Sample(itemLabels[i], f.items[i].stalled ? 1 : 0);
    out.Family("brevant_output_projected_bytes", "gauge", "Projected final size of an output file.");
    for (size_t i = 0; i < f.items.size(); ++i) {
        // By the output's place in the item, not its path: a path per frame or per render would
        // grow the series without bound.
        for (size_t o = 0; o < f.items[i].outputs; ++o)
            out.Sample(itemLabels[i] + ",output=\"" + std::to_string(o) + "\"", f.projectedBytes[f.items[i].firstOutput + o]);
    }

    std::vector<std::string> diskLabels;
    diskLabels.reserve(f.disks.size());
    for (const auto& disk : f.disks) {
        std::string& labels = diskLabels.emplace_back(machineLabels[disk.machine]);
        labels += ",disk=\"";
        AppendLabel(labels, disk.name, kLabelBytes);
        labels += '"';
    }
    out.Family("brevant_disk_free_bytes", "gauge", "Free space of the disk an output file is written to.");
    for (size_t i = 0; i < f.disks.size(); ++i) out.Sample(diskLabels[i], f.disks[i].freeBytes);
    out.Family("brevant_disk_pending_write_bytes", "gauge",
               "Bytes the machine's rendering items have still to write to the disk: projected final sizes less bytes written.");
    for (size_t i = 0; i < f.disks.size(); ++i) out.Sample(diskLabels[i], f.disks[i].pendingBytes);

    out.Family("brevant_items_failed_total", "counter", "Items of the project seen to fail since the service started.");
    for (const auto& [project, count] : f.failedItems) {
        std::string labels = "project=\"";
        AppendLabel(labels, project, kLabelBytes);
        out.Sample(labels + '"', count);
    }

    const ServiceFigures& service = f.service;
    out.Family("brevant_dashboard_messages_total", "counter", "Messages received from the broker.");
    out.Sample("", service.received);
    out.Family("brevant_dashboard_messages_dropped_total", "counter", "Messages from the broker that failed validation and were dropped.");
    for (int reason = 0; reason < kDropReasonCount; ++reason)
        out.Sample(std::string("reason=\"") + DropReasonName(static_cast<DropReason>(reason)) + "\"", service.dropped[reason]);
    out.Family("brevant_dashboard_broker_connected", "gauge", "1 while connected to the broker.");
    out.Sample("", service.brokerConnected ? 1 : 0);
    out.Family("brevant_dashboard_sse_clients", "gauge", "Browsers connected to the event stream.");
    out.Sample("", service.sseClients);
    out.Family("brevant_dashboard_sse_resyncs_total", "counter", "Event-stream clients that fell behind and were sent a new snapshot.");
    out.Sample("", service.sseResyncs);
    out.Family("brevant_dashboard_webhooks_total", "counter", "Webhook deliveries by result.");
    out.Sample("result=\"sent\"", service.webhooks.sent);
    out.Sample("result=\"retried\"", service.webhooks.retried);
    out.Sample("result=\"failed\"", service.webhooks.failed);
    out.Sample("result=\"dropped\"", service.webhooks.dropped);
    out.Family("brevant_dashboard_history_unwritten_jobs", "gauge",
               "Ended jobs waiting to be written while the history database is away.");
    out.Sample("", service.historyUnwritten);
    out.Family("brevant_dashboard_history_unwritten_dropped_total", "counter",
               "Ended jobs given up because too many waited for the history database.");
    out.Sample("", service.historyUnwrittenDropped);
    out.Family("brevant_dashboard_history_pruned_total", "counter", "Ended jobs the retention removed from the history.");
    out.Sample("", service.historyPruned);
    out.Family("brevant_dashboard_machines_retired_total", "counter",
               "Machines that left the live views: offline too long, or forgotten by an operator.");
    out.Sample("", service.machinesRetired);
    // Unknown until the broker has said them (a broker whose ACL hides $SYS never does).
    if (service.broker.droppedMessages >= 0) {
        out.Family("brevant_dashboard_broker_messages_dropped_total", "counter",
                   "Messages the broker dropped because a client's queue was full, for all its clients, since it started.");
        out.Sample("", service.broker.droppedMessages);
    }
    if (service.broker.storedMessages >= 0) {
        out.Family("brevant_dashboard_broker_stored_messages", "gauge", "Messages in the broker's store: retained and queued.");
        out.Sample("", service.broker.storedMessages);
    }
    return out.Take();
}

}  // namespace dashboard
