// Progress of a session, told per phase: callers show the phase by name instead of
// guessing it from the order of passes.
#pragma once

#include <cstdint>
#include <functional>

namespace vbprog {

// The steps of a session, in the order a download runs them; a check against a file runs
// Verify alone, a read of the memory Read.
enum class Phase { Connect, IdentifierBackup, Erase, Write, Verify, Restore, Read };
// "connect", "identifier-page backup", "erase", "write", "verify", "restore", "read".
const char* phaseName(Phase phase);

struct ProgressEvent {
    enum State { Started, Progress, Finished, Failed };
    Phase phase;
    State state;
    // Of the phase's own unit: pages for the erase, bytes otherwise; 0 of 0 for the
    // connection. Started reports 0 of the total; Failed how far it got.
    uint64_t done = 0;
    uint64_t total = 0;
};

using ProgressReport = std::function<void(const ProgressEvent& event)>;

}  // namespace vbprog
