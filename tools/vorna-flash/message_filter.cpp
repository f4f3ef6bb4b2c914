#include "message_filter.h"

#include "programmer_api.h"

namespace vf {

bool messageShown(int type, Verbosity verbosity)
{
    switch (verbosity) {
    case Verbosity::Everything:
        return true;
    case Verbosity::ErrorsAndAdvice:
        // A warning without a popup is advice for the user (the adapter's latency timer, say).
        if (type == WarningNoPopup)
            return true;
        [[fallthrough]];
    case Verbosity::Errors:
        return type == Error || type == ErrorNoPopup;
    }
    return false;
}

}  // namespace vf
