// The simulator's waits for the wire: a byte is handed to the host when the wire would
// deliver it, not at the next whole millisecond.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>

namespace vbsim {

using WireClock = std::chrono::steady_clock;

// How long to wait at `now` for a byte due at `due` (none pending: the whole `cap`), to the
// nanosecond and at most `cap`; zero when it is due already.
timespec waitForDue(WireClock::time_point now, std::optional<WireClock::time_point> due, WireClock::duration cap);

} // namespace vbsim
