// The history in an SQLite file: WAL, so the API's reads do not wait for the MQTT thread's
// writes; a busy timeout for another process (a backup) holding the file for a moment.
#include <sqlite3.h>

#include <memory>
#include <stdexcept>

#include "farm/dashboard/Database.h"

namespace dashboard {
namespace {

class SqliteDatabase final : public Database {
public:
    explicit SqliteDatabase(const std::string& path) : name_(path) {
        sqlite3* db = nullptr;
        // SQLite makes a handle even when it cannot open the file: owned at once, so that the
        // failure's message can be read from it and it is closed either way.
        const int result = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        db_.reset(db);
        if (result != SQLITE_OK) Fail("cannot open the history database");
        sqlite3_busy_timeout(db_.get(), 5000);
        Script("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
    }

    std::vector<Row> Run(std::string_view sql, const std::vector<Value>& values) override {
        Statement statement(*this, sql);
        for (size_t i = 0; i < values.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            const int result = std::holds_alternative<int64_t>(values[i])
                ? sqlite3_bind_int64(statement.get(), index, std::get<int64_t>(values[i]))
                : sqlite3_bind_text(statement.get(), index, std::get<std::string>(values[i]).data(),
                                    static_cast<int>(std::get<std::string>(values[i]).size()), SQLITE_TRANSIENT);
            // A value that cannot be bound would write a row with a hole in it: refused.
            if (result != SQLITE_OK) Fail("cannot bind a history value");
        }
        std::vector<Row> rows;
        for (;;) {
            const int result = sqlite3_step(statement.get());
            if (result == SQLITE_DONE) return rows;
            if (result != SQLITE_ROW) Fail("cannot use the job history");
            Row& row = rows.emplace_back(static_cast<size_t>(sqlite3_column_count(statement.get())));
            for (size_t column = 0; column < row.size(); ++column) {
                const int c = static_cast<int>(column);
                if (auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), c)))
                    row[column].assign(text, static_cast<size_t>(sqlite3_column_bytes(statement.get(), c)));
            }
        }
    }

    void Script(const std::string& sql) override {
        if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot use the job history");
    }

    bool HasTable(const std::string& name) override {
        return !Run("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", {name}).empty();
    }

    // Takes the write lock at once, so a second process waits for the upgrade rather than failing
    // half-way through its own.
    void BeginExclusive(const std::string&) override { Script("BEGIN IMMEDIATE"); }

    const char* IdColumn() const override { return "INTEGER PRIMARY KEY"; }
    const std::string& Name() const override { return name_; }

private:
    class Statement {
    public:
        Statement(SqliteDatabase& owner, std::string_view sql) {
            if (sqlite3_prepare_v2(owner.db_.get(), sql.data(), static_cast<int>(sql.size()), &statement_, nullptr) != SQLITE_OK)
                owner.Fail("cannot prepare a history statement");
        }
        ~Statement() { sqlite3_finalize(statement_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        sqlite3_stmt* get() const { return statement_; }

    private:
        sqlite3_stmt* statement_ = nullptr;
    };

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error(name_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_.get()) : "out of memory"));
    }

    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    std::string name_;
    std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path) { return std::make_unique<SqliteDatabase>(path); }

}  // namespace dashboard
