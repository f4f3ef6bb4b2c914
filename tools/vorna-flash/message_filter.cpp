#include "message_filter.h"

#include "status.h"

namespace vf {

bool messageShown(int type, Verbosity verbosity)
{
    switch (verbosity) {
    case Verbosity::Everything:
        return true;
    case Verbosity::ErrorsAndAdvice:
        // A warning without a popup is advice for the user (the adapter's latency timer, say).
        if (type == vbprog::kWarningQuiet)
            return true;
        [[fallthrough]];
    case Verbosity::Errors:
        return type == vbprog::kError || type == vbprog::kErrorQuiet;
    }
    return false;
}

}  // namespace vf
