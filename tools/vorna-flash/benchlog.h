// The bench log: one CSV row per module handled, appended to a file that may be shared by
// several stations. It holds AppKeys, so a file created here is readable by its owner only.
#pragma once

#include "platform.h"

#include <cstdint>
#include <functional>
#include <mutex>
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

    // Opens (or creates with mode 0600) the file for appending. Refuses anything but a
    // regular file, and a file whose first line is not this log's header, untouched. On
    // failure returns false and sets `error` to the reason; refusal() makes the sentence.
    bool open(const std::string& path, std::string& error);
    // Rows carry the station's columns too (and so does the header); before open.
    void useStationColumns() { station_ = true; }
    bool isOpen() const { return file_.isOpen(); }
    // Why open failed, in one sentence naming the file.
    std::string refusal(const std::string& path, const std::string& error) const;
    // Open found the last row cut short (a full disk, a crash) and ended it with a line
    // break; the sentence that tells so, or empty.
    std::string mendedNotice(const std::string& path) const;

    // What other programs appended since the last look (the whole file the first time),
    // read under the file's lock.
    bool readNew(std::string& text, std::string& error);
    // Appends the row (and the header first when the file is empty) in one write, whole or
    // not at all. `others`, when given, first gets what other programs appended since the
    // last look, under the same lock.
    bool append(const LogRow& row, std::string& error,
                const std::function<void(const std::string&)>& others = nullptr);

    static const char* header(bool station = false);
    static std::string formatRow(const LogRow& row, bool station = false);

private:
    bool checkAndMend(std::string& error);

    AppendFile file_;
    bool station_ = false;
    std::mutex mutex_;         // this program's threads, one at a time; the file's lock is per file
    int64_t seen_ = 0;         // read or written up to here
    bool foreign_ = false;     // refused for its first line, which is in found_
    std::string found_;
    bool mended_ = false;
};

std::string utcTimestamp();

}  // namespace vf
