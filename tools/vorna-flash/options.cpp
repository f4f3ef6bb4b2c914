#include "options.h"

#include "boot_sequence.h"
#include "port_names.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <map>
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
const char* const COMMANDS =
    "the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
// The most one read takes in: far above any flash of the device table.
constexpr unsigned long long MAX_READ = 16ull * 1024 * 1024;

ParsedCommandLine failure(std::string text)
{
    ParsedCommandLine r;
    r.error = std::move(text);
    return r;
}

// A command line refused, in the sentence the user sees.
struct Refusal : CLI::ParseError {
    explicit Refusal(std::string sentence) : CLI::ParseError(std::move(sentence), CLI::ExitCodes::ValidationError) {}
};

std::string twice(const std::string& name)
{
    return "The option " + name + " is given twice; give it once.";
}

// A check of CLI11's that answers with our sentence.
CLI::Validator refusing(const CLI::Validator& check, std::string sentence)
{
    return CLI::Validator(
        [check, sentence](std::string& value) { return check(value).empty() ? std::string() : sentence; }, "");
}

// A check of our own: empty when `ok` holds for the value, else the sentence.
CLI::Validator refusing(std::function<bool(const std::string&)> ok, std::string sentence)
{
    return CLI::Validator([ok, sentence](std::string& value) { return ok(value) ? std::string() : sentence; }, "");
}

// Plain decimal digits only: no sign, no 0x, no blanks, at most `most` of them; leading
// zeros count as digits but not as octal, which is how CLI11 would read them.
CLI::Validator decimal(std::size_t most, unsigned long low, unsigned long high, const std::string& sentence)
{
    const CLI::Validator range = CLI::Range(low, high);
    return CLI::Validator(
        [=](std::string& v) {
            if (v.empty() || v.size() > most || v.find_first_not_of("0123456789") != std::string::npos)
                return sentence;
            std::string number = v.substr(std::min(v.find_first_not_of('0'), v.size() - 1));
            return range(number).empty() ? std::string() : sentence;
        },
        "");
}

// An address or a size: decimal, or hexadecimal after 0x; at most `high`.
bool number32(const std::string& v, unsigned long long high, uint32_t& out)
{
    const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const std::string digits = hex ? v.substr(2) : v;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    const unsigned long long n = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (n > high)
        return false;
    out = uint32_t(n);
    return true;
}

// The first word CLI11 must not see: the "--" that no option takes as its value. Inside a
// command CLI11 would hand the words after it back to the main command's options. Marks in
// `values` the words that options take.
int optionsEnd(const CLI::App& app, int argc, const char* const* argv, std::vector<bool>& values)
{
    values.assign(std::size_t(argc), false);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            return i;
        if (arg.rfind("--", 0) != 0)
            continue;
        const std::size_t eq = arg.find('=');
        const CLI::Option* opt = app.get_option_no_throw(arg.substr(0, eq));
        // "--log=" takes the next word, as "--log" does.
        if (opt && opt->get_expected_min() > 0 && (eq == std::string::npos || eq + 1 == arg.size()) && ++i < argc)
            values[std::size_t(i)] = true;
    }
    return argc;
}

// What CLI11 left over, the words after "--" last: unknown options (before "--"), an unknown
// command, or files. `commandAt` is how many came before the command.
struct Words {
    std::vector<std::string> beforeEnd, afterEnd;
    std::size_t commandAt = std::string::npos;
};

// The first unknown option or command among the words, in their order; the command's files
// land in `operands`, the command found after "--" in `command`.
void takeWords(CLI::App& app, const Words& w, const CLI::App*& command, std::vector<std::string>& operands)
{
    for (std::size_t i = 0; i < w.beforeEnd.size(); ++i) {
        const std::string& arg = w.beforeEnd[i];
        if (arg.size() > 1 && arg[0] == '-')
            throw Refusal("Unknown option " + arg.substr(0, arg.find('=')) + "; see vorna-flash --help.");
        if (i < w.commandAt)
            throw Refusal("Unknown command \"" + arg + "\"; " + COMMANDS);
        operands.push_back(arg);
    }
    for (const std::string& arg : w.afterEnd) {
        if (command) {
            operands.push_back(arg);
            continue;
        }
        const auto named = app.get_subcommands([&arg](CLI::App* sub) { return sub->check_name(arg); });
        if (named.empty())
            throw Refusal("Unknown command \"" + arg + "\"; " + COMMANDS);
        command = named.front();
    }
}

// Which commands take an option; checked in this order, so that the first one is named.
enum : unsigned {
    PORTS = 1u << unsigned(Command::Ports),
    KEYS = 1u << unsigned(Command::Keys),
    FLASH = 1u << unsigned(Command::Flash),
    LINES = 1u << unsigned(Command::Lines),
    STATION = 1u << unsigned(Command::Station),
    VERIFY = 1u << unsigned(Command::Verify),
    READ = 1u << unsigned(Command::Read),
    TALKING = KEYS | FLASH | STATION,  // those that talk to a module and log it
    READING = VERIFY | READ,           // those that only read a module
    RELEASE = 1u << unsigned(Command::Release),
    HISTORY = 1u << unsigned(Command::History),
    REPORT = 1u << unsigned(Command::Report),
    EXPORT = 1u << unsigned(Command::Export),
    DBSYNC = 1u << unsigned(Command::DbSync),
    LOOKING = RELEASE | HISTORY | REPORT | EXPORT | DBSYNC,  // the database alone, no port
};
struct Scope {
    const char* option;
    unsigned commands;
};
// A station does everything flash does, the read-back included; the lines command sets one
// port's lines and talks to no module.
const Scope GENERAL_SCOPES[] = {
    {"--port", ~unsigned(PORTS | LOOKING)}, {"--all-ports", TALKING | VERIFY},    {"--baud", TALKING | READING},
    {"--log", TALKING},                     {"--json", TALKING | VERIFY | PORTS}, {"--no-verify", FLASH},
    {"--dtr", LINES},                       {"--rts", LINES},                     {"--hold", LINES},
    {"--boot", TALKING | READING},          {"--after", TALKING},                 {"--address", FLASH | STATION | VERIFY},
    {"--from", READ},                       {"--size", READ},
};
const Scope STATION_SCOPES[] = {
    {"--count", STATION}, {"--on-result", STATION}, {"--on-result-timeout", STATION}, {"--present", STATION}};
const Scope DB_SCOPES[] = {{"--db", TALKING | LOOKING}, {"--on-duplicate", STATION}, {"--any-firmware", FLASH | STATION},
                           {"--name", RELEASE},        {"--since", REPORT | EXPORT}, {"--html", REPORT},
                           {"--format", EXPORT},       {"--output", EXPORT}};

// What the command line said, once CLI11 has read it.
struct Given {
    Options o;
    const CLI::App* command = nullptr;
    bool help = false, version = false, noVerify = false;
    std::vector<std::string> operands;
};

ParsedCommandLine accepted(const Options& o)
{
    ParsedCommandLine r;
    r.ok = true;
    r.options = o;
    return r;
}

// release, history, report, export and db: the database and their own words.
ParsedCommandLine checkDatabaseCommand(Given& g, const std::string& commandName, bool haveDb)
{
    Options& o = g.o;
    const std::vector<std::string>& w = g.operands;
    if (!haveDb)
        return failure("The " + commandName + " command needs --db URL, e.g. --db sqlite:line.db.");
    switch (o.command) {
    case Command::Release:
        if (w.empty() || (w[0] != "add" && w[0] != "list"))
            return failure("The release command needs add FILE or list, e.g. vorna-flash release add app.hex --db URL.");
        o.releaseAdd = w[0] == "add";
        if (o.releaseAdd && w.size() != 2)
            return failure(w.size() < 2 ? "The release add command needs the firmware file."
                                        : "The release add command takes one firmware file; \"" + w[2] +
                                              "\" is one too many.");
        if (!o.releaseAdd && w.size() > 1)
            return failure("The release list command takes nothing more; remove \"" + w[1] + "\".");
        if (!o.releaseAdd && !o.releaseName.empty())
            return failure("The option --name belongs to release add.");
        if (o.releaseAdd)
            o.file = w[1];
        break;
    case Command::History:
        if (w.size() != 1)
            return failure("The history command needs one DevEUI (16 hex digits) or unique ID (24 hex digits).");
        o.key = w[0];
        std::transform(o.key.begin(), o.key.end(), o.key.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if ((o.key.size() != 16 && o.key.size() != 24) || o.key.find_first_not_of("0123456789abcdef") != std::string::npos)
            return failure("The history command needs a DevEUI (16 hex digits) or a unique ID (24 hex digits); \"" + w[0] +
                           "\" is neither.");
        break;
    case Command::Export:
        if (o.format.empty())
            return failure("The export command needs --format tts-csv or --format jsonl.");
        [[fallthrough]];
    case Command::Report:
        if (!w.empty())
            return failure("The " + commandName + " command takes no file; remove \"" + w[0] + "\".");
        break;
    case Command::DbSync:
        if (w.size() != 1 || w[0] != "sync")
            return failure("The db command has one action: vorna-flash db sync --db URL.");
        break;
    default:
        break;
    }
    return accepted(o);
}

// The options that each command takes, and what it needs.
ParsedCommandLine checkCombination(const CLI::App& app, Given& g)
{
    Options& o = g.o;
    if (g.help || g.version) {
        ParsedCommandLine r;
        r.ok = true;
        r.options.command = g.help ? Command::Help : Command::Version;
        return r;
    }
    if (!g.command)
        return failure("No command given; use vorna-flash ports, keys, flash, verify, read, lines or station, or "
                       "release, history, report, export or db for the line's database (see vorna-flash --help).");

    const std::string commandName = g.command->get_name();
    const unsigned bit = 1u << unsigned(o.command);
    auto given = [&](const char* option) { return app.get_option(option)->count() > 0; };
    auto notFor = [&](const char* option) {
        return failure(std::string("The option ") + option + " does not apply to the " + commandName + " command.");
    };
    for (const Scope& s : GENERAL_SCOPES)
        if (!(s.commands & bit) && given(s.option))
            return notFor(s.option);
    const bool havePort = given("--port");
    if (o.command == Command::Lines) {
        if (!g.operands.empty())
            return failure("The lines command takes no file; remove \"" + g.operands[0] + "\".");
        if (o.ports.size() != 1)
            return failure("The lines command needs one --port PORT.");
        if (!given("--dtr") || !given("--rts"))
            return failure("The lines command needs --dtr 0|1 and --rts 0|1 (1 = asserted, the pin low on common "
                           "adapters).");
    }
    // Only stay, the default, is no start at all.
    if (o.command == Command::Keys && o.after != After::Stay)
        return notFor("--after");
    if (o.after == After::Run && o.afterSteps.empty() && o.boot.empty())
        return failure("The option --after run needs --boot: the reset into the application uses the same wiring.");
    if (o.after == After::Run && o.afterSteps.empty() && o.boot.find('=') != std::string::npos)
        return failure("With a boot sequence of your own, give the reset into the application as steps too, e.g. "
                       "--after dtr=1+rts=1,wait=100,dtr=0.");
    for (const Scope& s : STATION_SCOPES)
        if (!(s.commands & bit) && given(s.option))
            return notFor(s.option);
    for (const Scope& s : DB_SCOPES)
        if (!(s.commands & bit) && given(s.option))
            return notFor(s.option);
    if (bit & LOOKING)
        return checkDatabaseCommand(g, commandName, given("--db"));
    if (o.anyFirmware && o.db.empty())
        return failure("The option --any-firmware needs --db: without the line's database there is no release to "
                       "override.");
    if (o.command == Command::Read) {
        if (!havePort)
            return failure("The read command needs --port PORT; vorna-flash ports lists the ports.");
        if (o.ports.size() > 1)
            return failure("The read command reads one module; give one --port PORT.");
        if (!given("--from") || !given("--size"))
            return failure("The read command needs --from ADDRESS and --size BYTES, e.g. --from 0x08000000 --size 0x800.");
        if (uint64_t(o.readFrom) + o.readSize > 0x100000000ull)
            return failure("The read command's --from and --size reach past the end of the 32-bit address space.");
        if (g.operands.empty())
            return failure("The read command needs the output file, e.g. vorna-flash read --port PORT --from 0x08000800 "
                           "--size 4096 app.bin.");
        if (g.operands.size() > 1)
            return failure("The read command takes one output file; \"" + g.operands[1] + "\" is one too many.");
        if (!g.operands.empty())
            o.outFile = g.operands[0];
    }
    const bool takesFile = o.command == Command::Flash || o.command == Command::Station || o.command == Command::Verify;
    if (!takesFile && o.command != Command::Read && !g.operands.empty())
        return failure("The " + commandName + " command takes no file; remove \"" + g.operands[0] + "\".");

    if (o.command != Command::Ports) {
        if (!havePort && !o.allPorts)
            return failure("The " + commandName +
                           " command needs --port PORT (or --all-ports); vorna-flash ports lists the ports.");
        if (havePort && o.allPorts)
            return failure("Give either --port or --all-ports, not both.");
        if (given("--log") && o.logPath.empty())
            return failure("The option --log needs a file name.");
    }
    if (takesFile) {
        if (g.operands.empty())
            return failure("The " + commandName + " command needs the firmware file, e.g. vorna-flash " +
                           commandName + " --port PORT app.hex.");
        if (g.operands.size() > 1)
            return failure("The " + commandName + " command takes one firmware file; \"" + g.operands[1] +
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
           "  vorna-flash ports [--json]\n"
           "  vorna-flash keys  (--port PORT ... | --all-ports) [--baud RATE] [--json] [--log FILE] [--verbose]\n"
           "  vorna-flash flash (--port PORT ... | --all-ports) [--baud RATE] FILE [--no-verify] [--json]\n"
           "                    [--log FILE] [--verbose] [--boot SEQ] [--after stay|run|go|SEQ]\n"
           "                    [--address ADDR]\n"
           "  vorna-flash verify (--port PORT ... | --all-ports) [--baud RATE] FILE [--address ADDR]\n"
           "                    [--json] [--verbose] [--boot SEQ]\n"
           "  vorna-flash read --port PORT --from ADDR --size BYTES OUT [--baud RATE] [--verbose]\n"
           "                    [--boot SEQ]\n"
           "  vorna-flash station (--port PORT ... | --all-ports) [--baud RATE] FILE [--log FILE]\n"
           "                    [--json] [--count N] [--on-result PROGRAM [--on-result-timeout S]]\n"
           "                    [--boot SEQ] [--after stay|run|go|SEQ] [--present [!]cts|dsr|dcd|ri]\n"
           "  vorna-flash lines --port PORT --dtr 0|1 --rts 0|1 [--hold SECONDS]\n"
           "  vorna-flash --help\n"
           "\n"
           "Commands:\n"
           "  ports   list the serial ports, one a line: name, then a tab and the description\n"
           "          where the system gives one; for a USB adapter another tab and what it\n"
           "          is: USB vendor:product ID, manufacturer and product, usb:SERIAL and\n"
           "          usb-path:PATH (the names --port takes for it), bus and address.\n"
           "          --json: an array of {\"port\", \"description\", \"transport\", \"vid\",\n"
           "          \"pid\", \"serial\", \"manufacturer\", \"product\", \"location\", \"bus\",\n"
           "          \"address\"}, null where the system says nothing\n"
           "  keys    read the module's DevEUI, JoinEUI and AppKey through its UART bootloader\n"
           "  flash   download a firmware file into the application area, erasing the pages it\n"
           "          touches and verifying by read-back; the identifiers below 0x08000800 are never\n"
           "          erased or written. The file's content tells its format: ELF (its loadable\n"
           "          segments at their load addresses), Intel HEX, Motorola S-records (S1/S2/S3),\n"
           "          or else a raw binary placed at --address (default 0x08000800)\n"
           "  verify  compare the module's flash under every byte of the file with the file,\n"
           "          reading only: nothing is erased or written; exit 6 when they differ, with\n"
           "          the first differing address and the number of differing bytes\n"
           "  read    read BYTES of the module's memory from ADDR (the identifier page too; reading\n"
           "          changes nothing) into OUT: Intel HEX when OUT ends in .hex, .ihx or .ihex,\n"
           "          the raw bytes otherwise. OUT is written under a temporary name and renamed\n"
           "          once complete, so a failed read leaves no part of a file\n"
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
           "                each on its own thread. usb:SERIAL names the adapter with that USB\n"
           "                serial number, usb-path:PATH the USB socket it is plugged into (as\n"
           "                vorna-flash ports shows them), whatever port name it has today;\n"
           "                the station looks it up again each time the port comes back\n"
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
           "                verify: {\"result\", \"status\", \"code\", \"bytes\", \"differing\",\n"
           "                       \"firstDifference\", \"seconds\"}; bytes are those compared,\n"
           "                       firstDifference the lowest differing address (null when none)\n"
           "                \"code\" is the exit status (a number, as in the station's lines), \"status\"\n"
           "                and \"result\" its name\n"
           "  --no-verify   flash without reading the image back\n"
           "  --address ADDR  (flash, station, verify) where a raw binary goes, decimal or 0x hex\n"
           "                (default 0x08000800); refused for the other formats, which carry\n"
           "                their own addresses\n"
           "  --from ADDR, --size BYTES\n"
           "                (read) the first address and the number of bytes (1 to 0x1000000),\n"
           "                decimal or 0x hex\n"
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
           "  --boot SEQ    (keys, flash, verify, read, station) reset the module into its bootloader\n"
           "                through DTR and RTS before the first 0x7F, then wait its start-up time; a\n"
           "                silent module is tried twice more with holds twice and four times as long.\n"
           "                SEQ is a preset:\n"
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
           "  1  usage error, or the log file (read: the output file) cannot be written\n"
           "  2  the port cannot be opened, or the bootloader does not answer\n"
           "  3  the firmware file is missing, malformed, unsupported, or writes outside the\n"
           "     application area\n"
           "  4  a write was refused, or verification failed\n"
           "  5  any other device failure (erase failed, link lost, read protection, ...)\n"
           "  6  verify: the module's flash differs from the file\n"
           "\n"
           "The line's database (results, identities and firmware releases shared by the stations):\n"
           "  vorna-flash keys|flash|station ... --db URL [--any-firmware] [--on-duplicate flag|fail]\n"
           "  vorna-flash release add FILE --db URL [--name TEXT]\n"
           "  vorna-flash release list --db URL\n"
           "  vorna-flash history --db URL DEVEUI|UNIQUE-ID\n"
           "  vorna-flash report --db URL [--since WHEN] [--html FILE]\n"
           "  vorna-flash export --db URL --format tts-csv|jsonl [--since WHEN] [--output FILE]\n"
           "  vorna-flash db sync --db URL\n"
           "\n"
           "  --db URL      sqlite:FILE (or a FILE ending in .db or .sqlite) for one station, or a\n"
           "                PostgreSQL URI (postgresql://ROLE@HOST/DBNAME?sslmode=verify-full) for a\n"
           "                line; a password in the URL is refused (use ~/.pgpass or PGPASSWORD).\n"
           "                Every module gets a row; a DevEUI that another unique ID carries anywhere\n"
           "                in the database is flagged other-module. With --db, flash and station\n"
           "                refuse a file that is not the current release. A server that is away\n"
           "                mid-run: rows wait in a spool in the state folder and are written, in\n"
           "                order and once each, when it answers again (db sync writes them alone)\n"
           "  --on-duplicate flag|fail  station: fail makes a module flagged other-module (by the\n"
           "                database or the --log file) a FAIL (status\n"
           "                \"duplicate\", step \"identity\", exit status 5)\n"
           "  --any-firmware  flash a file that is not the current release; the row says so\n"
           "  release add   record FILE's image (SHA-256 of the bytes flashed) as the current release\n"
           "  history       every attempt of one module on every station, oldest first\n"
           "  report        yield per station and port, failures by step, duplicates, modules\n"
           "                per hour; --html FILE writes one self-contained page with charts\n"
           "  export        the passed modules' DevEUI, JoinEUI and AppKey: tts-csv for The Things\n"
           "                Stack's bulk import, jsonl one device a line; a file made with --output is\n"
           "                readable by its owner alone\n"
           "  --since WHEN  24h, 7d, 2024-05-01 or 2024-05-01T08:00 (UTC)\n"
           "  Exit status 1 also when the database cannot be reached, refuses, or is newer than this\n"
           "  vorna-flash; 3 also when the file is not the current release.\n";
}

const char* versionText()
{
    return "vorna-flash " VBF_VERSION "\n";
}

ParsedCommandLine parseCommandLine(int argc, const char* const* argv)
{
    Given g;
    Words words;
    CLI::App app("", "vorna-flash");
    app.set_help_flag();  // --help prints our own text
    app.allow_extras();   // unknown options and commands, and the files, come back in order
    app.require_subcommand(0, 1);  // after the command, a command's name is a file

    // How often CLI11 has taken the option so far on this line.
    auto times = [&app](const CLI::Option* opt) {
        const auto& order = app.parse_order();
        return std::count(order.begin(), order.end(), opt);
    };
    // The sentence for an option given without its value, and whether it is given once only.
    std::map<const CLI::Option*, std::pair<std::string, bool>> missing;
    // Each option is checked as CLI11 meets it, so that the first fault on the line is the one named.
    auto value = [&](const std::string& name, std::string whenMissing, bool once = true) {
        CLI::Option* opt = app.add_option(name)->trigger_on_parse();
        missing[opt] = {std::move(whenMissing), once};
        if (once)
            opt->check(refusing([&times, opt](const std::string&) { return times(opt) == 1; }, twice(name)));
        return opt;
    };
    // A flag with "=": CLI11 hands over "true" for nothing or "=true", else what followed.
    auto flag = [&](const std::string& names, const std::string& longName, bool& target) {
        app.add_option(names, [&target](const CLI::results_t&) { return target = true; })
            ->expected(0)
            ->check(refusing(CLI::IsMember(std::vector<std::string>{"true"}), "The option " + longName + " takes no value."))
            ->trigger_on_parse();
    };

    value("--port", "The option --port needs a port name, e.g. --port /dev/ttyUSB0.", false)
        ->check(refusing([](const std::string& v) { return !v.empty() && v.size() <= MAX_PORT_NAME; },
                         "The port name must have 1 to 99 characters."))
        ->check(refusing([](const std::string& v) { return v.find('\0') == std::string::npos; },
                         "The port name must not contain a NUL character."))
        ->check(CLI::Validator([](std::string& v) { return stableNameProblem(v); }, ""))
        ->check(CLI::Validator(
            [&g](std::string& v) {
                return std::find(g.o.ports.begin(), g.o.ports.end(), v) == g.o.ports.end()
                           ? std::string()
                           : "The port " + v + " is given twice; give each port once.";
            },
            ""))
        ->each([&g](const std::string& v) { g.o.ports.push_back(v); });
    value("--baud", BAUD_SENTENCE)->check(decimal(8, MIN_BAUD, MAX_BAUD, BAUD_SENTENCE))->each([&g](const std::string& v) {
        g.o.baud = uint32_t(std::stoul(v));
    });
    value("--log", "The option --log needs a file name.")->each([&g](const std::string& v) { g.o.logPath = v; });
    value("--boot", "The option --boot needs a sequence: direct, inverted, auto-reset or steps.")
        ->check(CLI::Validator(
            [](std::string& v) {
                const vbprog::Result<vbprog::BootSequence> boot = vbprog::bootSequence(v);
                return boot ? std::string() : boot.error().what;
            },
            ""))
        ->each([&g](const std::string& v) { g.o.boot = v; });
    const std::map<std::string, After> afterWords{{"stay", After::Stay}, {"run", After::Run}, {"go", After::Go}};
    value("--after", "The option --after needs stay, run, go or steps.")
        ->check(CLI::Validator(
            [&afterWords](std::string& v) -> std::string {
                if (afterWords.count(v))
                    return {};
                if (v.find('=') == std::string::npos)
                    return "The option --after takes stay, run, go or steps such as dtr=1+rts=1,wait=100,dtr=0.";
                const vbprog::Result<std::vector<vbprog::BootStep>> parsed = vbprog::parseSteps(v);
                return parsed ? std::string()
                              : "The sequence \"" + v + "\" of --after is refused: " + parsed.error().what + ".";
            },
            ""))
        ->each([&g, &afterWords](const std::string& v) {
            const auto word = afterWords.find(v);
            g.o.after = word != afterWords.end() ? word->second : After::Run;
            if (word == afterWords.end())
                g.o.afterSteps = v;
        });
    for (const auto& [name, target] : {std::pair<const char*, bool*>{"--dtr", &g.o.dtr}, {"--rts", &g.o.rts}}) {
        value(name, std::string("The option ") + name + " needs 0 (de-asserted) or 1 (asserted).")
            ->check(refusing(CLI::IsMember(std::vector<std::string>{"0", "1"}),
                             std::string("The option ") + name + " takes 0 (de-asserted) or 1 (asserted)."))
            ->each([target = target](const std::string& v) { *target = v == "1"; });
    }
    value("--hold", "The option --hold needs seconds from 1 to 3600.")
        ->check(decimal(4, 1, 3600, "The option --hold needs seconds from 1 to 3600."))
        ->each([&g](const std::string& v) { g.o.holdSeconds = unsigned(std::stoul(v)); });
    value("--count", "The option --count needs a number of modules, e.g. --count 100.")
        ->check(decimal(9, 1, 999999999, "The option --count needs a number of modules from 1, e.g. --count 100."))
        ->each([&g](const std::string& v) { g.o.count = unsigned(std::stoul(v)); });
    value("--on-result", "The option --on-result needs a program.")
        ->check(refusing([](const std::string& v) { return !v.empty(); }, "The option --on-result needs a program."))
        ->each([&g](const std::string& v) { g.o.onResult = v; });
    value("--on-result-timeout", "The option --on-result-timeout needs seconds, e.g. --on-result-timeout 5.")
        ->check(decimal(4, 1, 9999, "The option --on-result-timeout needs seconds from 1 to 9999."))
        ->each([&g](const std::string& v) { g.o.onResultTimeout = unsigned(std::stoul(v)); });
    const CLI::Validator inputs = CLI::IsMember(std::vector<std::string>{"cts", "dsr", "dcd", "ri"});
    value("--present", "The option --present needs an input: cts, dsr, dcd or ri (!dsr for active-low).")
        ->check(refusing(
            [inputs](const std::string& v) {
                std::string line = !v.empty() && v[0] == '!' ? v.substr(1) : v;
                return inputs(line).empty();
            },
            "The option --present takes cts, dsr, dcd or ri, with a leading ! for an active-low switch, e.g. "
            "--present !dsr."))
        ->each([&g](const std::string& v) {
            g.o.presentActiveLow = v[0] == '!';
            g.o.present = v.substr(g.o.presentActiveLow ? 1 : 0);
        });
    const std::string addressSentence = "The option --address needs an address, e.g. --address 0x08004000.";
    value("--address", addressSentence)
        ->check(refusing([](const std::string& v) { uint32_t a; return number32(v, 0xFFFFFFFFull, a); }, addressSentence))
        ->each([&g](const std::string& v) {
            number32(v, 0xFFFFFFFFull, g.o.address);
            g.o.addressGiven = true;
        });
    const std::string fromSentence = "The option --from needs an address, e.g. --from 0x08000000.";
    value("--from", fromSentence)
        ->check(refusing([](const std::string& v) { uint32_t a; return number32(v, 0xFFFFFFFFull, a); }, fromSentence))
        ->each([&g](const std::string& v) { number32(v, 0xFFFFFFFFull, g.o.readFrom); });
    const std::string sizeSentence = "The option --size needs a number of bytes from 1 to 16777216 (0x1000000), e.g. --size 0x800.";
    value("--size", sizeSentence)
        ->check(refusing([](const std::string& v) { uint32_t n; return number32(v, MAX_READ, n) && n > 0; }, sizeSentence))
        ->each([&g](const std::string& v) { number32(v, MAX_READ, g.o.readSize); });
    value("--db", "The option --db needs the database: sqlite:FILE or postgresql://ROLE@HOST/DBNAME.")
        ->check(refusing([](const std::string& v) { return !v.empty(); },
                         "The option --db needs the database: sqlite:FILE or postgresql://ROLE@HOST/DBNAME."))
        ->each([&g](const std::string& v) { g.o.db = v; });
    value("--on-duplicate", "The option --on-duplicate needs flag or fail.")
        ->check(refusing(CLI::IsMember(std::vector<std::string>{"flag", "fail"}),
                         "The option --on-duplicate takes flag (the default) or fail."))
        ->each([&g](const std::string& v) { g.o.failOnDuplicate = v == "fail"; });
    value("--name", "The option --name needs the release's name, e.g. --name 2.4.1.")
        ->check(refusing([](const std::string& v) { return !v.empty(); }, "The option --name needs the release's name."))
        ->each([&g](const std::string& v) { g.o.releaseName = v; });
    value("--since", "The option --since needs a time: 24h, 7d, 2024-05-01 or 2024-05-01T08:00 (UTC).")
        ->each([&g](const std::string& v) { g.o.since = v; });
    value("--html", "The option --html needs a file name.")
        ->check(refusing([](const std::string& v) { return !v.empty(); }, "The option --html needs a file name."))
        ->each([&g](const std::string& v) { g.o.html = v; });
    value("--format", "The option --format needs tts-csv or jsonl.")
        ->check(refusing(CLI::IsMember(std::vector<std::string>{"tts-csv", "jsonl"}),
                         "The option --format takes tts-csv (The Things Stack's bulk import) or jsonl."))
        ->each([&g](const std::string& v) { g.o.format = v; });
    value("--output", "The option --output needs a file name.")
        ->check(refusing([](const std::string& v) { return !v.empty(); }, "The option --output needs a file name."))
        ->each([&g](const std::string& v) { g.o.output = v; });
    flag("--any-firmware", "--any-firmware", g.o.anyFirmware);
    flag("--json", "--json", g.o.json);
    flag("--all-ports", "--all-ports", g.o.allPorts);
    flag("--no-verify", "--no-verify", g.noVerify);
    flag("-v,--verbose", "--verbose", g.o.verbose);
    flag("-h,--help", "--help", g.help);
    flag("--version", "--version", g.version);

    // The commands; the options are the main command's, given before or after a command's name.
    std::map<const CLI::App*, Command> commands;
    for (const auto& [name, command] : {std::pair<const char*, Command>{"ports", Command::Ports},
                                        {"keys", Command::Keys},
                                        {"flash", Command::Flash},
                                        {"lines", Command::Lines},
                                        {"station", Command::Station},
                                        {"verify", Command::Verify},
                                        {"read", Command::Read},
                                        {"release", Command::Release},
                                        {"history", Command::History},
                                        {"report", Command::Report},
                                        {"export", Command::Export},
                                        {"db", Command::DbSync}}) {
        CLI::App* sub = app.add_subcommand(name)->fallthrough();
        sub->preparse_callback([&words, &app](std::size_t) { words.commandAt = app.remaining_size(); });
        commands[sub] = command;
    }

    std::vector<bool> values;
    const int end = optionsEnd(app, argc, argv, values);
    for (int i = end + 1; i < argc; ++i)
        words.afterEnd.push_back(argv[i]);
    // Inside a command CLI11 takes a "++" as the command's end and drops it; for us it is a
    // file name. A NUL, which no command line holds, keeps it from CLI11 and back.
    const std::string plusPlus("\0++", 3);
    std::vector<std::string> reversed;
    for (int i = end - 1; i > 0; --i)
        reversed.push_back(argv[i] == std::string("++") && !values[std::size_t(i)] ? plusPlus : argv[i]);
    auto leftOver = [&] {
        std::vector<std::string> left = app.remaining();
        std::replace(left.begin(), left.end(), plusPlus, std::string("++"));
        return left;
    };
    try {
        try {
            app.parse(reversed);
        } catch (...) {
            // An unknown command or option before the fault is named first.
            words.beforeEnd = leftOver();
            words.afterEnd.clear();
            takeWords(app, words, g.command, g.operands);
            throw;
        }
        words.beforeEnd = leftOver();
        if (!app.get_subcommands().empty())
            g.command = app.get_subcommands().front();
        takeWords(app, words, g.command, g.operands);
    } catch (const Refusal& r) {
        return failure(r.what());
    } catch (const CLI::ValidationError& e) {
        // CLI11 puts the option's name and ": " before the check's sentence.
        const std::string what = e.what();
        return failure(what.substr(what.find(": ") + 2));
    } catch (const CLI::ArgumentMismatch&) {
        // Only the last word CLI11 saw can lack its value.
        const std::string last = argv[end - 1];
        const std::string name = last.substr(0, last.find('='));
        const CLI::Option* opt = app.get_option_no_throw(name);
        const auto sentence = missing.find(opt);
        if (sentence != missing.end())
            return failure(sentence->second.second && times(opt) > 0 ? twice(name) : sentence->second.first);
        return failure("The option " + name + " needs a value; see vorna-flash --help.");
    } catch (const CLI::ParseError& e) {
        return failure(std::string(e.what()) + "; see vorna-flash --help.");
    }
    if (g.command)
        g.o.command = commands.at(g.command);
    return checkCombination(app, g);
}

}  // namespace vf
