// The serial link on Linux and other POSIX systems: a terminal device this program opens
// itself, locked and exclusive before asio gets it.
#include "serial_transport.h"

#include "latency_timer.h"
#include "port_holder.h"
#include "serial_link_impl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <libserialport.h>
#include <unistd.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

namespace vbprog {

namespace {

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

// Asks the driver for ASYNC_LOW_LATENCY; says in `notes` what it found and set.
void requestLowLatency(int fd, const std::string& name, std::vector<std::string>& notes)
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

// The group a refused user would join to use `path`; empty for the superuser's group.
std::string owningGroup(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_gid == 0)
        return {};
    // Ports open on several threads at once: the reentrant look-up.
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return found->gr_name;
}

}  // namespace

OpenFailure::Cause SerialLink::Impl::openExclusive(const std::string& name, asio::error_code& ec)
{
    // The descriptor is ours until the lock and TIOCEXCL hold: asio's open would set the
    // terminal (raw, no parity marking) first, and the terminal is shared with whoever
    // holds the port now.
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        ec = asio::error_code(errno, asio::system_category());
    // Another program holds the terminal exclusively (TIOCEXCL).
    if (ec == asio::error_code(EBUSY, asio::system_category()))
        throw TransportError(OpenFailure{OpenFailure::InUse, {}, findPortHolders(name)},
                             "cannot open " + name + ": port in use (another program has it open)");
    // On Linux a serial device belongs to a group (dialout on Debian); a user outside it
    // gets EACCES, and only a new login picks up a new group.
    if (ec == asio::error::access_denied || ec == asio::error::no_permission)
        throw TransportError(OpenFailure{OpenFailure::Denied, owningGroup(name)},
                             "cannot open " + name + ": permission denied; join the dialout group "
                             "(or the group that owns " + name + ") and log in again");
    if (ec)
        return ec.value() == ENOENT || ec.value() == ENODEV || ec.value() == ENXIO ? OpenFailure::Absent
                                                                                    : OpenFailure::Other;
    // Two programs talking to one bootloader corrupt each other's answers. The lock keeps out
    // every process that asks for it (ours do); TIOCEXCL keeps out later opens of other
    // programs (except privileged ones, which the terminal layer lets through).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        throw TransportError(OpenFailure{OpenFailure::InUse, {}, findPortHolders(name)},
                             "cannot open " + name + ": port in use" +
                                 (err == EWOULDBLOCK ? std::string(" (another program has it open)")
                                                     : " (" + std::string(std::strerror(err)) + ")"));
    }
    ::ioctl(fd, TIOCEXCL);
    port.assign(fd, ec);
    if (ec)
        ::close(fd);
    else
        port.set_option(RawMode(), ec);  // a file that is no terminal fails here, as in asio's open
    return OpenFailure::Other;
}

void SerialLink::Impl::finishSettings(const std::string& name, std::vector<std::string>& notes)
{
    // Marks only count when the terminal really makes them: read the setting back.
    asio::error_code ec;
    ErrorMarking marking;
    port.set_option(marking, ec);
    if (!ec)
        port.get_option(marking, ec);
    input.setMarking(!ec && marking.on);
    if (!input.marking())
        notes.push_back("line errors not marked on " + name + (ec ? " (" + ec.message() + ")" : std::string()));
    requestLowLatency(port.native_handle(), name, notes);
}

void SerialLink::Impl::releaseExclusive()
{
    // A pty's terminal outlives our descriptor; its exclusive flag would lock us out next time.
    ::ioctl(port.native_handle(), TIOCNXCL);
}

void SerialLink::Impl::checkLineErrors(size_t)
{
    // The terminal marks line errors in the data itself (PARMRK): ParityMarks finds them.
}

void SerialLink::Impl::flushReceived()
{
    ::tcflush(port.native_handle(), TCIFLUSH);
}

size_t SerialLink::Impl::dropReceived()
{
    int pending = 0;
    if (::ioctl(port.native_handle(), FIONREAD, &pending) != 0)
        pending = 0;
    if (pending > 0)
        ::tcflush(port.native_handle(), TCIFLUSH);
    return pending > 0 ? size_t(pending) : 0;
}

void SerialLink::setModemLines(ModemLines lines)
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    const auto handle = d->port.native_handle();
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
}

ModemStatus SerialLink::modemStatus()
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    ModemStatus st;
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
    return st;
}

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

}  // namespace vbprog
