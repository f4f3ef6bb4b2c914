// Rows not yet on the server, in a local SQLite file: written there first, so that a
// server away or a station killed loses none. Taken off only once the server committed them.
#pragma once

#include "attempts.h"
#include "connection.h"

#include <memory>
#include <string>
#include <vector>

namespace linedb {

struct SpooledRow {
    long long seq = 0;
    RunInfo run;
    Attempt attempt;
    OnDuplicate policy = OnDuplicate::Flag;
    bool waiting = false;   // the station showed its result before the row was written
};

class Spool {
public:
    // Opens (or creates, readable by its owner alone) the spool file. Throws Error.
    explicit Spool(const std::string& path);

    const std::string& path() const { return path_; }
    void push(const RunInfo& run, const Attempt& a, OnDuplicate policy);
    void markWaiting(const std::string& uuid);
    size_t count();
    bool holds(const std::string& uuid);
    // The time of the oldest row; empty when none.
    std::string oldest();

    // Takes the oldest row under the spool's lock, hands it to `write` and removes it once
    // `write` returns; the lock keeps a second station on this computer from sending the same
    // row meanwhile (it would be written once anyway, by its UUID). False when empty.
    template <typename F>
    bool takeOldest(F&& write)
    {
        return inTransaction(*db_, [&] {
            std::vector<SpooledRow> rows = read("ORDER BY seq LIMIT 1");
            if (rows.empty())
                return false;
            write(rows.front());
            db_->exec("DELETE FROM spool WHERE seq = ?", {std::to_string(rows.front().seq)});
            return true;
        });
    }

private:
    std::vector<SpooledRow> read(const std::string& tail);

    std::string path_;
    std::unique_ptr<Connection> db_;
};

// The spool's file for the database: <state folder>/vorna-flash/spool-<name>.sqlite.
// Empty with `error` set when there is no state folder.
std::string spoolPath(const DbUrl& url, std::string& error);

}  // namespace linedb
