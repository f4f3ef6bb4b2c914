// The link to a module: one open port with a deadline on every read and write, and the
// port's modem lines. The serial port implements it; so do the fuzzers' scripted device
// and the tests' fakes, so the protocol and the session run unchanged over each.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vbprog {

using Millis = std::chrono::milliseconds;

struct PortSettings {
    std::string name;
    uint32_t baudrate = 115200;
    int parity = 0;        // usartParity: 0 even, 1 odd, 2 none
    int dataBits = 8;
    float stopBits = 1.0f;
    int flowControl = 0;   // usartFlowControl: 0 off, 1 hardware, 2 software
};

// A process that has a port open, as the system names it.
struct PortHolder {
    int pid = 0;
    std::string name;   // the program's name (ModemManager, picocom, ...)
    // False when only its name and kind point to it: a modem manager whose open files this
    // user may not see.
    bool seen = true;
};

// ModemManager probes every new serial port as a modem; its cure is a udev rule.
inline bool isModemManager(const PortHolder& holder)
{
    return holder.name == "ModemManager";
}

// Why a port did not open, as the system said at the moment it refused.
struct OpenFailure {
    enum Cause { None, Absent, Denied, InUse, Other };
    Cause cause = None;
    // Denied: the group that owns the device; empty where the system names none or it is
    // the superuser's own, which no user joins.
    std::string group;
    // InUse: the other processes that hold it, where the system tells (Linux); looked up
    // when the open was refused, since they may be gone by the time anyone reads why.
    std::vector<PortHolder> holders{};
};

class TransportError : public std::runtime_error {
public:
    // Damaged: a byte arrived with a parity or framing error (or a break); the port is fine.
    enum Kind { Open, Timeout, Io, Damaged };
    TransportError(Kind kind, const std::string& what)
        : std::runtime_error(what), kind(kind), failure{kind == Open ? OpenFailure::Other : OpenFailure::None, {}}
    {
    }
    // An open the system refused, and why.
    TransportError(OpenFailure why, const std::string& what) : std::runtime_error(what), kind(Open), failure(std::move(why)) {}
    Kind kind;
    OpenFailure failure;  // None unless kind is Open
};

// true = asserted. On common USB-serial bridges an asserted line drives its pin LOW, so a
// module whose NRST hangs on DTR is held in reset while DTR is asserted.
struct ModemLines {
    bool dtr = false;
    bool rts = false;
};

// The inputs a jig may wire a switch to: true = asserted.
struct ModemStatus {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
};

class Link {
public:
    virtual ~Link() = default;

    // Opens and configures the port, then puts both modem lines into their idle state
    // (de-asserted). A port without modem lines gets a note, not a failure; what the port
    // ignores or refuses otherwise is in `notes` too. Throws TransportError(Open).
    void open(const PortSettings& settings, std::vector<std::string>& notes);
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual const std::string& portName() const = 0;

    // Throw TransportError(Timeout) when the deadline passes, (Io) when the port fails;
    // read throws (Damaged) at a byte the port flagged as received with an error.
    virtual void write(const uint8_t* data, size_t length, Millis timeout) = 0;
    virtual void read(uint8_t* data, size_t length, Millis timeout) = 0;
    // One byte, -1 when nothing arrives in time, or kDamagedByte for a flagged byte.
    static constexpr int kDamagedByte = 0x100;
    int readByte(Millis timeout);

    // Drops whatever the device sent that nobody asked for.
    virtual void discardInput() = 0;
    // Drops what has already arrived, without waiting for more; returns how many bytes.
    virtual size_t dropPending() = 0;

    // Line time of `bytes` bytes (11 bit times each) at the open rate, rounded up.
    virtual Millis wireTime(size_t bytes) const = 0;

    // Sets DTR and RTS, both in one step where the system allows it. Throws
    // TransportError(Io) with a sentence naming the port when it has no modem lines.
    virtual void setModemLines(ModemLines lines) = 0;
    // Reads CTS, DSR, DCD and RI. Throws TransportError(Io) naming the port when it has none.
    virtual ModemStatus modemStatus()
    {
        throw TransportError(TransportError::Io, portName() + " has no modem status lines");
    }

protected:
    // The port open and configured; the lines as the system left them.
    virtual void openPort(const PortSettings& settings, std::vector<std::string>& notes) = 0;
};

inline void Link::open(const PortSettings& settings, std::vector<std::string>& notes)
{
    openPort(settings, notes);
    // Systems raise DTR and RTS on open; a module whose NRST hangs on DTR would stay in
    // reset for as long as the port is open.
    try {
        setModemLines(ModemLines{});
    } catch (const TransportError& e) {
        notes.push_back(std::string("DTR and RTS left as they were: ") + e.what());
    }
}

inline int Link::readByte(Millis timeout)
{
    uint8_t b = 0;
    try {
        read(&b, 1, timeout);
    } catch (const TransportError& e) {
        if (e.kind == TransportError::Timeout)
            return -1;
        if (e.kind == TransportError::Damaged)
            return kDamagedByte;
        throw;
    }
    return b;
}

// Line time of `bytes` bytes at `baud`, 11 bit times each, rounded up.
inline Millis wireTimeAt(uint32_t baud, size_t bytes)
{
    const uint64_t bits = uint64_t(bytes) * 11u * 1000u;
    return Millis((bits + baud - 1) / baud);
}

}  // namespace vbprog
