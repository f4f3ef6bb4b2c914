#include "attempts.h"

#include <cstdio>

namespace linedb {

namespace {

std::string joined(const std::vector<std::string>& names, const std::string& each)
{
    std::string s;
    for (const std::string& n : names)
        s += (s.empty() ? "" : ", ") + (each.empty() ? n : each);
    return s;
}

std::string secondsText(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

}  // namespace

const std::vector<std::string>& attemptColumns()
{
    static const std::vector<std::string> names = {
        "uuid",   "run_id", "time_utc", "port", "product_id",   "unique_id", "dev_eui", "join_eui",      "app_key",
        "file",   "sha256", "result",   "code", "status",       "failing_step", "seconds", "firmware_check"};
    return names;
}

std::vector<std::string> fields(const Attempt& a)
{
    return {a.uuid,   a.runId,  a.timeUtc,  a.port, a.productId, a.uniqueId,      a.devEui, a.joinEui,     a.appKey,
            a.file,   a.sha256, a.result,   std::to_string(a.code), a.status, a.failingStep, secondsText(a.seconds),
            a.firmwareCheck};
}

Attempt attemptFrom(const std::vector<std::string>& f)
{
    Attempt a;
    size_t i = 0;
    for (std::string* s : {&a.uuid, &a.runId, &a.timeUtc, &a.port, &a.productId, &a.uniqueId, &a.devEui, &a.joinEui,
                           &a.appKey, &a.file, &a.sha256, &a.result})
        *s = f.at(i++);
    a.code = std::stoi(f.at(i++));
    a.status = f.at(i++);
    a.failingStep = f.at(i++);
    a.seconds = std::stod(f.at(i++));
    a.firmwareCheck = f.at(i++);
    return a;
}

void writeRun(Connection& c, const RunInfo& run)
{
    c.exec("INSERT INTO runs (run_id, host, tool_version, command, started) VALUES (?, ?, ?, ?, ?)"
           " ON CONFLICT (run_id) DO NOTHING",
           {run.runId, run.host, run.toolVersion, run.command, run.started});
}

void endRun(Connection& c, const std::string& runId, const std::string& ended)
{
    c.exec("UPDATE runs SET ended = ? WHERE run_id = ?", {ended, runId});
}

Verdict writeAttempt(Connection& c, const RunInfo& run, const Attempt& given, OnDuplicate policy, bool late)
{
    return inTransaction(c, [&] {
        Verdict v;
        const std::vector<Row> stored =
            c.query("SELECT duplicate, attempt, status, late FROM attempts WHERE uuid = ?", {given.uuid});
        if (!stored.empty()) {
            // Sent before, its commit not seen by the sender: the row stands as written then.
            v.duplicate = stored[0][0];
            v.attempt = unsigned(std::stoul(stored[0][1]));
            v.failed = stored[0][2] == kDuplicateStatus;
            v.late = stored[0][3] == "1";
            return v;
        }
        writeRun(c, run);
        Attempt a = given;
        a.runId = run.runId;
        if (!a.devEui.empty()) {
            // The claim is the first write: on PostgreSQL a second transaction claiming the
            // same DevEUI waits on the unique index until this one ends, then sees its row.
            c.exec("INSERT INTO identities (dev_eui, unique_id, first_uuid, first_time) VALUES (?, ?, ?, ?)"
                   " ON CONFLICT (dev_eui) DO NOTHING",
                   {a.devEui, a.uniqueId, a.uuid, a.timeUtc});
            const std::vector<Row> claim = c.query("SELECT unique_id, first_uuid FROM identities WHERE dev_eui = ?", {a.devEui});
            const std::string& holder = claim.at(0)[0];
            const bool mine = claim.at(0)[1] == a.uuid;
            // Without unique IDs (a family the device table has none for) a DevEUI seen again
            // can only be taken for the same module.
            if (!mine)
                v.duplicate = !holder.empty() && !a.uniqueId.empty() && holder != a.uniqueId ? "other-module" : "same-module";
        }
        const std::string earlier =
            a.uniqueId.empty() && a.devEui.empty() ? std::string("0")
            : a.uniqueId.empty() ? c.value("SELECT count(*) FROM attempts WHERE dev_eui = ? AND unique_id = ''", {a.devEui}, "0")
                               : c.value("SELECT count(*) FROM attempts WHERE unique_id = ?", {a.uniqueId}, "0");
        v.attempt = 1 + unsigned(std::stoul(earlier));
        if (v.duplicate == "other-module" && policy == OnDuplicate::Fail && !late && a.result == "PASS") {
            a.result = "FAIL";
            a.status = kDuplicateStatus;
            a.code = kDuplicateCode;
            a.failingStep = kDuplicateStep;
            v.failed = true;
        }
        v.late = late;
        std::vector<std::string> names = attemptColumns();
        std::vector<std::string> values = fields(a);
        names.insert(names.end(), {"attempt", "duplicate", "late"});
        values.insert(values.end(), {std::to_string(v.attempt), v.duplicate, late ? "1" : "0"});
        c.exec("INSERT INTO attempts (" + joined(names, "") + ") VALUES (" + joined(names, "?") +
                   ") ON CONFLICT (uuid) DO NOTHING",
               values);
        return v;
    });
}

}  // namespace linedb
