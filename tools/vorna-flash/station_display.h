// What the station's operator sees. On a terminal: one line per port, redrawn in place
// (waiting, flashing with phase and percent, PASS, FAIL with its cause, remove module) and
// a line of counts, with one bell for PASS and three for FAIL. Elsewhere: a plain line for
// each thing worth a line. Every call is whole under one lock.
#pragma once

#include "terminal_block.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vf {

class StationDisplay {
public:
    // `terminal`: redraw on standard error; otherwise plain lines go to `plain`.
    void start(const std::vector<std::string>& ports, bool terminal, std::FILE* plain);

    // The port's state; `line` (when not empty) is the plain line for it.
    void state(size_t port, const std::string& text, const std::string& line = {});
    // A module's end: the state, its bell, the counts.
    void verdict(size_t port, bool pass, const std::string& text, unsigned passed, unsigned failed);
    // The line's database: "database unreachable since 10:42, 7 results waiting", or empty
    // once nothing waits. On a terminal after the counts; elsewhere a plain line when it changes.
    void notice(const std::string& text);
    // A line of its own (above the block on a terminal) on `out`.
    void print(const std::string& line, std::FILE* out);
    // Leaves the block on the screen; later output starts below it.
    void finish();

private:
    std::string lineOf(size_t port) const;
    std::string countsLine() const;

    std::mutex mutex_;
    std::vector<std::string> ports_, states_;
    bool terminal_ = false;
    std::FILE* plain_ = stdout;
    size_t width_ = 0;
    unsigned passed_ = 0, failed_ = 0;
    std::string notice_;
    TerminalBlock screen_;  // a line per port, then the counts
};

}  // namespace vf
