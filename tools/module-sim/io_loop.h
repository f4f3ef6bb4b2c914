// Moves bytes between the pty and the bootloader, with the wire and flash timing of a
// real module when a baud rate is given. Around the bootloader it models the adapter and
// the board: modem lines wired to NRST and BOOT0, the bridge's latency timer, line noise,
// and modules taken out and put in, all driven through the control socket.
#pragma once

#include "bootloader.h"
#include "control.h"
#include "line_noise.h"
#include "module_event.h"
#include "pty_link.h"
#include "sim_log.h"
#include "sim_module.h"
#include "wiring.h"

#include <chrono>
#include <cstdio>
#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace vbsim {

struct ModuleRequest {
    std::string keysHex; // empty: random
    std::string uidHex;  // empty: random
    std::string fault;   // empty: none; "write-refused": its first Write Memory and every later one at that address are refused
};

class IoLoop {
public:
    using Clock = std::chrono::steady_clock;
    // Builds a fresh module (fresh flash, its own identifiers); nullptr with `error` set.
    using ModuleFactory = std::function<std::unique_ptr<SimModule>(const ModuleRequest &, std::string &error)>;
    // A module leaves (taken out, or the simulator ends): its dump is written.
    using ModuleRetired = std::function<void(SimModule &)>;

    IoLoop(std::unique_ptr<PtyLink> link, std::unique_ptr<SimModule> module, SimLog &log, unsigned baud,
           double idleTimeout);

    // Runs until a stop is requested (signal pipe readable) or the idle timeout ends it.
    // Returns a short reason.
    std::string run(int stopFd);

    // A part whose clock cannot follow rates above `baud`: a sync sent faster is measured
    // wrong, and the bootloader answers nothing more until it is reset.
    void setMaxBaud(unsigned baud) { maxBaud_ = baud; }
    // Damages the bytes of both directions; off unless the settings ask for it.
    void setNoise(const NoiseSettings &s) { noise_ = LineNoise(s); }
    // Where the position (from 0, in what reached the pty) of each byte that the noise gave a
    // parity error is appended, one a line, before the byte itself is handed over: what a
    // host UART would flag. Empty: nowhere.
    void setParityMarks(const std::string &path) { parityMarks_ = path; }
    const LineNoise &noise() const { return noise_; }
    // With a wiring the module starts in the application, as one powered on a bench does.
    void setWiring(Wiring w, double startupSeconds);
    // A USB bridge that hands received bytes on only when 62 are pending or its latency
    // timer runs out; 0 = no such bridge.
    void setLatencyTimer(unsigned ms) { latencyMs_ = ms; }
    void setControl(ControlServer *control) { control_ = control; }
    void setPresence(Presence p) { presence_ = p; }
    // Every read from and write to the pty, timed: where a turnaround's time goes.
    void setWireTrace(std::FILE *trace) { trace_ = trace; }
    void setLinkPath(const std::string &path) { linkPath_ = path; }
    void setModuleHooks(ModuleFactory make, ModuleRetired retired)
    {
        makeModule_ = std::move(make);
        retired_ = std::move(retired);
    }

    // Once, at the command it names.
    void setModuleEvent(const ModuleEvent &e) { event_ = e; }

    SimModule *module() { return module_.get(); }
    unsigned applicationRuns() const { return appRuns_; }
    // The summary's lines about resets and application starts.
    std::string summary() const;
    // Gives the module back to be dumped at the end (nullptr if none is in).
    std::unique_ptr<SimModule> takeModule() { return std::move(module_); }

private:
    enum class Mode { Bootloader, Starting, Reset, Application, Absent };

    struct Scheduled {
        Clock::time_point due;
        uint8_t byte;
        bool parityError = false;
    };

    void received(const uint8_t *data, size_t len, Clock::time_point now);
    void toBootloader(uint8_t byte);
    void logNoise();
    long long sinceStart(Clock::time_point t) const; // ns, for the wire trace
    void flushDue(Clock::time_point now);
    // Records the parity errors among the first `n` bytes due, before they are written.
    void markParityErrors(size_t n);
    std::optional<Clock::time_point> nextRelease() const;
    Clock::time_point bridgeTick(Clock::time_point t) const;
    unsigned bridgeMs() const { return latencyMs_ ? (lowLatency_ ? 1 : latencyMs_) : 0; }
    // False when the host's rate is beyond the part: the bytes never reach the bootloader.
    bool rateTaken();

    Pins pins() const;
    void applyPins(Clock::time_point now);
    void startApplication(const std::string &how);
    void powerUp();
    bool accepting(Clock::time_point at);
    void settle(Clock::time_point at); // a finished start-up makes the bootloader ready
    void clientClosed();

    // The module event's command came: the module goes, or restarts.
    void moduleEventDue();
    // Its second half: the new module, or the restarted bootloader, is ready.
    void moduleEventDone();

    std::string command(const std::string &line);
    std::string stateText() const;
    std::string linesText() const;
    std::string removeModule(bool keepPort);
    std::string insertModule(const ModuleRequest &req);

    std::unique_ptr<PtyLink> link_;
    std::unique_ptr<SimModule> module_;
    SimLog &log_;
    Clock::duration byteTime_{};
    bool timed_ = false;
    double idleTimeout_;
    Clock::time_point rxDone_{};
    Clock::time_point txFree_{};
    std::deque<Scheduled> tx_;
    bool clientPresent_ = true;
    unsigned maxBaud_ = 0;
    bool lockedOut_ = false;
    LineNoise noise_;
    std::vector<std::string> noiseEvents_;
    std::string parityMarks_;
    uint64_t handedOver_ = 0; // bytes written to the pty so far

    // Board and adapter.
    Wiring wiring_ = Wiring::None;
    Clock::duration startup_{};
    bool dtr_ = false, rts_ = false; // asserted?
    std::optional<bool> forcedNrst_, forcedBoot0_;
    Mode mode_ = Mode::Bootloader;
    Clock::time_point startedAt_{};
    unsigned appRuns_ = 0, resets_ = 0;
    uint64_t lostBytes_ = 0;
    bool lossNoted_ = false;
    unsigned latencyMs_ = 0;
    bool lowLatency_ = false;
    Clock::time_point bridgeEpoch_{};

    Presence presence_;
    ControlServer *control_ = nullptr;
    std::FILE *trace_ = nullptr;
    Clock::time_point epoch_ = Clock::now();
    std::string linkPath_;
    ModuleFactory makeModule_;
    ModuleRetired retired_;
    unsigned modulesMade_ = 1;
    std::optional<ModuleEvent> event_;
    std::optional<Clock::time_point> eventDone_;
};

} // namespace vbsim
