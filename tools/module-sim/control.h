// The control socket: a Unix-domain stream socket on which tests and the modem-line
// preload library change the module's inputs and ask its state, one line per command and
// one line per answer ("ok ..." or "error ...").
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vbsim {

class ControlServer {
public:
    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    bool open(const std::string &path, std::string &error);
    bool isOpen() const { return listen_ >= 0; }
    // The descriptors to poll for input: the listening socket and each client.
    std::vector<int> fds() const;
    // Accepts, reads and answers what is ready on `fd` (one of fds()).
    void service(int fd, const std::function<std::string(const std::string &)> &handler);

private:
    struct Client {
        int fd;
        std::string in;
    };
    int listen_ = -1;
    std::string path_;
    std::vector<Client> clients_;
};

} // namespace vbsim
