// The line's database as a station or a flash run uses it: opened and migrated before any
// port, each attempt written with its verdict, and, for a server, a spool that keeps rows
// while the server is away and writes them in order once it answers again.
#pragma once

#include "attempts.h"
#include "connection.h"
#include "spool.h"
#include "url.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace linedb {

struct Recorded {
    bool written = false;     // false: waiting in the spool (or, on SQLite, refused: see error)
    Verdict verdict;
    std::string error;        // SQLite only: why the row could not be written
};

// What waits while the server is away.
struct Backlog {
    size_t waiting = 0;
    std::string since;        // UTC ISO 8601: when the server was last found away
    std::string reason;       // its reason
};

class Line {
public:
    // A row from the spool written at last (its module's result was shown before).
    using LateWrite = std::function<void(const Attempt&, const Verdict&)>;
    // The backlog changed: a row waits, or the last one went out.
    using BacklogChange = std::function<void(const Backlog&)>;

    ~Line();

    // Connects, migrates, and writes what an earlier run left in the spool. A server that
    // cannot be reached is refused here, with its own reason. Throws Error.
    void open(const DbUrl& url, const RunInfo& run, OnDuplicate policy);

    const DbUrl& url() const { return url_; }
    // The connection, for one thread at a time; not while retrying runs.
    Connection& connection() { return *db_; }
    // Rows written from the spool in open(); how many were left.
    size_t writtenAtOpen() const { return writtenAtOpen_; }
    // Those of them that a station had shown before, with what the database made of them.
    const std::vector<std::pair<Attempt, Verdict>>& lateAtOpen() const { return lateAtOpen_; }

    // Writes the attempt, or keeps it in the spool when the server is away. Safe from
    // every port's thread.
    Recorded record(const Attempt& a);

    Backlog backlog();
    // Tries the server again every `period` while rows wait; late rows and changes of the
    // backlog are told to the callbacks, from the retrying thread.
    void startRetrying(std::chrono::milliseconds period, LateWrite late, BacklogChange change);
    // Ends the retrying; a last try at the spool first.
    void finish(const std::string& ended);

    // Writes what the spool holds now; false (with the backlog's reason) when the server
    // stopped answering before it was empty.
    bool drain(const std::string& current = {}, Verdict* currentVerdict = nullptr);

private:
    void lose(const Error& e);
    bool reconnect();
    void retryLoop(std::chrono::milliseconds period);

    DbUrl url_;
    RunInfo run_;
    OnDuplicate policy_ = OnDuplicate::Flag;
    std::unique_ptr<Connection> db_;
    std::unique_ptr<Spool> spool_;     // servers only
    size_t writtenAtOpen_ = 0;
    std::vector<std::pair<Attempt, Verdict>> lateAtOpen_;

    std::mutex mutex_;                 // the connection and the spool
    bool away_ = false;
    std::string since_, reason_;
    LateWrite late_;
    BacklogChange change_;

    std::mutex waitMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread retry_;
};

}  // namespace linedb
