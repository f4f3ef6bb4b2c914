#include "connection.h"

#include "system.h"

#include <libpq-fe.h>
#include <sqlite3.h>

namespace linedb {

namespace {

// The engine's reason on one line, without the trailing line break libpq leaves.
std::string oneLine(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    std::string out;
    for (char c : s) {
        if (c == '\n') {
            out += "; ";
            continue;
        }
        if (c == '\t')
            continue;
        out += c;
    }
    return out;
}

class SqliteConnection final : public Connection {
public:
    explicit SqliteConnection(const std::string& path)
    {
        std::string why;
        if (!createPrivateFile(path, why))
            throw Error("cannot create " + path + ": " + why, false);
        const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            const std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw Error(reason, false);
        }
        // Other processes on this computer (a second station, a report) wait for the lock
        // rather than fail at once.
        sqlite3_busy_timeout(db_, 15000);
        try {
            script("PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteConnection() override { sqlite3_close(db_); }

    Engine engine() const override { return Engine::Sqlite; }

    std::vector<Row> query(const std::string& sql, const Params& params) override
    {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &st, nullptr) != SQLITE_OK)
            throw Error(sqlite3_errmsg(db_), false);
        std::vector<Row> rows;
        for (size_t i = 0; i < params.size(); ++i)
            sqlite3_bind_text(st, int(i + 1), params[i].c_str(), int(params[i].size()), SQLITE_TRANSIENT);
        for (;;) {
            const int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW) {
                const std::string reason = sqlite3_errmsg(db_);
                sqlite3_finalize(st);
                throw Error(reason, false);
            }
            Row row;
            const int n = sqlite3_column_count(st);
            for (int c = 0; c < n; ++c) {
                const unsigned char* text = sqlite3_column_text(st, c);
                row.emplace_back(text ? reinterpret_cast<const char*>(text) : "", size_t(sqlite3_column_bytes(st, c)));
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(st);
        return rows;
    }

    void script(const std::string& sql) override
    {
        char* why = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &why) != SQLITE_OK) {
            const std::string reason = why ? why : sqlite3_errmsg(db_);
            sqlite3_free(why);
            throw Error(reason, false);
        }
    }

    void begin() override { script("BEGIN IMMEDIATE"); }
    void commit() override { script("COMMIT"); }
    void rollback() noexcept override
    {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

private:
    sqlite3* db_ = nullptr;
};

// '?' placeholders become PostgreSQL's $1, $2, ...; our statements hold no '?' of their own.
std::string numbered(const std::string& sql)
{
    std::string out;
    int n = 0;
    for (char c : sql) {
        if (c == '?')
            out += "$" + std::to_string(++n);
        else
            out += c;
    }
    return out;
}

class PostgresConnection final : public Connection {
public:
    explicit PostgresConnection(const std::string& conninfo)
    {
        // Defaults first: the URI, expanded last, overrides them. A server that does not
        // answer costs seconds, never a hang; a network gone mid-statement is noticed.
        const char* keys[] = {"connect_timeout", "application_name", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout", "dbname", nullptr};
        const char* values[] = {"5", "vorna-flash", "10", "5", "3", "15000", conninfo.c_str(), nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            const std::string reason = conn_ ? oneLine(PQerrorMessage(conn_)) : "out of memory";
            PQfinish(conn_);
            conn_ = nullptr;
            // A server that answered with a refusal (no such database, role or right) is
            // not away; one starting up or shutting down is, for a moment.
            const bool refused = reason.find("FATAL:") != std::string::npos &&
                                 reason.find("the database system is") == std::string::npos;
            throw Error(reason, !refused);
        }
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    }
    ~PostgresConnection() override { PQfinish(conn_); }

    Engine engine() const override { return Engine::Postgres; }

    std::vector<Row> query(const std::string& sql, const Params& params) override
    {
        std::vector<const char*> values;
        for (const std::string& p : params)
            values.push_back(p.c_str());
        PGresult* res = PQexecParams(conn_, numbered(sql).c_str(), int(values.size()), nullptr, values.data(), nullptr,
                                     nullptr, 0);
        return take(res);
    }

    void script(const std::string& sql) override { take(PQexec(conn_, sql.c_str())); }

    void begin() override { script("BEGIN"); }
    void commit() override { script("COMMIT"); }
    void rollback() noexcept override
    {
        if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE)
            PQclear(PQexec(conn_, "ROLLBACK"));
    }

private:
    std::vector<Row> take(PGresult* res)
    {
        const ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
            const std::string reason = oneLine(res && *PQresultErrorMessage(res) ? PQresultErrorMessage(res)
                                                                                  : PQerrorMessage(conn_));
            // Class 08 is the connection's; 57P0x the server shutting down or starting.
            const bool lost = PQstatus(conn_) != CONNECTION_OK || !state ||
                              std::string(state).rfind("08", 0) == 0 || std::string(state).rfind("57P0", 0) == 0;
            PQclear(res);
            throw Error(reason, lost);
        }
        std::vector<Row> rows;
        const int n = PQntuples(res), cols = PQnfields(res);
        rows.reserve(size_t(n));
        for (int r = 0; r < n; ++r) {
            Row row;
            for (int c = 0; c < cols; ++c)
                row.emplace_back(PQgetvalue(res, r, c), size_t(PQgetlength(res, r, c)));
            rows.push_back(std::move(row));
        }
        PQclear(res);
        return rows;
    }

    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> openConnection(const DbUrl& url)
{
    if (url.engine == Engine::Sqlite)
        return std::make_unique<SqliteConnection>(url.path);
    return std::make_unique<PostgresConnection>(url.conninfo);
}

}  // namespace linedb
