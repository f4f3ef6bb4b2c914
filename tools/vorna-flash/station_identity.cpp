#include "station_identity.h"

#include "text.h"

#include <algorithm>

namespace vf {

bool splitCsvLine(const std::string& line, std::vector<std::string>& fields)
{
    std::size_t pos = 0;
    return nextCsvRecord(line, pos, fields, true);
}

bool IdentityBook::take(const std::string& text, bool textEnds, std::string& error)
{
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        if (!nextCsvRecord(text, pos, fields, textEnds)) {
            if (!textEnds)
                return true;
            error = "line " + std::to_string(1 + std::count(text.begin(), text.begin() + long(start), '\n')) +
                    " is cut short";
            return false;
        }
        if (devCol_ < 0) {
            const auto column = [&](const char* name) {
                const auto it = std::find(fields.begin(), fields.end(), name);
                return it == fields.end() ? -1 : int(it - fields.begin());
            };
            if (column("dev_eui") < 0 || column("unique_id") < 0) {
                error = "it has no dev_eui and unique_id columns (a log of the flash or keys command?)";
                return false;
            }
            devCol_ = column("dev_eui");
            uidCol_ = column("unique_id");
            continue;
        }
        if (int(fields.size()) <= std::max(devCol_, uidCol_))
            continue;
        const std::string dev = csvValue(fields[size_t(devCol_)]);
        if (dev.empty())
            continue;
        Seen& s = byDevEui_[dev];
        const std::string uid = csvValue(fields[size_t(uidCol_)]);
        if (std::find(s.uniqueIds.begin(), s.uniqueIds.end(), uid) == s.uniqueIds.end())
            s.uniqueIds.push_back(uid);
        ++s.rows[uid];
    }
    return true;
}

bool IdentityBook::loadLog(const std::string& csvText, std::string& error)
{
    return take(csvText, true, error);
}

void IdentityBook::loadRows(const std::string& csvText)
{
    std::string ignored;
    take(csvText, false, ignored);
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
