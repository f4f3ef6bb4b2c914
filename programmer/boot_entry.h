// Bootloader entry through the adapter's DTR and RTS as one strategy: the sequence, the
// time the bootloader needs to start, and tries again with longer holds. The connection
// that flashes a module and the look for a module (one reset, one sync) both go through
// it, so that a station never speaks the protocol itself.
#pragma once

#include <atomic>

#include "boot_sequence.h"
#include "session_error.h"

namespace vbprog {

class FlashSession;
struct SessionCallbacks;

// Time the bootloader needs after the reset before it takes the first 0x7F, with margin.
constexpr int kBootloaderStartupMs = 80;
// Entry attempts; each doubles the holds of the one before.
constexpr int kBootAttempts = 3;

// What one 0x7F drew: ACK, NACK (a bootloader left synchronised, there all the same),
// nothing, or a port that failed.
enum class SyncAnswer { Ack, Nack, Silent, Failed };

// One 0x7F and nothing else on an open link, after dropping what a running application
// said. For a port without a boot sequence, where only the module's own reset starts its
// bootloader.
SyncAnswer syncProbe(Link& link);

class BootEntry {
public:
    // `words`: the front end's advice in the failures' sentences.
    explicit BootEntry(BootSequence sequence, RemedyWords words = {});

    const BootSequence& sequence() const { return sequence_; }

    // The factor on every hold of try `attempt` (from 0): 1, 2, 4, then 1 again.
    static int holdFactor(unsigned attempt);

    // Opens the port, runs the entry sequence, waits the start-up time and connects; tries
    // again with longer holds when the bootloader stays silent. Returns the PROG_* status of
    // the last connect. `callbacks` are the session's own: an attempt that is tried again
    // reports its failure as a detail only. `stop` set during the sequence or the start-up
    // wait ends it there: the port is closed, no sync is sent, PROG_ERR_NOT_CONNECTED.
    int connect(FlashSession& session, const PortSettings& settings, const SessionCallbacks& callbacks,
                const std::atomic<bool>* stop = nullptr) const;

    // Answered: a bootloader took the sync (ACK or NACK). NoLines: the port refused the
    // lines. Failed: the port failed.
    enum class Probe { Answered, Silent, NoLines, Failed };
    // One reset into the bootloader on an open link, with the holds of try `attempt`, the
    // start-up wait and one 0x7F. Stopped meanwhile: Silent, and no sync is sent.
    Probe probe(Link& link, unsigned attempt, const std::atomic<bool>* stop = nullptr) const;

private:
    BootSequence sequence_;
    RemedyWords words_;
};

}  // namespace vbprog
