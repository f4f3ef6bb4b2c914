// vbf-module-sim: a Vorna-Base module sitting in its STM32 UART bootloader, on a pty.
#include "bootloader.h"
#include "control.h"
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
#include <algorithm>
#include <memory>
#include <random>

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
    }

    // The first module carries the image and the given (or demo) identifiers; modules put
    // in later are fresh from the factory: erased flash, their own keys and unique ID.
    std::random_device entropy;
    auto randomBytes = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (auto &x : b)
            x = uint8_t(entropy());
        return b;
    };
    auto makeModule = [&](unsigned number, const ModuleRequest &req, std::string &err) -> std::unique_ptr<SimModule> {
        auto m = std::make_unique<SimModule>();
        m->number = number;
        m->memory = std::make_unique<Memory>(model);
        std::vector<uint8_t> keys, uid;
        if (!req.keysHex.empty() && !parseKeys(req.keysHex, keys)) {
            err = "keys need 64 hex digits";
            return nullptr;
        }
        if (!req.uidHex.empty() && !parseHex(req.uidHex, 24, uid)) {
            err = "uid needs 24 hex digits";
            return nullptr;
        }
        Faults faults = opts.faults;
        if (req.fault == "write-refused")
            faults.nackWrite = 1;
        else if (!req.fault.empty()) {
            err = "fault is write-refused";
            return nullptr;
        }
        if (number == 1) {
            if (!image.empty())
                m->memory->loadFlash(0, image);
            if (keys.empty() && image.size() <= KEYS_OFFSET)
                parseKeys(demoKeys, keys);
        } else {
            if (keys.empty())
                keys = randomBytes(32);
            if (uid.empty())
                uid = randomBytes(12);
        }
        if (!keys.empty())
            m->memory->loadFlash(KEYS_OFFSET, keys);
        if (!uid.empty()) {
            uint8_t u[12];
            std::copy(uid.begin(), uid.end(), u);
            m->memory->setUid(u);
        }
        uint8_t u[12];
        m->memory->uid(u);
        std::copy(std::begin(u), std::end(u), m->uid.begin());
        m->keysHex = req.keysHex;
        if (!opts.dump.empty())
            m->dumpPath = number == 1 ? opts.dump : opts.dump + "." + std::to_string(number);
        m->bl = std::make_unique<Bootloader>(*m->memory, opts.reportPid.value_or(opts.pid), faults);
        m->bl->onLog = [&log](const std::string &line) { log.line(line); };
        SimModule *raw = m.get();
        m->bl->onGo = [&log, raw](uint32_t) {
            if (!raw->dumpPath.empty() && !writeDump(raw->dumpPath, raw->memory->flash()))
                log.notice("Dump: cannot write " + raw->dumpPath + ": " + std::strerror(errno));
        };
        return m;
    };
    std::string err;
    auto first = makeModule(1, {opts.keys, opts.uid, {}}, err);
    if (!first) {
        std::fprintf(stderr, "vbf-module-sim: %s\n", err.c_str());
        return 2;
    }

    auto link = std::make_unique<PtyLink>();
    if (!link->open(error)) {
        std::fprintf(stderr, "vbf-module-sim: %s\n", error.c_str());
        return 1;
    }
    if (!opts.link.empty()) {
        ::unlink(opts.link.c_str()); // a stale link of an earlier run
        if (::symlink(link->slavePath().c_str(), opts.link.c_str()) != 0) {
            std::fprintf(stderr, "vbf-module-sim: cannot link %s: %s\n", opts.link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    ControlServer control;
    if (!opts.control.empty() && !control.open(opts.control, error)) {
        std::fprintf(stderr, "vbf-module-sim: %s\n", error.c_str());
        return 1;
    }

    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const std::string slave = link->slavePath();
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);
    char pidText[16];
    std::snprintf(pidText, sizeof pidText, "0x%03X", opts.pid);
    log.line(std::string("Module: ") + model.name + " (" + pidText + "), " +
             std::to_string(model.flash.size() / 1024) + " KiB flash, " + slave +
             (opts.baud ? ", " + std::to_string(opts.baud) + " baud timing" : std::string()));

    // A module taken out: its flash to its dump, its figures to the log.
    auto retire = [&](SimModule &m) {
        if (!m.dumpPath.empty() && !writeDump(m.dumpPath, m.memory->flash()))
            log.notice("Dump: cannot write " + m.dumpPath + ": " + std::strerror(errno));
        log.notice("Module " + std::to_string(m.number) + " taken out; its " + formatSummary(m.bl->stats()));
    };

    IoLoop loop(std::move(link), std::move(first), log, opts.baud, opts.idleTimeout);
    loop.setMaxBaud(opts.maxBaud);
    loop.setNoise(opts.noise);
    loop.setParityMarks(opts.parityMarks);
    loop.setWiring(opts.wiring, opts.startupMs / 1000.0);
    loop.setLatencyTimer(opts.latencyTimerMs);
    loop.setPresence(opts.presence);
    loop.setLinkPath(opts.link);
    if (opts.moduleEvent)
        loop.setModuleEvent(*opts.moduleEvent);
    if (control.isOpen())
        loop.setControl(&control);
    std::FILE *trace = nullptr;
    if (!opts.wireTrace.empty()) {
        trace = std::fopen(opts.wireTrace.c_str(), "w");
        if (!trace) {
            std::fprintf(stderr, "vbf-module-sim: cannot write %s: %s\n", opts.wireTrace.c_str(), std::strerror(errno));
            return 2;
        }
        // Buffered: a line costs well under a microsecond, far below a byte's time on the wire.
        static char traceBuffer[1 << 16];
        std::setvbuf(trace, traceBuffer, _IOFBF, sizeof traceBuffer);
        loop.setWireTrace(trace);
    }
    unsigned made = 1;
    loop.setModuleHooks(
        [&](const ModuleRequest &req, std::string &e) {
            // A refused insert takes no number: module N stays the N-th put in, its dump FILE.N.
            auto m = makeModule(made + 1, req, e);
            if (m)
                ++made;
            return m;
        },
        retire);
    const std::string reason = loop.run(stopPipe[0]);
    if (trace)
        std::fclose(trace);

    auto last = loop.takeModule();
    if (last && !last->dumpPath.empty() && !writeDump(last->dumpPath, last->memory->flash()))
        log.notice("Dump: cannot write " + last->dumpPath + ": " + std::strerror(errno));
    log.line("End: " + reason);
    if (last)
        log.summary(last->bl->stats());
    if (!loop.summary().empty())
        log.notice(loop.summary());
    if (opts.noise.active())
        log.notice("noise: " + loop.noise().summary());
    if (!opts.link.empty())
        ::unlink(opts.link.c_str());
    return reason == "signal" || reason == "idle timeout" ? 0 : 1;
}
