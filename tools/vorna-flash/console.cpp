#include "console.h"

#include "message_filter.h"
#include "platform.h"
#include "status.h"

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
    // One module has no block, only its bar.
    std::vector<std::string> lines;
    if (block())
        for (const Row& r : rows_)
            lines.push_back(rowText(r));
    screen_.start(lines, progress_);
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

void Console::redrawRow(size_t module)
{
    screen_.set(module, rowText(rows_[module]));
    screen_.redraw(module);
}

void Console::message(size_t module, int type, const std::string& text)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!messageShown(type, verbose_ ? Verbosity::Everything : Verbosity::ErrorsAndAdvice))
        return;
    const std::string line = trimmed(text);
    if (line.empty())
        return;
    screen_.print(rows_.size() > 1 && module < rows_.size() ? rows_[module].port + ": " + line : line, stderr);
}

void Console::pass(size_t module, const char* label)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (module >= rows_.size())
        return;
    screen_.endLine();
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
        redrawRow(module);
        return;
    }
    std::string label = r.label;
    label.resize(std::max<size_t>(label.size(), 9), ' ');
    char pct[16];
    std::snprintf(pct, sizeof pct, " %3d%%", permille / 10);
    screen_.overwrite(label + " " + bar(permille, 40) + pct);
}

void Console::ended(size_t module, const std::string& state, const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (module < rows_.size()) {
        rows_[module].state = state;
        if (block())
            screen_.set(module, rowText(rows_[module]));
    }
    if (!line.empty())
        screen_.print(line, out);
    else if (block() && module < rows_.size())
        screen_.redraw(module);
}

void Console::print(const std::string& line, std::FILE* out)
{
    std::lock_guard<std::mutex> g(mutex_);
    screen_.print(line, out);
}

void Console::finish()
{
    std::lock_guard<std::mutex> g(mutex_);
    // The block stays on the screen as the record of each module; nothing redraws it now.
    screen_.finish();
    progress_ = false;
}

}  // namespace vf
