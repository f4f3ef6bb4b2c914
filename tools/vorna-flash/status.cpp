#include "status.h"

#include "programmer_api.h"

#include <algorithm>

namespace vf {

int exitStatusFor(int s)
{
    switch (s) {
    case PROG_OK:
        return EXIT_OK;
    case PROG_ERR_PORT_OPEN:
    case PROG_ERR_NO_ANSWER:
        return EXIT_NO_DEVICE;
    case PROG_ERR_FILE_MISSING:
    case PROG_ERR_FILE_INVALID:
    case PROG_ERR_OUT_OF_RANGE:
        return EXIT_BAD_FILE;
    case PROG_ERR_WRITE_VERIFY:
        return EXIT_WRITE;
    case vbprog::kDiffers:
        return EXIT_DIFFERS;
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
