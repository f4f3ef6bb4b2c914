// Which modules a station has seen: a DevEUI on two modules is a provisioning fault, a module
// coming back is worth knowing. Fed from the log file the station appends to and from the
// modules of this run; safe to use from every port's thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vf {

struct IdentityVerdict {
    unsigned attempt = 1;    // 1 + the rows this module (by unique ID, else DevEUI) already has
    // "" when the DevEUI is new; "same-module" when this module was seen before;
    // "other-module" when another module (another unique ID) carries the same DevEUI.
    std::string duplicate;
};

class IdentityBook {
public:
    // Takes the rows of an earlier log (the station's columns: dev_eui and unique_id by
    // name). Returns false with `error` set when the text is not a log of that shape.
    // A row cut short (ended by a line break when the log was opened) counts for nothing.
    bool loadLog(const std::string& csvText, std::string& error);
    // Takes the rows that other stations appended after the text loaded before; a row not
    // yet ended by a line break is left out.
    void loadRows(const std::string& csvText);

    // Notes a module of this run and says what the book knew of it before. An empty DevEUI
    // (the identifiers were not read) is counted by nothing.
    IdentityVerdict note(const std::string& devEui, const std::string& uniqueId);

private:
    struct Seen {
        std::vector<std::string> uniqueIds;  // each distinct one, "" for a row without
        std::map<std::string, unsigned> rows;  // by unique ID
    };
    bool take(const std::string& text, bool textEnds, std::string& error);

    std::mutex mutex_;
    std::map<std::string, Seen> byDevEui_;
    int devCol_ = -1, uidCol_ = -1;  // known once the header was read
};

// The fields of one CSV line (RFC 4180 quoting), or false when a quote is left open.
bool splitCsvLine(const std::string& line, std::vector<std::string>& fields);

}  // namespace vf
