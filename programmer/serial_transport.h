// Serial transport: the link over one real serial port (or the simulator's pty).
// Real ports and the simulator's pty take the same path. The object holds no thread-bound
// state: one thread may open it and another use it, as long as they never overlap.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link.h"

namespace vbprog {

class SerialLink final : public Link {
public:
    SerialLink();
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    void close() override;
    bool isOpen() const override;
    const std::string& portName() const override;
    void write(const uint8_t* data, size_t length, Millis timeout) override;
    void read(uint8_t* data, size_t length, Millis timeout) override;
    void discardInput() override;
    size_t dropPending() override;
    Millis wireTime(size_t bytes) const override;
    void setModemLines(ModemLines lines) override;
    ModemStatus modemStatus() override;

protected:
    // Settings that a pseudo terminal ignores or refuses (parity) are reported in `notes`
    // instead of failing. The open is exclusive: its text says "port in use" when another
    // program holds the port.
    void openPort(const PortSettings& settings, std::vector<std::string>& notes) override;

private:
    struct Impl;  // serial_link_impl.h
    std::unique_ptr<Impl> d;
};

// Names of the serial ports the system knows (not pseudo terminals). Windows takes them
// from the registry's list of present ports, other systems from libserialport.
std::vector<std::string> listSystemPorts();
// The ports a user can pick: those named in VBF_EXTRA_PORTS first (':'-separated, ';' on
// Windows), so that a caller taking the first entry starts on them, then the system's,
// each once.
std::vector<std::string> listPorts();
// What the system says a port is (an adapter's product name, say); empty when it says
// nothing beyond the port's own name.
std::string describeSystemPort(const std::string& name);

// The name Windows opens a port by: COM1 to COM256 (any case) in the device namespace,
// "\\.\COM12"; every other name unchanged.
std::string windowsDevicePath(const std::string& name);

}  // namespace vbprog
