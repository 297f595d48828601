// The SQL connection the job history runs on: SQLite, a file that needs nothing set up (the
// default), or PostgreSQL, a server several dashboards share. The history's statements are
// written once in the SQL both understand, with parameters ?1..?N; the few differences (how a
// table's id is made, how a schema upgrade keeps other dashboards out) are asked of the
// connection. Values come back as text, NULL as "".
//
// Not thread-safe: History serialises every call on one connection. Every failure throws
// std::runtime_error with what was being done and the database's own reason.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dashboard {

class Database {
public:
    using Value = std::variant<int64_t, std::string>;
    using Row = std::vector<std::string>;

    virtual ~Database() = default;

    // Runs one statement; returns the rows it yields (RETURNING included).
    virtual std::vector<Row> Run(std::string_view sql, const std::vector<Value>& values = {}) = 0;
    // Several statements without parameters, as one script (schema changes).
    virtual void Script(const std::string& sql) = 0;
    virtual bool HasTable(const std::string& name) = 0;
    // Begins a transaction in which no other connection changes the schema (two dashboards
    // starting on one server upgrade it once). `table` exists.
    virtual void BeginExclusive(const std::string& table) = 0;
    // The column type of a table's own increasing id.
    virtual const char* IdColumn() const = 0;
    // Where the history is, for messages (a PostgreSQL password is left out).
    virtual const std::string& Name() const = 0;
};

// A transaction on `db`, rolled back unless committed: the history's writes are whole or absent.
class Transaction {
public:
    // `exclusiveTable`: hold off other connections' schema changes too (Database::BeginExclusive).
    explicit Transaction(Database& db, const std::string& exclusiveTable = {}) : db_(db) {
        if (exclusiveTable.empty()) db_.Script("BEGIN");
        else db_.BeginExclusive(exclusiveTable);
    }
    ~Transaction() {
        if (committed_) return;
        try {
            db_.Script("ROLLBACK");
        } catch (const std::runtime_error&) {
            // The connection is gone, and the transaction with it.
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        db_.Script("COMMIT");
        committed_ = true;
    }

private:
    Database& db_;
    bool committed_ = false;
};

// "postgresql://..." or "postgres://..." (libpq's connection URI) is a PostgreSQL server; anything
// else is the path of an SQLite file, created when missing.
bool IsPostgresUri(std::string_view where);
std::unique_ptr<Database> OpenSqlite(const std::string& path);
std::unique_ptr<Database> OpenPostgres(const std::string& uri);
inline std::unique_ptr<Database> OpenDatabase(const std::string& where) {
    return IsPostgresUri(where) ? OpenPostgres(where) : OpenSqlite(where);
}

}  // namespace dashboard
