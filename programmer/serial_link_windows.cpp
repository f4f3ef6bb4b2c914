// The serial link on Windows: COM ports in the device namespace, line errors and modem
// lines through the communications functions beside asio's handle.
#include "serial_transport.h"

#include "serial_link_impl.h"

#include <windows.h>

namespace vbprog {

OpenFailure::Cause SerialLink::Impl::openExclusive(const std::string& name, asio::error_code& ec)
{
    // A COM port opens for one program at a time: a second open is denied access.
    port.open(windowsDevicePath(name), ec);
    // The system's own texts for these two say nothing about serial ports.
    if (ec.value() == ERROR_FILE_NOT_FOUND || ec.value() == ERROR_PATH_NOT_FOUND)
        throw TransportError(OpenFailure{OpenFailure::Absent, {}}, "cannot open " + name + ": no such port");
    if (ec.value() == ERROR_ACCESS_DENIED)
        throw TransportError(OpenFailure{OpenFailure::InUse, {}},
                             "cannot open " + name + ": port in use (another program has it open)");
    return OpenFailure::Other;
}

void SerialLink::Impl::finishSettings(const std::string&, std::vector<std::string>&)
{
    // Line errors from before the open (a module starting up) are no errors of ours.
    DWORD stale = 0;
    ::ClearCommError(port.native_handle(), &stale, nullptr);
}

void SerialLink::Impl::releaseExclusive()
{
    // Closing the handle is all it takes.
}

void SerialLink::Impl::checkLineErrors(size_t got)
{
    // Windows flags line errors beside the data, not in it: the bytes just read are
    // not to be trusted when one came since the last look.
    DWORD errors = 0;
    if (got > 0 && ::ClearCommError(port.native_handle(), &errors, nullptr) &&
        (errors & (CE_RXPARITY | CE_FRAME | CE_BREAK | CE_OVERRUN | CE_RXOVER)))
        throw TransportError(TransportError::Damaged,
                             std::string("a byte arrived with ") +
                                 ((errors & (CE_OVERRUN | CE_RXOVER)) ? "bytes lost before it"
                                                                      : "a parity or framing error"));
}

void SerialLink::Impl::flushReceived()
{
    ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
    DWORD errors = 0;
    ::ClearCommError(port.native_handle(), &errors, nullptr);
}

size_t SerialLink::Impl::dropReceived()
{
    int pending = 0;
    COMSTAT st{};
    DWORD errors = 0;
    if (::ClearCommError(port.native_handle(), &errors, &st))
        pending = int(st.cbInQue);
    if (pending > 0)
        ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
    return pending > 0 ? size_t(pending) : 0;
}

void SerialLink::setModemLines(ModemLines lines)
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    const auto handle = d->port.native_handle();
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
}

ModemStatus SerialLink::modemStatus()
{
    if (!isOpen())
        throw TransportError(TransportError::Io, "port not open");
    ModemStatus st;
    DWORD bits = 0;
    if (!::GetCommModemStatus(d->port.native_handle(), &bits)) {
        const asio::error_code ec(int(::GetLastError()), asio::system_category());
        throw TransportError(TransportError::Io, d->name + " does not report its modem status lines (" + ec.message() + ")");
    }
    st.cts = bits & MS_CTS_ON;
    st.dsr = bits & MS_DSR_ON;
    st.dcd = bits & MS_RLSD_ON;
    st.ri = bits & MS_RING_ON;
    return st;
}

}  // namespace vbprog
