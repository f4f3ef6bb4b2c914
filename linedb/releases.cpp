#include "releases.h"

namespace linedb {

namespace {

std::vector<Release> releasesWhere(Connection& c, const std::string& where, const Params& params)
{
    std::vector<Release> out;
    for (const Row& r : c.query("SELECT sha256, name, bytes, added, current FROM releases " + where +
                                    " ORDER BY added, sha256",
                                params))
        out.push_back({r[0], r[1], std::stoull(r[2]), r[3], r[4] == "1"});
    return out;
}

}  // namespace

void addRelease(Connection& c, const Release& r)
{
    inTransaction(c, [&] {
        c.exec("UPDATE releases SET current = 0 WHERE current = 1");
        c.exec("INSERT INTO releases (sha256, name, bytes, added, current) VALUES (?, ?, ?, ?, 1)"
               " ON CONFLICT (sha256) DO UPDATE SET name = excluded.name, current = 1",
               {r.sha256, r.name, std::to_string(r.bytes), r.added});
    });
}

std::vector<Release> listReleases(Connection& c)
{
    return releasesWhere(c, "", {});
}

std::optional<Release> currentRelease(Connection& c)
{
    const std::vector<Release> r = releasesWhere(c, "WHERE current = 1", {});
    return r.empty() ? std::nullopt : std::optional<Release>(r.front());
}

std::optional<Release> findRelease(Connection& c, const std::string& sha256)
{
    const std::vector<Release> r = releasesWhere(c, "WHERE sha256 = ?", {sha256});
    return r.empty() ? std::nullopt : std::optional<Release>(r.front());
}

}  // namespace linedb
