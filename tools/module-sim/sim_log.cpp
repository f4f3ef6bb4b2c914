#include "sim_log.h"

#include <algorithm>

namespace vbsim {

SimLog::~SimLog()
{
    if (own_)
        std::fclose(out_);
}

bool SimLog::open(const std::string &path, bool quiet)
{
    quiet_ = quiet;
    if (path.empty())
        return true;
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    out_ = f;
    own_ = true;
    return true;
}

void SimLog::line(const std::string &text)
{
    if (!quiet_)
        notice(text);
}

void SimLog::notice(const std::string &text)
{
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_); // tests and people read it while we run
}

void SimLog::summary(const Stats &stats)
{
    std::fputs(formatSummary(stats).c_str(), out_);
    std::fflush(out_);
}

std::string formatSummary(const Stats &s)
{
    unsigned total = 0;
    std::string byType;
    for (const auto &[name, count] : s.commands) {
        total += count;
        byType += (byType.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    std::string r = "summary: " + std::to_string(total) + " commands, " + std::to_string(s.acks) +
                    " ACK, " + std::to_string(s.nacks) + " NACK, " + std::to_string(s.syncs) + " sync\n";
    r += "commands: " + (byType.empty() ? std::string("none") : byType) + "\n";
    if (s.ignoredBeforeSync)
        r += "ignored-before-sync: " + std::to_string(s.ignoredBeforeSync) + " bytes\n";
    r += "pages-erased: " + std::to_string(s.pagesErased) + "\n";
    r += "mass-erases: " + std::to_string(s.massErases) + "\n";
    r += "bytes-written: " + std::to_string(s.bytesWritten) + "\n";
    r += "bytes-read: " + std::to_string(s.bytesRead) + "\n";
    if (s.guardedTouches.empty()) {
        r += "guarded-area: none\n";
    } else {
        r += "guarded-area: TOUCHED 0x08000000..0x080007FF by ";
        // A whole image written over page 0 would make an endless line.
        const size_t shown = std::min<size_t>(s.guardedTouches.size(), 16);
        for (size_t i = 0; i < shown; ++i)
            r += (i ? "; " : "") + s.guardedTouches[i];
        if (shown < s.guardedTouches.size())
            r += "; and " + std::to_string(s.guardedTouches.size() - shown) + " more";
        r += "\n";
    }
    return r;
}

} // namespace vbsim
