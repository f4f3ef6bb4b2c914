// The line's tables and their version. A database is brought to this tool's version when
// the tool starts; a newer one (a newer tool migrated it) is refused.
#pragma once

#include "connection.h"

namespace linedb {

constexpr int kSchemaVersion = 2;

// The version the database holds; 0 for an empty one.
int schemaVersion(Connection& c);

// Migrates forward to `target` (this tool's version unless told), each step in one
// transaction, safe against a second station starting at the same time. Throws Error with
// the sentence for a database newer than the tool.
void migrate(Connection& c, int target = kSchemaVersion);

}  // namespace linedb
