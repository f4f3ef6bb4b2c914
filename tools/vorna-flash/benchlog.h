// The bench log: one CSV row per module handled, appended to a file that may be shared by
// several stations. It holds AppKeys, so a file created here is readable by its owner only.
#pragma once

#include "platform.h"

#include <string>

namespace vf {

struct LogRow {
    std::string timeUtc;  // ISO 8601, e.g. 2024-05-01T12:00:00Z
    std::string port;
    std::string productId;  // "0x497", empty when no device was identified
    std::string devEUI, joinEUI, appKey;
    std::string file;
    std::string sha256;
    std::string result;
    double seconds = 0;
    // The station's columns, after the others.
    std::string runId;
    std::string toolVersion;
    unsigned attempt = 0;          // 1 for a module's first row, counting earlier rows of its identity
    std::string failingStep;       // the phase that failed; empty on success
    std::string uniqueId;          // 24 hex digits; empty where the family has none in the table
    std::string duplicate;         // empty, "same-module" or "other-module"
};

class BenchLog {
public:
    BenchLog() = default;
    BenchLog(const BenchLog&) = delete;
    BenchLog& operator=(const BenchLog&) = delete;

    // Opens (or creates with mode 0600) the file for appending. On failure returns false
    // and sets `error` to the system's reason.
    bool open(const std::string& path, std::string& error);
    // Rows carry the station's columns too (and so does the header of a new file).
    void useStationColumns() { station_ = true; }
    bool isOpen() const { return file_.isOpen(); }

    // Appends the row (and the header first when the file is empty) in one write.
    bool append(const LogRow& row, std::string& error);

    static const char* header(bool station = false);
    static std::string formatRow(const LogRow& row, bool station = false);

private:
    AppendFile file_;
    bool station_ = false;
};

std::string utcTimestamp();

}  // namespace vf
