#include "port_names.h"

#include "exit_status.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vf {

namespace {

const std::string kSerial = "usb:";
const std::string kPath = "usb-path:";

bool startsWith(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

bool sameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The socket, or one interface of the adapter in it: "1-1.2" is in "1-1.2:1.0"; on Windows
// a location path and the paths below it.
bool inSocket(const std::string& location, const std::string& path)
{
    if (location.empty())
        return false;
    if (sameText(location, path))
        return true;
    return location.size() > path.size() && (location[path.size()] == ':' || location[path.size()] == '#') &&
           sameText(location.substr(0, path.size()), path);
}

// "/dev/ttyUSB0 (usb:A50285BI, usb-path:1-1.2:1.0)", for the candidates of a sentence.
std::string candidate(const vbprog::PortInfo& p)
{
    std::string names;
    if (!p.serial.empty())
        names = kSerial + p.serial;
    if (!p.location.empty())
        names += (names.empty() ? "" : ", ") + kPath + p.location;
    return p.name + " (" + (names.empty() ? std::string("no serial number or location") : names) + ")";
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? "; " : "") + items[i];
    return text;
}

}  // namespace

bool isStableName(const std::string& given)
{
    return startsWith(given, kSerial) || startsWith(given, kPath);
}

std::string stableNameProblem(const std::string& given)
{
    if (given == kSerial)
        return "The port name usb: needs the adapter's USB serial number after it, e.g. usb:A50285BI (vorna-flash ports "
               "shows it).";
    if (given == kPath)
        return "The port name usb-path: needs the socket after it, e.g. usb-path:1-1.2 (vorna-flash ports shows it).";
    return {};
}

Resolution resolvePort(const std::string& given, const std::vector<vbprog::PortInfo>& ports)
{
    Resolution r;
    if (!isStableName(given)) {
        r.port = given;
        return r;
    }
    const bool bySerial = startsWith(given, kSerial);
    const std::string wanted = given.substr(bySerial ? kSerial.size() : kPath.size());
    std::vector<const vbprog::PortInfo*> matches;
    std::vector<std::string> usb;
    for (const vbprog::PortInfo& p : ports) {
        if (bySerial ? !p.serial.empty() && sameText(p.serial, wanted) : inSocket(p.location, wanted))
            matches.push_back(&p);
        if (p.isUsb())
            usb.push_back(candidate(p));
    }
    if (matches.size() == 1) {
        r.port = matches.front()->name;
        return r;
    }
    const std::string what = bySerial ? "the USB serial number " + wanted : "the USB socket " + wanted;
    if (matches.empty()) {
        r.sentence = "No port has " + what + (usb.empty() ? std::string("; no USB serial adapter is plugged in.")
                                                            : "; the USB serial adapters plugged in: " + joined(usb) + ".");
        return r;
    }
    r.ambiguous = true;
    std::vector<std::string> named;
    for (const vbprog::PortInfo* p : matches)
        named.push_back(candidate(*p));
    r.sentence = std::to_string(matches.size()) + " ports have " + what + ": " + joined(named) +
                 "; give the one you mean by " + (bySerial ? "usb-path:" : "a longer usb-path:") + " or its name.";
    return r;
}

PortsResolution resolvePorts(const std::vector<std::string>& given, const PortLister& list)
{
    PortsResolution r;
    std::vector<vbprog::PortInfo> ports;
    if (std::any_of(given.begin(), given.end(), isStableName))
        ports = list();
    for (const std::string& name : given) {
        const Resolution one = resolvePort(name, ports);
        if (one.port.empty()) {
            r.status = one.ambiguous ? EXIT_USAGE : EXIT_NO_DEVICE;
            r.sentence = one.sentence;
            r.ports.clear();
            return r;
        }
        const auto earlier = std::find(r.ports.begin(), r.ports.end(), one.port);
        if (earlier != r.ports.end()) {
            r.status = EXIT_USAGE;
            r.sentence = "The names " + given[size_t(earlier - r.ports.begin())] + " and " + name + " are the same port, " +
                         one.port + "; give each port once.";
            r.ports.clear();
            return r;
        }
        r.ports.push_back(one.port);
    }
    return r;
}

std::string usbIdText(int id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", unsigned(id) & 0xFFFFu);
    return text;
}

std::string identityText(const vbprog::PortInfo& p)
{
    if (!p.isUsb())
        return {};
    std::string text = "USB " + usbIdText(p.vid) + ":" + usbIdText(p.pid);
    std::string texts = p.manufacturer;
    if (!p.product.empty())
        texts += (texts.empty() ? "" : " ") + p.product;
    if (!texts.empty())
        text += ", " + texts;
    if (!p.serial.empty())
        text += ", " + kSerial + p.serial;
    if (!p.location.empty())
        text += ", " + kPath + p.location;
    if (p.bus >= 0 && p.address >= 0)
        text += ", bus " + std::to_string(p.bus) + " address " + std::to_string(p.address);
    return text;
}

}  // namespace vf
