#include "schema.h"

#include <string>
#include <vector>

namespace linedb {

namespace {

// Time stamps are text, UTC ISO 8601 with milliseconds: they sort as they read, on both engines.
const char* const kVersion1 =
    "CREATE TABLE runs ("
    " run_id TEXT PRIMARY KEY, host TEXT NOT NULL, tool_version TEXT NOT NULL, command TEXT NOT NULL,"
    " started TEXT NOT NULL, ended TEXT);"
    "CREATE TABLE attempts ("
    " uuid TEXT PRIMARY KEY, run_id TEXT NOT NULL REFERENCES runs (run_id), time_utc TEXT NOT NULL,"
    " port TEXT NOT NULL, product_id TEXT NOT NULL, unique_id TEXT NOT NULL, dev_eui TEXT NOT NULL,"
    " join_eui TEXT NOT NULL, app_key TEXT NOT NULL, file TEXT NOT NULL, sha256 TEXT NOT NULL,"
    " result TEXT NOT NULL, code INTEGER NOT NULL, status TEXT NOT NULL, failing_step TEXT NOT NULL,"
    " seconds DOUBLE PRECISION NOT NULL, attempt INTEGER NOT NULL, duplicate TEXT NOT NULL);"
    "CREATE INDEX attempts_dev_eui ON attempts (dev_eui);"
    "CREATE INDEX attempts_unique_id ON attempts (unique_id);"
    "CREATE INDEX attempts_time ON attempts (time_utc);"
    "CREATE TABLE releases ("
    " sha256 TEXT PRIMARY KEY, name TEXT NOT NULL, bytes INTEGER NOT NULL, added TEXT NOT NULL,"
    " current INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX releases_one_current ON releases (current) WHERE current = 1";

// Each DevEUI claimed by the first unique ID that carried it: the unique index is what
// makes two stations writing one DevEUI at once give one flag. Filled from the rows that
// version 1 kept. Rows also say whether the firmware was the current release, and whether
// they reached the database late (from a station's spool).
const char* const kVersion2 =
    "CREATE TABLE identities ("
    " dev_eui TEXT PRIMARY KEY, unique_id TEXT NOT NULL, first_uuid TEXT NOT NULL, first_time TEXT NOT NULL);"
    "INSERT INTO identities (dev_eui, unique_id, first_uuid, first_time)"
    " SELECT a.dev_eui, a.unique_id, a.uuid, a.time_utc FROM attempts a WHERE a.dev_eui <> '' AND NOT EXISTS"
    " (SELECT 1 FROM attempts b WHERE b.dev_eui = a.dev_eui AND"
    "  (b.time_utc < a.time_utc OR (b.time_utc = a.time_utc AND b.uuid < a.uuid)));"
    "ALTER TABLE attempts ADD COLUMN firmware_check TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE attempts ADD COLUMN late INTEGER NOT NULL DEFAULT 0";

const std::vector<const char*> kSteps = {kVersion1, kVersion2};

bool hasVersionTable(Connection& c)
{
    if (c.engine() == Engine::Sqlite)
        return !c.query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'").empty();
    return c.value("SELECT to_regclass('schema_version') IS NOT NULL") == "t";
}

}  // namespace

int schemaVersion(Connection& c)
{
    if (!hasVersionTable(c))
        return 0;
    return std::stoi(c.value("SELECT version FROM schema_version", {}, "0"));
}

void migrate(Connection& c, int target)
{
    if (schemaVersion(c) == target)
        return;  // nothing to write: a station's role needs no right to change tables
    inTransaction(c, [&] {
        // Two stations starting at once: the second waits here, then finds the work done.
        if (c.engine() == Engine::Postgres)
            c.exec("SELECT pg_advisory_xact_lock(7265696)");
        if (!hasVersionTable(c)) {
            c.script("CREATE TABLE schema_version (version INTEGER NOT NULL)");
            c.exec("INSERT INTO schema_version (version) VALUES (0)");
        }
        const int found = std::stoi(c.value("SELECT version FROM schema_version", {}, "0"));
        if (found > kSchemaVersion)
            throw Error("its tables are of version " + std::to_string(found) + ", newer than this vorna-flash knows (" +
                            std::to_string(kSchemaVersion) + "); use the vorna-flash that migrated it, or a newer one",
                        false);
        for (int v = found; v < target; ++v)
            c.script(kSteps[size_t(v)]);
        if (found < target)
            c.exec("UPDATE schema_version SET version = ?", {std::to_string(target)});
    });
}

}  // namespace linedb
