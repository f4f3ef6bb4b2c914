// The simulator's waits for the wire: a byte is handed to the host when the wire would
// deliver it, not at the next whole millisecond.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>

namespace vbsim {

using WireClock = std::chrono::steady_clock;

// A timer wakes a process some tens of microseconds late (more on a virtual machine); a
// byte the host waits for is woken for this much earlier and its time waited out awake.
constexpr std::chrono::microseconds kWakeAhead{100};

// How long to sleep at `now` for a byte due at `due` (none pending: the whole `cap`), to the
// nanosecond and at most `cap`; `ahead` earlier than the due time, zero once that passed.
timespec waitForDue(WireClock::time_point now, std::optional<WireClock::time_point> due, WireClock::duration cap,
                    WireClock::duration ahead = WireClock::duration::zero());

} // namespace vbsim
