// A device on the other end of a Link, played from a script instead of a port: the
// fuzz input decides what comes back, and a virtual clock counts the waits, so a run takes
// microseconds and a client that would wait without end shows as a long virtual time.
#pragma once

#include <cstddef>
#include <cstdint>

#include <string>

#include "link.h"

namespace fuzzdev {

// Script: chunks of answer bytes. Each chunk starts with a header byte H:
//   bits 0-5  length; 63 means "63 + the next byte"
//   bit 6     the line is lost once this chunk has been delivered (reads and writes fail)
//   bit 7     late: delivered when the host waits for input and has none, instead of when
//             the host next writes
void script(const uint8_t* data, size_t size);

// Since the last reset: virtual time the host spent waiting, and calls into the link.
vbprog::Millis waited();
size_t calls();
void resetCounters();

// The link to the scripted device (one at a time: the script is global).
class ScriptedLink final : public vbprog::Link {
public:
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }
    const std::string& portName() const override { return name_; }
    void write(const uint8_t* data, size_t length, vbprog::Millis timeout) override;
    void read(uint8_t* data, size_t length, vbprog::Millis timeout) override;
    void discardInput() override;
    size_t dropPending() override;
    vbprog::Millis wireTime(size_t bytes) const override { return vbprog::wireTimeAt(baudrate_, bytes); }
    // The scripted device has no reset wiring; the lines change nothing.
    void setModemLines(vbprog::ModemLines) override {}

protected:
    void openPort(const vbprog::PortSettings& settings, std::vector<std::string>& notes) override;

private:
    bool open_ = false;
    std::string name_;
    uint32_t baudrate_ = 115200;
};

}  // namespace fuzzdev
