#include "io_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace vbsim {

namespace {

IoLoop::Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<IoLoop::Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

IoLoop::IoLoop(PtyLink &link, Bootloader &bl, SimLog &log, unsigned baud, double idleTimeout)
    : link_(link), bl_(bl), log_(log), idleTimeout_(idleTimeout)
{
    if (baud) {
        timed_ = true;
        byteTime_ = seconds(11.0 / baud); // start + 8 data + parity + stop
    }
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
    if (maxBaud_ == 0 || bl_.synchronised())
        return true;
    // termios requests on the master act on the slave: this is the rate the host set.
    termios t{};
    if (::tcgetattr(link_.fd(), &t) != 0)
        return true;
    const unsigned rate = termiosRate(::cfgetospeed(&t));
    if (rate <= maxBaud_)
        return true;
    lockedOut_ = true;
    log_.line("Sync: host at " + std::to_string(rate) + " baud, above this part's " + std::to_string(maxBaud_) +
              "; the rate is measured wrong and nothing is answered until a reset");
    return false;
}

void IoLoop::toBootloader(uint8_t byte)
{
    bl_.feed(byte);
    Clock::time_point t = timed_ ? rxDone_ : Clock::now();
    for (const ReplyChunk &c : bl_.takeReply()) {
        if (timed_)
            t = std::max(t, txFree_) + seconds(c.busySeconds);
        for (uint8_t b : c.bytes) {
            // A dropped byte still took its time on the wire; an inserted one takes its own.
            const std::vector<uint8_t> arrived = noise_.apply(Direction::ToHost, &b, 1, &noiseEvents_);
            if (arrived.empty() && timed_)
                t = txFree_ = std::max(txFree_, t) + byteTime_;
            for (uint8_t a : arrived) {
                if (timed_)
                    t = txFree_ = std::max(txFree_, t) + byteTime_;
                tx_.push_back({t, a});
            }
        }
    }
}

void IoLoop::received(const uint8_t *data, size_t len, Clock::time_point now)
{
    if (!rateTaken())
        return;
    for (size_t i = 0; i < len; ++i) {
        // The device has a byte only once its last bit is on the wire.
        rxDone_ = std::max(rxDone_, now) + byteTime_;
        if (!noise_.active()) {
            toBootloader(data[i]);
            continue;
        }
        // Noise is applied to the bytes themselves. A real UART would also flag a parity
        // error, but a pty cannot carry that mark to the host (with PARMRK set the tty layer
        // only doubles a literal 0xFF), so damaged bytes reach either side as plain wrong bytes.
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

void IoLoop::flushDue(Clock::time_point now)
{
    uint8_t chunk[512];
    while (!tx_.empty()) {
        size_t n = 0;
        while (n < tx_.size() && n < sizeof chunk && tx_[n].due <= now)
            chunk[n] = tx_[n].byte, ++n;
        if (n == 0)
            return;
        const long w = link_.write(chunk, n);
        if (w <= 0)
            return; // full or gone: try again on the next round
        tx_.erase(tx_.begin(), tx_.begin() + w);
    }
}

std::string IoLoop::run(int stopFd)
{
    Clock::time_point lastByte = Clock::now();
    uint8_t buf[4096];
    for (;;) {
        Clock::time_point now = Clock::now();
        if (idleTimeout_ > 0 && now - lastByte >= seconds(idleTimeout_))
            return "idle timeout";

        if (link_.clientGone()) {
            if (clientPresent_) {
                clientPresent_ = false;
                // Replies nobody listens to are lost on the wire; do not hand them to the
                // next client.
                tx_.clear();
                link_.discardStaleOutput();
                log_.line("Link: client closed the port");
            }
            // The master reports hang-up until a client opens the slave again, so it
            // cannot be polled; wait for the open itself, and look again now and then.
            if (link_.waitForClient(stopFd, 200))
                return "signal";
            continue;
        }
        if (!clientPresent_) {
            clientPresent_ = true;
            log_.line(std::string("Link: client opened the port, bootloader ") +
                      (bl_.synchronised() ? "still synchronised" : "waiting for 0x7F"));
        }

        int timeoutMs = 200;
        if (!tx_.empty()) {
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(tx_.front().due - now);
            timeoutMs = wait.count() <= 0 ? 0 : int(std::min<long long>(200, (wait.count() + 999) / 1000));
        }
        // Ask for POLLOUT only when a due byte could not be written, or poll would spin.
        const bool blocked = !tx_.empty() && tx_.front().due <= now;
        pollfd fds[2] = {{link_.fd(), short(POLLIN | (blocked ? POLLOUT : 0)), 0}, {stopFd, POLLIN, 0}};
        // Sub-millisecond due times: poll cannot wait that finely, sleep instead.
        if (!tx_.empty() && timeoutMs <= 1 && tx_.front().due > now) {
            std::this_thread::sleep_until(tx_.front().due);
            timeoutMs = 0;
        }
        const int r = ::poll(fds, 2, timeoutMs);
        if (r < 0 && errno != EINTR)
            return std::string("poll: ") + std::strerror(errno);
        if (r > 0 && (fds[1].revents & POLLIN))
            return "signal";
        now = Clock::now();
        if (r > 0 && (fds[0].revents & POLLIN)) {
            const long n = link_.read(buf, sizeof buf);
            if (n > 0) {
                lastByte = now;
                received(buf, size_t(n), now);
            }
        }
        flushDue(Clock::now());
    }
}

} // namespace vbsim
