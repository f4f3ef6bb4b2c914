#include "wire_clock.h"

#include <algorithm>

namespace vbsim {

timespec waitForDue(WireClock::time_point now, std::optional<WireClock::time_point> due, WireClock::duration cap,
                    WireClock::duration ahead)
{
    WireClock::duration left = cap;
    if (due) {
        left = std::clamp(*due - ahead - now, WireClock::duration::zero(), cap);
        if (ahead > WireClock::duration::zero() && left > kShortSleep)
            left -= kShortSleep;
    }
    // Rounded up: woken before the due time, the byte would not be handed over yet.
    const long long ns = std::chrono::ceil<std::chrono::nanoseconds>(left).count();
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

} // namespace vbsim
