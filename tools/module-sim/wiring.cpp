#include "wiring.h"

namespace vbsim {

Pins wiredPins(Wiring w, bool dtr, bool rts)
{
    switch (w) {
    case Wiring::None:
        return {true, true};
    case Wiring::Direct:
        return {!dtr, !rts};
    case Wiring::Inverted:
        return {dtr, rts};
    case Wiring::AutoReset:
        // Both lines equal: both transistors off, NRST on its pull-up and BOOT0 on its
        // pull-down. RTS alone pulls NRST low; DTR alone drives BOOT0 high.
        return {!(rts && !dtr), dtr && !rts};
    }
    return {};
}

bool parseWiring(const std::string &t, Wiring &out)
{
    if (t == "none")
        out = Wiring::None;
    else if (t == "direct")
        out = Wiring::Direct;
    else if (t == "inverted")
        out = Wiring::Inverted;
    else if (t == "auto-reset")
        out = Wiring::AutoReset;
    else
        return false;
    return true;
}

bool parsePresence(const std::string &text, Presence &out)
{
    const bool low = !text.empty() && text[0] == '!';
    const std::string name = low ? text.substr(1) : text;
    for (StatusLine l : {StatusLine::Cts, StatusLine::Dsr, StatusLine::Dcd, StatusLine::Ri})
        if (name == statusLineName(l)) {
            out = {l, low};
            return true;
        }
    return false;
}

const char *statusLineName(StatusLine l)
{
    switch (l) {
    case StatusLine::None: return "none";
    case StatusLine::Cts: return "cts";
    case StatusLine::Dsr: return "dsr";
    case StatusLine::Dcd: return "dcd";
    case StatusLine::Ri: return "ri";
    }
    return "?";
}

const char *wiringName(Wiring w)
{
    switch (w) {
    case Wiring::None: return "none";
    case Wiring::Direct: return "direct";
    case Wiring::Inverted: return "inverted";
    case Wiring::AutoReset: return "auto-reset";
    }
    return "?";
}

} // namespace vbsim
