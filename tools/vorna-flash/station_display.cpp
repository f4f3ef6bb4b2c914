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
    std::vector<std::string> lines;
    if (terminal_) {
        for (size_t i = 0; i < ports_.size(); ++i)
            lines.push_back(lineOf(i));
        lines.push_back(countsLine());
    }
    screen_.start(lines, terminal_);
}

std::string StationDisplay::lineOf(size_t port) const
{
    return ports_[port] + std::string(width_ - std::min(width_, ports_[port].size()), ' ') + "  " + states_[port];
}

void StationDisplay::state(size_t port, const std::string& text, const std::string& line)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (port >= states_.size() || (states_[port] == text && line.empty()))
        return;
    states_[port] = text;
    if (terminal_) {
        screen_.set(port, lineOf(port));
        screen_.redraw(port);
    } else if (!line.empty()) {
        screen_.print(ports_[port] + ": " + line, plain_);
    }
}

void StationDisplay::verdict(size_t port, bool pass, const std::string& text, unsigned passed, unsigned failed)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (port >= states_.size())
        return;
    states_[port] = text;
    if (terminal_) {
        // One bell for a pass, three for a failure: told apart without looking.
        screen_.ring(pass ? 1 : 3);
        screen_.set(port, lineOf(port));
        passed_ = passed;
        failed_ = failed;
        screen_.set(ports_.size(), countsLine());
        screen_.redraw(port);
    } else {
        screen_.print(ports_[port] + ": " + text, plain_);
    }
}

std::string StationDisplay::countsLine() const
{
    return "passed " + std::to_string(passed_) + ", failed " + std::to_string(failed_) +
           (notice_.empty() ? std::string() : "; " + notice_);
}

void StationDisplay::notice(const std::string& text)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (text == notice_)
        return;
    const bool wasShown = !notice_.empty();
    notice_ = text;
    if (terminal_) {
        screen_.set(ports_.size(), countsLine());
        screen_.redraw(ports_.size());
    } else if (!text.empty()) {
        screen_.print(text, stderr);
    } else if (wasShown) {
        screen_.print("database reachable again; every result is written", stderr);
    }
}

void StationDisplay::print(const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    screen_.print(line, out);
}

void StationDisplay::finish()
{
    std::lock_guard<std::mutex> g(mutex_);
    screen_.finish();  // the block stays as it is
    terminal_ = false;
}

}  // namespace vf
