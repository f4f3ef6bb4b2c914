#include "session_error.h"

#include "status.h"

#include <algorithm>

namespace vbprog {

namespace {

// On Linux a port refused for permission is usually a device of a group this user is not in;
// the cure is membership in that group, so name it.
std::string permissionSentence(const std::string& port, const std::string& owner)
{
    const std::string join = owner.empty() || owner == "dialout"
                                 ? std::string("join the dialout group (or the group that owns the device)")
                                 : "join the group " + owner + " that owns it";
    return "The serial port " + port + " cannot be opened: permission denied; " + join +
           ", e.g. with sudo usermod -aG " + (owner.empty() ? std::string("dialout") : owner) +
           " $USER, and log in again.";
}

// "sleep (pid 42)", "sleep (pid 42) and picocom (pid 7)".
std::string holdersText(const std::vector<PortHolder>& holders)
{
    std::string text;
    for (size_t i = 0; i < holders.size(); ++i) {
        if (i)
            text += i + 1 == holders.size() ? " and " : ", ";
        text += (holders[i].name.empty() ? std::string("a program") : holders[i].name) + " (pid " +
                std::to_string(holders[i].pid) + ")";
    }
    return text;
}

// The port is held by processes the system named: close them, or for ModemManager keep
// it away for good.
std::string inUseSentence(const std::string& port, const std::vector<PortHolder>& holders)
{
    const bool seen = std::all_of(holders.begin(), holders.end(), [](const PortHolder& h) { return h.seen; });
    const bool manager = std::any_of(holders.begin(), holders.end(), isModemManager);
    const std::string who = seen ? holdersText(holders) + (holders.size() == 1 ? " has it open" : " have it open")
                                 : "another program has it open, probably " + holdersText(holders);
    if (manager)
        return "The serial port " + port + " cannot be opened: " + who +
               ", taking the adapter for a modem; the udev rules that come with this tool "
               "(70-vorna-base-flasher.rules) keep ModemManager away from the common USB serial adapters, so install "
               "them, or add this adapter's IDs to them, and plug the adapter in again.";
    const bool one = holders.size() == 1;
    return "The serial port " + port + " cannot be opened: " + who + "; close " +
           (one ? "that program or wait until it is done" : "those programs or wait until they are done") +
           ", and try again.";
}

}  // namespace

std::string remedyText(Remedy remedy, const RemedyWords& words)
{
    if (words) {
        std::string own = words(remedy);
        if (!own.empty())
            return own;
    }
    switch (remedy) {
    case Remedy::CheckPortName: return "check the port's name";
    case Remedy::EnterByHand:
        return "connect the module's bootloader by hand (BOOT0 high, reset) without a boot sequence";
    case Remedy::TryInverted: return "the inverted sequence may fit";
    case Remedy::TryDirect: return "the direct sequence may fit";
    case Remedy::CheckWiring: return "check the wiring of DTR and RTS with a meter";
    }
    return {};
}

std::string statusName(int s)
{
    switch (s) {
    case kOk: return "ok";
    case kNotConnected: return "not-connected";
    case kNoAnswer: return "no-answer";
    case kPortOpen: return "port-open";
    case kFileMissing: return "file-missing";
    case kDeviceUnsupported: return "device-unsupported";
    case kLinkLost: return "link-lost";
    case kFileInvalid: return "file-invalid";
    case kBadArgument: return "bad-argument";
    case kReadRefused: return "read-refused";
    case kWriteVerify: return "write-verify";
    case kEraseRefused: return "erase";
    case kOutOfRange: return "out-of-range";
    case kProtected: return "protected";
    case kIdentifiersChanged: return "identifiers-changed";
    case kIdentity: return "identity";
    case kModuleChanged: return "module-changed";
    case kDiffers: return "differs";
    default: return "error" + std::to_string(s);
    }
}

std::string hintFor(int s, const HintContext& c)
{
    const std::string port = c.port.empty() ? std::string("the port") : c.port;
    const std::string file = c.file.empty() ? std::string("the firmware file") : "the firmware file " + c.file;
    const char* reset = "reset the module with BOOT0 held high to start its bootloader";
    const bool otherRate = c.baud != 0 && c.baud != 115200;
    const std::string rate = std::to_string(c.baud) + " baud";
    switch (s) {
    case kPortOpen:
        if (c.openFailure.cause == OpenFailure::Denied)
            return permissionSentence(port, c.openFailure.group);
        if (c.openFailure.cause == OpenFailure::InUse && !c.openFailure.holders.empty())
            return inUseSentence(port, c.openFailure.holders);
        if (otherRate)
            return "The serial port " + port + " cannot be opened at " + rate +
                   "; " + remedyText(Remedy::CheckPortName, c.words) +
                   ", that no other program uses it, and that the adapter takes this rate.";
        return "The serial port " + port + " cannot be opened; " + remedyText(Remedy::CheckPortName, c.words) +
               " and that no other program uses it.";
    case kNoAnswer:
        if (otherRate)
            return "No bootloader answers on " + port + " at " + rate +
                   "; the part or the adapter may not take this rate, and since the bootloader keeps the rate of its first 0x7F, " +
                   reset + " before a connection at another rate (115200 works on every part) can work.";
        return "No bootloader answers on " + port + "; " + reset + ", check the cable, and try again.";
    case kFileMissing:
        return "Cannot open " + file + "; check the path and that the file is readable.";
    case kFileInvalid:
        return "The content of " + file + " is malformed or not supported; give an ELF, Intel HEX or S-record file (or a .bin) built for the module.";
    case kOutOfRange:
        return "The image in " + file +
               " lies outside the application area (0x08000800 up to the end of the flash); build it for the application start 0x08000800.";
    case kWriteVerify:
        return "The module refused a write or the read-back differs from " + file +
               ", so the application on it is incomplete; flash it again, and set the module aside if this repeats.";
    case kEraseRefused:
        return "The module refused to erase its application area; " + std::string(reset) + ", and flash again.";
    case kLinkLost:
        if (c.step == Operation::Download && c.unchanged)
            return "The module stopped answering before anything was erased or written, so it is as it was; check cable and power, " +
                   std::string(reset) + ", and flash again.";
        return c.step == Operation::Download
                   ? "The module stopped answering during the download, so its application is incomplete; check cable and power, " +
                         std::string(reset) + ", and flash again."
                   : "The module stopped answering; check cable and power, " + std::string(reset) + ", and try again.";
    case kProtected:
        return "The module's flash is read-protected; it cannot be read or flashed through its bootloader without erasing its identifiers, so set it aside.";
    case kReadRefused:
        return "The module refused to read its memory; " + std::string(reset) + ", and try again.";
    case kIdentifiersChanged:
        if (c.restored)
            return "The identifier page of the module on " + port +
                   " changed during the download and was written back, reading back equal, so its identifiers are intact; the application is incomplete, and the module can simply be flashed again.";
        return "The identifier page of the module on " + port +
               " changed during the download; the messages above say whether the saved page was put back and give the saved DevEUI, JoinEUI and AppKey, so keep them and set the module aside.";
    case kIdentity:
        return "The microcontroller on " + port +
               " answers inconsistently about itself (product ID, bootloader or flash size), so nothing was erased; check the cable and adapter, " +
               std::string(reset) + ", and try again.";
    case kModuleChanged:
        return "The bootloader on " + port +
               " started again during the operation and the module could not be identified as the same chip (another module, or one that does not answer as before), so nothing more was written to it and its identifiers are untouched; check that the module you meant sits firmly in place, and flash it again.";
    case kDiffers:
        return "The flash of the module on " + port + " differs from " + file + c.differences +
               "; nothing was changed on it, and flashing the file brings it in line.";
    case kDeviceUnsupported:
        return "The microcontroller on " + port +
               " is not one this tool can program without touching the identifiers; check that it is a Vorna-Base module.";
    default:
        return "The programming library failed with code " + std::to_string(s) + " (" + statusName(s) +
               "); try again, and report it if it repeats.";
    }
}

}  // namespace vbprog
