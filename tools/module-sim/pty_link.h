// The module's serial port: the master side of a pseudo-terminal whose slave the client
// opens as if it were a USB-UART adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct pollfd;

namespace vbsim {

class PtyLink {
public:
    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    bool open(std::string &error);
    int fd() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }

    // True while no client has the slave open (after a client went away).
    bool clientGone();
    // Called once when the client has gone: throws away what the client left unread,
    // so the next client does not start with stale replies.
    void discardStaleOutput();
    // Waits until somebody opens the slave, one of `fds` has an event or `timeoutMs`
    // passes; true when the first of them (the stop pipe) became readable. A real
    // bootloader listens all the time, so the first byte of a new client must not wait
    // for a polling round.
    bool waitForClient(struct pollfd *fds, size_t count, int timeoutMs);

    // Non-blocking; -1 with errno set on failure, EIO once the client has gone.
    long read(uint8_t *buf, size_t len);
    long write(const uint8_t *buf, size_t len);

private:
    int master_ = -1;
    int opens_ = -1; // inotify on the slave's node; -1 where unavailable
    std::string slavePath_;
};

} // namespace vbsim
