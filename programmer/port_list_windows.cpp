// Serial ports on Windows. SERIALCOMM is the system's own list of present ports (every
// driver that creates a COM port enters it there, and removes it when the device goes);
// the adapter's friendly name, where the device manager has one, is the description, and
// SetupAPI tells the USB identity: IDs and serial number from the device's hardware and
// instance IDs, its location path.
#include "port_list.h"
#include "serial_transport.h"
#include "text_format.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>
// The property keys defined here: not every import library carries them.
#include <initguid.h>
#include <devpkey.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace vbprog {

namespace {

std::string portNameFromWide(const wchar_t* text)
{
    std::string name = wideToUtf8(text);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\0'))
        name.pop_back();
    return name;
}

// COM2 before COM10; names that are no COM port last, by text.
bool portOrder(const std::string& a, const std::string& b)
{
    auto number = [](const std::string& n) -> unsigned long {
        if (n.size() > 3 && (n[0] == 'C' || n[0] == 'c') && (n[1] == 'O' || n[1] == 'o') && (n[2] == 'M' || n[2] == 'm'))
            return std::strtoul(n.c_str() + 3, nullptr, 10);
        return 0;
    };
    const unsigned long na = number(a), nb = number(b);
    if ((na == 0) != (nb == 0))
        return na != 0;
    return na != nb ? na < nb : a < b;
}

}  // namespace

std::vector<std::string> listSystemPorts()
{
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;  // no key: no port has ever been present since boot
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD valueNameLength = DWORD(std::size(valueName));
        wchar_t data[256] = {};
        DWORD dataBytes = sizeof data - sizeof(wchar_t);  // room for a terminator the value may lack
        DWORD type = 0;
        const LONG rc = RegEnumValueW(key, index, valueName, &valueNameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataBytes);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;  // a value too long for a port name is no port name
        const std::string name = portNameFromWide(data);
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end(), portOrder);
    return names;
}

namespace {

// The device of the ports class whose PortName is `name`; false when none is.
bool findPortDevice(HDEVINFO devices, const std::wstring& name, SP_DEVINFO_DATA& device)
{
    device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        wchar_t portName[64] = {};
        DWORD bytes = sizeof portName - sizeof(wchar_t);
        DWORD type = 0;
        const bool named = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName), &bytes) ==
                               ERROR_SUCCESS &&
                           type == REG_SZ;
        RegCloseKey(key);
        if (named && _wcsicmp(portName, name.c_str()) == 0)
            return true;
    }
    return false;
}

// A text property (the first string of a list); empty when the device has none.
std::string registryText(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property)
{
    wchar_t text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 2 * sizeof(wchar_t), nullptr))
        return {};
    return wideToUtf8(text);
}

std::string instanceId(DEVINST instance)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDW(instance, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? wideToUtf8(id) : std::string();
}

std::string withoutPortName(std::string description, const std::string& name)
{
    // "USB Serial Device (COM5)": the port's name is shown beside it already.
    const std::string suffix = " (" + name + ")";
    if (description.size() > suffix.size() &&
        description.compare(description.size() - suffix.size(), suffix.size(), suffix) == 0)
        description.erase(description.size() - suffix.size());
    return description;
}

}  // namespace

std::string describeSystemPort(const std::string& name)
{
    const auto wideName = utf8ToWide(name);
    if (!wideName)
        return {};
    HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return {};
    std::string description;
    SP_DEVINFO_DATA device{};
    if (findPortDevice(devices, *wideName, device))
        description = withoutPortName(registryText(devices, device, SPDRP_FRIENDLYNAME), name);
    SetupDiDestroyDeviceInfoList(devices);
    return description;
}

PortInfo systemPortInfo(const std::string& name)
{
    PortInfo info;
    info.name = name;
    const auto wideName = utf8ToWide(name);
    if (!wideName)
        return info;
    HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return info;
    SP_DEVINFO_DATA device{};
    if (findPortDevice(devices, *wideName, device)) {
        info.description = withoutPortName(registryText(devices, device, SPDRP_FRIENDLYNAME), name);
        const std::string hardware = registryText(devices, device, SPDRP_HARDWAREID);
        std::string own = instanceId(device.DevInst);
        WindowsDeviceIds ids = parseWindowsDeviceIds(hardware, own);
        // A port of a composite device (MI_00): the serial number is its parent's.
        DEVINST parent = 0;
        if (ids.serial.empty() && CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
            const WindowsDeviceIds up = parseWindowsDeviceIds({}, instanceId(parent));
            if (up.vid == ids.vid && up.pid == ids.pid)
                ids.serial = up.serial;
        }
        info.vid = ids.vid;
        info.pid = ids.pid;
        info.serial = ids.serial;
        if (info.isUsb()) {
            info.transport = "usb";
            info.manufacturer = registryText(devices, device, SPDRP_MFG);
            // The product text the device itself reports (Windows 8 and later).
            DEVPROPTYPE type = 0;
            wchar_t product[256] = {};
            if (SetupDiGetDevicePropertyW(devices, &device, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
                                          reinterpret_cast<BYTE*>(product), sizeof product - sizeof(wchar_t), nullptr,
                                          0) &&
                type == DEVPROP_TYPE_STRING)
                info.product = wideToUtf8(product);
            info.location = registryText(devices, device, SPDRP_LOCATION_PATHS);
        } else {
            info.transport = "native";
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return info;
}

}  // namespace vbprog
