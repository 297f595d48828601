// The job history on each of its databases: SQLite always, and the PostgreSQL server named by
// BREVANT_TEST_POSTGRES when test_postgres.py has started one. Both must give the same answers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <tuple>

#include "farm/dashboard/History.h"
#include "farm/dashboard/Views.h"
#include "farm/wire/Wire.h"

namespace dashboard {
namespace {

std::string SqlitePath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()) + ".db")).string();
}
void RemoveSqlite(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

class HistoryOn : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "sqlite") return RemoveSqlite(where_ = SqlitePath("brevant-history-"));
        where_ = std::getenv("BREVANT_TEST_POSTGRES");
        OpenDatabase(where_)->Script("DROP TABLE IF EXISTS items, jobs, notices, forgotten, brevant_history_schema CASCADE");
    }
    void TearDown() override {
        if (GetParam() == "sqlite") RemoveSqlite(where_);
    }

    static JobRecord Job(const std::string& machine, int64_t session, const std::string& startedAt, const std::string& project = "P") {
        JobRecord job;
        job.machine = machine;
        job.session = session;
        job.startedAt = startedAt;
        job.project = project;
        return job;
    }
    // Begins and ends a job that rendered `minutes` from `startedAt`.
    static int64_t Ended(History& history, JobRecord job, const std::string& outcome, int64_t minutes) {
        job.id = history.Begin(job);
        job.state = "ended";
        job.outcome = outcome;
        job.endedAt = farm_wire::IsoTime(*farm_wire::IsoMicros(job.startedAt) + minutes * 60000000);
        job.done = outcome == "done" ? 2 : 1;
        job.failed = outcome == "failed";
        history.Finish(job);
        return job.id;
    }

    std::string where_;
};

// One job, whatever delivers it again: the same identity gives the same row, a restarted host
// (session 1 again) a new one, and a machine's next job ends the one it left rendering.
TEST_P(HistoryOn, AJobIsKeptOnceAndLostOnlyUntilItsMachineSaysOtherwise) {
    History history(where_);
    const JobRecord first = Job("m", 1, "2026-12-01T10:00:00.000Z");
    const int64_t id = history.Begin(first);
    EXPECT_EQ(history.Begin(first), id);
    JobRecord lost = first;
    lost.id = id;
    lost.state = "ended";
    lost.outcome = "lost";
    lost.endedAt = "2026-12-01T10:30:00.000Z";
    history.Finish(lost);
    JobRecord done = lost;
    done.outcome = "done";
    done.done = 3;
    done.items = {{1, "Comp", "failed", "", "", 4, 8, {{"T", "out of memory"}}, {"missing font"}}};
    history.Finish(done);
    history.Finish(lost);  // a second dashboard's late view of the machine going away
    std::optional<JobRecord> stored = history.Get(id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(std::tie(stored->outcome, stored->done, stored->renderMs), std::make_tuple("done", 3, 30 * 60000));
    EXPECT_EQ(ToJson(*stored, true)["items"][0]["log"][0]["message"], "out of memory");
    EXPECT_EQ(stored->items.at(0).warnings, std::vector<std::string>{"missing font"});

    const int64_t restarted = history.Begin(Job("m", 1, "2026-12-01T11:00:00.000Z"));
    EXPECT_NE(restarted, id);
    history.Begin(Job("m", 2, "2026-12-01T12:00:00.000Z"));
    EXPECT_EQ(std::tie(history.Get(restarted)->outcome, history.Get(restarted)->state), std::make_tuple("lost", "ended"));
    history.Reopen(restarted);
    EXPECT_EQ(history.Get(restarted)->state, "rendering");
    history.Reopen(id);  // not lost: stays as it ended
    EXPECT_EQ(history.Get(id)->outcome, "done");
}

TEST_P(HistoryOn, SearchesCountsAndRenderHours) {
    History history(where_);
    const int64_t a = Ended(history, Job("m1", 1, "2026-12-01T10:00:00.000Z", "Shot_10"), "done", 60);
    const int64_t b = Ended(history, Job("m2", 1, "2026-12-02T10:00:00.000Z", "shot_100%"), "failed", 30);
    const int64_t c = Ended(history, Job("m1", 2, "2026-12-03T10:00:00.000Z", "Other"), "done", 90);
    history.Begin(Job("m3", 1, "2026-12-03T11:00:00.000Z"));  // rendering: not in the history's searches

    const struct {
        JobFilter filter;
        std::vector<int64_t> ids;
    } rows[] = {
        {{}, {c, b, a}},
        {{"shot_1", "", "", "", ""}, {b, a}},      // any case, '_' as itself
        {{"100%", "", "", "", ""}, {b}},           // '%' as itself
        {{"", "m1", "", "", ""}, {c, a}},
        {{"", "", "failed", "", ""}, {b}},
        {{"", "", "", "2026-12-02", ""}, {c, b}},
        {{"", "", "", "", "2026-12-02"}, {a}},
        {{"", "", "", "2026-12-01T10:00:00.000Z", "2026-12-03"}, {b, a}},
        {{"shot", "m2", "done", "", ""}, {}},
    };
    for (const auto& row : rows) {
        std::vector<int64_t> ids;
        for (const JobRecord& job : history.Past(row.filter, 10, 0)) ids.push_back(job.id);
        EXPECT_EQ(ids, row.ids) << row.filter.project << "|" << row.filter.machine << "|" << row.filter.outcome << "|"
                                << row.filter.from << "|" << row.filter.to;
        EXPECT_EQ(history.Count(row.filter), static_cast<int64_t>(row.ids.size()));
    }
    EXPECT_EQ(history.Past({}, 1, 1).at(0).id, b);

    const std::vector<Hours> byMachine = history.RenderHours({}, true);
    ASSERT_EQ(byMachine.size(), 2u);
    EXPECT_EQ(std::tie(byMachine[0].key, byMachine[0].jobs, byMachine[0].renderMs), std::make_tuple("m1", 2, 150 * 60000));
    EXPECT_EQ(history.RenderHours({"", "", "", "2026-12-03", ""}, false).at(0).key, "Other");
}

TEST_P(HistoryOn, ClaimsAndRetention) {
    History history(where_);
    EXPECT_TRUE(history.Claim("jobDone:1"));
    EXPECT_FALSE(history.Claim("jobDone:1"));
    EXPECT_TRUE(history.Claim("jobDone:2"));

    const int64_t now = *farm_wire::IsoMicros("2026-12-08T00:00:00.000Z");
    const int64_t old = Ended(history, Job("m", 1, "2025-12-01T00:00:00.000Z"), "done", 1);
    const int64_t rendering = history.Begin(Job("n", 1, "2025-11-01T00:00:00.000Z"));
    Ended(history, Job("m", 2, "2026-12-01T00:00:00.000Z"), "done", 1);
    const int64_t newest = Ended(history, Job("m", 3, "2026-12-02T00:00:00.000Z"), "done", 1);
    EXPECT_EQ(history.Prune({365, 0}, now), 1);
    EXPECT_FALSE(history.Get(old));
    EXPECT_EQ(history.Prune({365, 1}, now), 1);
    EXPECT_EQ(history.Past({}, 10, 0).at(0).id, newest);
    EXPECT_EQ(history.Count({}), 1);
    EXPECT_EQ(history.Get(rendering)->state, "rendering");  // never counted as lost, never removed
    EXPECT_EQ(history.Prune({0, 0}, now), 0);
}

// The machines that left the live views, and when, as a restarted dashboard reads them back.
TEST_P(HistoryOn, ForgottenMachinesAreKeptUntilRemembered) {
    const int64_t left = *farm_wire::IsoMicros("2026-12-01T10:00:00.123Z");
    {
        History history(where_);
        EXPECT_TRUE(history.Forgotten().empty());
        history.Forget("m1", left);
        history.Forget("m2", left);
        history.Forget("m2", left + 60000000);  // retired again, later
        history.Forget("m\"3'", left);
        history.Remember("m1");                 // back
        history.Remember("m4");                 // never gone
    }
    History reopened(where_);
    EXPECT_EQ(reopened.Forgotten(), (std::map<std::string, int64_t>{{"m2", left + 60000000}, {"m\"3'", left}}));
}

// A database that a newer service made is refused, and left as it was.
TEST_P(HistoryOn, ANewerSchemaIsRefused) {
    { History history(where_); }
    OpenDatabase(where_)->Run("UPDATE brevant_history_schema SET version = 99");
    try {
        History history(where_);
        FAIL() << "opened";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("schema is version 99, newer than this brevant-dashboard knows (3)"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(OpenDatabase(where_)->Run("SELECT version FROM brevant_history_schema").at(0).at(0), "99");
}

// PostgreSQL's rows exist only where a server was given: ctest lists SQLite's, and
// test_postgres.py runs this program again with its server.
std::vector<std::string> Databases() {
    if (std::getenv("BREVANT_TEST_POSTGRES")) return {"sqlite", "postgres"};
    return {"sqlite"};
}
INSTANTIATE_TEST_SUITE_P(, HistoryOn, testing::ValuesIn(Databases()));

// A history written by the first dashboards (no version table) is upgraded in place: its jobs
// stay, with their render time worked out.
TEST(HistoryUpgrade, AFirstVersionDatabaseIsUpgradedAtStart) {
    const std::string path = SqlitePath("brevant-history-v1-");
    {
        auto db = OpenDatabase(path);
        db->Script(
            "CREATE TABLE jobs (id INTEGER PRIMARY KEY, machine TEXT NOT NULL, session INTEGER NOT NULL, started_at TEXT NOT NULL,"
            " project TEXT NOT NULL DEFAULT '', app_version TEXT NOT NULL DEFAULT '', ended_at TEXT NOT NULL DEFAULT '',"
            " state TEXT NOT NULL DEFAULT 'rendering', outcome TEXT NOT NULL DEFAULT '', done INTEGER NOT NULL DEFAULT 0,"
            " stopped INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL DEFAULT 0, not_started INTEGER NOT NULL DEFAULT 0,"
            " UNIQUE (machine, session, started_at));"
            "CREATE TABLE items (job_id INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE, item INTEGER NOT NULL,"
            " name TEXT NOT NULL, state TEXT NOT NULL, frames_done INTEGER NOT NULL, frames_total INTEGER NOT NULL,"
            " started_at TEXT NOT NULL, ended_at TEXT NOT NULL, PRIMARY KEY (job_id, item));"
            "CREATE INDEX jobs_ended ON jobs (state, id);"
            "INSERT INTO jobs (machine, session, started_at, ended_at, state, outcome, done) VALUES"
            " ('m', 1, '2026-01-01T00:00:00.000Z', '2026-01-01T02:00:00.000Z', 'ended', 'done', 4);"
            "INSERT INTO items VALUES (1, 1, 'Comp', 'done', 10, 10, '', '');");
    }
    {
        History history(path);
        const std::optional<JobRecord> job = history.Get(1);
        ASSERT_TRUE(job);
        EXPECT_EQ(std::tie(job->done, job->renderMs, job->items.at(0).name), std::make_tuple(4, 2 * 3600000, "Comp"));
        history.Forget("m", 1500);
        EXPECT_EQ(history.Forgotten().at("m"), 1000);  // kept to the millisecond
    }
    EXPECT_EQ(OpenDatabase(path)->Run("SELECT version FROM brevant_history_schema").at(0).at(0), "3");
    RemoveSqlite(path);
}

}  // namespace
}  // namespace dashboard
