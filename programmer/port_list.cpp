#include "port_list.h"

#include "serial_transport.h"

#include <cctype>
#include <cstdlib>
#include <system_error>

namespace vbprog {

std::vector<PortInfo> listPortDetails()
{
    std::vector<PortInfo> ports;
    for (const std::string& name : listPorts())
        ports.push_back(systemPortInfo(name));
    return ports;
}

std::string sysfsTtyName(const std::string& portPath)
{
    std::error_code ec;
    std::filesystem::path port = std::filesystem::canonical(portPath, ec);
    if (ec)
        port = portPath;
    return port.filename().string();
}

std::string sysfsUsbLocation(const std::filesystem::path& sysfsRoot, const std::string& portPath)
{
    const std::string name = sysfsTtyName(portPath);
    if (name.empty())
        return {};
    std::error_code ec;
    // class/tty/ttyUSB0/device is the usb-serial port (its parent the interface), for
    // ttyACM0 the interface itself; the interface is the first "B-P.P:C.I" on the way up.
    std::filesystem::path at = std::filesystem::canonical(sysfsRoot / "class" / "tty" / name / "device", ec);
    if (ec)
        return {};
    for (int up = 0; up < 4 && !at.empty() && at != at.root_path(); ++up, at = at.parent_path()) {
        const std::string part = at.filename().string();
        const std::size_t colon = part.find(':');
        if (colon == std::string::npos || colon == 0)
            continue;
        const std::string device = part.substr(0, colon);
        const std::size_t dash = device.find('-');
        const bool usbDevice = dash != std::string::npos && dash > 0 &&
                               device.find_first_not_of("0123456789-.") == std::string::npos;
        const std::string interface = part.substr(colon + 1);
        const bool usbInterface = interface.find('.') != std::string::npos &&
                                  interface.find_first_not_of("0123456789.") == std::string::npos;
        if (usbDevice && usbInterface)
            return part;
    }
    return {};
}

WindowsDeviceIds parseWindowsDeviceIds(const std::string& hardwareId, const std::string& instanceId)
{
    WindowsDeviceIds ids;
    std::string upper = hardwareId.empty() ? instanceId : hardwareId;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    auto hex4 = [&upper](const char* key) {
        const std::size_t at = upper.find(key);
        if (at == std::string::npos || at + 8 > upper.size())
            return -1;
        const std::string digits = upper.substr(at + 4, 4);
        if (digits.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return -1;
        return int(std::strtol(digits.c_str(), nullptr, 16));
    };
    ids.vid = hex4("VID_");
    ids.pid = hex4("PID_");

    // ENUMERATOR\DEVICE-IDS\INSTANCE
    const std::size_t first = instanceId.find('\\');
    const std::size_t second = first == std::string::npos ? first : instanceId.find('\\', first + 1);
    if (second == std::string::npos)
        return ids;
    const std::string enumerator = instanceId.substr(0, first);
    const std::string device = instanceId.substr(first + 1, second - first - 1);
    const std::string instance = instanceId.substr(second + 1);
    auto same = [](std::string a, const char* b) {
        for (char& c : a)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        return a == b;
    };
    if (same(enumerator, "FTDIBUS")) {
        // VID_0403+PID_6001+A50285BIA: the serial with the port's letter (A, B, ...) after it.
        const std::size_t plus = device.rfind('+');
        if (plus != std::string::npos && device.size() > plus + 2)
            ids.serial = device.substr(plus + 1, device.size() - plus - 2);
    } else if (same(enumerator, "USB") && instance.find('&') == std::string::npos) {
        // A device without a serial number gets a made-up instance with '&' in it.
        ids.serial = instance;
    }
    return ids;
}

}  // namespace vbprog
