#include "farm/dashboard/History.h"

#include <sqlite3.h>

#include <stdexcept>

namespace dashboard {
namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS jobs (
  id INTEGER PRIMARY KEY,
  machine TEXT NOT NULL,
  session INTEGER NOT NULL,
  started_at TEXT NOT NULL,
  project TEXT NOT NULL DEFAULT '',
  app_version TEXT NOT NULL DEFAULT '',
  ended_at TEXT NOT NULL DEFAULT '',
  state TEXT NOT NULL DEFAULT 'rendering',
  outcome TEXT NOT NULL DEFAULT '',
  done INTEGER NOT NULL DEFAULT 0,
  stopped INTEGER NOT NULL DEFAULT 0,
  failed INTEGER NOT NULL DEFAULT 0,
  not_started INTEGER NOT NULL DEFAULT 0,
  UNIQUE (machine, session, started_at));
CREATE TABLE IF NOT EXISTS items (
  job_id INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
  item INTEGER NOT NULL,
  name TEXT NOT NULL,
  state TEXT NOT NULL,
  frames_done INTEGER NOT NULL,
  frames_total INTEGER NOT NULL,
  started_at TEXT NOT NULL,
  ended_at TEXT NOT NULL,
  PRIMARY KEY (job_id, item));
CREATE INDEX IF NOT EXISTS jobs_ended ON jobs (state, id);
)sql";

const char* const kJobColumns =
    "id, machine, session, started_at, project, app_version, ended_at, state, outcome, done, stopped, failed, not_started";

}  // namespace

struct History::Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close(db); }

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
    }

    // One prepared statement, finalised on every path.
    class Statement {
    public:
        Statement(Connection& connection, const char* sql) : connection_(connection) {
            if (sqlite3_prepare_v2(connection_.db, sql, -1, &statement_, nullptr) != SQLITE_OK)
                connection_.Fail("cannot prepare a history statement");
        }
        ~Statement() { sqlite3_finalize(statement_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        // A value that cannot be bound would write a row with a hole in it: refused.
        Statement& Bind(int index, int64_t value) { return Check(sqlite3_bind_int64(statement_, index, value)); }
        Statement& Bind(int index, const std::string& text) {
            return Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        }
        // True while a row is available.
        bool Step() {
            int result = sqlite3_step(statement_);
            if (result == SQLITE_ROW) return true;
            if (result != SQLITE_DONE) connection_.Fail("cannot write the job history");
            return false;
        }
        int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
        std::string Text(int column) const {
            auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
            return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
        }

    private:
        Statement& Check(int result) {
            if (result != SQLITE_OK) connection_.Fail("cannot bind a history value");
            return *this;
        }
        Connection& connection_;
        sqlite3_stmt* statement_ = nullptr;
    };

    void Exec(const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot use the job history");
    }

    JobRecord ReadJob(const Statement& row) const {
        JobRecord job;
        job.id = row.Int(0);
        job.machine = row.Text(1);
        job.session = row.Int(2);
        job.startedAt = row.Text(3);
        job.project = row.Text(4);
        job.appVersion = row.Text(5);
        job.endedAt = row.Text(6);
        job.state = row.Text(7);
        job.outcome = row.Text(8);
        job.done = row.Int(9);
        job.stopped = row.Int(10);
        job.failed = row.Int(11);
        job.notStarted = row.Int(12);
        return job;
    }
};

nlohmann::json ToJson(const JobRecord& job, bool withItems) {
    nlohmann::json out = {{"id", job.id},
                          {"machine", job.machine},
                          {"session", job.session},
                          {"project", job.project},
                          {"appVersion", job.appVersion},
                          {"state", job.state},
                          {"outcome", job.outcome},
                          {"startedAt", job.startedAt},
                          {"endedAt", job.endedAt.empty() ? nlohmann::json() : nlohmann::json(job.endedAt)},
                          {"counts", {{"done", job.done}, {"stopped", job.stopped}, {"failed", job.failed}, {"notStarted", job.notStarted}}}};
    if (withItems) {
        out["items"] = nlohmann::json::array();
        for (const auto& item : job.items)
            out["items"].push_back({{"item", item.item},
                                    {"name", item.name},
                                    {"state", item.state},
                                    {"framesDone", item.framesDone},
                                    {"framesTotal", item.framesTotal},
                                    {"startedAt", item.startedAt.empty() ? nlohmann::json() : nlohmann::json(item.startedAt)},
                                    {"endedAt", item.endedAt.empty() ? nlohmann::json() : nlohmann::json(item.endedAt)}});
    }
    return out;
}

History::History(const std::string& path) : db_(std::make_unique<Connection>()) {
    if (sqlite3_open_v2(path.c_str(), &db_->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
        db_->Fail("cannot open the history database " + path);
    sqlite3_busy_timeout(db_->db, 2000);
    try {
        db_->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
        db_->Exec(kSchema);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(path + ": " + error.what());
    }
}

History::~History() = default;

int64_t History::Begin(const JobRecord& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection::Statement insert(*db_,
        "INSERT INTO jobs (machine, session, started_at, project, app_version) VALUES (?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT (machine, session, started_at) DO UPDATE SET project = excluded.project RETURNING id");
    insert.Bind(1, job.machine).Bind(2, job.session).Bind(3, job.startedAt).Bind(4, job.project).Bind(5, job.appVersion);
    int64_t id = insert.Step() ? insert.Int(0) : 0;
    while (insert.Step()) {
    }
    return id;
}

void History::Finish(const JobRecord& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->Exec("BEGIN");
    try {
        Connection::Statement update(*db_,
            "UPDATE jobs SET project = ?2, app_version = ?3, ended_at = ?4, state = ?5, outcome = ?6, done = ?7, "
            "stopped = ?8, failed = ?9, not_started = ?10 WHERE id = ?1");
        update.Bind(1, job.id).Bind(2, job.project).Bind(3, job.appVersion).Bind(4, job.endedAt).Bind(5, job.state)
            .Bind(6, job.outcome).Bind(7, job.done).Bind(8, job.stopped).Bind(9, job.failed).Bind(10, job.notStarted);
        update.Step();
        Connection::Statement clear(*db_, "DELETE FROM items WHERE job_id = ?1");
        clear.Bind(1, job.id).Step();
        for (const auto& item : job.items) {
            Connection::Statement insert(*db_, "INSERT INTO items VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
            insert.Bind(1, job.id).Bind(2, item.item).Bind(3, item.name).Bind(4, item.state).Bind(5, item.framesDone)
                .Bind(6, item.framesTotal).Bind(7, item.startedAt).Bind(8, item.endedAt).Step();
        }
        Connection::Statement prune(*db_,
            "DELETE FROM jobs WHERE state = 'ended' AND id NOT IN "
            "(SELECT id FROM jobs WHERE state = 'ended' ORDER BY id DESC LIMIT ?1)");
        prune.Bind(1, kKeepJobs).Step();
        db_->Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_->db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<JobRecord> History::Past(int limit, int offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection::Statement select(*db_, (std::string("SELECT ") + kJobColumns +
                                        " FROM jobs WHERE state = 'ended' ORDER BY id DESC LIMIT ?1 OFFSET ?2").c_str());
    select.Bind(1, limit).Bind(2, offset);
    std::vector<JobRecord> jobs;
    while (select.Step()) jobs.push_back(db_->ReadJob(select));
    return jobs;
}

std::optional<JobRecord> History::Get(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection::Statement select(*db_, (std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?1").c_str());
    select.Bind(1, id);
    if (!select.Step()) return std::nullopt;
    JobRecord job = db_->ReadJob(select);
    while (select.Step()) {
    }
    Connection::Statement items(*db_,
        "SELECT item, name, state, frames_done, frames_total, started_at, ended_at FROM items WHERE job_id = ?1 ORDER BY item");
    items.Bind(1, id);
    while (items.Step())
        job.items.push_back({items.Int(0), items.Text(1), items.Text(2), items.Text(5), items.Text(6), items.Int(3), items.Int(4)});
    return job;
}

}  // namespace dashboard
