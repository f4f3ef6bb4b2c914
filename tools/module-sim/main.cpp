// vbf-module-sim: a Vorna-Base module sitting in its STM32 UART bootloader, on a pty.
#include "bootloader.h"
#include "io_loop.h"
#include "memory.h"
#include "options.h"
#include "pty_link.h"
#include "sim_log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace vbsim;

namespace {

int stopPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(stopPipe[1], &c, 1);
}

// Demo identifiers of an unconfigured module: DevEUI, JoinEUI, AppKey.
const char *const demoKeys = "70b3d57ed005a1b2" "70b3d57ed0000001" "2b7e151628aed2a6abf7158809cf4f3c";
constexpr uint32_t KEYS_OFFSET = 0x7E0;

bool readFile(const std::string &path, std::vector<uint8_t> &data)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    data.assign(std::istreambuf_iterator<char>(f), {});
    return !f.bad();
}

// Written to a temporary name first so that a reader never sees half a dump.
bool writeDump(const std::string &path, const std::vector<uint8_t> &flash)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f)
            return false;
        f.write(reinterpret_cast<const char *>(flash.data()), std::streamsize(flash.size()));
        if (!f)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options opts;
    std::string error;
    if (!parseOptions(argc, argv, opts, error)) {
        if (!error.empty())
            std::fprintf(stderr, "vbf-module-sim: %s\n", error.c_str());
        std::fputs(usage().c_str(), stderr);
        return error.empty() ? 0 : 2;
    }

    SimLog log;
    if (!log.open(opts.logFile, opts.quiet)) {
        std::fprintf(stderr, "vbf-module-sim: cannot write log %s: %s\n", opts.logFile.c_str(), std::strerror(errno));
        return 2;
    }

    const DeviceModel &model = *findDeviceModel(opts.pid);
    Memory memory(model);
    std::vector<uint8_t> image;
    if (!opts.image.empty()) {
        if (!readFile(opts.image, image)) {
            std::fprintf(stderr, "vbf-module-sim: cannot read image %s\n", opts.image.c_str());
            return 2;
        }
        if (image.size() > model.flash.size()) {
            std::fprintf(stderr, "vbf-module-sim: image %s is larger than the %u KiB flash\n",
                         opts.image.c_str(), model.flash.size() / 1024);
            return 2;
        }
        memory.loadFlash(0, image);
    }
    std::vector<uint8_t> keys;
    if (!opts.keys.empty())
        parseKeys(opts.keys, keys);
    else if (image.size() <= KEYS_OFFSET)
        parseKeys(demoKeys, keys);
    if (!keys.empty())
        memory.loadFlash(KEYS_OFFSET, keys);

    PtyLink link;
    if (!link.open(error)) {
        std::fprintf(stderr, "vbf-module-sim: %s\n", error.c_str());
        return 1;
    }
    if (!opts.link.empty()) {
        ::unlink(opts.link.c_str()); // a stale link of an earlier run
        if (::symlink(link.slavePath().c_str(), opts.link.c_str()) != 0) {
            std::fprintf(stderr, "vbf-module-sim: cannot link %s: %s\n", opts.link.c_str(), std::strerror(errno));
            return 1;
        }
    }

    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Bootloader bl(memory, opts.reportPid.value_or(opts.pid), opts.faults);
    bl.onLog = [&log](const std::string &line) { log.line(line); };
    auto dump = [&]() {
        if (!opts.dump.empty() && !writeDump(opts.dump, memory.flash()))
            log.notice("Dump: cannot write " + opts.dump + ": " + std::strerror(errno));
    };
    bl.onGo = [&](uint32_t) { dump(); };

    std::printf("%s\n", link.slavePath().c_str());
    std::fflush(stdout);
    char pidText[16];
    std::snprintf(pidText, sizeof pidText, "0x%03X", opts.pid);
    log.line(std::string("Module: ") + model.name + " (" + pidText + "), " +
             std::to_string(model.flash.size() / 1024) + " KiB flash, " + link.slavePath() +
             (opts.baud ? ", " + std::to_string(opts.baud) + " baud timing" : std::string()));

    IoLoop loop(link, bl, log, opts.baud, opts.idleTimeout);
    loop.setMaxBaud(opts.maxBaud);
    loop.setNoise(opts.noise);
    const std::string reason = loop.run(stopPipe[0]);

    dump();
    log.line("End: " + reason);
    log.summary(bl.stats());
    if (opts.noise.active())
        log.notice("noise: " + loop.noise().summary());
    if (!opts.link.empty())
        ::unlink(opts.link.c_str());
    return reason == "signal" || reason == "idle timeout" ? 0 : 1;
}
