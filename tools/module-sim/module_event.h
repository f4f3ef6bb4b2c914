// A module that goes away in the middle of a session, at a command the host sends: taken
// out with a fresh one put in on the same adapter, or reset (a brown-out, a loose contact)
// with its flash kept. Deterministic, so that every phase of a download can be hit.
#pragma once

#include <string>

namespace vbsim {

struct ModuleEvent {
    enum Kind { Swap, Reset };
    Kind kind = Swap;
    std::string command;    // get-id, read, write, erase or go
    unsigned count = 1;     // at the count-th such command byte, from 1
    unsigned delayMs = 500; // until the new module's (or the reset one's) bootloader waits for 0x7F
};

// "write:12" or "write:12:1500"; false with `error` set otherwise.
bool parseModuleEvent(const std::string &text, ModuleEvent::Kind kind, ModuleEvent &out, std::string &error);

// The bootloader's command names (its statistics) that `command` counts.
bool countsCommand(const std::string &command, const std::string &statsName);

} // namespace vbsim
