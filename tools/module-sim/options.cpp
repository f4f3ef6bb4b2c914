#include "options.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace vbsim {

namespace {

bool parseUnsigned(const std::string &s, uint64_t max, uint64_t &out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0); // 0x.. or decimal
    if (errno || *end || v > max)
        return false;
    out = v;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string usage()
{
    return "usage: vbf-module-sim [--link PATH] [--pid 0x497|0x447|0x410] [--report-pid HEX]\n"
           "                      [--image FILE] [--keys HEX64] [--dump FILE] [--baud N]\n"
           "                      [--max-baud N] [--idle-timeout SECONDS] [--log FILE] [--quiet] [--wire-trace FILE]\n"
           "                      [--fault-no-sync] [--fault-nack-write K] [--fault-corrupt-read ADDR]\n"
           "                      [--fault-stop-after N] [--fault-rdp] [--fault-corrupt-read-times N]\n"
           "                      [--fault-id-once PID] [--fault-erase-page P] [--fault-stray-ack K]\n"
           "                      [--fault-nack-command K] [--fault-nack-write-once K] [--fault-lose-write-ack K]\n"
           "                      [--fault-double-ack-read ADDR]\n"
           "                      [--noise-seed N] [--noise-ber RATE] [--noise-drop RATE] [--noise-insert RATE]\n"
           "                      [--parity-marks FILE]\n"
           "                      [--control PATH] [--wiring W] [--startup-ms MS] [--latency-timer MS] [--uid HEX24]\n"
           "\n"
           "line noise (off unless a rate is given; applied to both directions, the same damage for\n"
           "the same seed; counted per direction in the log's summary):\n"
           "  --noise-seed N        seed of the noise (default 1)\n"
           "  --noise-ber RATE      probability that a data bit arrives flipped, e.g. 1.5e-6\n"
           "  --noise-drop RATE     probability per byte that it is lost\n"
           "  --noise-insert RATE   probability per byte that a spurious byte follows it\n"
           "  --parity-marks FILE   appends the position (from 0) of each byte to the host with an odd\n"
           "                        number of flipped bits, which the host's UART flags (even parity),\n"
           "                        before the byte goes out; for a stand-in serial driver to mark it\n"
           "bench (each off unless asked for):\n"
           "  --control PATH        a Unix-domain socket taking line commands (one answer line each):\n"
           "                        ping; state; noise (the counts so far); open (a tty open asserts\n"
           "                        DTR and RTS; the client's last close lowers both again);\n"
           "                        lines [dtr=0|1] [rts=0|1] (1 = asserted, both change at once);\n"
           "                        pins [nrst=0|1|wired] [boot0=0|1|wired] (a level forced over the wiring);\n"
           "                        serial [low-latency=0|1]; remove [keep-port]; insert [keys=HEX64] [uid=HEX24]\n"
           "                        [fault=write-refused]\n"
           "  --wiring W            how DTR and RTS reach NRST and BOOT0 (an asserted line drives its\n"
           "                        pin LOW): none (default: BOOT0 strapped high, nothing on NRST, always\n"
           "                        in the bootloader) | direct (DTR->NRST, RTS->BOOT0) | inverted (the\n"
           "                        same through inverters) | auto-reset (the two-transistor circuit: RTS\n"
           "                        alone pulls NRST low, DTR alone drives BOOT0 high, both or neither\n"
           "                        leave them alone). With a wiring the module starts in the application;\n"
           "                        NRST low drops every byte; its release starts the bootloader if BOOT0\n"
           "                        is high, else the application (never answers, counted)\n"
           "  --startup-ms MS       bootloader start-up after a reset, bytes sent in it are lost (default 40)\n"
           "  --latency-timer MS    a USB bridge that hands answers on when 62 bytes are pending or this\n"
           "                        timer runs out (16 is the common default); low latency (TIOCSSERIAL's\n"
           "                        ASYNC_LOW_LATENCY through the control socket) makes it 1 ms\n"
           "  --uid HEX24           the 96-bit unique device ID, its 12 bytes in address order, at the\n"
           "                        family's place (L0: words at +0, +4, +0x14); default a fixed one,\n"
           "                        random for modules put in later\n"
           "  --swap-at CMD:N[:MS]  at the N-th command CMD (get-id, read, write, erase, go) module 1 is\n"
           "                        taken out, the adapter staying, and a fresh module (its own keys\n"
           "                        and unique ID) is put in MS later (default 500)\n"
           "  --reset-at CMD:N[:MS] the same, but the module itself restarts (a brown-out): its flash kept,\n"
           "                        its bootloader waiting for 0x7F again MS later\n"
           "  --dump FILE           the flash at Go and at the end; module N>1 (after insert) to FILE.N\n"
           "  --wire-trace FILE     one line per pty read (rx NS COUNT) and write (tx NS COUNT DUE-FIRST-NS\n"
           "                        DUE-LAST-NS), nanoseconds on the simulator's clock from its start; with\n"
           "                        --baud the due times are when the wire delivers those bytes\n"
           "faults:\n"
           "  --fault-erase-page P  the first page erase hits page P (any page, also below the\n"
           "                        identifiers at 0x080007E0) instead of the first page asked\n"
           "  --fault-nack-write K  the K-th Write Memory is refused, and so is every later one at its address\n"
           "  --fault-nack-write-once K  the K-th Write Memory's data frame is refused once (nothing written)\n"
           "  --fault-lose-write-ack K   the K-th Write Memory is programmed but its ACK is lost\n"
           "jig:\n"
           "  --presence [!]LINE    a presence switch on the adapter's cts|dsr|dcd|ri input: asserted\n"
           "                        while a module is in (with !, de-asserted), the other way once it is\n"
           "                        taken out; the control socket's lines answer reports it\n";
}

bool parseKeys(const std::string &hex, std::vector<uint8_t> &out)
{
    return parseHex(hex, 64, out);
}

bool parseHex(const std::string &hex, size_t digits, std::vector<uint8_t> &out)
{
    if (hex.size() != digits)
        return false;
    out.clear();
    for (size_t i = 0; i < digits; i += 2) {
        const int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

bool parseOptions(int argc, char **argv, Options &o, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string &v) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t &n) {
            std::string v;
            if (!value(v))
                return false;
            if (!parseUnsigned(v, max, n)) {
                error = "bad value for " + a + ": " + v;
                return false;
            }
            return true;
        };
        // Product IDs and addresses are hex even without the 0x.
        auto hexNumber = [&](uint64_t max, uint64_t &n) {
            std::string v;
            if (!value(v))
                return false;
            const std::string h = v.rfind("0x", 0) == 0 || v.rfind("0X", 0) == 0 ? v : "0x" + v;
            if (!parseUnsigned(h, max, n)) {
                error = "bad value for " + a + ": " + v;
                return false;
            }
            return true;
        };
        uint64_t n = 0;
        if (a == "--link") {
            if (!value(o.link)) return false;
        } else if (a == "--pid") {
            if (!hexNumber(0xFFF, n)) return false;
            if (!findDeviceModel(uint16_t(n))) {
                error = "no memory model for --pid " + std::string(argv[i]) + " (0x497, 0x447, 0x410)";
                return false;
            }
            o.pid = uint16_t(n);
        } else if (a == "--report-pid") {
            if (!hexNumber(0xFFFF, n)) return false;
            o.reportPid = uint16_t(n);
        } else if (a == "--image") {
            if (!value(o.image)) return false;
        } else if (a == "--keys") {
            if (!value(o.keys)) return false;
            std::vector<uint8_t> k;
            if (!parseKeys(o.keys, k)) {
                error = "--keys needs 64 hex digits";
                return false;
            }
        } else if (a == "--dump") {
            if (!value(o.dump)) return false;
        } else if (a == "--baud") {
            if (!number(10000000, n)) return false;
            if (n == 0) {
                error = "--baud must be positive";
                return false;
            }
            o.baud = unsigned(n);
        } else if (a == "--max-baud") {
            if (!number(10000000, n)) return false;
            o.maxBaud = unsigned(n);
        } else if (a == "--idle-timeout") {
            std::string v;
            if (!value(v)) return false;
            char *end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(d >= 0)) {
                error = "bad value for --idle-timeout: " + v;
                return false;
            }
            o.idleTimeout = d;
        } else if (a == "--log") {
            if (!value(o.logFile)) return false;
        } else if (a == "--wire-trace") {
            if (!value(o.wireTrace)) return false;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--fault-no-sync") {
            o.faults.noSync = true;
        } else if (a == "--fault-nack-write") {
            if (!number(0xFFFFFFFF, n)) return false;
            if (n == 0) {
                error = "--fault-nack-write counts from 1";
                return false;
            }
            o.faults.nackWrite = unsigned(n);
        } else if (a == "--fault-corrupt-read") {
            if (!hexNumber(0xFFFFFFFF, n)) return false;
            o.faults.corruptRead = uint32_t(n);
        } else if (a == "--fault-stop-after") {
            if (!number(0xFFFFFFFF, n)) return false;
            o.faults.stopAfter = unsigned(n);
        } else if (a == "--fault-corrupt-read-times") {
            if (!number(0xFFFFFFFF, n)) return false;
            o.faults.corruptReadTimes = unsigned(n);
        } else if (a == "--fault-id-once") {
            if (!hexNumber(0xFFFF, n)) return false;
            o.faults.idOnce = uint16_t(n);
        } else if (a == "--fault-erase-page") {
            if (!number(0xFFFF, n)) return false;
            o.faults.erasePageInstead = uint32_t(n);
        } else if (a == "--fault-double-ack-read") {
            if (!hexNumber(0xFFFFFFFF, n)) return false;
            o.faults.doubleAckRead = uint32_t(n);
        } else if (a == "--fault-stray-ack") {
            if (!number(0xFFFFFFFF, n)) return false;
            if (n == 0) {
                error = "--fault-stray-ack counts from 1";
                return false;
            }
            o.faults.strayAck = unsigned(n);
        } else if (a == "--fault-nack-write-once" || a == "--fault-lose-write-ack") {
            if (!number(0xFFFFFFFF, n)) return false;
            if (n == 0) {
                error = a + " counts from 1";
                return false;
            }
            (a == "--fault-lose-write-ack" ? o.faults.loseWriteAck : o.faults.nackWriteOnce) = unsigned(n);
        } else if (a == "--fault-nack-command") {
            if (!number(0xFFFFFFFF, n)) return false;
            if (n == 0) {
                error = "--fault-nack-command counts from 1";
                return false;
            }
            o.faults.nackCommand = unsigned(n);
        } else if (a == "--fault-rdp") {
            o.faults.readoutProtected = true;
        } else if (a == "--noise-seed") {
            if (!number(UINT64_MAX, n)) return false;
            o.noise.seed = n;
        } else if (a == "--noise-ber" || a == "--noise-drop" || a == "--noise-insert") {
            std::string v;
            if (!value(v)) return false;
            char *end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(d >= 0 && d <= 1)) {
                error = "bad value for " + a + " (a probability from 0 to 1): " + v;
                return false;
            }
            (a == "--noise-ber" ? o.noise.bitErrorRate : a == "--noise-drop" ? o.noise.dropRate : o.noise.insertRate) = d;
        } else if (a == "--parity-marks") {
            if (!value(o.parityMarks)) return false;
        } else if (a == "--control") {
            if (!value(o.control)) return false;
        } else if (a == "--wiring") {
            std::string v;
            if (!value(v)) return false;
            if (!parseWiring(v, o.wiring)) {
                error = "--wiring is none, direct, inverted or auto-reset, not " + v;
                return false;
            }
        } else if (a == "--startup-ms") {
            if (!number(10000, n)) return false;
            o.startupMs = double(n);
        } else if (a == "--latency-timer") {
            if (!number(255, n)) return false;
            o.latencyTimerMs = unsigned(n);
        } else if (a == "--uid") {
            if (!value(o.uid)) return false;
            std::vector<uint8_t> u;
            if (!parseHex(o.uid, 24, u)) {
                error = "--uid needs 24 hex digits";
                return false;
            }
        } else if (a == "--swap-at" || a == "--reset-at") {
            std::string v;
            ModuleEvent e;
            if (!value(v) || !parseModuleEvent(v, a == "--swap-at" ? ModuleEvent::Swap : ModuleEvent::Reset, e, error))
                return false;
            o.moduleEvent = e;
        } else if (a == "--presence") {
            std::string v;
            if (!value(v)) return false;
            if (!parsePresence(v, o.presence)) {
                error = "--presence is cts, dsr, dcd or ri, active-low with a leading !, not " + v;
                return false;
            }
        } else if (a == "--help" || a == "-h") {
            error.clear();
            return false;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

} // namespace vbsim
