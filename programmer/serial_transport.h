// Serial transport: one open serial port with a deadline on every read and write.
// Real ports and the simulator's pty take the same path. The object holds no thread-bound
// state: one thread may open it and another use it, as long as they never overlap.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
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

class TransportError : public std::runtime_error {
public:
    enum Kind { Open, Timeout, Io };
    TransportError(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
    Kind kind;
};

class SerialLink {
public:
    SerialLink();
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens and configures the port. Settings that a pseudo terminal ignores or refuses
    // (parity) are reported in `notes` instead of failing. Throws TransportError(Open);
    // its text says "port in use" when another program holds the port.
    void open(const PortSettings& settings, std::vector<std::string>& notes);
    void close();
    bool isOpen() const;
    const std::string& portName() const;

    // Throw TransportError(Timeout) when the deadline passes, (Io) when the port fails.
    void write(const uint8_t* data, size_t length, Millis timeout);
    void read(uint8_t* data, size_t length, Millis timeout);
    // One byte, or -1 when nothing arrives in time.
    int readByte(Millis timeout);

    // Drops whatever the device sent that nobody asked for.
    void discardInput();
    // Drops what has already arrived, without waiting for more; returns how many bytes.
    size_t dropPending();

    // Line time of `bytes` bytes (11 bit times each) at the open rate, rounded up.
    Millis wireTime(size_t bytes) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Built on read() alone, so the fuzzing stand-in for the link shares it.
inline int SerialLink::readByte(Millis timeout)
{
    uint8_t b = 0;
    try {
        read(&b, 1, timeout);
    } catch (const TransportError& e) {
        if (e.kind == TransportError::Timeout)
            return -1;
        throw;
    }
    return b;
}

// Names of the serial ports the system knows (not pseudo terminals). Windows takes them
// from the registry's list of present ports, other systems from libserialport.
std::vector<std::string> listSystemPorts();
// What the system says a port is (an adapter's product name, say); empty when it says
// nothing beyond the port's own name.
std::string describeSystemPort(const std::string& name);

// The name Windows opens a port by: COM1 to COM256 (any case) in the device namespace,
// "\\.\COM12"; every other name unchanged.
std::string windowsDevicePath(const std::string& name);

}  // namespace vbprog
