#include "benchlog.h"

#include "text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace vf {

const char* BenchLog::header(bool station)
{
    return station ? "time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds,"
                     "run_id,tool_version,attempt,failing_step,unique_id,duplicate\n"
                   : "time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds\n";
}

std::string BenchLog::formatRow(const LogRow& r, bool station)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    std::string line;
    for (const std::string* f : {&r.timeUtc, &r.port, &r.productId, &r.devEUI, &r.joinEUI, &r.appKey, &r.file,
                                 &r.sha256, &r.result}) {
        line += csvField(*f);
        line += ',';
    }
    line += seconds;
    if (station) {
        const std::string attempt = std::to_string(r.attempt);
        for (const std::string* f : {&r.runId, &r.toolVersion, &attempt, &r.failingStep, &r.uniqueId, &r.duplicate}) {
            line += ',';
            line += csvField(*f);
        }
    }
    line += '\n';
    return line;
}

namespace {

// The first line of a file that is not ours, short and printable.
std::string shownLine(const std::string& line)
{
    constexpr std::size_t kShown = 100;
    std::string out;
    for (char c : line.substr(0, kShown))
        out += c >= ' ' && c <= '~' ? c : '?';
    return line.size() > kShown ? out + "..." : out;
}

}  // namespace

bool BenchLog::open(const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> g(mutex_);
    foreign_ = mended_ = false;
    seen_ = 0;
    if (!file_.open(path, error))
        return false;
    file_.lock();
    const bool ok = checkAndMend(error);
    file_.unlock();
    if (!ok)
        file_.close();
    return ok;
}

bool BenchLog::checkAndMend(std::string& error)
{
    const int64_t size = file_.size();
    if (size < 0) {
        error = "its size cannot be read";
        return false;
    }
    if (size == 0)
        return true;  // new: the header comes with the first row
    // Rows of another shape, or in another program's file (the firmware, given for the
    // log by mistake), would spoil both; nothing is written into it.
    std::string start;
    if (!file_.readAt(0, 4096, start, error))
        return false;
    std::string first = start.substr(0, start.find('\n'));
    if (!first.empty() && first.back() == '\r')
        first.pop_back();
    const std::string want(header(station_), std::strlen(header(station_)) - 1);
    if (first != want) {
        foreign_ = true;
        found_ = shownLine(first);
        error = "its first line is not the header";
        return false;
    }
    // Ends on a row boundary when it ends in a line break outside quotes; quotes inside a
    // field are doubled, so an odd count leaves one open.
    bool quoted = false;
    char last = 0;
    std::string chunk;
    for (int64_t at = 0; at < size; at += int64_t(chunk.size())) {
        if (!file_.readAt(at, 1 << 16, chunk, error))
            return false;
        if (chunk.empty())
            break;
        for (char c : chunk)
            quoted ^= c == '"';
        last = chunk.back();
    }
    if (!quoted && last == '\n')
        return true;
    mended_ = true;
    return file_.appendAndSync(quoted ? "\"\n" : "\n", error);
}

std::string BenchLog::refusal(const std::string& path, const std::string& error) const
{
    if (foreign_)
        return "The log file " + path + " is not " + (station_ ? "a station log" : "a log of the flash or keys command") +
               ": its first line is \"" + found_ + "\"; give a new file to --log.";
    return "Cannot write the log file " + path + " (" + error + "); give a writable path to --log.";
}

std::string BenchLog::mendedNotice(const std::string& path) const
{
    if (!mended_)
        return {};
    return "The log file " + path + " ended in a row cut short, which now ends with a line break; new rows start on "
                                    "a line of their own.";
}

bool BenchLog::readNew(std::string& text, std::string& error)
{
    std::lock_guard<std::mutex> g(mutex_);
    text.clear();
    if (!file_.isOpen())
        return true;
    file_.lock();
    const int64_t size = file_.size();
    bool ok = size >= 0;
    if (ok && size > seen_)
        ok = file_.readAt(seen_, std::size_t(size - seen_), text, error);
    if (ok)
        seen_ += int64_t(text.size());
    file_.unlock();
    return ok;
}

bool BenchLog::append(const LogRow& row, std::string& error, const std::function<void(const std::string&)>& others)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!file_.isOpen()) {
        error = "log not open";
        return false;
    }
    // Stations sharing one file take turns, so the header is written once and rows never interleave.
    file_.lock();
    const int64_t size = file_.size();
    std::string text, why;
    if (others && size > seen_ && file_.readAt(seen_, std::size_t(size - seen_), text, why))
        others(text);
    text = size == 0 ? header(station_) : "";
    text += formatRow(row, station_);
    const bool ok = file_.appendAndSync(text, error);
    if (ok && size >= 0)
        seen_ = size + int64_t(text.size());
    file_.unlock();
    return ok;
}

std::string utcTimestamp()
{
    const std::tm tm = utcNow();
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace vf
