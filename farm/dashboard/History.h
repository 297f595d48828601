// The job history: every job the farm has rendered, once, with its items, times and outcome, in
// SQLite (a file, the default) or a PostgreSQL server that several dashboards share. A job is
// known by its machine, the session the host gave it and the time it started there: a host that
// restarts begins again at session 1, but never at the same moment. Every write is idempotent,
// so a message delivered twice, a dashboard that catches up on what it missed, and two
// dashboards writing the same job all leave one row.
//
// The schema is the service's own: a version table says which it is, an older one is upgraded
// at start, a newer one refused.
//
// [any-thread]: one connection behind a mutex. Writes happen when a job begins and when it ends
// or is lost, never per frame. Every member throws std::runtime_error naming the database and
// its reason when the database fails.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "farm/dashboard/Database.h"

namespace dashboard {

struct LogLine {
    std::string time, message;
};

struct ItemRecord {
    int64_t item = 0;
    std::string name, state, startedAt, endedAt;
    int64_t framesDone = 0, framesTotal = 0;
    // Kept for an item that failed or stopped, or was rendering when its machine was lost.
    std::vector<LogLine> log;
    std::vector<std::string> warnings;
};

struct JobRecord {
    int64_t id = 0;
    std::string machine;
    int64_t session = 0;
    std::string project, appVersion, startedAt, endedAt;
    std::string state;    // "rendering" or "ended"
    std::string outcome;  // "done", "failed", "stopped", "lost" (the machine went away) or ""
    int64_t done = 0, stopped = 0, failed = 0, notStarted = 0;
    int64_t renderMs = 0;  // from its start to its end
    std::vector<ItemRecord> items;
};

// Which ended jobs a search takes: every field that is set must match. `project` matches any
// project whose name contains it, in any case; `from` and `to` bound the start time
// (from <= startedAt < to, ISO-8601 text or a date such as "2026-12-01").
struct JobFilter {
    std::string project, machine, outcome, from, to;
};

// Render time of ended jobs grouped by project or machine.
struct Hours {
    std::string key;
    int64_t jobs = 0, renderMs = 0;
};

// How long ended jobs are kept: those that started more than `days` ago go, and beyond the
// newest `jobs` (0: no bound by count). Jobs still rendering are never removed.
struct Retention {
    int days = 365;
    int64_t jobs = 0;
};

// Log lines (any container of LogLine) as the history stores them and the API shows them:
// [{"time": ..., "message": ...}].
template <typename Lines>
nlohmann::json LogJson(const Lines& log) {
    nlohmann::json out = nlohmann::json::array();
    for (const LogLine& line : log) out.push_back({{"time", line.time}, {"message", line.message}});
    return out;
}

class History {
public:
    // Opens the database (see OpenDatabase), creating or upgrading its schema.
    explicit History(const std::string& where);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // The id of the job (machine, session, startedAt), creating its row when it is new. A
    // machine renders one job at a time: its earlier jobs still shown as rendering were lost.
    int64_t Begin(const JobRecord& job);
    // Writes the job's end and its items; a job without an id (its beginning was never
    // written) is found or made as Begin does. An outcome of "lost" never replaces one that the
    // machine itself reported.
    void Finish(const JobRecord& job);
    // A job recorded as lost whose machine came back and goes on with it: rendering again.
    void Reopen(int64_t id);

    std::vector<JobRecord> Past(const JobFilter& filter, int limit, int offset);
    int64_t Count(const JobFilter& filter);
    std::vector<Hours> RenderHours(const JobFilter& filter, bool byMachine);
    std::optional<JobRecord> Get(int64_t id);

    // True the first time `key` is claimed in this database, by any dashboard: a notification
    // is sent by whoever claims it.
    bool Claim(const std::string& key);

    // Removes the ended jobs (and old claims) that `retention` no longer keeps; returns how many
    // jobs went. `nowMicros` is the wall clock.
    int64_t Prune(const Retention& retention, int64_t nowMicros);

    // Machines that left the live views (forgotten by an operator, or offline too long), with the
    // wall-clock microseconds they left at: the broker keeps their retained topics, which must
    // not bring them straight back, also after a restart. Forget replaces an earlier time;
    // Remember removes the machine from the list when it is back.
    void Forget(const std::string& machine, int64_t leftMicros);
    void Remember(const std::string& machine);
    std::map<std::string, int64_t> Forgotten();

    static constexpr int kSchemaVersion = 3;

private:
    void Upgrade();
    int64_t BeginLocked(const JobRecord& job);
    std::vector<JobRecord> Jobs(const std::string& where, const std::vector<Database::Value>& values);

    std::unique_ptr<Database> db_;
    std::mutex mutex_;
};

}  // namespace dashboard
