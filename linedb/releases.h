// Firmware releases: the images a line may flash, one of them current.
#pragma once

#include "connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace linedb {

struct Release {
    std::string sha256;   // of the image's bytes as flashed (see imageSha256 in the tool)
    std::string name;
    uint64_t bytes = 0;
    std::string added;    // UTC ISO 8601
    bool current = false;
};

// Records the release (again: a name given anew replaces the old) and makes it the current one.
void addRelease(Connection& c, const Release& r);
// Oldest first.
std::vector<Release> listReleases(Connection& c);
std::optional<Release> currentRelease(Connection& c);
std::optional<Release> findRelease(Connection& c, const std::string& sha256);

}  // namespace linedb
