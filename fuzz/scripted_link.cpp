// The link to a device played from a script (see scripted_link.h).
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

void ScriptedLink::openPort(const vbprog::PortSettings& settings, std::vector<std::string>&)
{
    open_ = true;
    name_ = settings.name;
    baudrate_ = settings.baudrate ? settings.baudrate : 115200;
}

void ScriptedLink::write(const uint8_t*, size_t, vbprog::Millis)
{
    auto& dev = device;
    dev.failIfLost();
    if (dev.lost)
        throw vbprog::TransportError(vbprog::TransportError::Io, "device gone");
    // The device answers what it was sent, unless its next answer is a late one.
    if (!dev.nextIsLate())
        dev.deliver();
}

void ScriptedLink::read(uint8_t* data, size_t length, vbprog::Millis timeout)
{
    auto& dev = device;
    dev.failIfLost();
    while (dev.input.size() < length) {
        if (dev.lost)
            throw vbprog::TransportError(vbprog::TransportError::Io, "device gone");
        if (!dev.nextIsLate() || !dev.deliver()) {
            // Like the real link: what did arrive is consumed, then the deadline passes.
            dev.input.clear();
            dev.waited += timeout;
            throw vbprog::TransportError(vbprog::TransportError::Timeout, "read timed out");
        }
    }
    std::copy_n(dev.input.begin(), length, data);
    dev.input.erase(dev.input.begin(), dev.input.begin() + ptrdiff_t(length));
}

void ScriptedLink::discardInput()
{
    ++device.calls;
    device.input.clear();
}

size_t ScriptedLink::dropPending()
{
    auto& dev = device;
    ++dev.calls;
    const size_t n = dev.input.size();
    dev.input.clear();
    return n;
}

}  // namespace fuzzdev
