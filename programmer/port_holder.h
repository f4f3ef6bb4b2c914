// Who holds a serial port: the processes with the device open, read from /proc on Linux.
// Asked only when an open was refused as "in use", so that the user's sentence can name
// the program to close instead of "another program".
#pragma once

#include "link.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vbprog {

// Processes other than this one that hold `device` (the name given, and the device it
// resolves to): an open descriptor on it under `procRoot`/PID/fd, or a lock on it in
// `procRoot`/locks (which names the locker even to users who may not look at its
// descriptors). A running ModemManager whose descriptors cannot be read is named as not
// seen. Ordered by pid, each once. The look stops after `budget` of this thread's time
// (or ten times that on the clock): a system with very many open files is answered with
// what was found by then, an unreadable /proc with nothing.
std::vector<PortHolder> findPortHolders(const std::string& device, const std::filesystem::path& procRoot = "/proc",
                                        Millis budget = Millis(50));

}  // namespace vbprog
