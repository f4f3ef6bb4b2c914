// A link with nothing on the other end but a record of what was done to it: opens and every
// modem-line change. Reads time out at once (silence without waiting).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "link.h"

class FakeLink final : public vbprog::Link {
public:
    // Settings of a port that refuses modem-line changes, as a pseudo terminal does.
    bool refuseLines = false;
    // Set: the open is refused for this reason, as a serial port's would be.
    std::optional<vbprog::OpenFailure> refuseOpen;
    int opens = 0;
    std::vector<vbprog::ModemLines> lineChanges;

    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }
    const std::string& portName() const override { return name_; }
    void write(const uint8_t*, size_t, vbprog::Millis) override { requireOpen(); }
    void read(uint8_t*, size_t, vbprog::Millis) override
    {
        requireOpen();
        throw vbprog::TransportError(vbprog::TransportError::Timeout, "read timed out");
    }
    void discardInput() override {}
    size_t dropPending() override { return 0; }
    vbprog::Millis wireTime(size_t bytes) const override { return vbprog::wireTimeAt(115200, bytes); }
    void setModemLines(vbprog::ModemLines lines) override
    {
        requireOpen();
        if (refuseLines)
            throw vbprog::TransportError(vbprog::TransportError::Io, name_ + " has no modem lines (DTR, RTS) to set");
        lineChanges.push_back(lines);
    }

protected:
    void openPort(const vbprog::PortSettings& settings, std::vector<std::string>&) override
    {
        ++opens;
        if (refuseOpen)
            throw vbprog::TransportError(*refuseOpen, "cannot open " + settings.name + ": refused");
        open_ = true;
        name_ = settings.name;
    }

private:
    void requireOpen() const
    {
        if (!open_)
            throw vbprog::TransportError(vbprog::TransportError::Io, "port not open");
    }
    bool open_ = false;
    std::string name_;
};
