// SerialLink played from a script (see scripted_link.h); linked in place of the real transport.
#include "scripted_link.h"

#include <algorithm>
#include <deque>

namespace fuzzdev {
namespace {

struct Device {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    std::deque<uint8_t> input;   // arrived at the host, not yet read
    bool lost = false;
    bool lostAfterNext = false;
    vbprog::Millis waited{0};
    size_t calls = 0;

    bool nextIsLate() const { return pos < size && (data[pos] & 0x80); }

    // Moves the next chunk into the host's input; false when the script is spent.
    bool deliver()
    {
        if (pos >= size)
            return false;
        const uint8_t h = data[pos++];
        size_t n = h & 0x3F;
        if (n == 63 && pos < size)
            n += data[pos++];
        n = std::min(n, size - pos);
        input.insert(input.end(), data + pos, data + pos + n);
        pos += n;
        if (h & 0x40)
            lost = true;
        return true;
    }

    void failIfLost()
    {
        ++calls;
        if (lost && input.empty())
            throw vbprog::TransportError(vbprog::TransportError::Io, "device gone");
    }
};

Device device;

}  // namespace

void script(const uint8_t* data, size_t size)
{
    device = Device();
    device.data = data;
    device.size = size;
}

vbprog::Millis waited()
{
    return device.waited;
}

size_t calls()
{
    return device.calls;
}

void resetCounters()
{
    device.waited = vbprog::Millis(0);
    device.calls = 0;
}

}  // namespace fuzzdev

namespace vbprog {

struct SerialLink::Impl {
    bool open = false;
    std::string name;
    uint32_t baudrate = 115200;
};

SerialLink::SerialLink() : d(new Impl) {}
SerialLink::~SerialLink() = default;

void SerialLink::open(const PortSettings& settings, std::vector<std::string>&)
{
    d->open = true;
    d->name = settings.name;
    d->baudrate = settings.baudrate;
}

void SerialLink::close()
{
    d->open = false;
}

bool SerialLink::isOpen() const
{
    return d->open;
}

const std::string& SerialLink::portName() const
{
    return d->name;
}

void SerialLink::write(const uint8_t*, size_t, Millis)
{
    auto& dev = fuzzdev::device;
    dev.failIfLost();
    if (dev.lost)
        throw TransportError(TransportError::Io, "device gone");
    // The device answers what it was sent, unless its next answer is a late one.
    if (!dev.nextIsLate())
        dev.deliver();
}

void SerialLink::read(uint8_t* data, size_t length, Millis timeout)
{
    auto& dev = fuzzdev::device;
    dev.failIfLost();
    while (dev.input.size() < length) {
        if (dev.lost)
            throw TransportError(TransportError::Io, "device gone");
        if (!dev.nextIsLate() || !dev.deliver()) {
            // Like the real link: what did arrive is consumed, then the deadline passes.
            dev.input.clear();
            dev.waited += timeout;
            throw TransportError(TransportError::Timeout, "read timed out");
        }
    }
    std::copy_n(dev.input.begin(), length, data);
    dev.input.erase(dev.input.begin(), dev.input.begin() + ptrdiff_t(length));
}

void SerialLink::discardInput()
{
    ++fuzzdev::device.calls;
    fuzzdev::device.input.clear();
}

size_t SerialLink::dropPending()
{
    auto& dev = fuzzdev::device;
    ++dev.calls;
    const size_t n = dev.input.size();
    dev.input.clear();
    return n;
}

Millis SerialLink::wireTime(size_t bytes) const
{
    return Millis((uint64_t(bytes) * 11 * 1000 + d->baudrate - 1) / d->baudrate);
}

std::vector<std::string> listSystemPorts()
{
    return {};
}

std::string describeSystemPort(const std::string&)
{
    return {};
}

}  // namespace vbprog
