#include "queries.h"

namespace linedb {

namespace {

unsigned number(const std::string& s)
{
    return s.empty() ? 0u : unsigned(std::stoul(s));
}

}  // namespace

std::vector<HistoryRow> history(Connection& c, const std::string& key)
{
    std::vector<HistoryRow> out;
    for (const Row& r : c.query(
             "SELECT a.time_utc, r.host, a.run_id, a.port, a.result, a.status, a.failing_step, a.dev_eui, a.unique_id,"
             " a.file, a.sha256, a.duplicate, a.firmware_check, a.attempt, a.late, a.seconds"
             " FROM attempts a JOIN runs r ON r.run_id = a.run_id WHERE a.dev_eui = ? OR a.unique_id = ?"
             " ORDER BY a.time_utc, a.uuid",
             {key, key})) {
        HistoryRow h{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12]};
        h.attempt = number(r[13]);
        h.late = r[14] == "1";
        h.seconds = std::stod(r[15]);
        out.push_back(std::move(h));
    }
    return out;
}

Report report(Connection& c, const std::string& since)
{
    Report rep;
    rep.since = since;
    const Params p{since};
    const std::string pass = "sum(CASE WHEN a.result = 'PASS' THEN 1 ELSE 0 END)";
    const std::string fail = "sum(CASE WHEN a.result = 'PASS' THEN 0 ELSE 1 END)";
    for (const Row& r : c.query("SELECT r.host, a.port, " + pass + ", " + fail +
                                    " FROM attempts a JOIN runs r ON r.run_id = a.run_id WHERE a.time_utc >= ?"
                                    " GROUP BY r.host, a.port ORDER BY r.host, a.port",
                                p)) {
        rep.yields.push_back({r[0], r[1], number(r[2]), number(r[3])});
        rep.passed += number(r[2]);
        rep.failed += number(r[3]);
    }
    for (const Row& r : c.query("SELECT a.failing_step, a.status, count(*) FROM attempts a"
                                " WHERE a.time_utc >= ? AND a.result <> 'PASS'"
                                " GROUP BY a.failing_step, a.status ORDER BY count(*) DESC, a.failing_step, a.status",
                                p))
        rep.failures.push_back({r[0], r[1], number(r[2])});
    for (const Row& r : c.query("SELECT a.time_utc, r.host, a.port, a.dev_eui, a.unique_id, i.unique_id, a.late"
                                " FROM attempts a JOIN runs r ON r.run_id = a.run_id"
                                " LEFT JOIN identities i ON i.dev_eui = a.dev_eui"
                                " WHERE a.time_utc >= ? AND a.duplicate = 'other-module' ORDER BY a.time_utc, a.uuid",
                                p))
        rep.duplicates.push_back({r[0], r[1], r[2], r[3], r[4], r[5], r[6] == "1"});  // holder empty: rows of before the claims
    for (const Row& r : c.query("SELECT substr(a.time_utc, 1, 13), " + pass + ", " + fail +
                                    " FROM attempts a WHERE a.time_utc >= ? GROUP BY substr(a.time_utc, 1, 13)"
                                    " ORDER BY substr(a.time_utc, 1, 13)",
                                p))
        rep.hours.push_back({r[0], number(r[1]), number(r[2])});
    return rep;
}

std::vector<Keys> passedKeys(Connection& c, const std::string& since)
{
    std::vector<Keys> out;
    for (const Row& r : c.query(
             "SELECT a.dev_eui, a.join_eui, a.app_key, a.unique_id, a.time_utc FROM attempts a"
             " JOIN identities i ON i.dev_eui = a.dev_eui AND i.unique_id = a.unique_id"
             " WHERE a.result = 'PASS' AND a.time_utc >= ? AND NOT EXISTS (SELECT 1 FROM attempts b"
             "  WHERE b.dev_eui = a.dev_eui AND b.unique_id = a.unique_id AND b.result = 'PASS'"
             "  AND (b.time_utc > a.time_utc OR (b.time_utc = a.time_utc AND b.uuid > a.uuid)))"
             " ORDER BY a.time_utc, a.dev_eui",
             {since}))
        out.push_back({r[0], r[1], r[2], r[3], r[4]});
    return out;
}

}  // namespace linedb
