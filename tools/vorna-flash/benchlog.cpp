#include "benchlog.h"

#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {

BenchLog::~BenchLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

const char* BenchLog::header()
{
    return "time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds\n";
}

std::string BenchLog::formatRow(const LogRow& r)
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
    line += '\n';
    return line;
}

bool BenchLog::open(const std::string& path, std::string& error)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    return true;
}

bool BenchLog::append(const LogRow& row, std::string& error)
{
    if (fd_ < 0) {
        error = "log not open";
        return false;
    }
    // Stations sharing one file take turns, so the header is written once and rows never interleave.
    ::flock(fd_, LOCK_EX);
    std::string text;
    struct stat st;
    if (::fstat(fd_, &st) == 0 && st.st_size == 0)
        text = header();
    text += formatRow(row);
    const char* p = text.data();
    std::size_t left = text.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::strerror(errno);
            ok = false;
            break;
        }
        p += n;
        left -= std::size_t(n);
    }
    if (ok && ::fsync(fd_) != 0 && errno != EINVAL) {
        error = std::strerror(errno);
        ok = false;
    }
    ::flock(fd_, LOCK_UN);
    return ok;
}

std::string utcTimestamp()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace vf
