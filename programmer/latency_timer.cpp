#include "latency_timer.h"

#include "port_list.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>

#if defined(_WIN32)
#include <windows.h>

#include <cwctype>
#endif

namespace vbprog {

std::optional<int> sysfsLatencyTimer(const std::filesystem::path& sysfsRoot, const std::string& portPath)
{
    const std::string name = sysfsTtyName(portPath);
    if (name.empty())
        return std::nullopt;
    for (const auto& place : {sysfsRoot / "class" / "tty" / name / "device" / "latency_timer",
                              sysfsRoot / "bus" / "usb-serial" / "devices" / name / "latency_timer"}) {
        std::ifstream in(place);
        int ms = -1;
        if (in >> ms && ms >= 0 && ms <= 255)
            return ms;
    }
    return std::nullopt;
}

double latencyCostSeconds(int timerMs, size_t bytes)
{
    const size_t blocks = (bytes + 255) / 256;
    return 6.0 * double(blocks) * timerMs / 1000.0;
}

std::string latencyAdvice(const std::string& port, int timerMs)
{
    if (timerMs <= 2)
        return {};
    char cost[32];
    std::snprintf(cost, sizeof cost, "%.0f", std::ceil(latencyCostSeconds(timerMs, 64 * 1024)));
    return port + "'s USB adapter waits up to " + std::to_string(timerMs) +
           " ms before it passes on the module's answers (its latency timer); that costs about " + cost +
           " s per 64 KiB at this setting. Set it to 1 ms in Device Manager: Ports (COM & LPT) > " + port +
           " > Properties > Port Settings > Advanced > Latency Timer (msec), then plug the adapter in again.";
}

#if defined(_WIN32)
namespace {

std::wstring widen(const std::string& s)
{
    std::wstring w;
    for (unsigned char c : s)
        w += wchar_t(c);
    return w;
}

bool sameName(std::wstring a, std::wstring b)
{
    for (auto* s : {&a, &b})
        for (auto& c : *s)
            c = wchar_t(std::towupper(c));
    return a == b;
}

}  // namespace

std::optional<int> registryLatencyTimer(const std::string& port, const std::string& enumKey)
{
    // The bare name: "\\.\COM12" and "COM12" are the same port.
    std::string bare = port;
    if (bare.rfind("\\\\.\\", 0) == 0)
        bare = bare.substr(4);
    HKEY root = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(enumKey).c_str(), 0, KEY_READ, &root) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<int> found;
    wchar_t device[256];
    for (DWORD i = 0; !found; ++i) {
        DWORD length = 256;
        if (::RegEnumKeyExW(root, i, device, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring params = std::wstring(device) + L"\\0000\\Device Parameters";
        HKEY key = nullptr;
        if (::RegOpenKeyExW(root, params.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        wchar_t name[64] = {};
        DWORD type = 0;
        DWORD size = sizeof name - sizeof(wchar_t);  // room for the NUL the registry may leave out
        const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                               ERROR_SUCCESS &&
                           type == REG_SZ && sameName(name, widen(bare));
        DWORD ms = 0;
        size = sizeof ms;
        if (named && ::RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&ms), &size) ==
                         ERROR_SUCCESS &&
            type == REG_DWORD)
            found = int(ms);
        ::RegCloseKey(key);
        if (named)
            break;
    }
    ::RegCloseKey(root);
    return found;
}
#else
std::optional<int> registryLatencyTimer(const std::string&, const std::string&)
{
    return std::nullopt;
}
#endif

std::string latencyAdviceOnce(const std::string& port)
{
    const std::optional<int> ms = registryLatencyTimer(port);
    if (!ms || *ms <= 2)
        return {};
    static std::mutex mutex;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> g(mutex);
    if (!told.insert(port).second)
        return {};
    return latencyAdvice(port, *ms);
}

}  // namespace vbprog
