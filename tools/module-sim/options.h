// Command line of vbf-module-sim.
#pragma once

#include "bootloader.h"
#include "line_noise.h"
#include "module_event.h"
#include "wiring.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vbsim {

struct Options {
    std::string link;
    uint16_t pid = 0x497;
    std::optional<uint16_t> reportPid;
    std::string image;
    std::string keys; // 64 hex digits
    std::string dump;
    unsigned baud = 0; // 0 = no wire timing
    unsigned maxBaud = 0; // 0 = any rate the host sets
    double idleTimeout = 600;
    std::string logFile;
    bool quiet = false;
    std::string wireTrace;      // every pty read and write with its time, for the bench
    Faults faults;
    NoiseSettings noise;
    std::string parityMarks;    // file that lists the bytes to the host with a parity error
    std::string control;        // control socket path
    Wiring wiring = Wiring::None;
    double startupMs = 40;      // bootloader start-up after a reset
    unsigned latencyTimerMs = 0; // 0 = no bridge latency timer
    std::string uid;            // 24 hex digits
    std::optional<ModuleEvent> moduleEvent; // --swap-at or --reset-at
    Presence presence;          // the jig's presence switch, none by default
};

// Parses argv; on failure returns false with a message in `error`.
bool parseOptions(int argc, char **argv, Options &opts, std::string &error);
std::string usage();

// 64 hex digits to 32 bytes; false if malformed.
bool parseKeys(const std::string &hex, std::vector<uint8_t> &out);
// `digits` hex digits to digits/2 bytes; false if malformed.
bool parseHex(const std::string &hex, size_t digits, std::vector<uint8_t> &out);

} // namespace vbsim
