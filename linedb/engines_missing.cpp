// A build for a system without the SQLite and libpq client libraries (the Windows cross
// build, for now): --db is refused with a sentence, never half done.
#include "connection.h"
#include "url.h"

namespace linedb {

namespace {

const char* const kMissing = "this vorna-flash was built without the line's database (no SQLite and PostgreSQL client "
                             "libraries for this system), so --db is not available";

}  // namespace

bool parseDbUrl(const std::string&, DbUrl& url, std::string& error)
{
    url = DbUrl{};
    error = std::string("The option --db cannot be used: ") + kMissing + ".";
    return false;
}

std::unique_ptr<Connection> openConnection(const DbUrl&)
{
    throw Error(kMissing, false);
}

}  // namespace linedb
