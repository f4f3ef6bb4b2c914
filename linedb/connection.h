// One connection to the line's database, the same calls on both engines. SQL is written
// once with '?' for each parameter; values go in and come out as text (NULL as empty).
#pragma once

#include "url.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace linedb {

using Row = std::vector<std::string>;
using Params = std::vector<std::string>;

struct Error : std::runtime_error {
    // The server cannot be reached or the connection broke: worth trying again later.
    // Otherwise the database refused the statement, which trying again will not change.
    bool lost = false;
    Error(const std::string& what, bool lostConnection) : std::runtime_error(what), lost(lostConnection) {}
};

class Connection {
public:
    virtual ~Connection() = default;
    virtual Engine engine() const = 0;
    // Runs one statement; the rows it returns. Throws Error.
    virtual std::vector<Row> query(const std::string& sql, const Params& params = {}) = 0;
    // Statements without parameters, separated by ';'.
    virtual void script(const std::string& sql) = 0;
    // A transaction that writes: SQLite takes the write lock at once, so that two writers
    // never both read first and write later.
    virtual void begin() = 0;
    virtual void commit() = 0;
    // Never throws: called while handling another error.
    virtual void rollback() noexcept = 0;

    void exec(const std::string& sql, const Params& params = {}) { query(sql, params); }
    // The first column of the first row; `otherwise` when there is none.
    std::string value(const std::string& sql, const Params& params = {}, const std::string& otherwise = {})
    {
        const std::vector<Row> rows = query(sql, params);
        return rows.empty() || rows.front().empty() ? otherwise : rows.front().front();
    }
};

// Opens the database; an SQLite file is created (readable by its owner only: it holds
// AppKeys). Throws Error with the engine's own reason.
std::unique_ptr<Connection> openConnection(const DbUrl& url);

// Runs `work` in a writing transaction: committed when it returns, rolled back when it throws.
template <typename F>
auto inTransaction(Connection& c, F&& work) -> decltype(work())
{
    c.begin();
    try {
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            c.commit();
        } else {
            auto result = work();
            c.commit();
            return result;
        }
    } catch (...) {
        c.rollback();
        throw;
    }
}

}  // namespace linedb
