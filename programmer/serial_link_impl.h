// What SerialLink holds, shared by serial_transport.cpp (what every system does) and the one
// serial_link_<system>.cpp the build picks (what only that system does). Not for callers.
#pragma once

#include "parity_marks.h"
#include "serial_transport.h"

#include <asio.hpp>

#include <string>
#include <vector>

namespace vbprog {

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

    // --- what each system does its own way (serial_link_posix.cpp, serial_link_windows.cpp)

    // Opens `name` for this link alone, leaving `port` open. A refusal the system's own
    // text says too little about is thrown; otherwise `ec` says why, and the result what
    // kind of failure it was.
    OpenFailure::Cause openExclusive(const std::string& name, asio::error_code& ec);
    // After the settings every system shares: line-error reporting and the like.
    void finishSettings(const std::string& name, std::vector<std::string>& notes);
    // Just before the port closes.
    void releaseExclusive();
    // After each read that brought `got` bytes: throws Damaged when the system flagged a
    // line error beside the data.
    void checkLineErrors(size_t got);
    // Drops what the system holds of received bytes.
    void flushReceived();
    // Drops what the system holds of received bytes; returns how many there were.
    size_t dropReceived();
};

}  // namespace vbprog
