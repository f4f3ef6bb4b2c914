// Lines kept at the bottom of a terminal and redrawn in place, with lines printed above
// them; off a terminal only the printed lines are written. A stream whose write failed once
// (the terminal was closed, the reader of a pipe went) is given up: the rest goes on
// without it. Not locked: its owner calls it under its own lock.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vf {

class TerminalBlock {
public:
    // `lines` are drawn at once on `screen` when `terminal`; off a terminal nothing is drawn.
    void start(std::vector<std::string> lines, bool terminal, std::FILE* screen = stderr);
    // Line i's text, shown by the next redraw or print.
    void set(size_t i, std::string text);
    // Draws line i again, and with it every line below it.
    void redraw(size_t i);
    // `line` and a line end on `out`, above the block, which is drawn again below it.
    void print(const std::string& line, std::FILE* out);
    // On a terminal: `text` over the cursor's line, left without a line end (one module's
    // bar); the next other output ends that line first.
    void overwrite(const std::string& text);
    void endLine();
    void ring(unsigned bells);
    // The block stays on the screen as it is; later output is plain lines below it.
    void finish();

private:
    bool drawing() const;
    void write(std::FILE* out, const std::string& text);
    void erase();
    void drawFrom(size_t i);

    std::FILE* screen_ = stderr;
    std::vector<std::string> lines_;
    bool terminal_ = false;
    size_t drawn_ = 0;                     // lines on the screen above the cursor's line
    size_t stale_ = std::string::npos;     // the first line set since it was drawn
    bool open_ = false;                    // the cursor stands at the end of an overwritten line
};

}  // namespace vf
