#include "exit_status.h"

#include "status.h"

#include <algorithm>

namespace vf {

int exitStatusFor(int s)
{
    switch (s) {
    case vbprog::kOk:
        return EXIT_OK;
    case vbprog::kPortOpen:
    case vbprog::kNoAnswer:
        return EXIT_NO_DEVICE;
    case vbprog::kFileMissing:
    case vbprog::kFileInvalid:
    case vbprog::kOutOfRange:
        return EXIT_BAD_FILE;
    case vbprog::kWriteVerify:
        return EXIT_WRITE;
    default:
        return EXIT_DEVICE;
    }
}

vbprog::RemedyWords remedyWords()
{
    return [](vbprog::Remedy r) -> std::string {
        switch (r) {
        case vbprog::Remedy::CheckPortName: return "check the name with vorna-flash ports";
        case vbprog::Remedy::EnterByHand:
            return "connect the module's bootloader by hand (BOOT0 high, reset) and leave out --boot";
        case vbprog::Remedy::TryInverted: return "try --boot inverted";
        case vbprog::Remedy::TryDirect: return "try --boot direct";
        case vbprog::Remedy::CheckWiring: return "check the wiring with vorna-flash lines and a meter";
        }
        return {};
    };
}

int combinedExitStatus(const std::vector<vbprog::ModuleOutcome>& outcomes)
{
    int worst = EXIT_OK;
    for (const auto& m : outcomes)
        if (m.status != 0)
            worst = std::max(worst, exitStatusFor(m.status));
    return worst;
}

std::string failureSummary(const std::vector<vbprog::ModuleOutcome>& outcomes)
{
    std::string text;
    size_t failed = 0;
    for (const auto& m : outcomes) {
        if (m.status == 0)
            continue;
        ++failed;
        text += " " + m.port + ": " + m.error.hint;
    }
    if (!failed)
        return {};
    return std::to_string(failed) + " of " + std::to_string(outcomes.size()) + (outcomes.size() == 1 ? " module" : " modules") +
           " failed:" + text;
}

}  // namespace vf
