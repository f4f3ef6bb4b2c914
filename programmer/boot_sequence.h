// Bootloader entry through the adapter's DTR and RTS: sequences of line steps and waits,
// and the presets for the common wirings (boot_entry.h runs one before the first sync). A line's state is its serial state: 1 = asserted, which on common USB-serial
// adapters drives the pin LOW.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "link.h"
#include "result.h"

namespace vbprog {

struct BootStep {
    // Lines set in this step (both in one call where a step names both); a wait otherwise.
    std::optional<bool> dtr, rts;
    int waitMs = 0;
};

struct BootSequence {
    std::string name;                 // the preset's name, or the text as given
    std::vector<BootStep> enter;      // reset into the bootloader
    std::vector<BootStep> run;        // reset into the application; empty for a custom entry
};

// Steps separated by ',': "dtr=1", "rts=0", "dtr=1+rts=0" (both in one step), "wait=100"
// (milliseconds, at most 10000). No spaces, at most 32 steps. A refusal (kBadArgument)
// names the position (1-based character).
Result<std::vector<BootStep>> parseSteps(const std::string& text);

// A preset (direct, inverted, auto-reset) or a custom sequence; the refusal's sentence when
// neither.
Result<BootSequence> bootSequence(const std::string& text);

// The steps as text, in the syntax parseSteps takes, waits multiplied by `holdFactor`.
std::string stepsText(const std::vector<BootStep>& steps, int holdFactor = 1);

// Runs `steps` on an open link, every wait multiplied by `holdFactor`. Throws
// TransportError when the port refuses the lines. With `stop`, a wait ends as soon as it
// is set and no later step runs; false then.
bool runSteps(Link& link, const std::vector<BootStep>& steps, int holdFactor = 1,
              const std::atomic<bool>* stop = nullptr);

// Sleeps `span`; with `stop`, false as soon as it is set.
bool waitUnlessStopped(Millis span, const std::atomic<bool>* stop);

}  // namespace vbprog
