#include "farm/dashboard/Metrics.h"

#include <cstdio>
#include <set>

#include "farm/dashboard/Views.h"

namespace dashboard {
namespace {

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

// Families, each with its help and type, then its samples.
class Exposition {
public:
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ");
        text_.append(type).append("\n");
    }
    void Sample(const std::string& labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        text_.append(name_).append(labels.empty() ? "" : "{" + labels + "}").append(" ").append(number).append("\n");
    }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
    const char* name_ = "";
};

std::string MachineLabel(const MachineState& machine) { return "machine=\"" + Label(machine.name) + "\""; }

std::string ItemLabels(const MachineState& machine, int64_t item) {
    return MachineLabel(machine) + ",project=\"" + Label(machine.Project()) + "\",item=\"" + std::to_string(item) + "\"";
}

// Calls `emit(machine, item, live, progress)` for each item with progress in its machine's current job.
template <typename Emit>
void EachItem(const Machines& machines, Emit&& emit) {
    for (const auto& [name, machine] : machines) {
        for (const auto& [number, live] : machine->items)
            if (const Progress* progress = machine->CurrentProgress(number)) emit(*machine, number, live, *progress);
    }
}

}  // namespace

std::string MetricsText(const Machines& machines, const ServiceFigures& service) {
    Exposition out;
    out.Family("brevant_machine_up", "gauge", "1 while the machine's publisher is online.");
    for (const auto& [name, m] : machines) out.Sample(MachineLabel(*m), m->Online() ? 1 : 0);
    out.Family("brevant_machine_messages_dropped_total", "counter", "Messages the machine's publisher dropped before the broker.");
    for (const auto& [name, m] : machines)
        if (m->status) out.Sample(MachineLabel(*m), static_cast<double>(m->status->droppedMessages));
    out.Family("brevant_frames_rendered_total", "counter", "Frames rendered of the item in the current job.");
    EachItem(machines, [&](const MachineState& m, int64_t item, const LiveItem&, const Progress& p) {
        out.Sample(ItemLabels(m, item), static_cast<double>(p.framesDone));
    });
    out.Family("brevant_item_progress_ratio", "gauge", "Frames done over frames total.");
    EachItem(machines, [&](const MachineState& m, int64_t item, const LiveItem&, const Progress& p) {
        out.Sample(ItemLabels(m, item), p.framesTotal > 0 ? static_cast<double>(p.framesDone) / static_cast<double>(p.framesTotal) : 0.0);
    });
    out.Family("brevant_item_remaining_seconds", "gauge", "Estimated time until the item ends.");
    EachItem(machines, [&](const MachineState& m, int64_t item, const LiveItem&, const Progress& p) {
        if (auto eta = ItemEtaMs(p)) out.Sample(ItemLabels(m, item), static_cast<double>(*eta) / 1000.0);
    });
    out.Family("brevant_item_frames_per_second", "gauge", "Frames per second the item renders at.");
    EachItem(machines, [&](const MachineState& m, int64_t item, const LiveItem&, const Progress& p) {
        out.Sample(ItemLabels(m, item), p.fps);
    });
    out.Family("brevant_item_stalled", "gauge", "1 while the item's next frame is overdue.");
    EachItem(machines, [&](const MachineState& m, int64_t item, const LiveItem& live, const Progress&) {
        out.Sample(ItemLabels(m, item), live.stalled ? 1 : 0);
    });
    out.Family("brevant_output_projected_bytes", "gauge", "Projected final size of an output file.");
    EachItem(machines, [&](const MachineState& m, int64_t item, const LiveItem&, const Progress& p) {
        // By the output's place in the item, not its path: a path per frame or per render would
        // grow the series without bound.
        for (size_t index = 0; index < p.outputs.size(); ++index)
            out.Sample(ItemLabels(m, item) + ",output=\"" + std::to_string(index) + "\"",
                       static_cast<double>(p.outputs[index].projectedBytes));
    });
    out.Family("brevant_disk_free_bytes", "gauge", "Free space of the disk an output file is written to.");
    for (const auto& [name, m] : machines) {
        std::set<std::string> disks;
        for (const auto& [number, live] : m->items)
            if (live.progress)
                for (const auto& output : live.progress->outputs)
                    if (disks.insert(output.disk).second)
                        out.Sample(MachineLabel(*m) + ",disk=\"" + Label(output.disk) + "\"", static_cast<double>(output.freeBytes));
    }
    out.Family("brevant_dashboard_messages_total", "counter", "Messages received from the broker.");
    out.Sample("", static_cast<double>(service.received));
    out.Family("brevant_dashboard_messages_dropped_total", "counter", "Messages from the broker that failed validation and were dropped.");
    for (int reason = 0; reason < kDropReasonCount; ++reason)
        out.Sample(std::string("reason=\"") + DropReasonName(static_cast<DropReason>(reason)) + "\"",
                   static_cast<double>(service.dropped[reason]));
    out.Family("brevant_dashboard_broker_connected", "gauge", "1 while connected to the broker.");
    out.Sample("", service.brokerConnected ? 1 : 0);
    out.Family("brevant_dashboard_sse_clients", "gauge", "Browsers connected to the event stream.");
    out.Sample("", static_cast<double>(service.sseClients));
    out.Family("brevant_dashboard_sse_resyncs_total", "counter", "Event-stream clients that fell behind and were sent a new snapshot.");
    out.Sample("", static_cast<double>(service.sseResyncs));
    out.Family("brevant_dashboard_webhooks_total", "counter", "Webhook deliveries by result.");
    out.Sample("result=\"sent\"", static_cast<double>(service.webhooks.sent));
    out.Sample("result=\"retried\"", static_cast<double>(service.webhooks.retried));
    out.Sample("result=\"failed\"", static_cast<double>(service.webhooks.failed));
    out.Sample("result=\"dropped\"", static_cast<double>(service.webhooks.dropped));
    out.Family("brevant_dashboard_history_unwritten_jobs", "gauge",
               "Ended jobs waiting to be written while the history database is away.");
    out.Sample("", static_cast<double>(service.historyUnwritten));
    out.Family("brevant_dashboard_history_unwritten_dropped_total", "counter",
               "Ended jobs given up because too many waited for the history database.");
    out.Sample("", static_cast<double>(service.historyUnwrittenDropped));
    out.Family("brevant_dashboard_history_pruned_total", "counter", "Ended jobs the retention removed from the history.");
    out.Sample("", static_cast<double>(service.historyPruned));
    out.Family("brevant_dashboard_machines_retired_total", "counter",
               "Machines that left the live views: offline too long, or forgotten by an operator.");
    out.Sample("", static_cast<double>(service.machinesRetired));
    // Unknown until the broker has said them (a broker whose ACL hides $SYS never does).
    if (service.broker.droppedMessages >= 0) {
        out.Family("brevant_dashboard_broker_messages_dropped_total", "counter",
                   "Messages the broker dropped because a client's queue was full, for all its clients, since it started.");
        out.Sample("", static_cast<double>(service.broker.droppedMessages));
    }
    if (service.broker.storedMessages >= 0) {
        out.Family("brevant_dashboard_broker_stored_messages", "gauge", "Messages in the broker's store: retained and queued.");
        out.Sample("", static_cast<double>(service.broker.storedMessages));
    }
    return out.Take();
}

}  // namespace dashboard
