#include "io_loop.h"

#include "wire_clock.h"

#include <algorithm>
#include <map>
#include <set>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace vbsim {

namespace {

IoLoop::Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<IoLoop::Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

IoLoop::IoLoop(std::unique_ptr<PtyLink> link, std::unique_ptr<SimModule> module, SimLog &log, unsigned baud,
               double idleTimeout)
    : link_(std::move(link)), module_(std::move(module)), log_(log), idleTimeout_(idleTimeout)
{
    if (baud) {
        timed_ = true;
        byteTime_ = seconds(11.0 / baud); // start + 8 data + parity + stop
    }
}

long long IoLoop::sinceStart(Clock::time_point t) const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t - epoch_).count();
}

void IoLoop::setWiring(Wiring w, double startupSeconds)
{
    wiring_ = w;
    startup_ = seconds(startupSeconds);
    powerUp();
}

void IoLoop::powerUp()
{
    mode_ = Mode::Bootloader;
    if (wiring_ == Wiring::None)
        return;
    // Powered up with BOOT0 low: the application runs, unless NRST is held already.
    if (pins().nrstHigh)
        startApplication("at power-up");
    else
        mode_ = Mode::Reset;
}

static unsigned termiosRate(speed_t s)
{
    static const struct { speed_t code; unsigned rate; } rates[] = {
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B500000, 500000}, {B576000, 576000}, {B921600, 921600},
        {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
    };
    for (const auto &r : rates)
        if (r.code == s)
            return r.rate;
    return 0;
}

bool IoLoop::rateTaken()
{
    if (lockedOut_)
        return false;
    if (maxBaud_ == 0 || module_->bl->synchronised())
        return true;
    // termios requests on the master act on the slave: this is the rate the host set.
    termios t{};
    if (::tcgetattr(link_->fd(), &t) != 0)
        return true;
    const unsigned rate = termiosRate(::cfgetospeed(&t));
    if (rate <= maxBaud_)
        return true;
    lockedOut_ = true;
    log_.line("Sync: host at " + std::to_string(rate) + " baud, above this part's " + std::to_string(maxBaud_) +
              "; the rate is measured wrong and nothing is answered until a reset");
    return false;
}

void IoLoop::moduleEventDue()
{
    const ModuleEvent e = *event_;
    event_.reset();
    eventDone_ = Clock::now() + std::chrono::milliseconds(e.delayMs);
    if (e.kind == ModuleEvent::Swap) {
        log_.line("Module event: at " + e.command + " " + std::to_string(e.count) + " the module is swapped");
        removeModule(true);
        return;
    }
    // Whatever it was doing is cut off; the flash keeps what was programmed.
    log_.line("Module event: at " + e.command + " " + std::to_string(e.count) + " the module restarts");
    mode_ = Mode::Reset;
    lossNoted_ = false;
    tx_.clear();
    ++resets_;
}

void IoLoop::moduleEventDone()
{
    eventDone_.reset();
    if (!module_) {
        const std::string r = insertModule({});
        log_.line("Module event: " + r);
        return;
    }
    module_->bl->reset();
    mode_ = Mode::Bootloader;
    log_.line("Module event: bootloader ready again, waiting for 0x7F");
}

void IoLoop::toBootloader(uint8_t byte)
{
    Bootloader &bl = *module_->bl;
    bl.feed(byte);
    if (event_) {
        unsigned seen = 0;
        for (const auto &[name, n] : bl.stats().commands)
            if (countsCommand(event_->command, name))
                seen += n;
        if (seen >= event_->count) {
            moduleEventDue();
            return;
        }
    }
    if (bl.applicationRunning() && mode_ == Mode::Bootloader)
        startApplication("by Go");
    Clock::time_point t = timed_ ? rxDone_ : Clock::now();
    std::vector<bool> parity;
    for (const ReplyChunk &c : bl.takeReply()) {
        if (timed_)
            t = std::max(t, txFree_) + seconds(c.busySeconds);
        for (uint8_t b : c.bytes) {
            // A dropped byte still took its time on the wire; an inserted one takes its own.
            const std::vector<uint8_t> arrived = noise_.apply(Direction::ToHost, &b, 1, &noiseEvents_, &parity);
            if (arrived.empty() && timed_)
                t = txFree_ = std::max(txFree_, t) + byteTime_;
            for (size_t k = 0; k < arrived.size(); ++k) {
                if (timed_)
                    t = txFree_ = std::max(txFree_, t) + byteTime_;
                tx_.push_back({t, arrived[k], bool(parity[k])});
            }
        }
    }
}

void IoLoop::settle(Clock::time_point at)
{
    if (mode_ == Mode::Starting && at >= startedAt_ + startup_) {
        mode_ = Mode::Bootloader;
        log_.line("Bootloader ready, waiting for 0x7F");
    }
}

bool IoLoop::accepting(Clock::time_point at)
{
    settle(at);
    if (mode_ == Mode::Bootloader)
        return true;
    ++lostBytes_;
    if (!lossNoted_) {
        lossNoted_ = true;
        static const char *const why[] = {"", "bootloader still starting", "held in reset", "application running",
                                          "no module"};
        log_.line(std::string("Bytes lost: ") + why[int(mode_)]);
    }
    return false;
}

void IoLoop::received(const uint8_t *data, size_t len, Clock::time_point now)
{
    for (size_t i = 0; i < len; ++i) {
        // The device has a byte only once its last bit is on the wire.
        rxDone_ = std::max(rxDone_, now) + byteTime_;
        if (!accepting(timed_ ? rxDone_ : now) || !rateTaken())
            continue;
        if (!noise_.active()) {
            toBootloader(data[i]);
            continue;
        }
        // Noise is applied to the bytes themselves; the simulated bootloader takes a byte with
        // a parity error as it is. Toward the host a pty cannot carry the mark a UART would set (with
        // PARMRK the tty layer only doubles a literal 0xFF): --parity-marks lists those bytes.
        const std::vector<uint8_t> arrived = noise_.apply(Direction::ToModule, &data[i], 1, &noiseEvents_);
        for (size_t k = 0; k < arrived.size(); ++k) {
            if (k > 0)
                rxDone_ += byteTime_; // an inserted byte is a frame of its own
            toBootloader(arrived[k]);
        }
    }
    logNoise();
}

void IoLoop::logNoise()
{
    for (const std::string &e : noiseEvents_)
        log_.line(e);
    noiseEvents_.clear();
}

IoLoop::Clock::time_point IoLoop::bridgeTick(Clock::time_point t) const
{
    // The bridge's timer runs on from its last hand-over; with nothing pending it only
    // sends status, so a byte waits for the next expiry.
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(bridgeMs()));
    if (t <= bridgeEpoch_)
        return bridgeEpoch_;
    const auto n = (t - bridgeEpoch_ + period - Clock::duration(1)) / period;
    return bridgeEpoch_ + n * period;
}

std::optional<IoLoop::Clock::time_point> IoLoop::nextRelease() const
{
    if (tx_.empty())
        return std::nullopt;
    if (!bridgeMs())
        return tx_.front().due;
    constexpr size_t packet = 62;
    const Clock::time_point tick = bridgeTick(tx_.front().due);
    if (tx_.size() >= packet && tx_[packet - 1].due < tick)
        return tx_[packet - 1].due;
    return tick;
}

void IoLoop::markParityErrors(size_t n)
{
    if (parityMarks_.empty())
        return;
    std::string lines;
    for (size_t k = 0; k < n; ++k)
        if (tx_[k].parityError)
            lines += std::to_string(handedOver_ + k) + "\n";
    if (lines.empty())
        return;
    // Appended whole and closed before the bytes go out: the reader sees the mark first. A
    // write that takes only part of the bytes marks the rest again next time, at the same place.
    if (FILE *f = std::fopen(parityMarks_.c_str(), "a")) {
        std::fputs(lines.c_str(), f);
        std::fclose(f);
    }
}

void IoLoop::flushDue(Clock::time_point now)
{
    uint8_t chunk[512];
    while (!tx_.empty()) {
        size_t n = 0;
        if (bridgeMs()) {
            const auto release = nextRelease();
            if (!release || *release > now)
                return;
            // A full packet, or all that is pending when the timer ran out.
            const bool full = tx_.size() >= 62 && tx_[61].due <= *release;
            while (n < tx_.size() && n < (full ? 62 : sizeof chunk) && tx_[n].due <= *release)
                chunk[n] = tx_[n].byte, ++n;
            bridgeEpoch_ = *release;
        } else {
            while (n < tx_.size() && n < sizeof chunk && tx_[n].due <= now)
                chunk[n] = tx_[n].byte, ++n;
        }
        if (n == 0)
            return;
        markParityErrors(n);
        const long w = link_->write(chunk, n);
        if (w <= 0)
            return; // full or gone: try again on the next round
        handedOver_ += uint64_t(w);
        if (trace_)
            std::fprintf(trace_, "tx %lld %ld %lld %lld\n", sinceStart(Clock::now()), w, sinceStart(tx_.front().due),
                         sinceStart(tx_[size_t(w) - 1].due));
        tx_.erase(tx_.begin(), tx_.begin() + w);
    }
}

Pins IoLoop::pins() const
{
    Pins p = wiredPins(wiring_, dtr_, rts_);
    if (forcedNrst_)
        p.nrstHigh = *forcedNrst_;
    if (forcedBoot0_)
        p.boot0High = *forcedBoot0_;
    return p;
}

void IoLoop::startApplication(const std::string &how)
{
    mode_ = Mode::Application;
    lossNoted_ = false;
    ++appRuns_;
    log_.line("Application started " + how + " (run " + std::to_string(appRuns_) + ")");
}

void IoLoop::applyPins(Clock::time_point now)
{
    if (mode_ == Mode::Absent)
        return;
    const Pins p = pins();
    if (!p.nrstHigh) {
        if (mode_ != Mode::Reset) {
            // The UART stops with the core: what was still to be sent is lost.
            mode_ = Mode::Reset;
            lossNoted_ = false;
            tx_.clear();
            ++resets_;
            log_.line("NRST low: held in reset");
        }
        return;
    }
    if (mode_ != Mode::Reset)
        return;
    lossNoted_ = false;
    module_->bl->reset();
    lockedOut_ = false;
    if (p.boot0High) {
        mode_ = Mode::Starting;
        startedAt_ = now;
        log_.line("NRST released with BOOT0 high: bootloader starting");
    } else {
        startApplication("by NRST released with BOOT0 low");
    }
}

void IoLoop::clientClosed()
{
    // The last close of a serial tty lowers DTR and RTS: HUPCL is set by default there. A
    // pty starts without HUPCL, so its flag says nothing about the client; assume the default.
    if (dtr_ || rts_) {
        dtr_ = rts_ = false;
        log_.line("Lines: DTR and RTS de-asserted on close");
        applyPins(Clock::now());
    }
}

namespace {

bool parseBit(const std::string &v, bool &out)
{
    if (v == "0" || v == "1") {
        out = v == "1";
        return true;
    }
    return false;
}

std::string hexText(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string r;
    for (size_t i = 0; i < n; ++i) {
        r += d[p[i] >> 4];
        r += d[p[i] & 15];
    }
    return r;
}

} // namespace

std::string IoLoop::linesText() const
{
    std::string r = std::string("dtr=") + (dtr_ ? "1" : "0") + " rts=" + (rts_ ? "1" : "0");
    if (presence_.line != StatusLine::None)
        r += std::string(" ") + statusLineName(presence_.line) + "=" + ((module_ != nullptr) != presence_.activeLow ? "1" : "0");
    return r;
}

std::string IoLoop::stateText() const
{
    static const char *const modes[] = {"bootloader", "starting", "reset", "application", "absent"};
    const Pins p = pins();
    std::string r = std::string("state=") + modes[int(mode_)];
    r += " module=" + (module_ ? std::to_string(module_->number) : std::string("none"));
    r += std::string(" wiring=") + wiringName(wiring_) + " " + linesText();
    r += std::string(" nrst=") + (p.nrstHigh ? "1" : "0") + " boot0=" + (p.boot0High ? "1" : "0");
    r += " app-runs=" + std::to_string(appRuns_) + " resets=" + std::to_string(resets_);
    r += " lost=" + std::to_string(lostBytes_);
    r += std::string(" synced=") + (module_ && module_->bl->synchronised() ? "1" : "0");
    r += std::string(" low-latency=") + (lowLatency_ ? "1" : "0") + " latency-ms=" + std::to_string(bridgeMs());
    r += std::string(" port=") + (link_ ? link_->slavePath() : std::string("none"));
    if (module_)
        r += " uid=" + hexText(module_->uid.data(), module_->uid.size());
    return r;
}

std::string IoLoop::command(const std::string &line)
{
    std::vector<std::string> words;
    for (size_t i = 0; i < line.size();) {
        const size_t j = line.find(' ', i);
        const std::string w = line.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (!w.empty())
            words.push_back(w);
        if (j == std::string::npos)
            break;
        i = j + 1;
    }
    if (words.empty())
        return "error empty command";
    const std::string verb = words[0];
    std::map<std::string, std::string> args;
    std::vector<std::string> flags;
    for (size_t i = 1; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq == std::string::npos)
            flags.push_back(words[i]);
        else
            args[words[i].substr(0, eq)] = words[i].substr(eq + 1);
    }
    const auto unknown = [&](const std::set<std::string> &known) -> std::string {
        for (const auto &[k, v] : args)
            if (!known.count(k))
                return "error " + verb + ": unknown argument " + k;
        return {};
    };
    const Clock::time_point now = Clock::now();
    settle(now);

    if (verb == "ping")
        return "ok";
    if (verb == "state")
        return "ok " + stateText();
    if (verb == "noise")
        return noise_.active() ? "ok " + noise_.summary() : std::string("ok off");
    if (verb == "lines" || verb == "open") {
        if (verb == "open") {
            // Opening a tty raises DTR and RTS.
            dtr_ = rts_ = true;
            log_.line("Lines: DTR and RTS asserted on open");
            applyPins(now);
            return "ok " + linesText();
        }
        if (std::string e = unknown({"dtr", "rts"}); !e.empty())
            return e;
        bool dtr = dtr_, rts = rts_;
        if ((args.count("dtr") && !parseBit(args["dtr"], dtr)) || (args.count("rts") && !parseBit(args["rts"], rts)))
            return "error lines: a line is 0 (de-asserted) or 1 (asserted)";
        if (dtr != dtr_ || rts != rts_) {
            // Both change at once, as one TIOCMSET does.
            dtr_ = dtr;
            rts_ = rts;
            log_.line("Lines: " + linesText());
            applyPins(now);
        }
        return "ok " + linesText();
    }
    if (verb == "pins") {
        if (std::string e = unknown({"nrst", "boot0"}); !e.empty())
            return e;
        for (const char *pin : {"nrst", "boot0"}) {
            if (!args.count(pin))
                continue;
            std::optional<bool> &f = std::string(pin) == "nrst" ? forcedNrst_ : forcedBoot0_;
            bool level = false;
            if (args[pin] == "wired")
                f.reset();
            else if (parseBit(args[pin], level))
                f = level;
            else
                return std::string("error pins: ") + pin + " is 0, 1 or wired";
        }
        applyPins(now);
        const Pins p = pins();
        return std::string("ok nrst=") + (p.nrstHigh ? "1" : "0") + " boot0=" + (p.boot0High ? "1" : "0");
    }
    if (verb == "serial") {
        if (std::string e = unknown({"low-latency"}); !e.empty())
            return e;
        if (args.count("low-latency")) {
            bool on = false;
            if (!parseBit(args["low-latency"], on))
                return "error serial: low-latency is 0 or 1";
            if (on != lowLatency_) {
                lowLatency_ = on;
                log_.line(std::string("Bridge: low latency ") + (on ? "on" : "off") + ", latency timer " +
                          (bridgeMs() ? std::to_string(bridgeMs()) + " ms" : std::string("none")));
            }
        }
        return std::string("ok low-latency=") + (lowLatency_ ? "1" : "0") + " latency-ms=" + std::to_string(bridgeMs());
    }
    if (verb == "remove") {
        if (std::string e = unknown({}); !e.empty())
            return e;
        const bool keepPort = flags.size() == 1 && flags[0] == "keep-port";
        if (!flags.empty() && !keepPort)
            return "error remove: only keep-port may follow";
        return removeModule(keepPort);
    }
    if (verb == "insert") {
        if (std::string e = unknown({"keys", "uid", "fault"}); !e.empty())
            return e;
        return insertModule({args["keys"], args["uid"], args["fault"]});
    }
    return "error unknown command " + verb;
}

std::string IoLoop::removeModule(bool keepPort)
{
    if (!module_)
        return "error remove: no module is in";
    const unsigned number = module_->number;
    log_.line("Module " + std::to_string(number) + " taken out" +
              (keepPort ? ", the adapter stays" : ", its port goes with it") + "; application-runs " +
              std::to_string(appRuns_) + ", resets " + std::to_string(resets_));
    if (retired_)
        retired_(*module_);
    module_.reset();
    mode_ = Mode::Absent;
    tx_.clear();
    if (!keepPort && link_) {
        // The adapter is unplugged: its device node and the link to it vanish.
        if (!linkPath_.empty())
            ::unlink(linkPath_.c_str());
        link_.reset();
        dtr_ = rts_ = false;
    }
    return "ok module=" + std::to_string(number) + " port=" + (link_ ? "kept" : "gone");
}

std::string IoLoop::insertModule(const ModuleRequest &req)
{
    if (module_)
        return "error insert: module " + std::to_string(module_->number) + " is in; remove it first";
    if (!makeModule_)
        return "error insert: not available";
    std::string error;
    std::unique_ptr<SimModule> m = makeModule_(req, error);
    if (!m)
        return "error insert: " + error;
    if (!link_) {
        auto link = std::make_unique<PtyLink>();
        if (!link->open(error))
            return "error insert: " + error;
        if (!linkPath_.empty()) {
            ::unlink(linkPath_.c_str());
            if (::symlink(link->slavePath().c_str(), linkPath_.c_str()) != 0)
                return "error insert: cannot link " + linkPath_ + ": " + std::strerror(errno);
        }
        link_ = std::move(link);
        clientPresent_ = true; // looked at again on the next round
    }
    module_ = std::move(m);
    appRuns_ = resets_ = 0;
    lostBytes_ = 0;
    lossNoted_ = false;
    lockedOut_ = false;
    powerUp();
    std::vector<uint8_t> keys;
    module_->memory->read(0x080007E0, 32, keys);
    log_.line("Module " + std::to_string(module_->number) + " put in on " + link_->slavePath() + ", uid " +
              hexText(module_->uid.data(), module_->uid.size()));
    return "ok module=" + std::to_string(module_->number) + " port=" + link_->slavePath() +
           " uid=" + hexText(module_->uid.data(), module_->uid.size()) + " keys=" + hexText(keys.data(), keys.size());
}

std::string IoLoop::summary() const
{
    std::string r;
    if (wiring_ != Wiring::None || resets_)
        r += "resets: " + std::to_string(resets_) + "\n";
    if (appRuns_)
        r += "application-runs: " + std::to_string(appRuns_) + "\n";
    if (!r.empty())
        r.pop_back(); // the log adds the line end
    return r;
}

std::string IoLoop::run(int stopFd)
{
    // The default 50 us of timer slack would make every release late by about half a
    // byte's time at 115200 baud.
    if (timed_)
        ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    Clock::time_point lastByte = Clock::now();
    uint8_t buf[4096];
    std::vector<pollfd> fds;
    const auto serviceControl = [&](size_t first) {
        if (!control_)
            return;
        for (size_t i = first; i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                lastByte = Clock::now(); // a test at work is not idle
                control_->service(fds[i].fd, [this](const std::string &l) { return command(l); });
            }
    };
    const auto addControl = [&]() {
        if (control_)
            for (int fd : control_->fds())
                fds.push_back({fd, POLLIN, 0});
    };
    for (;;) {
        Clock::time_point now = Clock::now();
        if (idleTimeout_ > 0 && now - lastByte >= seconds(idleTimeout_))
            return "idle timeout";
        if (eventDone_ && now >= *eventDone_)
            moduleEventDone();

        if (link_ && link_->clientGone()) {
            if (clientPresent_) {
                clientPresent_ = false;
                // Replies nobody listens to are lost on the wire; do not hand them to the
                // next client.
                tx_.clear();
                link_->discardStaleOutput();
                log_.line("Link: client closed the port");
                clientClosed();
            }
            // The master reports hang-up until a client opens the slave again, so it
            // cannot be polled; wait for the open itself, and look again now and then.
            fds.clear();
            fds.push_back({stopFd, POLLIN, 0});
            addControl();
            if (link_->waitForClient(fds.data(), fds.size(), 200))
                return "signal";
            serviceControl(1);
            continue;
        }
        if (link_ && !clientPresent_) {
            clientPresent_ = true;
            log_.line(std::string("Link: client opened the port, bootloader ") +
                      (module_ && module_->bl->synchronised() ? "still synchronised" : "waiting for 0x7F"));
        }

        // Woken to the nanosecond: rounded to whole milliseconds, every answer would reach
        // the host up to a millisecond later than the wire delivers it.
        const auto release = nextRelease();
        // The answer's last byte: the host acts on it at once, so its time is waited out
        // awake. The bytes before it only need to be in by then.
        const bool answerEnd = release && tx_.back().due <= *release;
        const timespec wait =
            waitForDue(now, release,
                       eventDone_ ? std::clamp<Clock::duration>(*eventDone_ - now, Clock::duration::zero(),
                                                                std::chrono::milliseconds(200))
                                  : Clock::duration(std::chrono::milliseconds(200)),
                       answerEnd ? kWakeAhead : Clock::duration::zero());
        // Ask for POLLOUT only when a due byte could not be written, or poll would spin.
        const bool blocked = release && *release <= now;
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({link_ ? link_->fd() : -1, short(POLLIN | (blocked ? POLLOUT : 0)), 0});
        addControl();
        const int r = ::ppoll(fds.data(), nfds_t(fds.size()), &wait, nullptr);
        if (r < 0 && errno != EINTR)
            return std::string("poll: ") + std::strerror(errno);
        if (r > 0 && (fds[0].revents & POLLIN))
            return "signal";
        now = Clock::now();
        if (r > 0 && link_ && (fds[1].revents & POLLIN)) {
            const long n = link_->read(buf, sizeof buf);
            if (n > 0) {
                lastByte = now;
                if (trace_)
                    std::fprintf(trace_, "rx %lld %ld\n", sinceStart(now), n);
                if (module_)
                    received(buf, size_t(n), now);
            }
        }
        if (r > 0)
            serviceControl(2);
        if (link_)
            flushDue(Clock::now());
    }
}

} // namespace vbsim
