#include "console.h"

#include "message_filter.h"
#include "platform.h"
#include "programmer_api.h"

#include <algorithm>

namespace vf {

namespace {

constexpr const char* kHashes = "########################################";

std::string bar(int permille, int width)
{
    const int filled = permille * width / 1000;
    return "[" + std::string(kHashes, size_t(filled)) + std::string(size_t(width - filled), ' ') + "]";
}

// One line a message, whatever line breaks the library puts around its texts.
std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \r\n\t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \r\n\t") - first + 1);
}

}  // namespace

bool standardErrorIsTerminal()
{
    return stderrIsTerminal();
}

void Console::start(const std::vector<std::string>& ports, bool verbose, bool progress)
{
    std::lock_guard<std::mutex> g(mutex_);
    rows_.clear();
    width_ = 0;
    for (const auto& p : ports) {
        Row row;
        row.port = p;
        rows_.push_back(row);
        width_ = std::max(width_, p.size());
    }
    verbose_ = verbose;
    progress_ = progress;
    drawn_ = 0;
    barOnLine_ = false;
    if (block())
        drawLocked();
}

std::string Console::rowText(const Row& r) const
{
    std::string text = r.port + std::string(width_ - r.port.size(), ' ') + "  ";
    if (!r.state.empty())
        return text + r.state;
    if (r.permille < 0)
        return text + r.label + "...";
    char pct[16];
    std::snprintf(pct, sizeof pct, " %3d%%", r.permille / 10);
    std::string label = r.label;
    label.resize(std::max<size_t>(label.size(), 9), ' ');
    return text + label + " " + bar(r.permille, 30) + pct;
}

void Console::clearLocked()
{
    if (barOnLine_) {
        std::fputc('\n', stderr);
        barOnLine_ = false;
    }
    if (drawn_) {
        std::fprintf(stderr, "\x1b[%zuA\r\x1b[J", drawn_);
        drawn_ = 0;
    }
    std::fflush(stderr);
}

void Console::drawLocked()
{
    std::string text;
    if (drawn_)
        text += "\x1b[" + std::to_string(drawn_) + "A";
    for (const Row& r : rows_)
        text += "\r\x1b[2K" + rowText(r) + "\n";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = rows_.size();
}

void Console::printLocked(const std::string& line, std::FILE* out)
{
    clearLocked();
    std::fputs((line + "\n").c_str(), out);
    std::fflush(out);
    if (block())
        drawLocked();
}

void Console::message(size_t module, int type, const std::string& text)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!messageShown(type, verbose_ ? Verbosity::Everything : Verbosity::ErrorsAndAdvice))
        return;
    const std::string line = trimmed(text);
    if (line.empty())
        return;
    printLocked(rows_.size() > 1 && module < rows_.size() ? rows_[module].port + ": " + line : line, stderr);
}

void Console::pass(size_t module, const char* label)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (module >= rows_.size())
        return;
    if (barOnLine_) {
        std::fputc('\n', stderr);
        barOnLine_ = false;
    }
    rows_[module].label = label;
    rows_[module].permille = -1;
}

void Console::progress(size_t module, uint64_t done, uint64_t total)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!progress_ || total == 0 || module >= rows_.size())
        return;
    Row& r = rows_[module];
    const int permille = int(std::min(done, total) * 1000 / total);
    // Several lines are redrawn whole: only when a percentage changes.
    if (permille == r.permille || (block() && r.permille >= 0 && permille / 10 == r.permille / 10 && permille != 1000))
        return;
    r.permille = permille;
    if (block()) {
        drawLocked();
        return;
    }
    std::string label = r.label;
    label.resize(std::max<size_t>(label.size(), 9), ' ');
    std::fprintf(stderr, "\r%s %s %3d%%", label.c_str(), bar(permille, 40).c_str(), permille / 10);
    std::fflush(stderr);
    barOnLine_ = true;
}

void Console::ended(size_t module, const std::string& state, const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (module < rows_.size())
        rows_[module].state = state;
    if (!line.empty())
        printLocked(line, out);
    else if (block())
        drawLocked();
}

void Console::print(const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    printLocked(line, out);
}

void Console::finish()
{
    std::lock_guard<std::mutex> g(mutex_);
    if (barOnLine_) {
        std::fputc('\n', stderr);
        barOnLine_ = false;
    }
    std::fflush(stderr);
    // The block stays on the screen as the record of each module; nothing redraws it now.
    drawn_ = 0;
    progress_ = false;
}

}  // namespace vf
