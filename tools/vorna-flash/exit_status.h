// What the programming library's status codes mean to a bench: the exit status, a short
// name for logs and JSON, and one sentence saying what happened and what to try.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module_job.h"
#include "session_error.h"

namespace vf {

enum ExitStatus : int {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_NO_DEVICE = 2,   // port cannot be opened, or no bootloader answers
    EXIT_BAD_FILE = 3,    // firmware file missing, malformed, unsupported, outside the application area
    EXIT_WRITE = 4,       // write refused or read-back differs
    EXIT_DEVICE = 5,      // any other device failure
};

int exitStatusFor(int programmerStatus);

// "ok", "no-answer", "write-verify", ...; "error<code>" (e.g. "error-99") for a code the library does not document.
using vbprog::statusName;

using Step = vbprog::Operation;
using FailureContext = vbprog::HintContext;

// The library's advice in vorna-flash's terms: its commands and options.
vbprog::RemedyWords remedyWords();

// The library's hint for the status, its advice in vorna-flash's terms.
inline std::string failureSentence(int programmerStatus, FailureContext context)
{
    context.words = remedyWords();
    return vbprog::hintFor(programmerStatus, context);
}

// 0 when every module succeeded, else the highest exit status among the failed ones.
int combinedExitStatus(const std::vector<vbprog::ModuleOutcome>& outcomes);

// "N of M modules failed: PORT: sentence PORT: sentence"; empty when none failed.
std::string failureSummary(const std::vector<vbprog::ModuleOutcome>& outcomes);

}  // namespace vf
