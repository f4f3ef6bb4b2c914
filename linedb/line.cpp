#include "line.h"

#include "schema.h"
#include "system.h"

namespace linedb {

Line::~Line()
{
    {
        std::lock_guard<std::mutex> g(waitMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (retry_.joinable())
        retry_.join();
}

void Line::open(const DbUrl& url, const RunInfo& run, OnDuplicate policy)
{
    url_ = url;
    run_ = run;
    policy_ = policy;
    if (url.engine == Engine::Postgres) {
        std::string why;
        const std::string path = spoolPath(url, why);
        if (path.empty())
            throw Error(why, false);
        spool_ = std::make_unique<Spool>(path);
    }
    db_ = openConnection(url);
    migrate(*db_);
    writeRun(*db_, run_);
    if (spool_) {
        const size_t before = spool_->count();
        if (!drain())
            throw Error(reason_, true);
        writtenAtOpen_ = before;
    }
}

void Line::lose(const Error& e)
{
    if (!away_)
        since_ = utcNowText();
    away_ = true;
    reason_ = e.what();
}

bool Line::drain(const std::string& current, Verdict* currentVerdict)
{
    try {
        while (spool_->takeOldest([&](const SpooledRow& row) {
            const Verdict v = writeAttempt(*db_, row.run, row.attempt, row.policy, row.waiting);
            if (row.attempt.uuid == current && currentVerdict)
                *currentVerdict = v;
            else if (late_)
                late_(row.attempt, v);
            else
                lateAtOpen_.push_back({row.attempt, v});
        })) {
        }
    } catch (const Error& e) {
        lose(e);
        return false;
    }
    away_ = false;
    return true;
}

Recorded Line::record(const Attempt& a)
{
    Recorded r;
    std::lock_guard<std::mutex> g(mutex_);
    if (!spool_) {
        try {
            r.verdict = writeAttempt(*db_, run_, a, policy_, false);
            r.written = true;
        } catch (const Error& e) {
            r.error = e.what();
        }
        return r;
    }
    try {
        spool_->push(run_, a, policy_);
    } catch (const Error& e) {
        // Without the spool the row can still go straight to the server.
        try {
            r.verdict = writeAttempt(*db_, run_, a, policy_, false);
            r.written = true;
        } catch (const Error& server) {
            lose(server);
            r.error = std::string("the spool ") + spool_->path() + " refuses it (" + e.what() + ") and the server " +
                      server.what();
        }
        return r;
    }
    if (!away_ && drain(a.uuid, &r.verdict) && !spool_->holds(a.uuid)) {
        r.written = true;
        return r;
    }
    if (!spool_->holds(a.uuid)) {
        // Another station on this computer took it from the spool and wrote it meanwhile.
        try {
            r.verdict = writeAttempt(*db_, run_, a, policy_, false);
            r.written = true;
            return r;
        } catch (const Error& e) {
            lose(e);
        }
        return r;
    }
    spool_->markWaiting(a.uuid);
    if (change_)
        change_(Backlog{spool_->count(), since_, reason_});
    wake_.notify_all();
    return r;
}

Backlog Line::backlog()
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!spool_)
        return {};
    return Backlog{away_ ? spool_->count() : 0, since_, reason_};
}

bool Line::reconnect()
{
    std::unique_ptr<Connection> fresh;
    try {
        fresh = openConnection(url_);
        migrate(*fresh);
    } catch (const Error& e) {
        std::lock_guard<std::mutex> g(mutex_);
        reason_ = e.what();
        return false;
    }
    std::lock_guard<std::mutex> g(mutex_);
    db_ = std::move(fresh);
    const bool done = drain();
    if (change_)
        change_(Backlog{done ? 0 : spool_->count(), since_, reason_});
    return done;
}

void Line::retryLoop(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> w(waitMutex_);
    while (!stopping_) {
        bool away;
        {
            std::lock_guard<std::mutex> g(mutex_);
            away = away_;
        }
        if (!away) {
            wake_.wait_for(w, period);
            continue;
        }
        wake_.wait_for(w, period);
        if (stopping_)
            break;
        w.unlock();
        reconnect();
        w.lock();
    }
}

void Line::startRetrying(std::chrono::milliseconds period, LateWrite late, BacklogChange change)
{
    {
        std::lock_guard<std::mutex> g(mutex_);
        late_ = std::move(late);
        change_ = std::move(change);
    }
    if (spool_)
        retry_ = std::thread([this, period] { retryLoop(period); });
}

void Line::finish(const std::string& ended)
{
    {
        std::lock_guard<std::mutex> g(waitMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (retry_.joinable())
        retry_.join();
    std::lock_guard<std::mutex> g(mutex_);
    if (spool_ && away_) {
        // One more try, on a fresh connection: the server may be back.
        try {
            db_ = openConnection(url_);
            migrate(*db_);
            drain();
        } catch (const Error& e) {
            lose(e);
        }
    }
    if (away_)
        return;
    try {
        endRun(*db_, run_.runId, ended);
    } catch (const Error& e) {
        lose(e);
    }
}

}  // namespace linedb
