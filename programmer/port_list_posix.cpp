// A port's identity on Linux: libserialport's USB details, sysfs for where it is plugged in.
#include "port_list.h"

#include "serial_transport.h"

#include <libserialport.h>

#include <system_error>

namespace vbprog {

PortInfo systemPortInfo(const std::string& name)
{
    PortInfo info;
    info.name = name;
    info.description = describeSystemPort(name);
    sp_port* port = nullptr;
    if (sp_get_port_by_name(name.c_str(), &port) != SP_OK || !port)
        return info;
    auto text = [](const char* s) { return s ? std::string(s) : std::string(); };
    switch (sp_get_port_transport(port)) {
    case SP_TRANSPORT_USB: {
        info.transport = "usb";
        int vid = -1, pid = -1, bus = -1, address = -1;
        if (sp_get_port_usb_vid_pid(port, &vid, &pid) == SP_OK) {
            info.vid = vid;
            info.pid = pid;
        }
        if (sp_get_port_usb_bus_address(port, &bus, &address) == SP_OK) {
            info.bus = bus;
            info.address = address;
        }
        info.serial = text(sp_get_port_usb_serial(port));
        info.manufacturer = text(sp_get_port_usb_manufacturer(port));
        info.product = text(sp_get_port_usb_product(port));
        info.location = sysfsUsbLocation("/sys", name);
        break;
    }
    case SP_TRANSPORT_BLUETOOTH: info.transport = "bluetooth"; break;
    case SP_TRANSPORT_NATIVE: {
        // A pseudo terminal is "native" to libserialport too, but no port of the machine's.
        std::error_code ec;
        if (std::filesystem::canonical(name, ec).string().rfind("/dev/pts/", 0) != 0 && !ec)
            info.transport = "native";
        break;
    }
    }
    sp_free_port(port);
    return info;
}

}  // namespace vbprog
