// Stable names for --port: usb:SERIAL (the adapter's USB serial number) and usb-path:PATH
// (the socket it is plugged into) stand for whichever port the adapter has today, found in
// the port list each time a port is opened afresh. Every other name is a port's own.
#pragma once

#include "port_list.h"

#include <functional>
#include <string>
#include <vector>

namespace vf {

// The system's ports as listPortDetails() gives them; a test hands in its own.
using PortLister = std::function<std::vector<vbprog::PortInfo>()>;

// True for usb:... and usb-path:...
bool isStableName(const std::string& given);

// Empty for a name --port takes, else the sentence why not (usb: without a serial number).
std::string stableNameProblem(const std::string& given);

struct Resolution {
    std::string port;      // today's port; empty when none or several match
    bool ambiguous = false;  // several match: no guess is made
    std::string sentence;  // why nothing was found, naming the candidates
};

// The port `given` stands for among `ports`: a plain name as it is, a stable one matched
// against each port's serial number (any case) or location (the socket, or one interface
// of a several-port adapter in it).
Resolution resolvePort(const std::string& given, const std::vector<vbprog::PortInfo>& ports);

struct PortsResolution {
    std::vector<std::string> ports;  // today's port for each name given, in order
    int status = 0;                  // EXIT_OK, else EXIT_NO_DEVICE (none found) or EXIT_USAGE
    std::string sentence;            // when status is not EXIT_OK
};

// Every name given, looked up once (`list` is asked only when a stable name is among them);
// two names for one port are refused as a port given twice would be.
PortsResolution resolvePorts(const std::vector<std::string>& given, const PortLister& list);

// A USB vendor or product ID as lsusb and udev write it: "0403".
std::string usbIdText(int id);

// The USB identity of a port, for `ports`: "USB 0403:6001, FTDI FT232R USB UART,
// usb:A50285BI, usb-path:1-1.2:1.0, bus 1 address 5"; empty for a port without one.
std::string identityText(const vbprog::PortInfo& port);

}  // namespace vf
