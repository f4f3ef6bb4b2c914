#include "options.h"

#include "boot_sequence.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vf {

namespace {

// The port record holds the name in 100 bytes, NUL included.
constexpr std::size_t MAX_PORT_NAME = 99;
// Rates a serial adapter could plausibly be asked for; whether it takes one is the port's word.
constexpr unsigned long MIN_BAUD = 1200;
constexpr unsigned long MAX_BAUD = 12000000;
const char* const BAUD_SENTENCE = "The option --baud needs a rate from 1200 to 12000000, e.g. --baud 460800.";

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

// A whole number from 1 with at most `digits` digits, or 0.
unsigned positive(const std::string& text, size_t digits)
{
    if (text.empty() || text.size() > digits || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return unsigned(std::stoul(text));
}

ParsedCommandLine failure(std::string text)
{
    ParsedCommandLine r;
    r.error = std::move(text);
    return r;
}

// A command line refused, in the sentence the user sees.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the command line said, each option checked as CLI11 meets it.
struct Given {
    Options o;
    bool haveCommand = false;
    bool havePort = false, haveLog = false, haveBaud = false, help = false, version = false, noVerify = false;
    bool haveBoot = false, haveAfter = false, haveDtr = false, haveRts = false, haveHold = false;
    bool haveCount = false, haveOnResult = false, haveOnResultTimeout = false, havePresent = false;
    std::vector<std::string> operands;
};

// What CLI11 leaves over, in order: the command, the firmware file, the first "--" and
// whatever it does not know. After "--" everything is a word.
void takeWords(const std::vector<std::string>& words, Given& g)
{
    bool optionsEnded = false;
    for (const std::string& arg : words) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-')
            throw Refusal("Unknown option " + arg.substr(0, arg.find('=')) + "; see vorna-flash --help.");
        if (g.haveCommand) {
            g.operands.push_back(arg);
            continue;
        }
        if (arg == "ports")
            g.o.command = Command::Ports;
        else if (arg == "keys")
            g.o.command = Command::Keys;
        else if (arg == "flash")
            g.o.command = Command::Flash;
        else if (arg == "lines")
            g.o.command = Command::Lines;
        else if (arg == "station")
            g.o.command = Command::Station;
        else
            throw Refusal("Unknown command \"" + arg + "\"; the commands are ports, keys, flash, lines and station.");
        g.haveCommand = true;
    }
}

// The options that each command takes, and what it needs.
ParsedCommandLine checkCombination(Given& g)
{
    Options& o = g.o;
    if (g.help || g.version) {
        ParsedCommandLine r;
        r.ok = true;
        r.options.command = g.help ? Command::Help : Command::Version;
        return r;
    }
    if (!g.haveCommand)
        return failure("No command given; use vorna-flash ports, keys, flash, lines or station (see vorna-flash --help).");

    const char* commandName = o.command == Command::Ports   ? "ports"
                              : o.command == Command::Keys  ? "keys"
                              : o.command == Command::Lines ? "lines"
                              : o.command == Command::Flash ? "flash"
                                                            : "station";
    auto notFor = [&](const char* option) {
        return failure(std::string("The option ") + option + " does not apply to the " + commandName + " command.");
    };
    if (o.command == Command::Ports && g.havePort)
        return notFor("--port");
    // The lines command sets one port's lines; it talks to no module.
    if (o.command == Command::Ports || o.command == Command::Lines) {
        if (o.allPorts)
            return notFor("--all-ports");
        if (g.haveBaud)
            return notFor("--baud");
        if (g.haveLog)
            return notFor("--log");
        if (o.json)
            return notFor("--json");
    }
    // A station does everything flash does, the read-back included.
    if (o.command != Command::Flash && g.noVerify)
        return notFor("--no-verify");
    if (o.command != Command::Lines && (g.haveDtr || g.haveRts || g.haveHold))
        return notFor(g.haveDtr ? "--dtr" : g.haveRts ? "--rts" : "--hold");
    if ((o.command == Command::Ports || o.command == Command::Lines) && (g.haveBoot || g.haveAfter))
        return notFor(g.haveBoot ? "--boot" : "--after");
    if (o.command == Command::Lines) {
        if (!g.operands.empty())
            return failure("The lines command takes no file; remove \"" + g.operands[0] + "\".");
        if (o.ports.size() != 1)
            return failure("The lines command needs one --port PORT.");
        if (!g.haveDtr || !g.haveRts)
            return failure("The lines command needs --dtr 0|1 and --rts 0|1 (1 = asserted, the pin low on common "
                           "adapters).");
    }
    if (o.command == Command::Keys && o.after != After::Stay)
        return notFor("--after");
    if (o.after == After::Run && o.afterSteps.empty() && o.boot.empty())
        return failure("The option --after run needs --boot: the reset into the application uses the same wiring.");
    if (o.after == After::Run && o.afterSteps.empty() && o.boot.find('=') != std::string::npos)
        return failure("With a boot sequence of your own, give the reset into the application as steps too, e.g. "
                       "--after dtr=1+rts=1,wait=100,dtr=0.");
    if (o.command != Command::Station) {
        if (g.haveCount)
            return notFor("--count");
        if (g.haveOnResult)
            return notFor("--on-result");
        if (g.haveOnResultTimeout)
            return notFor("--on-result-timeout");
        if (g.havePresent)
            return notFor("--present");
    }
    const bool takesFile = o.command == Command::Flash || o.command == Command::Station;
    if (!takesFile && !g.operands.empty())
        return failure(std::string("The ") + commandName + " command takes no file; remove \"" + g.operands[0] + "\".");

    if (o.command != Command::Ports) {
        if (!g.havePort && !o.allPorts)
            return failure(std::string("The ") + commandName +
                           " command needs --port PORT (or --all-ports); vorna-flash ports lists the ports.");
        if (g.havePort && o.allPorts)
            return failure("Give either --port or --all-ports, not both.");
        if (g.haveLog && o.logPath.empty())
            return failure("The option --log needs a file name.");
    }
    if (takesFile) {
        if (g.operands.empty())
            return failure(std::string("The ") + commandName + " command needs the firmware file, e.g. vorna-flash " +
                           commandName + " --port PORT app.hex.");
        if (g.operands.size() > 1)
            return failure(std::string("The ") + commandName + " command takes one firmware file; \"" + g.operands[1] +
                           "\" is one too many.");
        o.file = g.operands[0];
        o.verify = !g.noVerify;
    }

    ParsedCommandLine r;
    r.ok = true;
    r.options = o;
    return r;
}

}  // namespace

const char* usageText()
{
    return "Usage:\n"
           "  vorna-flash ports\n"
           "  vorna-flash keys  (--port PORT ... | --all-ports) [--baud RATE] [--json] [--log FILE] [--verbose]\n"
           "  vorna-flash flash (--port PORT ... | --all-ports) [--baud RATE] FILE [--no-verify] [--json]\n"
           "                    [--log FILE] [--verbose] [--boot SEQ] [--after stay|run|go|SEQ]\n"
           "  vorna-flash station (--port PORT ... | --all-ports) [--baud RATE] FILE [--log FILE]\n"
           "                    [--json] [--count N] [--on-result PROGRAM [--on-result-timeout S]]\n"
           "                    [--boot SEQ] [--after stay|run|go|SEQ] [--present [!]cts|dsr|dcd|ri]\n"
           "  vorna-flash lines --port PORT --dtr 0|1 --rts 0|1 [--hold SECONDS]\n"
           "  vorna-flash --help\n"
           "\n"
           "Commands:\n"
           "  ports   list the serial ports, one a line: name, then a tab and the description\n"
           "          where the system gives one\n"
           "  keys    read the module's DevEUI, JoinEUI and AppKey through its UART bootloader\n"
           "  flash   download an Intel HEX file (or a .bin placed at 0x08000800) into the\n"
           "          application area, erasing the pages it touches and verifying by read-back;\n"
           "          the identifiers below 0x08000800 are never erased or written\n"
           "  lines   set DTR and RTS and hold them (default 10 s), to check a jig's wiring with a meter\n"
           "  station flash module after module, hands-free: each port waits for a module (its\n"
           "          port appearing, or its bootloader answering a 0x7F a few times a second),\n"
           "          flashes it as flash does, shows PASS or FAIL, logs it and waits until it is\n"
           "          taken out; Ctrl-C ends it (a module being flashed is finished first) with\n"
           "          a yield summary per port. With --boot a module is there when a reset into\n"
           "          its bootloader (once a second) is answered, and gone when two resets in a\n"
           "          row find none; --after starts each module that passed as flash does.\n"
           "          After --after run or go a module is never reset again: it is gone when its\n"
           "          port vanishes, when the --present input drops, or (with neither) when\n"
           "          Enter is pressed on the station's terminal. A module that answers again with\n"
           "          the unique ID it had is the same insertion and is not flashed again; a\n"
           "          port that fails the same way again and again waits longer between tries\n"
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
           "                       or, on failure, {\"port\", \"result\", \"status\", \"code\"}\n"
           "                flash: {\"result\", \"status\", \"code\", \"bytes\", \"seconds\"}; bytes are those\n"
           "                       written, on failure those the module took before it\n"
           "                \"code\" is the exit status (a number, as in the station's lines), \"status\"\n"
           "                and \"result\" its name\n"
           "  --no-verify   flash without reading the image back\n"
           "  --log FILE    append one CSV row per module (time, port, product ID, identifiers,\n"
           "                file, SHA-256, result, seconds); a new file gets a header row and\n"
           "                mode 0600 because it holds AppKeys\n"
           "  --count N     station: end after N modules in all\n"
           "  --on-result PROGRAM  station: run PROGRAM (no shell) after each module with the\n"
           "                arguments PORT PASS|FAIL DEVEUI EXIT-STATUS; one still running after\n"
           "                --on-result-timeout seconds (default 10) is killed\n"
           "                station: --json prints one object a line as each module ends, and the\n"
           "                --log row adds run_id, tool_version, attempt, failing_step,\n"
           "                unique_id and duplicate\n"
           "  --present [!]LINE  station: a jig switch on the adapter's cts, dsr, dcd or ri input\n"
           "                tells that a module is in (asserted; with !, active-low: de-asserted);\n"
           "                a module is flashed only while it is in, and gone once it drops\n"
           "  --verbose     show the programming library's messages on standard error\n"
           "  --boot SEQ    (keys, flash, station) reset the module into its bootloader through DTR\n"
           "                and RTS before the first 0x7F, then wait its start-up time; a silent module is\n"
           "                tried twice more with holds twice and four times as long. SEQ is a preset:\n"
           "                  direct      DTR drives NRST, RTS drives BOOT0\n"
           "                  inverted    the same through inverters\n"
           "                  auto-reset  the two-transistor circuit (RTS alone resets, DTR alone\n"
           "                              raises BOOT0)\n"
           "                or steps separated by commas: dtr=0|1, rts=0|1, both in one step as\n"
           "                dtr=1+rts=0, wait=MS; e.g. dtr=1+rts=0,wait=100,dtr=0.\n"
           "                1 means asserted, and an asserted line drives its pin LOW on common\n"
           "                adapters (FTDI, CP210x, CH340): dtr=1 holds a directly wired NRST in reset\n"
           "  --after WHAT  (flash, station) after a good download: stay (default) leaves the\n"
           "                bootloader running; run releases BOOT0 and resets the module so the new firmware\n"
           "                starts (needs --boot; with steps of your own give the steps instead of\n"
           "                run); go sends the bootloader's Go to 0x08000800 (no wiring needed)\n"
           "  --dtr 0|1, --rts 0|1, --hold SECONDS\n"
           "                (lines) the lines' states (1 = asserted = pin low on common adapters)\n"
           "                and how long to hold them, 1 to 3600 s\n"
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
    Given g;
    CLI::App app("", "vorna-flash");
    app.set_help_flag();  // --help prints our own text
    app.allow_extras();   // commands, files and unknown options come back in order

    // Each option is checked as CLI11 meets it, so that the first fault on the line is the one named.
    auto addFlag = [&](const std::string& names, const std::string& longName, bool& target) {
        // CLI11 hands a flag "true", or what followed its "=".
        app.add_option(names, [&target, longName](const CLI::results_t& r) {
               if (r.front() != "true")
                   throw Refusal("The option " + longName + " takes no value.");
               target = true;
               return true;
           })
            ->expected(0)
            ->trigger_on_parse();
    };
    // An option with a value: the sentence when the value is missing, and whether it may be given once only.
    struct ValueOption {
        std::string name, missing;
        bool* once;
    };
    std::vector<ValueOption> valueOptions;
    auto twice = [](const std::string& name) { return "The option " + name + " is given twice; give it once."; };
    auto addValue = [&](const std::string& name, std::string missing, bool* once,
                        std::function<void(const std::string&)> take) {
        valueOptions.push_back({name, std::move(missing), once});
        app.add_option(name, [=](const CLI::results_t& r) {
               if (once && *once)
                   throw Refusal(twice(name));
               if (once)
                   *once = true;
               take(r.front());
               return true;
           })
            ->trigger_on_parse();
    };

    addValue("--port", "The option --port needs a port name, e.g. --port /dev/ttyUSB0.", nullptr, [&](const std::string& v) {
        if (v.empty() || v.size() > MAX_PORT_NAME)
            throw Refusal("The port name must have 1 to 99 characters.");
        if (v.find('\0') != std::string::npos)
            throw Refusal("The port name must not contain a NUL character.");
        if (std::find(g.o.ports.begin(), g.o.ports.end(), v) != g.o.ports.end())
            throw Refusal("The port " + v + " is given twice; give each port once.");
        g.o.ports.push_back(v);
        g.havePort = true;
    });
    addValue("--baud", BAUD_SENTENCE, &g.haveBaud, [&](const std::string& v) {
        if (!parseBaud(v, g.o.baud))
            throw Refusal(BAUD_SENTENCE);
    });
    addValue("--log", "The option --log needs a file name.", &g.haveLog, [&](const std::string& v) { g.o.logPath = v; });
    addValue("--boot", "The option --boot needs a sequence: direct, inverted, auto-reset or steps.", &g.haveBoot,
             [&](const std::string& v) {
                 std::string why;
                 if (!vbprog::bootSequence(v, why))
                     throw Refusal(why);
                 g.o.boot = v;
             });
    addValue("--after", "The option --after needs stay, run, go or steps.", &g.haveAfter, [&](const std::string& v) {
        if (v == "stay" || v == "run" || v == "go") {
            g.o.after = v == "stay" ? After::Stay : v == "run" ? After::Run : After::Go;
            return;
        }
        if (v.find('=') == std::string::npos)
            throw Refusal("The option --after takes stay, run, go or steps such as dtr=1+rts=1,wait=100,dtr=0.");
        const vbprog::SequenceParse parsed = vbprog::parseSteps(v);
        if (!parsed.ok)
            throw Refusal("The sequence \"" + v + "\" of --after is refused: " + parsed.error + ".");
        g.o.after = After::Run;
        g.o.afterSteps = v;
    });
    auto lineState = [&](const char* name, bool& have, bool& target) {
        addValue(name, std::string("The option ") + name + " needs 0 (de-asserted) or 1 (asserted).", &have,
                 [&target, name](const std::string& v) {
                     if (v != "0" && v != "1")
                         throw Refusal(std::string("The option ") + name + " takes 0 (de-asserted) or 1 (asserted).");
                     target = v == "1";
                 });
    };
    lineState("--dtr", g.haveDtr, g.o.dtr);
    lineState("--rts", g.haveRts, g.o.rts);
    addValue("--hold", "The option --hold needs seconds from 1 to 3600.", &g.haveHold, [&](const std::string& v) {
        if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(v) < 1 || std::stoul(v) > 3600)
            throw Refusal("The option --hold needs seconds from 1 to 3600.");
        g.o.holdSeconds = unsigned(std::stoul(v));
    });
    addValue("--count", "The option --count needs a number of modules, e.g. --count 100.", &g.haveCount,
             [&](const std::string& v) {
                 if (!(g.o.count = positive(v, 9)))
                     throw Refusal("The option --count needs a number of modules from 1, e.g. --count 100.");
             });
    addValue("--on-result", "The option --on-result needs a program.", &g.haveOnResult, [&](const std::string& v) {
        if (v.empty())
            throw Refusal("The option --on-result needs a program.");
        g.o.onResult = v;
    });
    addValue("--on-result-timeout", "The option --on-result-timeout needs seconds, e.g. --on-result-timeout 5.",
             &g.haveOnResultTimeout, [&](const std::string& v) {
                 if (!(g.o.onResultTimeout = positive(v, 4)))
                     throw Refusal("The option --on-result-timeout needs seconds from 1 to 9999.");
             });
    addValue("--present", "The option --present needs an input: cts, dsr, dcd or ri (!dsr for active-low).",
             &g.havePresent, [&](const std::string& v) {
                 const bool low = !v.empty() && v[0] == '!';
                 const std::string line = low ? v.substr(1) : v;
                 if (line != "cts" && line != "dsr" && line != "dcd" && line != "ri")
                     throw Refusal("The option --present takes cts, dsr, dcd or ri, with a leading ! for an "
                                   "active-low switch, e.g. --present !dsr.");
                 g.o.present = line;
                 g.o.presentActiveLow = low;
             });
    addFlag("--json", "--json", g.o.json);
    addFlag("--all-ports", "--all-ports", g.o.allPorts);
    addFlag("--no-verify", "--no-verify", g.noVerify);
    addFlag("-v,--verbose", "--verbose", g.o.verbose);
    addFlag("-h,--help", "--help", g.help);
    addFlag("--version", "--version", g.version);

    try {
        try {
            app.parse(argc, argv);
        } catch (...) {
            // An unknown command or option before the fault is named first.
            takeWords(app.remaining(), g);
            throw;
        }
        takeWords(app.remaining(), g);
    } catch (const Refusal& r) {
        return failure(r.what());
    } catch (const CLI::ArgumentMismatch&) {
        // Only the last argument can lack its value.
        const std::string last = argv[argc - 1];
        const std::string name = last.substr(0, last.find('='));
        for (const ValueOption& v : valueOptions)
            if (v.name == name)
                return failure(v.once && *v.once ? twice(name) : v.missing);
        return failure("The option " + name + " needs a value; see vorna-flash --help.");
    } catch (const CLI::ParseError& e) {
        return failure(std::string(e.what()) + "; see vorna-flash --help.");
    }
    return checkCombination(g);
}

}  // namespace vf
