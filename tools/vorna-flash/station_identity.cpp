#include "station_identity.h"

#include <algorithm>
#include <sstream>

namespace vf {

bool splitCsvLine(const std::string& line, std::vector<std::string>& fields)
{
    fields.clear();
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else if (c != '\r') {
            field += c;
        }
    }
    fields.push_back(field);
    return !quoted;
}

bool IdentityBook::loadLog(const std::string& csvText, std::string& error)
{
    std::istringstream in(csvText);
    std::string line;
    std::vector<std::string> fields;
    if (!std::getline(in, line))
        return true;  // empty: a new log
    if (!splitCsvLine(line, fields)) {
        error = "its first line is not a CSV header";
        return false;
    }
    const auto column = [&](const char* name) {
        const auto it = std::find(fields.begin(), fields.end(), name);
        return it == fields.end() ? -1 : int(it - fields.begin());
    };
    const int devCol = column("dev_eui"), uidCol = column("unique_id");
    if (devCol < 0 || uidCol < 0) {
        error = "it has no dev_eui and unique_id columns (a log of the flash or keys command?)";
        return false;
    }
    std::lock_guard<std::mutex> g(mutex_);
    unsigned lineNumber = 1;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty())
            continue;
        if (!splitCsvLine(line, fields) || int(fields.size()) <= std::max(devCol, uidCol)) {
            error = "line " + std::to_string(lineNumber) + " is cut short";
            return false;
        }
        const std::string& dev = fields[size_t(devCol)];
        if (dev.empty())
            continue;
        Seen& s = byDevEui_[dev];
        const std::string& uid = fields[size_t(uidCol)];
        if (std::find(s.uniqueIds.begin(), s.uniqueIds.end(), uid) == s.uniqueIds.end())
            s.uniqueIds.push_back(uid);
        ++s.rows[uid];
    }
    return true;
}

IdentityVerdict IdentityBook::note(const std::string& devEui, const std::string& uniqueId)
{
    IdentityVerdict v;
    if (devEui.empty())
        return v;
    std::lock_guard<std::mutex> g(mutex_);
    Seen& s = byDevEui_[devEui];
    v.attempt = 1 + s.rows[uniqueId];
    if (!s.uniqueIds.empty()) {
        // Without unique IDs (a family the table has none for) a DevEUI seen again can only
        // be taken for the same module.
        const bool other = std::any_of(s.uniqueIds.begin(), s.uniqueIds.end(), [&](const std::string& u) {
            return u != uniqueId && !u.empty() && !uniqueId.empty();
        });
        v.duplicate = other ? "other-module" : "same-module";
    }
    if (std::find(s.uniqueIds.begin(), s.uniqueIds.end(), uniqueId) == s.uniqueIds.end())
        s.uniqueIds.push_back(uniqueId);
    ++s.rows[uniqueId];
    return v;
}

}  // namespace vf
