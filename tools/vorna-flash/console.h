// What vorna-flash shows while modules are handled, from whichever thread handles them.
// One module: a single progress bar on standard error, as before. Several on a terminal:
// one line per module, redrawn in place, with messages and results printed above them.
// Several elsewhere: a plain line per module when it ends. Every call is whole under one
// lock, so lines of different threads never mix.
#pragma once

#include "terminal_block.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vf {

// True when standard error is a terminal (the one place that asks the system).
bool standardErrorIsTerminal();

class Console {
public:
    // `progress`: draw progress at all (standard error is a terminal). `ports` names the
    // modules; with more than one, messages are prefixed with their port.
    void start(const std::vector<std::string>& ports, bool verbose, bool progress);

    // A library message of level `type` (vbprog::Level), if shown (messageShown) at this verbosity.
    void message(size_t module, int type, const std::string& text);
    // A progress pass begins: "Writing", then "Verifying".
    void pass(size_t module, const char* label);
    void progress(size_t module, uint64_t done, uint64_t total);
    // The module is done: its block line shows `state`, and `line` (if any) goes to `out`.
    void ended(size_t module, const std::string& state, const std::string& line, std::FILE* out);
    // A line to `out` above the progress block.
    void print(const std::string& line, std::FILE* out);
    // Leaves the block (or bar) behind; later output starts on a line of its own.
    void finish();

private:
    struct Row {
        std::string port;
        std::string label = "Connecting";
        int permille = -1;
        std::string state;   // set when ended
    };
    bool block() const { return progress_ && rows_.size() > 1; }
    std::string rowText(const Row& r) const;
    // The module's block line shows its row again.
    void redrawRow(size_t module);

    std::mutex mutex_;
    std::vector<Row> rows_;
    bool verbose_ = false;
    bool progress_ = false;
    size_t width_ = 0;  // longest port name
    TerminalBlock screen_;
};

}  // namespace vf
