// What a port is: the identity the system gives a serial port (a USB adapter's IDs, serial
// number, texts and where it is plugged in), for listing and for finding an adapter again
// under today's port name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vbprog {

struct PortInfo {
    std::string name;
    std::string description;    // as describeSystemPort() gives it
    std::string transport;      // "usb", "native", "bluetooth"; empty when the system does not say
    int vid = -1, pid = -1;     // USB vendor and product ID; -1 when not a USB port
    std::string serial;         // the adapter's USB serial number
    std::string manufacturer, product;  // its USB texts (Windows: the driver's manufacturer)
    // Where it is plugged in, the same for any adapter in that socket. Linux: the USB
    // interface, "1-1.2:1.0" (bus 1, root port 1, hub port 2; configuration 1, interface 0,
    // which tells the ports of a two-port adapter apart). Windows: the location path.
    std::string location;
    int bus = -1, address = -1;  // USB bus and device number (Linux); the number changes at each plug-in
    bool isUsb() const { return vid >= 0; }
};

// The ports of listPorts(), in its order, each with what the system says about it.
std::vector<PortInfo> listPortDetails();

// What the system says about one port; only the name for a port it does not know.
PortInfo systemPortInfo(const std::string& name);

// The name a tty has in sysfs: the last part of its path after following its links
// (/dev/serial/by-id/... -> ttyUSB0); empty for an empty path.
std::string sysfsTtyName(const std::string& portPath);

// The USB interface a tty hangs from under `sysfsRoot` ("/sys"), as PortInfo::location;
// empty for a port that is no USB device's (a pty, a UART on the board).
std::string sysfsUsbLocation(const std::filesystem::path& sysfsRoot, const std::string& portPath);

// Windows' hardware and instance IDs: VID_xxxx and PID_xxxx (-1 where absent), and the
// serial number the instance ID carries ("USB\VID_0403&PID_6001\A50285BI"; FTDI's own
// driver: "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000", the port's letter after it).
struct WindowsDeviceIds {
    int vid = -1, pid = -1;
    std::string serial;
};
WindowsDeviceIds parseWindowsDeviceIds(const std::string& hardwareId, const std::string& instanceId);

}  // namespace vbprog
