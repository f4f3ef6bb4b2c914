// The flashing station: one loop per port, each on its own thread, flashing module after
// module without anyone at the keyboard. Per port: wait for a module, flash it as `flash`
// does, show and log the result, wait until the module is gone; never twice in one insertion.
#pragma once

#include "options.h"
#include "port_names.h"

#include "boot_sequence.h"
#include "firmware_image.h"
#include "flash_session.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vf {

// How a port learns that a module is in and that it has gone. The station asks nothing
// else of it, so a port with its lines wired for bootloader entry can bring its own (a
// reset into the bootloader that answers; gone when the next reset finds none).
class ModuleWatch {
public:
    virtual ~ModuleWatch() = default;
    // True once a module's bootloader is there to be flashed; false when `stop` came first.
    virtual bool waitForModule(const std::atomic<bool>& stop) = 0;
    // True once the module flashed last is gone; false when `stop` came first.
    virtual bool waitUntilGone(const std::atomic<bool>& stop) = 0;
    // False when the last waitUntilGone only inferred the going (a bootloader that answered
    // as a fresh one would): the next module may be the same one, started again.
    virtual bool goneSure() const { return true; }
};

// Today's port of a station's slot, asked each time a watch opens its port afresh; empty
// while there is none (an adapter named usb:SERIAL not plugged in).
using PortLocator = std::function<std::string()>;

// Without modem lines: the port appearing, and a gentle sync poll (the library's sync alone,
// about three times a second, never another byte). Gone: the port vanishes or fails, the bootloader
// stays silent for several polls, or a freshly started one answers (another module, or a
// reset: a bootloader we left synchronised answers a sync with NACK or not at all, never ACK).
std::unique_ptr<ModuleWatch> makePollingWatch(PortLocator port, uint32_t baud);

// With DTR and RTS wired: a module is in when the library's probe (a reset into the
// bootloader by `sequence`, once a second, with its longer holds in turn) is answered; gone when two resets in a row
// find no bootloader, or the port vanishes. A port without modem lines counts as a module
// (so that flashing names the cause) and as gone only once the port vanishes.
// `say` gets one hint when resets keep finding no bootloader.
std::unique_ptr<ModuleWatch> makeResetWatch(PortLocator port, uint32_t baud,
                                            const vbprog::BootSequence& sequence,
                                            std::function<void(const std::string&)> say = {});

// The file, read and checked once before any port is touched.
struct StationFirmware {
    std::string shownName;
    std::string sha256;
    const vbprog::FirmwareImage* image = nullptr;
};

struct LineDb;

// Runs until Ctrl-C (or --count modules); returns the exit status. A port named usb:SERIAL
// or usb-path:PATH is looked up in `list` each time it is opened afresh. `db`, when given,
// is the line's database opened for this run (its run ID is the run's).
int runStation(const Options& options, const std::vector<std::string>& ports, const StationFirmware& firmware,
               const PortLister& list = vbprog::listPortDetails, LineDb* db = nullptr);

// "2 h 5 min", "3 min 20 s", "42 s": a run's length for the yield summary.
std::string durationText(double seconds);

}  // namespace vf
