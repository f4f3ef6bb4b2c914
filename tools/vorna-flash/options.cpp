#include "options.h"

#include <algorithm>
#include <vector>

namespace vf {

namespace {

// The port record holds the name in 100 bytes, NUL included.
constexpr std::size_t MAX_PORT_NAME = 99;
// Rates a serial adapter could plausibly be asked for; whether it takes one is the port's word.
constexpr unsigned long MIN_BAUD = 1200;
constexpr unsigned long MAX_BAUD = 12000000;

bool parseBaud(const std::string& text, uint32_t& out)
{
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::stoul(text);
    if (v < MIN_BAUD || v > MAX_BAUD)
        return false;
    out = uint32_t(v);
    return true;
}

ParsedCommandLine failure(std::string text)
{
    ParsedCommandLine r;
    r.error = std::move(text);
    return r;
}

}  // namespace

const char* usageText()
{
    return "Usage:\n"
           "  vorna-flash ports\n"
           "  vorna-flash keys  (--port PORT ... | --all-ports) [--baud RATE] [--json] [--log FILE] [--verbose]\n"
           "  vorna-flash flash (--port PORT ... | --all-ports) [--baud RATE] FILE [--no-verify] [--json]\n"
           "                    [--log FILE] [--verbose]\n"
           "  vorna-flash --help\n"
           "\n"
           "Commands:\n"
           "  ports   list the serial ports, one a line: name, then a tab and the description\n"
           "          where the system gives one\n"
           "  keys    read the module's DevEUI, JoinEUI and AppKey through its UART bootloader\n"
           "  flash   download an Intel HEX file (or a .bin placed at 0x08000800) into the\n"
           "          application area, erasing the pages it touches and verifying by read-back;\n"
           "          the identifiers below 0x08000800 are never erased or written\n"
           "\n"
           "Options:\n"
           "  --port PORT   serial port of a module (8 data bits, even parity, 1 stop bit, no flow\n"
           "                control); give it several times to handle several modules at once,\n"
           "                each on its own thread\n"
           "  --all-ports   every port that vorna-flash ports lists\n"
           "  --baud RATE   line rate (default 115200); the bootloader takes its rate from the\n"
           "                first 0x7F after a reset, so after a failed attempt at one rate the\n"
           "                module must be reset before another rate can work\n"
           "  --json        print the result as JSON on standard output: one object for one\n"
           "                --port, an array of objects (each with \"port\") for several\n"
           "                keys:  {\"port\", \"device\": {\"name\", \"pid\"}, \"devEUI\", \"joinEUI\", \"appKey\"}\n"
           "                       or, on failure, {\"port\", \"result\", \"code\"}\n"
           "                flash: {\"result\", \"code\", \"bytes\", \"seconds\"}; bytes are those written,\n"
           "                       on failure those the module took before it\n"
           "  --no-verify   flash without reading the image back\n"
           "  --log FILE    append one CSV row per module (time, port, product ID, identifiers,\n"
           "                file, SHA-256, result, seconds); a new file gets a header row and\n"
           "                mode 0600 because it holds AppKeys\n"
           "  --verbose     show the programming library's messages on standard error\n"
           "  -h, --help    show this text\n"
           "  --version     show the version\n"
           "\n"
           "Exit status (for several modules: 0 when all succeeded, else the highest of the\n"
           "failed ones; a last line on standard error names each failed port):\n"
           "  0  success\n"
           "  1  usage error, or the log file cannot be written\n"
           "  2  the port cannot be opened, or the bootloader does not answer\n"
           "  3  the firmware file is missing, malformed, unsupported, or writes outside the\n"
           "     application area\n"
           "  4  a write was refused, or verification failed\n"
           "  5  any other device failure (erase failed, link lost, read protection, ...)\n";
}

const char* versionText()
{
    return "vorna-flash " VBF_VERSION "\n";
}

ParsedCommandLine parseCommandLine(int argc, const char* const* argv)
{
    Options o;
    bool haveCommand = false;
    bool havePort = false, haveLog = false, haveBaud = false, help = false, version = false, noVerify = false;
    bool optionsEnded = false;
    std::vector<std::string> operands;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!haveCommand) {
                if (arg == "ports")
                    o.command = Command::Ports;
                else if (arg == "keys")
                    o.command = Command::Keys;
                else if (arg == "flash")
                    o.command = Command::Flash;
                else
                    return failure("Unknown command \"" + arg + "\"; the commands are ports, keys and flash.");
                haveCommand = true;
            } else {
                operands.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto takeValue = [&](bool& seen) -> bool {
            if (seen)
                return false;
            seen = true;
            if (!inlineValue) {
                if (i + 1 >= argc)
                    return false;
                value = argv[++i];
            }
            return true;
        };
        if (name == "--port") {
            bool fresh = false;
            if (!takeValue(fresh))
                return failure("The option --port needs a port name, e.g. --port /dev/ttyUSB0.");
            if (value.empty() || value.size() > MAX_PORT_NAME)
                return failure("The port name must have 1 to 99 characters.");
            if (value.find('\0') != std::string::npos)
                return failure("The port name must not contain a NUL character.");
            if (std::find(o.ports.begin(), o.ports.end(), value) != o.ports.end())
                return failure("The port " + value + " is given twice; give each port once.");
            o.ports.push_back(value);
            havePort = true;
        } else if (name == "--baud") {
            if (haveBaud)
                return failure("The option --baud is given twice; give it once.");
            if (!takeValue(haveBaud) || !parseBaud(value, o.baud))
                return failure("The option --baud needs a rate from 1200 to 12000000, e.g. --baud 460800.");
        } else if (name == "--log") {
            if (haveLog)
                return failure("The option --log is given twice; give it once.");
            if (!takeValue(haveLog))
                return failure("The option --log needs a file name.");
            o.logPath = value;
        } else if (inlineValue) {
            return failure("The option " + name + " takes no value.");
        } else if (name == "--json") {
            o.json = true;
        } else if (name == "--all-ports") {
            o.allPorts = true;
        } else if (name == "--no-verify") {
            noVerify = true;
        } else if (name == "--verbose" || name == "-v") {
            o.verbose = true;
        } else if (name == "--help" || name == "-h") {
            help = true;
        } else if (name == "--version") {
            version = true;
        } else {
            return failure("Unknown option " + name + "; see vorna-flash --help.");
        }
    }

    if (help || version) {
        ParsedCommandLine r;
        r.ok = true;
        r.options.command = help ? Command::Help : Command::Version;
        return r;
    }
    if (!haveCommand)
        return failure("No command given; use vorna-flash ports, keys or flash (see vorna-flash --help).");

    const char* commandName = o.command == Command::Ports ? "ports" : o.command == Command::Keys ? "keys" : "flash";
    auto notFor = [&](const char* option) {
        return failure(std::string("The option ") + option + " does not apply to the " + commandName + " command.");
    };
    if (o.command == Command::Ports) {
        if (havePort)
            return notFor("--port");
        if (o.allPorts)
            return notFor("--all-ports");
        if (haveBaud)
            return notFor("--baud");
        if (haveLog)
            return notFor("--log");
        if (o.json)
            return notFor("--json");
    }
    if (o.command != Command::Flash && noVerify)
        return notFor("--no-verify");
    if (o.command != Command::Flash && !operands.empty())
        return failure(std::string("The ") + commandName + " command takes no file; remove \"" + operands[0] + "\".");

    if (o.command == Command::Keys || o.command == Command::Flash) {
        if (!havePort && !o.allPorts)
            return failure(std::string("The ") + commandName +
                           " command needs --port PORT (or --all-ports); vorna-flash ports lists the ports.");
        if (havePort && o.allPorts)
            return failure("Give either --port or --all-ports, not both.");
        if (haveLog && o.logPath.empty())
            return failure("The option --log needs a file name.");
    }
    if (o.command == Command::Flash) {
        if (operands.empty())
            return failure("The flash command needs the firmware file, e.g. vorna-flash flash --port PORT app.hex.");
        if (operands.size() > 1)
            return failure("The flash command takes one firmware file; \"" + operands[1] + "\" is one too many.");
        o.file = operands[0];
        o.verify = !noVerify;
    }

    ParsedCommandLine r;
    r.ok = true;
    r.options = o;
    return r;
}

}  // namespace vf
