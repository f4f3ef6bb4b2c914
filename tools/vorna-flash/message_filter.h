// Which of the programming library's messages (their vbprog::Level) a display shows: the one rule for
// flash, keys and the station.
#pragma once

namespace vf {

enum class Verbosity {
    Errors,           // the station's operator: the cause of a failure only
    ErrorsAndAdvice,  // flash and keys: also advice meant for the user (a slow adapter, say)
    Everything,       // --verbose
};

bool messageShown(int type, Verbosity verbosity);

}  // namespace vf
