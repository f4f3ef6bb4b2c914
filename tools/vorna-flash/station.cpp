#include "station.h"

#include "benchlog.h"
#include "console.h"
#include "exit_status.h"
#include "line_db.h"
#include "system.h"
#include "message_filter.h"
#include "module_record.h"
#include "platform.h"
#include "report_json.h"
#include "station_display.h"
#include "station_hook.h"
#include "station_identity.h"
#include "text.h"

#include "boot_entry.h"
#include "flash_session.h"
#include "serial_transport.h"
#include "status.h"
#include "text_format.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vf {

namespace {

using Clock = std::chrono::steady_clock;
using vbprog::Millis;

// Set by Ctrl-C (and by the last of --count modules): the loops end at their next wait.
std::atomic<bool> g_stop{false};
// Set by Ctrl-C, SIGTERM and SIGHUP only: waits and boot entries not yet done are given
// up; a download that has begun is finished.
std::atomic<bool> g_interrupted{false};

#if defined(_WIN32)
BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        g_interrupted = true;
        g_stop = true;
        return TRUE;
    }
    return FALSE;
}

void catchInterrupt()
{
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool portPresent(const std::string& port)
{
    for (const std::string& name : vbprog::listSystemPorts())
        if (name == port)
            return true;
    return false;
}

std::string portIdentity(const std::string& port)
{
    return portPresent(port) ? port : std::string();
}
#else
extern "C" void onInterrupt(int)
{
    g_interrupted = true;
    g_stop = true;
}

void catchInterrupt()
{
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A closed terminal ends the run as Ctrl-C does: the module being flashed first.
    ::sigaction(SIGHUP, &sa, nullptr);
    // A reader that went (| head) costs that output only; the failed write says so.
    ::signal(SIGPIPE, SIG_IGN);
}

bool portPresent(const std::string& port)
{
    return ::access(port.c_str(), F_OK) == 0;
}

// Which device the name stands for now; empty when none. A module swapped with its
// adapter between two looks has a name that stands for another device.
std::string portIdentity(const std::string& port)
{
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_rdev) + ":" + std::to_string(st.st_ino);
}
#endif

// Sleeps `span` in small steps; false when stopped meanwhile.
bool pause(Millis span, const std::atomic<bool>& stop)
{
    const auto until = Clock::now() + span;
    while (!stop) {
        const auto now = Clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, Millis(50)));
    }
    return false;
}

constexpr Millis kPollPeriod{350};    // at most three syncs a second
constexpr int kSilentPollsGone = 4;   // about 1.4 s of silence

class PollingWatch final : public ModuleWatch {
public:
    PollingWatch(PortLocator port, uint32_t baud) : where_(std::move(port)) { settings_.baudrate = baud; }

    bool waitForModule(const std::atomic<bool>& stop) override
    {
        while (!stop) {
            vbprog::SerialLink link;
            settings_.name = where_();
            if (settings_.name.empty() || !portPresent(settings_.name) || !open(link)) {
                pause(kPollPeriod, stop);
                continue;
            }
            while (!stop) {
                const auto start = Clock::now();
                const vbprog::SyncAnswer answer = vbprog::syncProbe(link);
                if (answer == vbprog::SyncAnswer::Ack || answer == vbprog::SyncAnswer::Nack)
                    return true;  // the session opens the port itself
                if (answer == vbprog::SyncAnswer::Failed)
                    break;
                pause(std::chrono::duration_cast<Millis>(kPollPeriod - (Clock::now() - start)), stop);
            }
        }
        return false;
    }

    bool goneSure() const override { return sure_; }

    bool waitUntilGone(const std::atomic<bool>& stop) override
    {
        sure_ = true;
        vbprog::SerialLink link;
        if (!open(link))
            return true;
        int silent = 0;
        while (!stop) {
            if (!portPresent(settings_.name))
                return true;
            const auto start = Clock::now();
            const vbprog::SyncAnswer answer = vbprog::syncProbe(link);
            if (answer == vbprog::SyncAnswer::Failed)
                return true;
            if (answer == vbprog::SyncAnswer::Ack) {
                sure_ = false;  // a new module, or this one's bootloader started again
                return true;
            }
            silent = answer == vbprog::SyncAnswer::Nack ? 0 : silent + 1;
            if (silent >= kSilentPollsGone)
                return true;
            pause(std::chrono::duration_cast<Millis>(kPollPeriod - (Clock::now() - start)), stop);
        }
        return false;
    }

private:
    bool open(vbprog::SerialLink& link)
    {
        std::vector<std::string> notes;
        try {
            link.open(settings_, notes);
            return true;
        } catch (const vbprog::TransportError&) {
            return false;
        }
    }

    PortLocator where_;
    vbprog::PortSettings settings_;  // the port found last: the module's going is watched there
    bool sure_ = true;
};

constexpr Millis kResetPeriod{1000};  // a jig without a module is reset once a second
constexpr int kSilentResetsGone = 2;
// Resets no bootloader answers: after this many the hint comes, and the pause between
// resets grows (an empty jig needs no reset a second; a module in it is found late by
// at most kMaxResetPeriod).
constexpr int kSilentResetsHint = 10;
constexpr Millis kMaxResetPeriod{8000};

class ResetWatch final : public ModuleWatch {
public:
    ResetWatch(PortLocator port, uint32_t baud, const vbprog::BootSequence& sequence,
               std::function<void(const std::string&)> say)
        : where_(std::move(port)), entry_(sequence), say_(std::move(say))
    {
        settings_.baudrate = baud;
    }

    bool waitForModule(const std::atomic<bool>& stop) override
    {
        vbprog::SerialLink link;
        int silent = 0;
        Millis period = kResetPeriod;
        while (!stop) {
            const auto start = Clock::now();
            const Probe c = check(link, stop);
            if (stop)
                break;
            if (c == Probe::Answered || c == Probe::NoLines)
                return true;  // the session opens the port itself and resets once more
            if (c == Probe::Failed) {
                link.close();
                silent = 0;
                period = kResetPeriod;
            } else if (++silent >= kSilentResetsHint) {
                if (silent == kSilentResetsHint && !hinted_ && say_) {
                    hinted_ = true;
                    say_("no bootloader answered " + std::to_string(silent) + " resets of --boot " + entry_.sequence().name +
                         " (" + vbprog::stepsText(entry_.sequence().enter) + "). If a module is in, its wiring may need " +
                         otherPresets() + "; vorna-flash lines checks the wiring with a meter. Resets now come "
                         "less often, at most every " + std::to_string(kMaxResetPeriod.count() / 1000) + " s.");
                }
                period = std::min(kMaxResetPeriod, period * 2);
            }
            pause(std::chrono::duration_cast<Millis>(period - (Clock::now() - start)), stop);
        }
        return false;
    }

    bool waitUntilGone(const std::atomic<bool>& stop) override
    {
        // Kept open throughout, so that an adapter swapped between two resets is seen to go.
        vbprog::SerialLink link;
        int silent = 0;
        while (!stop) {
            const auto start = Clock::now();
            const Probe c = check(link, stop);
            if (stop)
                break;
            if (c == Probe::Failed)
                return true;
            if (c == Probe::NoLines) {
                // No reset can tell; only the adapter going does.
                link.close();
                if (!portPresent(settings_.name))
                    return true;
            }
            silent = c == Probe::Silent ? silent + 1 : 0;
            if (silent >= kSilentResetsGone)
                return true;
            pause(std::chrono::duration_cast<Millis>(kResetPeriod - (Clock::now() - start)), stop);
        }
        return false;
    }

private:
    using Probe = vbprog::BootEntry::Probe;

    // One reset into the bootloader and one sync; Failed when the port is gone or fails.
    Probe check(vbprog::SerialLink& link, const std::atomic<bool>& stop)
    {
        const unsigned attempt = attempt_++;
        // An open link stays on its port; a closed one is looked up again.
        if (!link.isOpen())
            settings_.name = where_();
        if (settings_.name.empty() || !portPresent(settings_.name))
            return Probe::Failed;
        try {
            if (!link.isOpen()) {
                std::vector<std::string> notes;
                link.open(settings_, notes);
            }
        } catch (const vbprog::TransportError&) {
            return Probe::Failed;
        }
        const Probe c = entry_.probe(link, attempt, &stop);
        // Lines that worked before and fail now: the adapter went, maybe with a new one at
        // its name already.
        if (c == Probe::NoLines)
            return linesWorked_ ? Probe::Failed : Probe::NoLines;
        linesWorked_ = true;
        return c;
    }

    std::string otherPresets() const
    {
        const std::string& name = entry_.sequence().name;
        if (name == "direct")
            return "--boot inverted (or auto-reset)";
        if (name == "inverted")
            return "--boot direct (or auto-reset)";
        if (name == "auto-reset")
            return "--boot direct or inverted";
        return "another sequence, or a preset (direct, inverted, auto-reset)";
    }

    PortLocator where_;
    vbprog::PortSettings settings_;
    vbprog::BootEntry entry_;
    std::function<void(const std::string&)> say_;
    bool hinted_ = false;
    unsigned attempt_ = 0;
    bool linesWorked_ = false;
};

// Enter on the station's input, for every port that waits for the operator's word. A
// count under one lock: several ports may look at once, one line is one Enter for all.
std::mutex g_inputMutex;
unsigned g_enters = 0;

unsigned entersSoFar()
{
    std::lock_guard<std::mutex> g(g_inputMutex);
#if !defined(_WIN32)
    pollfd p{STDIN_FILENO, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0)
            break;
        g_enters += unsigned(std::count(buf, buf + n, '\n'));
    }
#endif
    return g_enters;
}

std::string secondsText(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

// One module: what it came to.
// The library's outcome, and what the station makes of it.
struct Outcome : vbprog::ModuleOutcome {
    IdentityVerdict identity;
    bool identified = false;   // the identity was checked against the book
    bool sameInsertion = false;  // the module flashed last, answering again: nothing done
    bool duplicateFail = false;  // passed, but another module carries its DevEUI (--on-duplicate fail)
    // The port kept open past the flash, so that watching for the module's going opens
    // (and so resets) nothing.
    std::unique_ptr<vbprog::FlashSession> held;
    bool cancelled = false;    // stopped before anything was erased: no row, no verdict
};

struct PortTally {
    unsigned passed = 0, failed = 0;
    std::map<std::string, unsigned> causes;  // failures by status name
};

class Station {
public:
    Station(const Options& o, const std::vector<std::string>& ports, const StationFirmware& fw, const PortLister& list,
            LineDb* db)
        : o_(o), ports_(ports), fw_(fw), list_(list), db_(db), runId_(db ? db->runId : newRunId()),
          tallies_(ports.size()), insertion_(ports.size()), repeats_(ports.size()), found_(ports.size())
    {
        if (!o.boot.empty())
            if (vbprog::Result<vbprog::BootSequence> boot = vbprog::bootSequence(o.boot))  // the command line checked it
                boot_ = std::move(boot).value();
    }

    int run();

private:
    void loop(size_t index);
    Outcome flash(size_t index);
    void conclude(size_t index, Outcome& out);
    void writeRow(size_t index, const Outcome& out);
    void recordRow(size_t index, Outcome& out);
    void stopTaking(bool& once, const std::string& problem, const std::string& advice);
    void printSummary(double seconds);
    bool claim();
    void unclaim();
    bool takenOut(size_t index, vbprog::Link* held);
    bool presentNow(vbprog::Link& link) const;
    bool waitPresent(size_t index);
    Millis backoff(size_t index, const Outcome& out);
    std::string locate(size_t index);

    const Options& o_;
    const std::vector<std::string>& ports_;  // as given: the slots' names
    const StationFirmware& fw_;
    const PortLister& list_;
    std::optional<vbprog::BootSequence> boot_;
    LineDb* db_;
    std::string runId_;
    StationDisplay display_;
    BenchLog log_;
    IdentityBook book_;
    std::mutex mutex_;  // tallies, counts, the log's rows
    std::vector<PortTally> tallies_;
    unsigned claimed_ = 0;
    bool logFailed_ = false;
    bool dbFailed_ = false;
    bool duplicateFailed_ = false;
    std::vector<vbprog::ModuleOutcome> failures_;
    struct Insertion {
        std::string uid;       // of the module flashed last in it
        bool told = false;     // "same insertion" said
    };
    std::vector<Insertion> insertion_;  // per port, its own thread only
    struct Repeats {
        std::string key;       // status and step of the last failure
        unsigned times = 0;
        bool told = false;
    };
    std::vector<Repeats> repeats_;  // per port, its own thread only
    struct Found {
        std::string port;      // today's port of a usb: or usb-path: slot, as looked up last
        std::string told;      // the last thing said about looking it up
    };
    std::vector<Found> found_;  // per port, its own thread only
};

// Today's port of slot `index`: its own name, or for a stable name the port the list has
// for it now (empty while none or several match). A change is said once.
std::string Station::locate(size_t index)
{
    const std::string& given = ports_[index];
    if (!isStableName(given))
        return given;
    const Resolution r = resolvePort(given, list_());
    Found& f = found_[index];
    const std::string news = r.port.empty() ? (r.ambiguous ? r.sentence : std::string()) : "found at " + r.port;
    if (!news.empty() && news != f.told)
        display_.print((r.port.empty() ? "vorna-flash: " : "") + given + ": " + news + (r.port.empty() ? "" : "."),
                       stderr);
    f.told = news;
    if (!r.port.empty())
        f.port = r.port;
    return r.port;
}

void Station::unclaim()
{
    std::lock_guard<std::mutex> g(mutex_);
    if (o_.count && claimed_-- == o_.count && !g_interrupted)
        g_stop = false;
}

bool Station::presentNow(vbprog::Link& link) const
{
    const vbprog::ModemStatus st = link.modemStatus();
    const bool asserted = o_.present == "cts" ? st.cts : o_.present == "dsr" ? st.dsr : o_.present == "dcd" ? st.dcd : st.ri;
    return asserted != o_.presentActiveLow;
}

std::string presentName(const Options& o)
{
    return (o.presentActiveLow ? "!" : "") + o.present;
}

// Until the --present input says a module is in; false when stopped first.
bool Station::waitPresent(size_t index)
{
    display_.state(index, "waiting for a module (" + presentName(o_) + ")");
    vbprog::SerialLink link;
    vbprog::PortSettings settings;
    settings.baudrate = o_.baud;
    bool told = false;
    while (!g_stop) {
        try {
            if (!link.isOpen()) {
                settings.name = locate(index);
                if (settings.name.empty()) {
                    pause(Millis(100), g_stop);
                    continue;
                }
                std::vector<std::string> notes;
                link.open(settings, notes);
            }
            if (presentNow(link))
                return true;
        } catch (const vbprog::TransportError& e) {
            link.close();
            if (!told && portPresent(settings.name)) {
                told = true;
                display_.print("vorna-flash: " + ports_[index] + ": --present " + presentName(o_) +
                                   " cannot be read (" + e.what() + "); the station keeps trying.",
                               stderr);
            }
        }
        pause(Millis(100), g_stop);
    }
    return false;
}

// After a started module (never reset again) or with --present: gone when its port
// vanishes, the presence input drops, or, with neither to tell, the operator presses Enter.
bool Station::takenOut(size_t index, vbprog::Link* held)
{
    const std::string& slot = ports_[index];
    // Where the module was flashed: its going is watched there, whatever the slot's name finds later.
    const std::string port = isStableName(slot) ? found_[index].port : slot;
    std::unique_ptr<vbprog::SerialLink> own;
    vbprog::Link* link = held && held->isOpen() ? held : nullptr;
    const bool byPresence = !o_.present.empty();
    const unsigned enters = entersSoFar();
    const std::string device = portIdentity(port);
    display_.print(slot + ": waiting for the module to be taken out (" +
                       (byPresence ? "--present " + presentName(o_) + " drops, or its port vanishes)"
                                   : std::string("its port vanishes, or Enter here once it is out)")),
                   stderr);
    while (!g_stop) {
        if (device.empty() || portIdentity(port) != device)
            return true;
        if (byPresence) {
            try {
                if (!link) {
                    own = std::make_unique<vbprog::SerialLink>();
                    std::vector<std::string> notes;
                    own->open({port, o_.baud}, notes);
                    link = own.get();
                }
                if (!presentNow(*link))
                    return true;
            } catch (const vbprog::TransportError&) {
                return true;  // the adapter went with the module
            }
        } else if (entersSoFar() != enters) {
            return true;
        }
        pause(Millis(100), g_stop);
    }
    return false;
}

// The pause before a port tries again after the same failure once more: doubling from a
// second to kMaxBackoff; none after a pass or a different failure.
constexpr Millis kMaxBackoff{30000};

Millis Station::backoff(size_t index, const Outcome& out)
{
    Repeats& r = repeats_[index];
    const std::string key = out.status == vbprog::kOk ? std::string() : statusName(out.status) + " at " + out.step;
    if (key.empty() || key != r.key) {
        r = Repeats{key, key.empty() ? 0u : 1u, false};
        return Millis(0);
    }
    ++r.times;
    if (!r.told) {
        r.told = true;
        std::string text = "vorna-flash: " + ports_[index] + ": the same failure again (" + key + "): " + out.error.hint +
                           " The port now waits longer between tries (up to " +
                           std::to_string(kMaxBackoff.count() / 1000) + " s) until something changes.";
        if (boot_ && out.step == "connect")
            text += " With the module in, another --boot preset may fit its wiring; vorna-flash lines helps to check.";
        display_.print(text, stderr);
    }
    return std::min(kMaxBackoff, Millis(1000L << std::min(r.times - 2, 5u)));
}

bool Station::claim()
{
    std::lock_guard<std::mutex> g(mutex_);
    if (o_.count && claimed_ >= o_.count)
        return false;
    if (o_.count && ++claimed_ == o_.count)
        g_stop = true;  // the others stop waiting; this one is flashed to its end
    return true;
}

Outcome Station::flash(size_t index)
{
    Outcome out;
    int lastPercent = -1;
    vbprog::SessionCallbacks callbacks;
    callbacks.progress = [&](const vbprog::ProgressEvent& e) {
        if (e.state == vbprog::ProgressEvent::Failed)
            return;
        const int percent = e.total ? int(e.done * 100 / e.total) : 0;
        if (e.state == vbprog::ProgressEvent::Started || percent != lastPercent) {
            lastPercent = percent;
            display_.state(index, std::string("flashing: ") + vbprog::phaseName(e.phase) + " " +
                                      std::to_string(percent) + "%");
        }
    };
    callbacks.message = [&](int type, const std::string& text) {
        if (messageShown(type, o_.verbose ? Verbosity::Everything : Verbosity::Errors))
            display_.print(ports_[index] + ": " + text, stderr);
    };
    auto held = std::make_unique<vbprog::FlashSession>(callbacks);
    vbprog::FlashSession& session = *held;

    const std::string& slot = ports_[index];
    vbprog::ModuleJob job = moduleJob(o_, isStableName(slot) ? found_[index].port : slot, fw_.image, fw_.shownName);
    job.download.verify = true;
    job.stop = &g_interrupted;
    job.beforeDownload = [&](const vbprog::ModuleOutcome& identified) {
        // The module flashed last in this insertion, answering again (its bootloader started
        // after Go, say): it is not flashed twice.
        if (!identified.uniqueId.empty() && identified.uniqueId == insertion_[index].uid) {
            out.sameInsertion = true;
            return false;
        }
        // Known before the download, so that the operator sees a second identity at once;
        // with what other stations on the same log wrote meanwhile.
        std::string news, why;
        if (log_.readNew(news, why))
            book_.loadRows(news);
        out.identity = book_.note(identified.devEUI, identified.uniqueId);
        out.identified = true;
        return true;
    };
    static_cast<vbprog::ModuleOutcome&>(out) = vbprog::runModuleJob(session, job, callbacks);
    // The row and the line name the slot as given: usb:SERIAL stays bound to its jig.
    out.port = slot;
    // Stopped before the download began: the module is left as it was.
    out.cancelled = out.skipped && !out.sameInsertion;
    if (out.cancelled) {
        session.close();
        return out;
    }
    // Kept open for the watch on the module's going when reopening would reset it.
    session.setCallbacks({});
    if (o_.after != After::Stay || !o_.present.empty())
        out.held = std::move(held);
    else
        session.close();
    return out;
}

// A row that cannot be kept: the station takes no new modules, as they would be lost to
// the line's records. The advice is said once.
void Station::stopTaking(bool& once, const std::string& problem, const std::string& advice)
{
    bool first;
    {
        std::lock_guard<std::mutex> g(mutex_);
        first = !once;
        once = true;
    }
    display_.print("vorna-flash: " + problem, stderr);
    if (first)
        display_.print("vorna-flash: " + advice, stderr);
    g_stop = true;
}

void Station::writeRow(size_t index, const Outcome& out)
{
    if (!log_.isOpen())
        return;
    LogRow row = logRow(out, {true, o_.file, fw_.sha256, runId_, VBF_VERSION, out.identity.attempt,
                              out.identity.duplicate});
    if (out.duplicateFail) {
        row.result = linedb::kDuplicateStatus;
        row.failingStep = linedb::kDuplicateStep;
    }
    std::string why;
    if (!log_.append(row, why, [this](const std::string& news) { book_.loadRows(news); }))
        stopTaking(logFailed_,
                   "Cannot append to the log file " + o_.logPath + " (" + why + "); the row of " + ports_[index] +
                       " is missing from it.",
                   "The station takes no new modules, as it cannot log them; make room for the log or give another "
                   "file to --log, and start it again.");
}

// The database's row, and its verdict on the identity where it answered; a row that waits
// in the spool keeps what the --log file knew.
void Station::recordRow(size_t index, Outcome& out)
{
    if (db_) {
        const linedb::Recorded r = db_->line->record(attemptRow(out, o_, *db_));
        if (r.written) {
            out.identity.duplicate = r.verdict.duplicate;
            out.identity.attempt = r.verdict.attempt;
            out.duplicateFail = r.verdict.failed;
            return;
        }
        if (!r.error.empty())
            stopTaking(dbFailed_,
                       "Cannot write the row of " + ports_[index] + " to the database " + db_->line->url().shown + " (" +
                           r.error + ").",
                       "The station takes no new modules, as it cannot record them; mend the database, and start it "
                       "again.");
    }
    out.duplicateFail = o_.failOnDuplicate && out.status == vbprog::kOk && out.identity.duplicate == "other-module";
}

void Station::conclude(size_t index, Outcome& out)
{
    const std::string& port = ports_[index];
    recordRow(index, out);
    const bool pass = out.status == vbprog::kOk && !out.duplicateFail;
    writeRow(index, out);

    std::string flag;
    if (out.identity.duplicate == "other-module")
        flag = "; DUPLICATE DevEUI: another module carries it";
    else if (out.identity.duplicate == "same-module")
        flag = "; this module was seen before (attempt " + std::to_string(out.identity.attempt) + ")";
    const std::string duplicateCause = "DevEUI " + out.devEUI + " is another module's; this one must not ship with it";
    std::string text = out.duplicateFail ? "FAIL (" + std::string(linedb::kDuplicateStep) + ", " +
                                               linedb::kDuplicateStatus + "): " + duplicateCause + flag
                       : pass ? "PASS " + out.devEUI + " in " + secondsText(out.seconds) + flag
                              : "FAIL (" + out.step + ", " + statusName(out.status) + "): " + out.error.hint + flag;
    unsigned passed = 0, failed = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        PortTally& t = tallies_[index];
        if (pass) {
            ++t.passed;
        } else if (out.duplicateFail) {
            ++t.failed;
            ++t.causes[linedb::kDuplicateStatus];
            duplicateFailed_ = true;
        } else {
            ++t.failed;
            ++t.causes[statusName(out.status)];
            failures_.push_back(out);
        }
        for (const PortTally& each : tallies_) {
            passed += each.passed;
            failed += each.failed;
        }
    }
    display_.verdict(index, pass, text + " - remove the module", passed, failed);

    if (o_.json) {
        JsonContext c;
        c.shape = JsonShape::Station;
        c.runId = runId_;
        c.attempt = out.identity.attempt;
        c.duplicate = out.identity.duplicate;
        Json j = outcomeJson(out, c);
        if (out.duplicateFail) {
            j["result"] = "FAIL";
            j["code"] = linedb::kDuplicateCode;
            j["status"] = linedb::kDuplicateStatus;
            j["step"] = linedb::kDuplicateStep;
            j["cause"] = duplicateCause;
        }
        display_.print(jsonText(j), stdout);
    }
    if (!o_.onResult.empty()) {
        const HookOutcome h = runHook(
            o_.onResult,
            {port, pass ? "PASS" : "FAIL", out.devEUI,
             std::to_string(out.duplicateFail ? linedb::kDuplicateCode : exitStatusFor(out.status))},
            o_.onResultTimeout, &g_interrupted, [&] {
                display_.print("vorna-flash: " + port + ": waiting for the --on-result command " + o_.onResult +
                                   " to finish (at most " + std::to_string(o_.onResultTimeout) + " s after it began).",
                               stderr);
            });
        const std::string problem = hookProblem(o_.onResult, h, o_.onResultTimeout);
        if (!problem.empty())
            display_.print("vorna-flash: " + port + ": " + problem + " The station goes on.", stderr);
    }
}

void Station::loop(size_t index)
{
    const std::string& port = ports_[index];
    PortLocator where = [this, index] { return locate(index); };
    const std::unique_ptr<ModuleWatch> watch =
        boot_ ? makeResetWatch(where, o_.baud, *boot_,
                               [this, port](const std::string& hint) {
                                   display_.print("vorna-flash: " + port + ": " + hint, stderr);
                               })
              : makePollingWatch(where, o_.baud);
    // A started module is never reset again, so only its port, the jig's switch or the
    // operator can tell that it went.
    const bool watchStarted = o_.after != After::Stay || !o_.present.empty();
    Millis wait{0};
    while (!g_stop) {
        if (wait.count() && !pause(wait, g_stop))
            break;
        if (!o_.present.empty() && !waitPresent(index))
            break;
        display_.state(index, "waiting for a module");
        if (!watch->waitForModule(g_stop) || !claim())
            break;
        display_.state(index, "flashing", "module found, flashing");
        Outcome out = flash(index);
        if (out.cancelled) {
            display_.print(port + ": stopped before flashing; nothing was erased or written.", o_.json ? stderr : stdout);
            break;
        }
        if (out.sameInsertion) {
            unclaim();
            if (!insertion_[index].told) {
                insertion_[index].told = true;
                display_.print(port + ": the module with unique ID " + out.uniqueId +
                                   " answers again; it is the same insertion and is not flashed again.",
                               stderr);
            }
        } else {
            conclude(index, out);
            insertion_[index] = {out.uniqueId, false};
            wait = backoff(index, out);
        }
        // Never flashed twice in one insertion: the next one begins only once this one is out.
        const bool gone = watchStarted ? takenOut(index, out.held ? &out.held->link() : nullptr)
                                       : watch->waitUntilGone(g_stop);
        out.held.reset();
        if (!gone)
            break;
        if (watchStarted || watch->goneSure())
            insertion_[index] = {};
    }
    display_.state(index, "stopped");
}

void Station::printSummary(double seconds)
{
    std::FILE* out = o_.json ? stderr : stdout;
    std::ostringstream s;
    const auto causes = [](const PortTally& t) {
        std::string text;
        for (const auto& [name, n] : t.causes)
            text += (text.empty() ? " (" : ", ") + name + " " + std::to_string(n);
        return text.empty() ? text : text + ")";
    };
    PortTally all;
    s << "Yield of run " << runId_ << " over " << durationText(seconds) << ":\n";
    for (size_t i = 0; i < ports_.size(); ++i) {
        const PortTally& t = tallies_[i];
        s << "  " << ports_[i] << ": " << t.passed << " passed, " << t.failed << " failed" << causes(t) << "\n";
        all.passed += t.passed;
        all.failed += t.failed;
        for (const auto& [name, n] : t.causes)
            all.causes[name] += n;
    }
    const unsigned total = all.passed + all.failed;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", seconds > 0 ? total * 3600.0 / seconds : 0.0);
    s << "  all: " << all.passed << " passed, " << all.failed << " failed" << causes(all) << "; " << total
      << " modules, " << rate << " modules per hour";
    display_.print(s.str(), out);
}

int Station::run()
{
    if (!o_.logPath.empty()) {
        std::string why, text;
        log_.useStationColumns();
        if (!log_.open(o_.logPath, why)) {
            std::fprintf(stderr, "vorna-flash: %s\n", log_.refusal(o_.logPath, why).c_str());
            return EXIT_USAGE;
        }
        if (!log_.mendedNotice(o_.logPath).empty())
            std::fprintf(stderr, "vorna-flash: %s\n", log_.mendedNotice(o_.logPath).c_str());
        // Earlier rows tell which identities were flashed before; a new log has the station's columns.
        if (!log_.readNew(text, why) || !book_.loadLog(text.empty() ? BenchLog::header(true) : text, why)) {
            std::fprintf(stderr, "vorna-flash: The log file %s is not a station log: %s; give a new file to --log.\n",
                         o_.logPath.c_str(), why.c_str());
            return EXIT_USAGE;
        }
    }
    g_stop = false;
    g_interrupted = false;
    catchInterrupt();
    const auto started = Clock::now();
    display_.start(ports_, standardErrorIsTerminal(), o_.json ? stderr : stdout);
    if (db_)
        db_->line->startRetrying(
            std::chrono::seconds(3),
            [this](const linedb::Attempt& a, const linedb::Verdict& v) {
                const std::string text = lateLine(a, v);
                if (!text.empty())
                    display_.print("vorna-flash: " + text, stderr);
            },
            [this](const linedb::Backlog& b) { display_.notice(backlogLine(b)); });
    display_.print("Station run " + runId_ + ": " + std::to_string(ports_.size()) + (ports_.size() == 1 ? " port" : " ports") +
                       ", " + fw_.shownName + " (" + std::to_string(fw_.image->byteCount()) +
                       " bytes); Ctrl-C ends it.",
                   o_.json ? stderr : stdout);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ports_.size(); ++i)
        threads.emplace_back([this, i] { loop(i); });
    for (auto& t : threads)
        t.join();
    if (db_) {
        db_->line->finish(linedb::utcNowText());
        display_.notice({});
    }
    display_.finish();
    printSummary(std::chrono::duration<double>(Clock::now() - started).count());
    if (db_) {
        const linedb::Backlog b = db_->line->backlog();
        if (b.waiting)
            std::fprintf(stderr,
                         "vorna-flash: %s: the spool keeps them; the next station run with --db %s, or vorna-flash db "
                         "sync --db %s, writes them (the server said: %s).\n",
                         backlogLine(b).c_str(), o_.db.c_str(), o_.db.c_str(), b.reason.c_str());
    }
    int status = failures_.empty() ? EXIT_OK : combinedExitStatus(failures_);
    if (duplicateFailed_)
        status = std::max(status, int(linedb::kDuplicateCode));
    if (status != EXIT_OK)
        return status;
    return logFailed_ || dbFailed_ ? EXIT_USAGE : EXIT_OK;
}

}  // namespace

std::unique_ptr<ModuleWatch> makePollingWatch(PortLocator port, uint32_t baud)
{
    return std::make_unique<PollingWatch>(std::move(port), baud);
}

std::unique_ptr<ModuleWatch> makeResetWatch(PortLocator port, uint32_t baud, const vbprog::BootSequence& sequence,
                                            std::function<void(const std::string&)> say)
{
    return std::make_unique<ResetWatch>(std::move(port), baud, sequence, std::move(say));
}

std::string durationText(double seconds)
{
    const long s = long(seconds + 0.5);
    if (s >= 3600)
        return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
    if (s >= 60)
        return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s) + " s";
}

int runStation(const Options& options, const std::vector<std::string>& ports, const StationFirmware& firmware,
               const PortLister& list, LineDb* db)
{
    Station station(options, ports, firmware, list, db);
    return station.run();
}

}  // namespace vf
