// Where the line's database lives, as --db names it: an SQLite file or a PostgreSQL server.
#pragma once

#include <string>

namespace linedb {

enum class Engine { Sqlite, Postgres };

struct DbUrl {
    Engine engine = Engine::Sqlite;
    std::string path;      // SQLite: the file
    std::string conninfo;  // PostgreSQL: the URI as given, for libpq
    // The database in a few safe characters, for the spool's file name: "host-dbname", the
    // file's stem.
    std::string name;
    std::string shown;     // for sentences: the file, or the URI as given (it holds no password)
};

// sqlite:PATH, a bare PATH ending in .db or .sqlite, or postgresql://... (postgres://...).
// A password in the URL is refused: it would show in the process list. False with `error`
// set to the sentence.
bool parseDbUrl(const std::string& text, DbUrl& url, std::string& error);

}  // namespace linedb
