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
// A processor idle for long wakes slower still (here about 120 us late after 27 ms, against
// 40 us after a short sleep): a long wait for such a byte stops this much short and sleeps
// the rest again.
constexpr std::chrono::microseconds kShortSleep{300};

// How long to sleep at `now` for a byte due at `due` (none pending: the whole `cap`), to the
// nanosecond and at most `cap`; zero when it is due. With `ahead`, for a byte the host
// waits for: until `ahead` before the due time, in sleeps no longer than kShortSleep at the end.
timespec waitForDue(WireClock::time_point now, std::optional<WireClock::time_point> due, WireClock::duration cap,
                    WireClock::duration ahead = WireClock::duration::zero());

} // namespace vbsim
