#include "pty_link.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace vbsim {

PtyLink::~PtyLink()
{
    if (opens_ >= 0)
        ::close(opens_);
    if (master_ >= 0)
        ::close(master_);
}

bool PtyLink::open(std::string &error)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char *name = ::ptsname(master_);
    if (!name) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);

    // Raw 8-bit line on the slave, as a UART adapter presents it; termios requests on the
    // master act on the slave. A client sets its own mode anyway.
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B57600);
        ::tcsetattr(master_, TCSANOW, &t);
    }

    opens_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens_ >= 0 && ::inotify_add_watch(opens_, slavePath_.c_str(), IN_OPEN) < 0) {
        ::close(opens_);
        opens_ = -1;
    }
    return true;
}

bool PtyLink::waitForClient(pollfd *fds, size_t count, int timeoutMs)
{
    std::vector<pollfd> p(fds, fds + count);
    if (opens_ >= 0)
        p.push_back({opens_, POLLIN, 0});
    // Without the watch, polling rounds are all there is: keep them short.
    const int r = ::poll(p.data(), nfds_t(p.size()), opens_ >= 0 ? timeoutMs : (timeoutMs < 20 ? timeoutMs : 20));
    for (size_t i = 0; i < count; ++i)
        fds[i].revents = r > 0 ? p[i].revents : 0;
    if (r > 0 && (p[0].revents & POLLIN))
        return true;
    if (opens_ >= 0) {
        // Our own open in discardStaleOutput() lands here too; the caller looks again.
        char events[4096];
        while (::read(opens_, events, sizeof events) > 0) {
        }
    }
    return false;
}

bool PtyLink::clientGone()
{
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & POLLHUP) && !(p.revents & POLLIN);
}

void PtyLink::discardStaleOutput()
{
    // Bytes written to the master wait in the slave's input queue until somebody reads
    // them. Open the slave for a moment and flush that queue.
    const int s = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s >= 0) {
        ::tcflush(s, TCIOFLUSH);
        ::close(s);
    }
}

long PtyLink::read(uint8_t *buf, size_t len)
{
    return long(::read(master_, buf, len));
}

long PtyLink::write(const uint8_t *buf, size_t len)
{
    return long(::write(master_, buf, len));
}

} // namespace vbsim
