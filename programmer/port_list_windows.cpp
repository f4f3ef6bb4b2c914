// Serial ports on Windows. SERIALCOMM is the system's own list of present ports (every
// driver that creates a COM port enters it there, and removes it when the device goes);
// the adapter's friendly name, where the device manager has one, is the description.
#include "serial_transport.h"
#include "text_format.h"

#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

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
    device.cbSize = sizeof device;
    for (DWORD i = 0; description.empty() && SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
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
        if (!named || _wcsicmp(portName, wideName->c_str()) != 0)
            continue;
        wchar_t friendly[256] = {};
        if (SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(friendly), sizeof friendly - sizeof(wchar_t),
                                              nullptr)) {
            description = wideToUtf8(friendly);
            // "USB Serial Device (COM5)": the port's name is shown beside it already.
            const std::string suffix = " (" + name + ")";
            if (description.size() > suffix.size() &&
                description.compare(description.size() - suffix.size(), suffix.size(), suffix) == 0)
                description.erase(description.size() - suffix.size());
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return description;
}

}  // namespace vbprog
