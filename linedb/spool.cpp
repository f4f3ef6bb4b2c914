#include "spool.h"

#include "system.h"

namespace linedb {

namespace {

const std::vector<std::string> kRunColumns = {"run_host", "run_tool_version", "run_command", "run_started"};

}  // namespace

Spool::Spool(const std::string& path) : path_(path)
{
    DbUrl url;
    url.engine = Engine::Sqlite;
    url.path = path;
    db_ = openConnection(url);
    std::string columns;
    for (const std::string& c : attemptColumns())
        columns += ", " + c + " TEXT NOT NULL";
    for (const std::string& c : kRunColumns)
        columns += ", " + c + " TEXT NOT NULL";
    db_->script("CREATE TABLE IF NOT EXISTS spool (seq INTEGER PRIMARY KEY AUTOINCREMENT" + columns +
                ", policy TEXT NOT NULL, waiting INTEGER NOT NULL DEFAULT 0)");
    // Each row counts: a power cut must not take back one the station showed as waiting.
    db_->script("PRAGMA synchronous = FULL");
}

void Spool::push(const RunInfo& run, const Attempt& a, OnDuplicate policy)
{
    std::vector<std::string> names = attemptColumns();
    std::vector<std::string> values = fields(a);
    names.insert(names.end(), kRunColumns.begin(), kRunColumns.end());
    values.insert(values.end(), {run.host, run.toolVersion, run.command, run.started, policy == OnDuplicate::Fail ? "fail" : "flag"});
    names.push_back("policy");
    std::string list, marks;
    for (const std::string& n : names) {
        list += (list.empty() ? "" : ", ") + n;
        marks += marks.empty() ? "?" : ", ?";
    }
    db_->exec("INSERT INTO spool (" + list + ") VALUES (" + marks + ")", values);
}

void Spool::markWaiting(const std::string& uuid)
{
    db_->exec("UPDATE spool SET waiting = 1 WHERE uuid = ?", {uuid});
}

size_t Spool::count()
{
    return size_t(std::stoul(db_->value("SELECT count(*) FROM spool", {}, "0")));
}

bool Spool::holds(const std::string& uuid)
{
    return !db_->query("SELECT 1 FROM spool WHERE uuid = ?", {uuid}).empty();
}

std::string Spool::oldest()
{
    return db_->value("SELECT time_utc FROM spool ORDER BY seq LIMIT 1");
}

std::vector<SpooledRow> Spool::read(const std::string& tail)
{
    std::string list = "seq";
    for (const std::string& c : attemptColumns())
        list += ", " + c;
    for (const std::string& c : kRunColumns)
        list += ", " + c;
    std::vector<SpooledRow> out;
    for (const Row& r : db_->query("SELECT " + list + ", policy, waiting FROM spool " + tail)) {
        SpooledRow s;
        s.seq = std::stoll(r[0]);
        const size_t n = attemptColumns().size();
        s.attempt = attemptFrom(std::vector<std::string>(r.begin() + 1, r.begin() + 1 + long(n)));
        s.run = {s.attempt.runId, r[n + 1], r[n + 2], r[n + 3], r[n + 4]};
        s.policy = r[n + 5] == "fail" ? OnDuplicate::Fail : OnDuplicate::Flag;
        s.waiting = r[n + 6] == "1";
        out.push_back(std::move(s));
    }
    return out;
}

std::string spoolPath(const DbUrl& url, std::string& error)
{
    const std::string state = userStateFolder();
    if (state.empty()) {
        error = "there is no folder for the spool (" + noStateFolderReason() + ")";
        return {};
    }
    const std::string folder = state + "/vorna-flash";
    if (!makeFolder(folder, error)) {
        error = "the spool's folder " + folder + " cannot be created: " + error;
        return {};
    }
    return folder + "/spool-" + url.name + ".sqlite";
}

}  // namespace linedb
