#include "terminal_block.h"

#include <algorithm>

namespace vf {

namespace {

bool gone(std::FILE* out)
{
    return std::ferror(out) != 0;
}

std::string up(size_t lines)
{
    return "\x1b[" + std::to_string(lines) + "A";
}

}  // namespace

void TerminalBlock::start(std::vector<std::string> lines, bool terminal, std::FILE* screen)
{
    lines_ = std::move(lines);
    terminal_ = terminal;
    screen_ = screen;
    drawn_ = 0;
    stale_ = std::string::npos;
    open_ = false;
    if (!lines_.empty())
        drawFrom(0);
}

bool TerminalBlock::drawing() const
{
    return terminal_ && !gone(screen_);
}

void TerminalBlock::write(std::FILE* out, const std::string& text)
{
    if (text.empty() || gone(out))
        return;
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

void TerminalBlock::set(size_t i, std::string text)
{
    if (i >= lines_.size())
        return;
    lines_[i] = std::move(text);
    stale_ = std::min(stale_, i);
}

void TerminalBlock::drawFrom(size_t i)
{
    if (!drawing())
        return;
    std::string text;
    if (open_) {
        text += "\n";
        open_ = false;
    }
    // Only a block wholly on the screen is drawn in part.
    if (drawn_ != lines_.size())
        i = 0;
    if (drawn_ > i)
        text += up(drawn_ - i);
    for (size_t j = i; j < lines_.size(); ++j)
        text += "\r\x1b[2K" + lines_[j] + "\n";
    write(screen_, text);
    drawn_ = lines_.size();
    stale_ = std::string::npos;
}

void TerminalBlock::redraw(size_t i)
{
    if (i < lines_.size())
        drawFrom(std::min(i, stale_));
}

void TerminalBlock::erase()
{
    std::string text;
    if (open_)
        text += "\n";
    // Up to the block's first line, erasing each on the way.
    for (size_t i = 0; i < drawn_; ++i)
        text += up(1) + "\r\x1b[2K";
    open_ = false;
    drawn_ = 0;
    write(screen_, text);
}

void TerminalBlock::print(const std::string& line, std::FILE* out)
{
    if (gone(out)) {
        // The line is lost with its stream; the block still shows what was set.
        if (stale_ < lines_.size())
            drawFrom(stale_);
        return;
    }
    if (drawing())
        erase();
    write(out, line + "\n");
    if (!lines_.empty())
        drawFrom(0);
}

void TerminalBlock::overwrite(const std::string& text)
{
    if (!drawing())
        return;
    write(screen_, "\r" + text);
    open_ = true;
}

void TerminalBlock::endLine()
{
    if (open_ && drawing())
        write(screen_, "\n");
    open_ = false;
}

void TerminalBlock::ring(unsigned bells)
{
    if (drawing())
        write(screen_, std::string(bells, '\a'));
}

void TerminalBlock::finish()
{
    endLine();
    drawn_ = 0;
    terminal_ = false;
}

}  // namespace vf
