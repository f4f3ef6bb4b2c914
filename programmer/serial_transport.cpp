// What a serial link does on every system; the opening, the lines and the flags each system
// handles its own way are in serial_link_posix.cpp and serial_link_windows.cpp.
#include "serial_transport.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "serial_link_impl.h"

namespace vbprog {

SerialLink::SerialLink() : d(std::make_unique<Impl>()) {}

SerialLink::~SerialLink()
{
    close();
}

void SerialLink::openPort(const PortSettings& s, std::vector<std::string>& notes)
{
    close();
    if (s.name.empty())
        throw TransportError(TransportError::Open, "no serial port selected");
    asio::error_code ec;
    const OpenFailure::Cause cause = d->openExclusive(s.name, ec);
    if (ec) {
        close();
        throw TransportError(OpenFailure{cause, {}}, "cannot open " + s.name + ": " + ec.message());
    }
    d->name = s.name;
    d->baud = s.baudrate ? s.baudrate : 115200;

    auto fail = [this](const std::string& what, const asio::error_code& e) {
        const std::string name = d->name;
        close();
        throw TransportError(TransportError::Open, "cannot configure " + name + ": " + what + ": " + e.message());
    };

    using base = asio::serial_port_base;
    d->port.set_option(base::baud_rate(d->baud), ec);
    if (ec)
        fail(std::to_string(d->baud) + " baud", ec);
    if (s.dataBits < 5 || s.dataBits > 8) {
        close();
        throw TransportError(TransportError::Open, "cannot configure " + s.name + ": " + std::to_string(s.dataBits) + " data bits");
    }
    d->port.set_option(base::character_size(unsigned(s.dataBits)), ec);
    if (ec)
        fail("data bits", ec);

    base::stop_bits::type stop = base::stop_bits::one;
    if (s.stopBits > 1.9f)
        stop = base::stop_bits::two;
    else if (s.stopBits > 1.4f)
        stop = base::stop_bits::onepointfive;
    d->port.set_option(base::stop_bits(stop), ec);
    if (ec)
        fail("stop bits", ec);

    const auto flow = s.flowControl == 1 ? base::flow_control::hardware
                      : s.flowControl == 2 ? base::flow_control::software
                                           : base::flow_control::none;
    d->port.set_option(base::flow_control(flow), ec);
    if (ec)
        fail("flow control", ec);

    // Pseudo terminals have no parity; the bootloader needs it on real lines only.
    const auto parity = s.parity == 1 ? base::parity::odd : s.parity == 2 ? base::parity::none : base::parity::even;
    d->port.set_option(base::parity(parity), ec);
    if (ec)
        notes.push_back("parity not set on " + s.name + " (" + ec.message() + ")");
    d->finishSettings(s.name, notes);
}

void SerialLink::close()
{
    if (d->port.is_open()) {
        d->releaseExclusive();
        asio::error_code ignored;
        d->port.cancel(ignored);
        d->port.close(ignored);
    }
    d->input.clear();
    d->io.restart();
    d->io.poll();
}

bool SerialLink::isOpen() const
{
    return d->port.is_open();
}

const std::string& SerialLink::portName() const
{
    return d->name;
}

void SerialLink::write(const uint8_t* data, size_t length, Millis timeout)
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    d->runWithDeadline(
        [&](auto handler) { asio::async_write(d->port, asio::buffer(data, length), handler); }, timeout, "write");
}

void SerialLink::read(uint8_t* data, size_t length, Millis timeout)
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t have = 0;
    uint8_t raw[512];
    while (have < length) {
        const int b = d->input.next();
        if (b == ParityMarks::kDamaged)
            throw TransportError(TransportError::Damaged, "a byte arrived with a parity or framing error");
        if (b >= 0) {
            data[have++] = uint8_t(b);
            continue;
        }
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw TransportError(TransportError::Timeout, "read timed out");
        // Never more raw bytes than answer bytes still wanted: what a read leaves on the
        // port stays there for discardInput() and dropPending() to see.
        const size_t want = std::min(sizeof raw, length - have);
        const size_t got = d->runWithDeadline(
            [&](auto handler) { d->port.async_read_some(asio::buffer(raw, want), handler); }, left, "read");
        d->checkLineErrors(got);
        d->input.feed(raw, got);
    }
}

void SerialLink::discardInput()
{
    if (!isOpen())
        return;
    d->flushReceived();
    d->input.clear();
    // Bytes still on the wire arrive a little later.
    try {
        for (int i = 0; i < 64 && readByte(Millis(5)) >= 0; ++i) {
        }
    } catch (const TransportError&) {
        // A dead port shows itself on the next write or read.
    }
}

size_t SerialLink::dropPending()
{
    if (!isOpen())
        return 0;
    const size_t pending = d->dropReceived();
    const size_t held = d->input.buffered();
    d->input.clear();
    return pending + held;
}

Millis SerialLink::wireTime(size_t bytes) const
{
    return wireTimeAt(d->baud, bytes);
}

std::string windowsDevicePath(const std::string& name)
{
    // COM1 to COM9 open by their bare names too, COM10 and up only in the device
    // namespace; the one form for all keeps both working.
    if (name.size() < 4 || name.size() > 6)
        return name;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return name;
    if (name[3] == '0')
        return name;
    unsigned number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return name;
        number = number * 10 + unsigned(name[i] - '0');
    }
    if (number < 1 || number > 256)
        return name;
    return "\\\\.\\COM" + std::to_string(number);
}

std::vector<std::string> listPorts()
{
#if defined(_WIN32)
    const char sep = ';';
#else
    const char sep = ':';
#endif
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    };
    if (const char* extra = std::getenv("VBF_EXTRA_PORTS")) {
        std::stringstream ss(extra);
        std::string item;
        while (std::getline(ss, item, sep))
            add(item);
    }
    for (const auto& name : listSystemPorts())
        add(name);
    return names;
}

}  // namespace vbprog
