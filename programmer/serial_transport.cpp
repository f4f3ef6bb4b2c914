#include "serial_transport.h"

#include "latency_timer.h"
#include "parity_marks.h"

#include <asio.hpp>

#include <cctype>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libserialport.h>
#include <unistd.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace vbprog {

namespace {

#if !defined(_WIN32)
// Asio's parity option checks parity (INPCK) but turns a damaged byte into a plain 0x00;
// with PARMRK the terminal marks it in the stream instead, and breaks with it.
// What asio's own open sets, which an assigned descriptor does not get: bytes as they are.
struct RawMode {
    void store(termios& t, asio::error_code& ec) const
    {
        ::cfmakeraw(&t);
        t.c_iflag |= IGNPAR;
        t.c_cflag |= CREAD | CLOCAL;
        ec = {};
    }
    void load(const termios&, asio::error_code& ec) { ec = {}; }
};

struct ErrorMarking {
    bool on = false;  // as read back
    void store(termios& t, asio::error_code& ec) const
    {
        t.c_iflag = (t.c_iflag | PARMRK) & ~tcflag_t(IGNPAR | ISTRIP);
        ec = {};
    }
    void load(const termios& t, asio::error_code& ec)
    {
        on = (t.c_iflag & PARMRK) != 0;
        ec = {};
    }
};
#endif

}  // namespace

struct SerialLink::Impl {
    asio::io_context io;
    asio::serial_port port{io};
    std::string name;
    uint32_t baud = 115200;
    ParityMarks input;

    // Runs one asynchronous operation until it completes or `timeout` passes; on timeout the
    // operation is cancelled and its handler drained, so nothing is left pending.
    template <typename Start>
    size_t runWithDeadline(Start start, Millis timeout, const char* what)
    {
        asio::error_code ec;
        size_t got = 0;
        bool done = false;
        start([&](const asio::error_code& e, size_t n) {
            ec = e;
            got = n;
            done = true;
        });
        io.restart();
        io.run_for(timeout);
        if (!done) {
            asio::error_code ignored;
            port.cancel(ignored);
            io.restart();
            io.run();
        }
        if (ec == asio::error::operation_aborted)
            throw TransportError(TransportError::Timeout, std::string(what) + " timed out");
        if (ec)
            throw TransportError(TransportError::Io, std::string(what) + " failed: " + ec.message());
        return got;
    }
};

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
#if defined(_WIN32)
    d->port.open(windowsDevicePath(s.name), ec);
    // The system's own texts for these two say nothing about serial ports.
    if (ec.value() == ERROR_FILE_NOT_FOUND || ec.value() == ERROR_PATH_NOT_FOUND)
        throw TransportError(TransportError::Open, "cannot open " + s.name + ": no such port");
    if (ec.value() == ERROR_ACCESS_DENIED)
        throw TransportError(TransportError::Open, "cannot open " + s.name + ": port in use (another program has it open)");
#else
    // The descriptor is ours until the lock and TIOCEXCL hold: asio's open would set the
    // terminal (raw, no parity marking) first, and the terminal is shared with whoever
    // holds the port now.
    const int fd = ::open(s.name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        ec = asio::error_code(errno, asio::system_category());
    // Another program holds the terminal exclusively (TIOCEXCL).
    if (ec == asio::error_code(EBUSY, asio::system_category()))
        throw TransportError(TransportError::Open, "cannot open " + s.name + ": port in use (another program has it open)");
    // On Linux a serial device belongs to a group (dialout on Debian); a user outside it
    // gets EACCES, and only a new login picks up a new group.
    if (ec == asio::error::access_denied || ec == asio::error::no_permission)
        throw TransportError(TransportError::Open,
                             "cannot open " + s.name + ": permission denied; join the dialout group "
                             "(or the group that owns " + s.name + ") and log in again");
    if (ec)
        throw TransportError(TransportError::Open, "cannot open " + s.name + ": " + ec.message());
    // Two programs talking to one bootloader corrupt each other's answers. The lock keeps out
    // every process that asks for it (ours do); TIOCEXCL keeps out later opens of other
    // programs (except privileged ones, which the terminal layer lets through).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        throw TransportError(TransportError::Open,
                             "cannot open " + s.name + ": port in use" +
                                 (err == EWOULDBLOCK ? std::string(" (another program has it open)")
                                                     : " (" + std::string(std::strerror(err)) + ")"));
    }
    ::ioctl(fd, TIOCEXCL);
    d->port.assign(fd, ec);
    if (ec)
        ::close(fd);
    else
        d->port.set_option(RawMode(), ec);  // a file that is no terminal fails here, as in asio's open
#endif
    if (ec) {
        close();
        throw TransportError(TransportError::Open, "cannot open " + s.name + ": " + ec.message());
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
#if defined(_WIN32)
    // Line errors from before the open (a module starting up) are no errors of ours.
    DWORD stale = 0;
    ::ClearCommError(d->port.native_handle(), &stale, nullptr);
#else
    // Marks only count when the terminal really makes them: read the setting back.
    ErrorMarking marking;
    d->port.set_option(marking, ec);
    if (!ec)
        d->port.get_option(marking, ec);
    d->input.setMarking(!ec && marking.on);
    if (!d->input.marking())
        notes.push_back("line errors not marked on " + s.name + (ec ? " (" + ec.message() + ")" : std::string()));
    requestLowLatency(d->port.native_handle(), s.name, notes);
#endif
}

#if !defined(_WIN32)
void SerialLink::requestLowLatency(int fd, const std::string& name, std::vector<std::string>& notes)
{
    // A USB bridge passes answers on when its buffer fills or its latency timer runs out;
    // ftdi_sio turns ASYNC_LOW_LATENCY into a 1 ms timer. Drivers without serial settings
    // (a pty) refuse the request: that costs speed, never the connection.
    serial_struct ss{};
    std::string what;
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) {
        what = "low latency not asked for: no serial driver settings (" + std::string(std::strerror(errno)) + ")";
    } else if (ss.flags & ASYNC_LOW_LATENCY) {
        what = "low latency already on";
    } else {
        ss.flags |= ASYNC_LOW_LATENCY;
        what = ::ioctl(fd, TIOCSSERIAL, &ss) == 0 ? "low latency set"
                                                   : "low latency refused (" + std::string(std::strerror(errno)) + ")";
    }
    if (const auto ms = sysfsLatencyTimer("/sys", name))
        what += "; the bridge's latency timer reads " + std::to_string(*ms) + " ms";
    notes.push_back(name + ": " + what);
}
#endif

void SerialLink::close()
{
    if (d->port.is_open()) {
#if !defined(_WIN32)
        // A pty's terminal outlives our descriptor; its exclusive flag would lock us out next time.
        ::ioctl(d->port.native_handle(), TIOCNXCL);
#endif
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
#if defined(_WIN32)
        // Windows flags line errors beside the data, not in it: the bytes just read are
        // not to be trusted when one came since the last look.
        DWORD errors = 0;
        if (got > 0 && ::ClearCommError(d->port.native_handle(), &errors, nullptr) &&
            (errors & (CE_RXPARITY | CE_FRAME | CE_BREAK | CE_OVERRUN | CE_RXOVER)))
            throw TransportError(TransportError::Damaged,
                                 std::string("a byte arrived with ") +
                                     ((errors & (CE_OVERRUN | CE_RXOVER)) ? "bytes lost before it"
                                                                          : "a parity or framing error"));
#endif
        d->input.feed(raw, got);
    }
}

void SerialLink::discardInput()
{
    if (!isOpen())
        return;
#if defined(_WIN32)
    ::PurgeComm(d->port.native_handle(), PURGE_RXCLEAR);
    DWORD errors = 0;
    ::ClearCommError(d->port.native_handle(), &errors, nullptr);
#else
    ::tcflush(d->port.native_handle(), TCIFLUSH);
#endif
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
    int pending = 0;
#if defined(_WIN32)
    COMSTAT st{};
    DWORD errors = 0;
    if (::ClearCommError(d->port.native_handle(), &errors, &st))
        pending = int(st.cbInQue);
    if (pending > 0)
        ::PurgeComm(d->port.native_handle(), PURGE_RXCLEAR);
#else
    if (::ioctl(d->port.native_handle(), FIONREAD, &pending) != 0)
        pending = 0;
    if (pending > 0)
        ::tcflush(d->port.native_handle(), TCIFLUSH);
#endif
    const size_t held = d->input.buffered();
    d->input.clear();
    return (pending > 0 ? size_t(pending) : 0) + held;
}

Millis SerialLink::wireTime(size_t bytes) const
{
    return wireTimeAt(d->baud, bytes);
}

void SerialLink::setModemLines(ModemLines lines)
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    const auto handle = d->port.native_handle();
#if defined(_WIN32)
    // With DTR_CONTROL_ENABLE / RTS_CONTROL_ENABLE (what "no flow control" sets) the driver
    // raises the lines again on its own; disabled, they stay where they are put. Hardware
    // flow control keeps RTS for itself.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = ::GetCommState(handle, &dcb) != 0;
    if (ok) {
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
        ok = ::SetCommState(handle, &dcb) != 0;
    }
    // usbser.sys passes an RTS change on only together with a DTR change: DTR goes last.
    ok = ok && ::EscapeCommFunction(handle, lines.rts ? SETRTS : CLRRTS) != 0;
    ok = ok && ::EscapeCommFunction(handle, lines.dtr ? SETDTR : CLRDTR) != 0;
    if (!ok) {
        const asio::error_code ec(int(::GetLastError()), asio::system_category());
        throw TransportError(TransportError::Io,
                             d->name + " does not let DTR and RTS be set (" + ec.message() + ")");
    }
#else
    // Hardware flow control keeps RTS for itself, as on Windows.
    termios tio{};
    const bool rtsIsFlow = ::tcgetattr(handle, &tio) == 0 && (tio.c_cflag & CRTSCTS);
    int bits = 0;
    int rc = ::ioctl(handle, TIOCMGET, &bits);
    if (rc == 0) {
        bits = lines.dtr ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
        if (!rtsIsFlow)
            bits = lines.rts ? (bits | TIOCM_RTS) : (bits & ~TIOCM_RTS);
        rc = ::ioctl(handle, TIOCMSET, &bits);
    }
    if (rc != 0) {
        const int err = errno;
        // Pseudo terminals and other non-serial terminals refuse modem-line requests.
        if (err == EINVAL || err == ENOTTY)
            throw TransportError(TransportError::Io, d->name + " has no modem lines (DTR, RTS) to set");
        throw TransportError(TransportError::Io,
                             "setting DTR and RTS on " + d->name + " failed: " + std::strerror(err));
    }
#endif
}

ModemStatus SerialLink::modemStatus()
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    ModemStatus st;
#if defined(_WIN32)
    DWORD bits = 0;
    if (!::GetCommModemStatus(d->port.native_handle(), &bits)) {
        const asio::error_code ec(int(::GetLastError()), asio::system_category());
        throw TransportError(TransportError::Io, d->name + " does not report its modem status lines (" + ec.message() + ")");
    }
    st.cts = bits & MS_CTS_ON;
    st.dsr = bits & MS_DSR_ON;
    st.dcd = bits & MS_RLSD_ON;
    st.ri = bits & MS_RING_ON;
#else
    int bits = 0;
    if (::ioctl(d->port.native_handle(), TIOCMGET, &bits) != 0) {
        const int err = errno;
        if (err == EINVAL || err == ENOTTY)
            throw TransportError(TransportError::Io, d->name + " has no modem status lines (CTS, DSR, DCD, RI)");
        throw TransportError(TransportError::Io, "reading the modem status of " + d->name + " failed: " + std::strerror(err));
    }
    st.cts = bits & TIOCM_CTS;
    st.dsr = bits & TIOCM_DSR;
    st.dcd = bits & TIOCM_CAR;
    st.ri = bits & TIOCM_RNG;
#endif
    return st;
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

#if !defined(_WIN32)
std::vector<std::string> listSystemPorts()
{
    std::vector<std::string> names;
    struct sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK || !ports)
        return names;
    for (int i = 0; ports[i]; ++i)
        if (const char* n = sp_get_port_name(ports[i]))
            names.emplace_back(n);
    sp_free_port_list(ports);
    return names;
}

std::string describeSystemPort(const std::string& name)
{
    sp_port* port = nullptr;
    std::string text;
    if (sp_get_port_by_name(name.c_str(), &port) == SP_OK && port) {
        if (const char* d = sp_get_port_description(port))
            text = d;
        sp_free_port(port);
    }
    // libserialport falls back to the bare device name; that is no description.
    if (text == name || (name.rfind("/dev/", 0) == 0 && text == name.substr(5)))
        text.clear();
    return text;
}

#endif

}  // namespace vbprog
