#include "module_event.h"

#include <cstdlib>

namespace vbsim {

namespace {

bool number(const std::string &s, unsigned max, unsigned &out)
{
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
    if (v > max)
        return false;
    out = unsigned(v);
    return true;
}

} // namespace

bool countsCommand(const std::string &command, const std::string &name)
{
    if (command == "get-id")
        return name == "Get ID";
    if (command == "read")
        return name == "Read Memory";
    if (command == "write")
        return name == "Write Memory";
    if (command == "erase")
        return name == "Erase" || name == "Extended Erase";
    if (command == "go")
        return name == "Go";
    return false;
}

bool parseModuleEvent(const std::string &text, ModuleEvent::Kind kind, ModuleEvent &out, std::string &error)
{
    const char *flag = kind == ModuleEvent::Swap ? "--swap-at" : "--reset-at";
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    ModuleEvent e;
    e.kind = kind;
    e.command = text.substr(0, first);
    const std::string count =
        first == std::string::npos ? std::string() : text.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    const bool known = e.command == "get-id" || e.command == "read" || e.command == "write" ||
                       e.command == "erase" || e.command == "go";
    bool ok = known && number(count, 100000, e.count) && e.count >= 1;
    if (ok && second != std::string::npos)
        ok = number(text.substr(second + 1), 60000, e.delayMs);
    if (!ok) {
        error = std::string(flag) + " is COMMAND:N[:MS] with COMMAND get-id, read, write, erase or go, N from 1, not " + text;
        return false;
    }
    out = e;
    return true;
}

} // namespace vbsim
