#include "station_display.h"

namespace vf {

namespace {

// A stream whose write failed once (the reader of a pipe went, the terminal was closed)
// is output gone: it is given up, the station goes on.
bool gone(std::FILE* out)
{
    return std::ferror(out) != 0;
}

}  // namespace

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
    if (gone(stderr))
        return;
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
    } else if (!line.empty() && !gone(plain_)) {
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
    } else if (!gone(plain_)) {
        std::fprintf(plain_, "%s: %s\n", ports_[port].c_str(), text.c_str());
        std::fflush(plain_);
    }
}

void StationDisplay::print(const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (gone(out))
        return;
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
