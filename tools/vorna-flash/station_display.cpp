#include "station_display.h"

namespace vf {

void StationDisplay::start(const std::vector<std::string>& ports, bool terminal, std::FILE* plain)
{
    std::lock_guard<std::mutex> g(mutex_);
    ports_ = ports;
    states_.assign(ports.size(), "waiting for a module");
    terminal_ = terminal;
    plain_ = plain;
    for (const auto& p : ports)
        width_ = std::max(width_, p.size());
    if (terminal_)
        drawLocked();
}

void StationDisplay::clearLocked()
{
    // Up to the block's first line, erasing each on the way.
    for (size_t i = 0; i < drawn_; ++i)
        std::fputs("\x1b[1A\r\x1b[2K", stderr);
    drawn_ = 0;
}

void StationDisplay::drawLocked()
{
    clearLocked();
    for (size_t i = 0; i < ports_.size(); ++i)
        std::fprintf(stderr, "%-*s  %s\n", int(width_), ports_[i].c_str(), states_[i].c_str());
    std::fprintf(stderr, "%s\n", counts_.c_str());
    drawn_ = ports_.size() + 1;
    std::fflush(stderr);
}

void StationDisplay::state(size_t port, const std::string& text, const std::string& line)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (port >= states_.size() || (states_[port] == text && line.empty()))
        return;
    states_[port] = text;
    if (terminal_) {
        drawLocked();
    } else if (!line.empty()) {
        std::fprintf(plain_, "%s: %s\n", ports_[port].c_str(), line.c_str());
        std::fflush(plain_);
    }
}

void StationDisplay::verdict(size_t port, bool pass, const std::string& text, unsigned passed, unsigned failed)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (port >= states_.size())
        return;
    states_[port] = text;
    counts_ = "passed " + std::to_string(passed) + ", failed " + std::to_string(failed);
    if (terminal_) {
        // One bell for a pass, three for a failure: told apart without looking.
        std::fputs(pass ? "\a" : "\a\a\a", stderr);
        drawLocked();
    } else {
        std::fprintf(plain_, "%s: %s\n", ports_[port].c_str(), text.c_str());
        std::fflush(plain_);
    }
}

void StationDisplay::print(const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (terminal_)
        clearLocked();
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    if (terminal_)
        drawLocked();
}

void StationDisplay::finish()
{
    std::lock_guard<std::mutex> g(mutex_);
    drawn_ = 0;  // the block stays as it is
    terminal_ = false;
}

}  // namespace vf
