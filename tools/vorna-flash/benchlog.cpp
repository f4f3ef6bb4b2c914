#include "benchlog.h"

#include "text.h"

#include <cstdio>
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

bool BenchLog::open(const std::string& path, std::string& error)
{
    return file_.open(path, error);
}

bool BenchLog::append(const LogRow& row, std::string& error)
{
    if (!file_.isOpen()) {
        error = "log not open";
        return false;
    }
    // Stations sharing one file take turns, so the header is written once and rows never interleave.
    file_.lock();
    std::string text;
    if (file_.size() == 0)
        text = header(station_);
    text += formatRow(row, station_);
    const bool ok = file_.appendAndSync(text, error);
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
