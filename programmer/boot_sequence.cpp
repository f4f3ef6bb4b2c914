#include "boot_sequence.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "status.h"

namespace vbprog {

namespace {

constexpr int kMaxWaitMs = 10000;
constexpr size_t kMaxSteps = 32;

struct Preset {
    const char* name;
    const char* enter;
    const char* run;
};

// Asserted drives the pin low (direct); through inverters asserted drives it high. The
// two-transistor circuit: RTS alone pulls NRST low, DTR alone raises BOOT0, both or
// neither leave the pins alone, so its lines change together.
const Preset kPresets[] = {
    {"direct", "dtr=1+rts=0,wait=100,dtr=0", "dtr=1+rts=1,wait=100,dtr=0"},
    {"inverted", "dtr=0+rts=1,wait=100,dtr=1", "dtr=0+rts=0,wait=100,dtr=1"},
    {"auto-reset", "dtr=0+rts=1,wait=100,dtr=1+rts=0", "dtr=0+rts=1,wait=100,rts=0"},
};

std::string at(size_t position)
{
    return " at position " + std::to_string(position + 1);
}

// One item of a step: "dtr=1", "rts=0" or "wait=MS", starting at `pos` in `text`.
bool parseItem(const std::string& text, size_t pos, size_t end, BootStep& step, bool& isWait, std::string& error)
{
    const std::string item = text.substr(pos, end - pos);
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    if (key != "dtr" && key != "rts" && key != "wait") {
        error = "expected dtr=, rts= or wait=" + at(pos);
        return false;
    }
    if (eq == std::string::npos) {
        error = key + " needs a value (" + key + (key == "wait" ? "=MS)" : "=0 or =1)") + at(pos + key.size());
        return false;
    }
    const std::string value = item.substr(eq + 1);
    const size_t valuePos = pos + eq + 1;
    isWait = key == "wait";
    if (isWait) {
        if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(value) > kMaxWaitMs) {
            error = "wait takes milliseconds from 0 to " + std::to_string(kMaxWaitMs) + at(valuePos);
            return false;
        }
        step.waitMs = std::stoi(value);
        return true;
    }
    if (value != "0" && value != "1") {
        error = key + " takes 0 (de-asserted) or 1 (asserted)" + at(valuePos);
        return false;
    }
    std::optional<bool>& line = key == "dtr" ? step.dtr : step.rts;
    if (line) {
        error = key + " is named twice in one step" + at(pos);
        return false;
    }
    line = value == "1";
    return true;
}

}  // namespace

Result<std::vector<BootStep>> parseSteps(const std::string& text)
{
    const auto refuse = [](std::string why) { return failure(kBadArgument, std::move(why)); };
    if (text.empty())
        return refuse("the boot sequence is empty");
    std::vector<BootStep> steps;
    bool setsLine = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t stepEnd = std::min(text.find(',', pos), text.size());
        if (stepEnd == pos)
            return refuse("empty step" + at(pos));
        if (steps.size() == kMaxSteps)
            return refuse("more than " + std::to_string(kMaxSteps) + " steps" + at(pos));
        BootStep step;
        size_t itemPos = pos;
        int items = 0;
        bool anyWait = false;
        while (itemPos <= stepEnd) {
            const size_t itemEnd = std::min(text.find('+', itemPos), stepEnd);
            if (itemEnd == itemPos)
                return refuse("empty step" + at(itemPos));
            bool isWait = false;
            std::string why;
            if (!parseItem(text, itemPos, itemEnd, step, isWait, why))
                return refuse(why);
            if ((isWait || anyWait) && items > 0)
                return refuse("a wait is a step of its own" + at(itemPos));
            anyWait = anyWait || isWait;
            ++items;
            itemPos = itemEnd + 1;
        }
        setsLine = setsLine || step.dtr || step.rts;
        steps.push_back(step);
        pos = stepEnd + 1;
    }
    if (!setsLine)
        return refuse("the sequence sets neither dtr nor rts");
    return steps;
}

Result<BootSequence> bootSequence(const std::string& text)
{
    for (const Preset& p : kPresets) {
        if (text != p.name)
            continue;
        return BootSequence{p.name, parseSteps(p.enter).value(), parseSteps(p.run).value()};
    }
    if (text.find('=') == std::string::npos)
        return failure(kBadArgument, "Unknown boot sequence \"" + text +
                                         "\"; the presets are direct, inverted and auto-reset, or give "
                                         "steps such as dtr=1+rts=0,wait=100,dtr=0.");
    Result<std::vector<BootStep>> parsed = parseSteps(text);
    if (!parsed)
        return failure(kBadArgument, "The boot sequence \"" + text + "\" is refused: " + parsed.error().what + ".");
    return BootSequence{text, std::move(parsed).value(), {}};
}

std::string stepsText(const std::vector<BootStep>& steps, int holdFactor)
{
    std::string out;
    for (const BootStep& s : steps) {
        if (!out.empty())
            out += ',';
        if (!s.dtr && !s.rts) {
            out += "wait=" + std::to_string(s.waitMs * holdFactor);
            continue;
        }
        if (s.dtr)
            out += std::string("dtr=") + (*s.dtr ? "1" : "0");
        if (s.dtr && s.rts)
            out += '+';
        if (s.rts)
            out += std::string("rts=") + (*s.rts ? "1" : "0");
    }
    return out;
}

// A wait may be ten seconds long: the stop is looked at in between.
bool waitUnlessStopped(Millis span, const std::atomic<bool>* stop)
{
    if (!stop) {
        std::this_thread::sleep_for(span);
        return true;
    }
    const auto until = std::chrono::steady_clock::now() + span;
    while (!*stop) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, Millis(20)));
    }
    return false;
}

bool runSteps(Link& link, const std::vector<BootStep>& steps, int holdFactor, const std::atomic<bool>* stop)
{
    // A step naming one line keeps the other where the sequence left it; both start idle
    // (de-asserted), as every open leaves them.
    ModemLines lines;
    for (const BootStep& s : steps) {
        if (stop && *stop)
            return false;
        if (!s.dtr && !s.rts) {
            if (!waitUnlessStopped(Millis(s.waitMs * holdFactor), stop))
                return false;
            continue;
        }
        if (s.dtr)
            lines.dtr = *s.dtr;
        if (s.rts)
            lines.rts = *s.rts;
        link.setModemLines(lines);
    }
    return true;
}

}  // namespace vbprog
