// Per-command log lines and the summary written when the simulator ends.
#pragma once

#include "bootloader.h"

#include <cstdio>
#include <string>

namespace vbsim {

class SimLog {
public:
    SimLog() = default;
    ~SimLog();
    SimLog(const SimLog &) = delete;
    SimLog &operator=(const SimLog &) = delete;

    // Empty path: standard error. False if the file cannot be opened.
    bool open(const std::string &path, bool quiet);
    void line(const std::string &text);   // dropped when quiet
    void notice(const std::string &text); // always written
    void summary(const Stats &stats);

private:
    std::FILE *out_ = stderr;
    bool own_ = false;
    bool quiet_ = false;
};

std::string formatSummary(const Stats &stats);

} // namespace vbsim
