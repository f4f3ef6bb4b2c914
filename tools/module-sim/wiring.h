// How the adapter's modem lines reach the module's NRST and BOOT0 pins. An asserted line
// drives its adapter pin LOW on the common bridges; an inverting stage turns that round.
#pragma once

#include <string>

namespace vbsim {

enum class Wiring {
    None,      // nothing on NRST, BOOT0 strapped high: always in the bootloader
    Direct,    // DTR -> NRST, RTS -> BOOT0
    Inverted,  // the same through an inverter each
    AutoReset, // the two-transistor circuit of development boards
};

struct Pins {
    bool nrstHigh = true;  // low holds the part in reset
    bool boot0High = true; // sampled when NRST goes high
};

// A jig's presence switch on one of the adapter's modem status inputs: asserted while a
// module is in, or, active-low ("!dsr"), de-asserted while one is in.
enum class StatusLine { None, Cts, Dsr, Dcd, Ri };
struct Presence {
    StatusLine line = StatusLine::None;
    bool activeLow = false;
};

Pins wiredPins(Wiring w, bool dtrAsserted, bool rtsAsserted);
bool parsePresence(const std::string &text, Presence &out);
const char *statusLineName(StatusLine l);
bool parseWiring(const std::string &text, Wiring &out);
const char *wiringName(Wiring w);

} // namespace vbsim
