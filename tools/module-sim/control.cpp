#include "control.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vbsim {

ControlServer::~ControlServer()
{
    for (const Client &c : clients_)
        ::close(c.fd);
    if (listen_ >= 0) {
        ::close(listen_);
        ::unlink(path_.c_str());
    }
}

bool ControlServer::open(const std::string &path, std::string &error)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long: " + path;
        return false;
    }
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0) {
        error = std::string("control socket: ") + std::strerror(errno);
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str()); // a stale socket of an earlier run
    if (::bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listen_, 16) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(listen_);
        listen_ = -1;
        return false;
    }
    path_ = path;
    return true;
}

std::vector<int> ControlServer::fds() const
{
    std::vector<int> r;
    if (listen_ >= 0)
        r.push_back(listen_);
    for (const Client &c : clients_)
        r.push_back(c.fd);
    return r;
}

void ControlServer::service(int fd, const std::function<std::string(const std::string &)> &handler)
{
    if (fd == listen_) {
        for (;;) {
            const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            clients_.push_back({c, {}});
        }
    }
    auto it = std::find_if(clients_.begin(), clients_.end(), [fd](const Client &c) { return c.fd == fd; });
    if (it == clients_.end())
        return;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0 || it->in.size() > 64 * 1024) { // gone, or not speaking in lines
        ::close(fd);
        clients_.erase(it);
        return;
    }
    it->in.append(buf, size_t(n));
    size_t nl;
    while ((nl = it->in.find('\n')) != std::string::npos) {
        std::string line = it->in.substr(0, nl);
        it->in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string answer = handler(line) + "\n";
        // Answers are short and the client waits for each: a blocking write is safe.
        size_t off = 0;
        while (off < answer.size()) {
            const ssize_t w = ::send(fd, answer.data() + off, answer.size() - off, MSG_NOSIGNAL);
            if (w <= 0)
                break;
            off += size_t(w);
        }
    }
}

} // namespace vbsim
