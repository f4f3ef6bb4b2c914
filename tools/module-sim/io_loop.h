// Moves bytes between the pty and the bootloader, with the wire and flash timing of a
// real module when a baud rate is given.
#pragma once

#include "bootloader.h"
#include "line_noise.h"
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

    // A part whose clock cannot follow rates above `baud`: a sync sent faster is measured
    // wrong, and the bootloader answers nothing more until it is reset (the process ends).
    void setMaxBaud(unsigned baud) { maxBaud_ = baud; }
    // Damages the bytes of both directions; off unless the settings ask for it.
    void setNoise(const NoiseSettings &s) { noise_ = LineNoise(s); }
    const LineNoise &noise() const { return noise_; }

private:
    struct Scheduled {
        Clock::time_point due;
        uint8_t byte;
    };

    void received(const uint8_t *data, size_t len, Clock::time_point now);
    void toBootloader(uint8_t byte);
    void logNoise();
    void flushDue(Clock::time_point now);
    // False when the host's rate is beyond the part: the bytes never reach the bootloader.
    bool rateTaken();

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
    unsigned maxBaud_ = 0;
    bool lockedOut_ = false;
    LineNoise noise_;
    std::vector<std::string> noiseEvents_;
};

} // namespace vbsim
