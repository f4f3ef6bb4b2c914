// A device on the other end of SerialLink, played from a script instead of a port: the
// fuzz input decides what comes back, and a virtual clock counts the waits, so a run takes
// microseconds and a client that would wait without end shows as a long virtual time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial_transport.h"

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

}  // namespace fuzzdev
