// One shape of failure for every caller: the status the C interface returns, what happened
// (the error message the session said), what the user can do about it, and the address
// where one applies.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "link.h"

namespace vbprog {

// Advice some sentences end in. The library words it without naming any front end's
// controls; a front end may word it after its own.
enum class Remedy {
    CheckPortName,   // the port's name may be wrong
    EnterByHand,     // the port has no lines for a boot sequence
    TryInverted,     // the direct sequence drew no answer
    TryDirect,       // the inverted sequence drew no answer
    CheckWiring,     // another sequence drew no answer
};
// A front end's words for a remedy, to stand in a sentence after "; "; empty keeps the
// library's.
using RemedyWords = std::function<std::string(Remedy)>;

// `words`' text for `remedy`, else the library's.
std::string remedyText(Remedy remedy, const RemedyWords& words);

// What the caller was doing when the status came: the hint differs for a lost link during
// a download (the application is incomplete) and elsewhere.
enum class Operation { Connect, ReadKeys, Download };

struct HintContext {
    Operation step = Operation::Connect;
    std::string port;
    std::string file;
    uint32_t baud = 115200;
    // A download that failed before it erased or wrote anything: the module is as it was.
    bool unchanged = false;
    // The identifier page changed and was written back, reading back equal.
    bool restored = false;
    // Why the port did not open, as the transport said when it refused.
    OpenFailure openFailure{};
    RemedyWords words{};
};

struct SessionError {
    int status = 0;                    // PROG_*; 0 when nothing failed
    std::string what;                  // the session's own error message
    std::string hint;                  // one sentence: what happened and what to try
    std::optional<uint32_t> address;   // where the flash refused or differed
    int line = 0;                      // the file's line at fault; 0 for the whole file or none
    explicit operator bool() const { return status != 0; }
};

// The user's sentence for a PROG_* status; an undocumented code gets a sentence naming it.
std::string hintFor(int status, const HintContext& context);

// "ok", "no-answer", "write-verify", ...; "error<code>" for a code the library does not document.
std::string statusName(int status);

}  // namespace vbprog
