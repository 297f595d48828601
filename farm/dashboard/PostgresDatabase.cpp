// The history on a PostgreSQL server, through libpq. Parameters travel as text and the server
// infers their types from the statement. A broken connection is reset after the statement that
// met it has failed: the caller retries what it was writing (FarmState keeps it), and the next
// statement goes to the server again.
#include <libpq-fe.h>

#include <memory>
#include <stdexcept>

#include "farm/dashboard/Database.h"

namespace dashboard {
namespace {

struct ConnectionDeleter {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using ResultPointer = std::unique_ptr<PGresult, ResultDeleter>;

// The URI as messages show it: without the password between "user:" and "@".
std::string WithoutPassword(const std::string& uri) {
    const size_t scheme = uri.find("://");
    const size_t at = uri.find('@', scheme == std::string::npos ? 0 : scheme + 3);
    if (scheme == std::string::npos || at == std::string::npos) return uri;
    const size_t colon = uri.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) return uri;
    return uri.substr(0, colon) + uri.substr(at);
}

// "?1" becomes "$1": the history's statements are written with SQLite's numbered parameters,
// which carry no '?' anywhere else.
std::string Numbered(std::string_view sql) {
    std::string out(sql);
    for (char& c : out) {
        if (c == '?') c = '$';
    }
    return out;
}

class PostgresDatabase final : public Database {
public:
    explicit PostgresDatabase(const std::string& uri) : name_(WithoutPassword(uri)) {
        connection_.reset(PQconnectdb(uri.c_str()));
        if (!connection_ || PQstatus(connection_.get()) != CONNECTION_OK) Fail("cannot connect to the history database");
        // "relation already exists, skipping" and the like are not the operator's business.
        PQsetNoticeProcessor(connection_.get(), [](void*, const char*) {}, nullptr);
        Script("SET client_min_messages = warning");
    }

    std::vector<Row> Run(std::string_view sql, const std::vector<Value>& values) override {
        std::vector<std::string> texts;
        texts.reserve(values.size());
        for (const Value& value : values)
            texts.push_back(std::holds_alternative<int64_t>(value) ? std::to_string(std::get<int64_t>(value))
                                                                   : std::get<std::string>(value));
        std::vector<const char*> pointers;
        for (const std::string& text : texts) pointers.push_back(text.c_str());
        ResultPointer result(PQexecParams(connection_.get(), Numbered(sql).c_str(), static_cast<int>(pointers.size()),
                                          nullptr, pointers.data(), nullptr, nullptr, 0));
        Check(result.get(), "cannot use the job history");
        std::vector<Row> rows(static_cast<size_t>(PQntuples(result.get())));
        const int columns = PQnfields(result.get());
        for (size_t r = 0; r < rows.size(); ++r) {
            for (int c = 0; c < columns; ++c) {
                const int row = static_cast<int>(r);
                rows[r].emplace_back(PQgetvalue(result.get(), row, c), static_cast<size_t>(PQgetlength(result.get(), row, c)));
            }
        }
        return rows;
    }

    void Script(const std::string& sql) override {
        ResultPointer result(PQexec(connection_.get(), sql.c_str()));
        Check(result.get(), "cannot use the job history");
    }

    bool HasTable(const std::string& name) override {
        return Run("SELECT to_regclass(?1) IS NOT NULL", {name}).at(0).at(0) == "t";
    }

    // The lock is held to the transaction's end: a second dashboard starting at the same moment
    // waits, then finds the schema current.
    void BeginExclusive(const std::string& table) override {
        Script("BEGIN");
        Script("LOCK TABLE " + table + " IN EXCLUSIVE MODE");
    }

    const char* IdColumn() const override { return "BIGSERIAL PRIMARY KEY"; }
    const std::string& Name() const override { return name_; }

private:
    void Check(PGresult* result, const char* what) {
        const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
        std::string reason = result ? PQresultErrorMessage(result) : PQerrorMessage(connection_.get());
        if (PQstatus(connection_.get()) == CONNECTION_BAD) PQreset(connection_.get());
        throw std::runtime_error(name_ + ": " + what + ": " + Trimmed(reason));
    }

    [[noreturn]] void Fail(const char* what) const {
        throw std::runtime_error(name_ + ": " + what + ": " +
                                 Trimmed(connection_ ? PQerrorMessage(connection_.get()) : "out of memory"));
    }

    static std::string Trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }

    std::string name_;
    std::unique_ptr<PGconn, ConnectionDeleter> connection_;
};

}  // namespace

bool IsPostgresUri(std::string_view where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Database> OpenPostgres(const std::string& uri) { return std::make_unique<PostgresDatabase>(uri); }

}  // namespace dashboard
