// Moves bytes between the pty and the bootloader, with the wire and flash timing of a
// real module when a baud rate is given.
#pragma once

#include "bootloader.h"
#include "pty_link.h"
#include "sim_log.h"

#include <chrono>
#include <csignal>
#include <deque>

namespace vbsim {

class IoLoop {
public:
    using Clock = std::chrono::steady_clock;

    IoLoop(PtyLink &link, Bootloader &bl, SimLog &log, unsigned baud, double idleTimeout);

    // Runs until a stop is requested (signal pipe readable) or the idle timeout ends it.
    // Returns a short reason.
    std::string run(int stopFd);

private:
    struct Scheduled {
        Clock::time_point due;
        uint8_t byte;
    };

    void received(const uint8_t *data, size_t len, Clock::time_point now);
    void flushDue(Clock::time_point now);

    PtyLink &link_;
    Bootloader &bl_;
    SimLog &log_;
    Clock::duration byteTime_{};
    bool timed_ = false;
    double idleTimeout_;
    Clock::time_point rxDone_{};
    Clock::time_point txFree_{};
    std::deque<Scheduled> tx_;
    bool clientPresent_ = true;
};

} // namespace vbsim
