#include "farm/dashboard/History.h"

#include <stdexcept>

#include "farm/wire/Wire.h"

namespace dashboard {
namespace {

using Json = nlohmann::json;
using Values = std::vector<Database::Value>;

const char* const kVersionTable = "brevant_history_schema";

// Each version's change, applied in order from the database's version to the service's. "{id}"
// is the connection's id column type. Version 1 is what the first dashboards created, without a
// version table.
const char* const kUpgrades[History::kSchemaVersion] = {
    R"sql(
CREATE TABLE IF NOT EXISTS jobs (
  id {id},
  machine TEXT NOT NULL,
  session BIGINT NOT NULL,
  started_at TEXT NOT NULL,
  project TEXT NOT NULL DEFAULT '',
  app_version TEXT NOT NULL DEFAULT '',
  ended_at TEXT NOT NULL DEFAULT '',
  state TEXT NOT NULL DEFAULT 'rendering',
  outcome TEXT NOT NULL DEFAULT '',
  done BIGINT NOT NULL DEFAULT 0,
  stopped BIGINT NOT NULL DEFAULT 0,
  failed BIGINT NOT NULL DEFAULT 0,
  not_started BIGINT NOT NULL DEFAULT 0,
  UNIQUE (machine, session, started_at));
CREATE TABLE IF NOT EXISTS items (
  job_id BIGINT NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
  item BIGINT NOT NULL,
  name TEXT NOT NULL,
  state TEXT NOT NULL,
  frames_done BIGINT NOT NULL,
  frames_total BIGINT NOT NULL,
  started_at TEXT NOT NULL,
  ended_at TEXT NOT NULL,
  PRIMARY KEY (job_id, item));
CREATE INDEX IF NOT EXISTS jobs_ended ON jobs (state, id);
)sql",
    // Render time, the last words of items that did not finish, notifications sent once, and
    // the indexes a search by start, machine or project uses.
    R"sql(
ALTER TABLE jobs ADD COLUMN render_ms BIGINT NOT NULL DEFAULT 0;
ALTER TABLE items ADD COLUMN log TEXT NOT NULL DEFAULT '';
ALTER TABLE items ADD COLUMN warnings TEXT NOT NULL DEFAULT '';
CREATE TABLE notices (key TEXT PRIMARY KEY, claimed_at TEXT NOT NULL);
DROP INDEX jobs_ended;
CREATE INDEX jobs_started ON jobs (state, started_at);
CREATE INDEX jobs_machine ON jobs (machine, started_at);
CREATE INDEX jobs_project ON jobs (project, started_at);
)sql",
    // Machines that left the live views, and when.
    R"sql(
CREATE TABLE forgotten (machine TEXT PRIMARY KEY, left_at TEXT NOT NULL);
)sql",
};

const char* const kJobColumns =
    "SELECT id, machine, session, started_at, project, app_version, ended_at, state, outcome, done, stopped, failed, "
    "not_started, render_ms FROM jobs ";

// The ended jobs a filter takes; its values are ?1 to ?6.
const char* const kFilter =
    "WHERE state = 'ended' AND (?1 = '' OR lower(project) LIKE ?2 ESCAPE '\\') AND (?3 = '' OR machine = ?3) "
    "AND (?4 = '' OR outcome = ?4) AND (?5 = '' OR started_at >= ?5) AND (?6 = '' OR started_at < ?6) ";

Values FilterValues(const JobFilter& filter) {
    std::string pattern = "%";
    for (char c : filter.project) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    pattern += '%';
    return {filter.project, pattern, filter.machine, filter.outcome, filter.from, filter.to};
}

int64_t Int(const std::string& text) { return text.empty() ? 0 : std::stoll(text); }

int64_t RenderMs(const std::string& startedAt, const std::string& endedAt) {
    auto start = farm_wire::IsoMicros(startedAt), end = farm_wire::IsoMicros(endedAt);
    return start && end && *end > *start ? (*end - *start) / 1000 : 0;
}

JobRecord ReadJob(const Database::Row& row) {
    JobRecord job;
    job.id = Int(row[0]);
    job.machine = row[1];
    job.session = Int(row[2]);
    job.startedAt = row[3];
    job.project = row[4];
    job.appVersion = row[5];
    job.endedAt = row[6];
    job.state = row[7];
    job.outcome = row[8];
    job.done = Int(row[9]);
    job.stopped = Int(row[10]);
    job.failed = Int(row[11]);
    job.notStarted = Int(row[12]);
    job.renderMs = Int(row[13]);
    return job;
}

}  // namespace

History::History(const std::string& where) : db_(OpenDatabase(where)) { Upgrade(); }

History::~History() = default;

void History::Upgrade() {
    // Two dashboards starting on one new server may both create the version table; the second
    // finds it made.
    try {
        db_->Script(std::string("CREATE TABLE IF NOT EXISTS ") + kVersionTable + " (version INTEGER NOT NULL)");
    } catch (const std::runtime_error&) {
        if (!db_->HasTable(kVersionTable)) throw;
    }
    Transaction transaction(*db_, kVersionTable);
    auto rows = db_->Run(std::string("SELECT version FROM ") + kVersionTable);
    const int version = !rows.empty() ? static_cast<int>(Int(rows[0][0])) : db_->HasTable("jobs") ? 1 : 0;
    if (version > kSchemaVersion)
        throw std::runtime_error(db_->Name() + ": the history's schema is version " + std::to_string(version) +
                                 ", newer than this brevant-dashboard knows (" + std::to_string(kSchemaVersion) +
                                 "): run a newer brevant-dashboard, or give another --db");
    for (int next = version + 1; next <= kSchemaVersion; ++next) {
        std::string script = kUpgrades[next - 1];
        if (auto at = script.find("{id}"); at != std::string::npos) script.replace(at, 4, db_->IdColumn());
        db_->Script(script);
        if (next == 2) {
            for (const auto& row : db_->Run("SELECT id, started_at, ended_at FROM jobs WHERE state = 'ended'"))
                db_->Run("UPDATE jobs SET render_ms = ?2 WHERE id = ?1", {Int(row[0]), RenderMs(row[1], row[2])});
        }
    }
    db_->Run(rows.empty() ? std::string("INSERT INTO ") + kVersionTable + " (version) VALUES (?1)"
                          : std::string("UPDATE ") + kVersionTable + " SET version = ?1",
             {int64_t{kSchemaVersion}});
    transaction.Commit();
}

int64_t History::Begin(const JobRecord& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    return BeginLocked(job);
}

int64_t History::BeginLocked(const JobRecord& job) {
    auto rows = db_->Run(
        "INSERT INTO jobs (machine, session, started_at, project, app_version) VALUES (?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT (machine, session, started_at) DO UPDATE SET project = excluded.project RETURNING id",
        {job.machine, job.session, job.startedAt, job.project, job.appVersion});
    db_->Run("UPDATE jobs SET state = 'ended', outcome = 'lost', ended_at = ?2 "
             "WHERE machine = ?1 AND state = 'rendering' AND started_at < ?2",
             {job.machine, job.startedAt});
    return Int(rows.at(0).at(0));
}

void History::Finish(const JobRecord& ended) {
    std::lock_guard<std::mutex> lock(mutex_);
    JobRecord job = ended;
    if (job.id == 0) job.id = BeginLocked(job);
    Transaction transaction(*db_);
    auto updated = db_->Run(
        "UPDATE jobs SET project = ?2, app_version = ?3, ended_at = ?4, state = 'ended', outcome = ?5, done = ?6, "
        "stopped = ?7, failed = ?8, not_started = ?9, render_ms = ?10 "
        "WHERE id = ?1 AND (?5 <> 'lost' OR state = 'rendering') RETURNING id",
        {job.id, job.project, job.appVersion, job.endedAt, job.outcome, job.done, job.stopped, job.failed,
         job.notStarted, RenderMs(job.startedAt, job.endedAt)});
    if (!updated.empty()) {
        db_->Run("DELETE FROM items WHERE job_id = ?1", {job.id});
        for (const auto& item : job.items) {
            db_->Run("INSERT INTO items (job_id, item, name, state, frames_done, frames_total, started_at, ended_at, "
                     "log, warnings) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                     {job.id, item.item, item.name, item.state, item.framesDone, item.framesTotal, item.startedAt,
                      item.endedAt, item.log.empty() ? std::string() : LogJson(item.log).dump(),
                      item.warnings.empty() ? std::string() : Json(item.warnings).dump()});
        }
    }
    transaction.Commit();
}

void History::Reopen(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->Run("UPDATE jobs SET state = 'rendering', outcome = '', ended_at = '' WHERE id = ?1 AND outcome = 'lost'", {id});
}

std::vector<JobRecord> History::Jobs(const std::string& where, const Values& values) {
    std::vector<JobRecord> jobs;
    for (const auto& row : db_->Run(kJobColumns + where, values)) jobs.push_back(ReadJob(row));
    return jobs;
}

std::vector<JobRecord> History::Past(const JobFilter& filter, int limit, int offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    Values values = FilterValues(filter);
    values.insert(values.end(), {int64_t{limit}, int64_t{offset}});
    return Jobs(std::string(kFilter) + "ORDER BY started_at DESC, id DESC LIMIT ?7 OFFSET ?8", values);
}

int64_t History::Count(const JobFilter& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Int(db_->Run(std::string("SELECT COUNT(*) FROM jobs ") + kFilter, FilterValues(filter)).at(0).at(0));
}

std::vector<Hours> History::RenderHours(const JobFilter& filter, bool byMachine) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = byMachine ? "machine" : "project";
    std::vector<Hours> hours;
    for (const auto& row : db_->Run("SELECT " + key + ", COUNT(*), COALESCE(SUM(render_ms), 0) FROM jobs " + kFilter +
                                        "GROUP BY " + key + " ORDER BY 3 DESC, 1",
                                    FilterValues(filter)))
        hours.push_back({row[0], Int(row[1]), Int(row[2])});
    return hours;
}

std::optional<JobRecord> History::Get(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto jobs = Jobs("WHERE id = ?1", {id});
    if (jobs.empty()) return std::nullopt;
    JobRecord job = std::move(jobs.front());
    for (const auto& row : db_->Run("SELECT item, name, state, frames_done, frames_total, started_at, ended_at, log, "
                                    "warnings FROM items WHERE job_id = ?1 ORDER BY item",
                                    {id})) {
        ItemRecord item{Int(row[0]), row[1], row[2], row[5], row[6], Int(row[3]), Int(row[4]), {}, {}};
        // Written by this class from valid JSON; a hand-edited row reads as no log.
        Json log = Json::parse(row[7], nullptr, false), warnings = Json::parse(row[8], nullptr, false);
        if (log.is_array())
            for (const auto& entry : log)
                if (entry.is_object()) item.log.push_back({entry.value("time", ""), entry.value("message", "")});
        if (warnings.is_array())
            for (const auto& warning : warnings)
                if (warning.is_string()) item.warnings.push_back(warning.get<std::string>());
        job.items.push_back(std::move(item));
    }
    return job;
}

bool History::Claim(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !db_->Run("INSERT INTO notices (key, claimed_at) VALUES (?1, ?2) ON CONFLICT (key) DO NOTHING RETURNING key",
                     {key, farm_wire::IsoTime(farm_wire::WallMicros())})
                .empty();
}

int64_t History::Prune(const Retention& retention, int64_t nowMicros) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t removed = 0;
    if (retention.days > 0) {
        const std::string cutoff = farm_wire::IsoTime(std::max<int64_t>(0, nowMicros - int64_t{retention.days} * 86400000000));
        removed += static_cast<int64_t>(
            db_->Run("DELETE FROM jobs WHERE state = 'ended' AND started_at < ?1 RETURNING id", {cutoff}).size());
        db_->Run("DELETE FROM notices WHERE claimed_at < ?1", {cutoff});
    }
    if (retention.jobs > 0) {
        removed += static_cast<int64_t>(
            db_->Run("DELETE FROM jobs WHERE id IN (SELECT id FROM jobs WHERE state = 'ended' "
                     "ORDER BY started_at DESC, id DESC LIMIT 9223372036854775807 OFFSET ?1) RETURNING id",
                     {retention.jobs})
                .size());
    }
    return removed;
}

void History::Forget(const std::string& machine, int64_t leftMicros) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->Run("INSERT INTO forgotten (machine, left_at) VALUES (?1, ?2) "
             "ON CONFLICT (machine) DO UPDATE SET left_at = excluded.left_at",
             {machine, farm_wire::IsoTime(leftMicros)});
}

void History::Remember(const std::string& machine) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->Run("DELETE FROM forgotten WHERE machine = ?1", {machine});
}

std::map<std::string, int64_t> History::Forgotten() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, int64_t> forgotten;
    for (const auto& row : db_->Run("SELECT machine, left_at FROM forgotten"))
        forgotten[row[0]] = farm_wire::IsoMicros(row[1]).value_or(0);
    return forgotten;
}

}  // namespace dashboard
