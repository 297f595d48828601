// The JSON that the REST API, the event stream and the history are given of the farm's state,
// and the remaining-time estimates in it. Pure functions of a MachineState, called under
// FarmState's lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "farm/dashboard/History.h"
#include "farm/dashboard/MachineState.h"

namespace dashboard {

// One line of JSON; a byte that is not UTF-8 is replaced rather than thrown on.
std::string Dump(const nlohmann::json& json);

nlohmann::json MachineJson(const MachineState& machine);
// The API's form of a job record; `withItems` adds the items.
nlohmann::json ToJson(const JobRecord& job, bool withItems);
// The machine's current job; `withItems` adds each item's description and live part.
nlohmann::json JobJson(const MachineState& machine, bool withItems);
nlohmann::json ProgressJson(const Progress& progress);

// The machine's tile: its state, what it renders, and why a person is needed. TileJson is the
// tile as the viewers and /api/tiles show it.
Tile TileOf(const MachineState& machine);
nlohmann::json TileJson(const std::string& machine, const Tile& tile);
const char* TileStateName(TileState state);
// The farm at a glance, from every machine's tile: counts by state, the projects rendering now
// added up by (project, item name), and the machines that need a person, worst first.
nlohmann::json SummaryJson(const Machines& machines);
constexpr size_t kSummaryAttentionRows = 500;

// Milliseconds until the item ends: the host's estimate, else from its frame rate.
std::optional<int64_t> ItemEtaMs(const Progress& progress);
// The rendering item's remaining time, plus, for each queued item, the mean time the job's
// finished items took (or the rendering item's whole time when none has finished).
std::optional<int64_t> JobEtaMs(const MachineState& machine);

// The job as the history keeps it, with `outcome` ("" while it renders).
JobRecord RecordOf(const MachineState& machine, const std::string& outcome);
// "failed" when any item failed, else "stopped" when any stopped, else "done".
std::string Outcome(const Counts& counts);

}  // namespace dashboard
