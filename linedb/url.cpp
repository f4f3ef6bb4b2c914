#include "url.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace linedb {

namespace {

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string& s, const std::string& head)
{
    return s.rfind(head, 0) == 0;
}

// Letters, digits, '.', '_' and '-' kept; anything else (a socket folder's slashes) a '_'.
std::string safeName(std::string s)
{
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            c = '_';
    while (!s.empty() && s.front() == '_')
        s.erase(s.begin());
    return s.empty() ? std::string("db") : s;
}

}  // namespace

bool parseDbUrl(const std::string& text, DbUrl& url, std::string& error)
{
    url = DbUrl{};
    url.shown = text;
    if (startsWith(text, "postgresql://") || startsWith(text, "postgres://")) {
        char* why = nullptr;
        PQconninfoOption* options = PQconninfoParse(text.c_str(), &why);
        if (!options) {
            std::string reason = why ? why : "libpq cannot read it";
            PQfreemem(why);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
                reason.pop_back();
            error = "The database URL " + text + " is not a PostgreSQL connection URI: " + reason + ".";
            return false;
        }
        std::map<std::string, std::string> given;
        for (PQconninfoOption* o = options; o->keyword; ++o)
            if (o->val)
                given[o->keyword] = o->val;
        PQconninfoFree(options);
        if (given.count("password")) {
            error = "The database URL holds a password, which anyone on this computer could read in the process "
                    "list; leave it out of --db and give it through libpq's password file (~/.pgpass) or the "
                    "PGPASSWORD environment variable.";
            url.shown.clear();
            return false;
        }
        url.engine = Engine::Postgres;
        url.conninfo = text;
        const std::string host = given.count("host") ? given["host"] : std::string("local");
        const std::string db = given.count("dbname") ? given["dbname"] : given.count("user") ? given["user"] : "postgres";
        url.name = safeName(host + (given.count("port") ? "-" + given["port"] : std::string()) + "-" + db);
        return true;
    }
    std::string path;
    if (startsWith(text, "sqlite:"))
        path = text.substr(7);
    else if (endsWith(text, ".db") || endsWith(text, ".sqlite"))
        path = text;
    else {
        error = "The option --db takes sqlite:FILE, a file ending in .db or .sqlite, or a PostgreSQL URI such as "
                "postgresql://station1@dbhost/line?sslmode=verify-full; \"" + text + "\" is none of these.";
        return false;
    }
    if (path.empty()) {
        error = "The option --db sqlite: needs a file name, e.g. --db sqlite:line.db.";
        return false;
    }
    url.engine = Engine::Sqlite;
    url.path = path;
    url.shown = path;
    std::string stem = path.substr(path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
    url.name = safeName(stem.substr(0, stem.rfind('.')));
    return true;
}

}  // namespace linedb
