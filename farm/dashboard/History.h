// Job history in an SQLite database: every job the dashboard has seen gets a row (its id is the
// job's id in the API), and a job that ends is written with its items, times and outcome, so
// finished jobs outlive a restart of the service. [any-thread]: one connection behind a mutex;
// writes happen when a job begins, when it ends or is abandoned, never per frame.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;

namespace dashboard {

struct ItemRecord {
    int64_t item = 0;
    std::string name, state, startedAt, endedAt;
    int64_t framesDone = 0, framesTotal = 0;
};

struct JobRecord {
    int64_t id = 0;
    std::string machine;
    int64_t session = 0;
    std::string project, appVersion, startedAt, endedAt;
    std::string state;    // "rendering" or "ended"
    std::string outcome;  // "done", "failed", "stopped", "lost" (the machine went away) or ""
    int64_t done = 0, stopped = 0, failed = 0, notStarted = 0;
    std::vector<ItemRecord> items;
};

// The API's form of a job record; `withItems` adds the items.
nlohmann::json ToJson(const JobRecord& job, bool withItems);

class History {
public:
    // Opens or creates the database. Throws std::runtime_error naming the path and SQLite's
    // reason when it cannot be opened or is not a history database.
    explicit History(const std::string& path);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // The id of the job (machine, session, startedAt), creating its row when it is new.
    int64_t Begin(const JobRecord& job);
    // Writes the job's final state and its items.
    void Finish(const JobRecord& job);

    // Ended jobs, newest first.
    std::vector<JobRecord> Past(int limit, int offset);
    std::optional<JobRecord> Get(int64_t id);

    // Ended jobs kept: each Finish removes the oldest beyond this many.
    static constexpr int kKeepJobs = 10000;

private:
    struct Connection;
    std::unique_ptr<Connection> db_;
    std::mutex mutex_;
};

}  // namespace dashboard
