// vorna-flash: the bench's command-line flasher. It lists ports, reads modules' identifiers
// and flashes firmware through the same programming library as the window; several
// modules at once, each in a flash session of its own on a thread of its own.
#include "benchlog.h"
#include "console.h"
#include "line_db.h"
#include "exit_status.h"
#include "module_record.h"
#include "options.h"
#include "output_file.h"
#include "platform.h"
#include "port_names.h"
#include "report_json.h"
#include "sha256.h"
#include "station.h"
#include "text.h"

#include "boot_sequence.h"
#include "download_plan.h"
#include "firmware_format.h"
#include "flash_session.h"
#include "hex_writer.h"
#include "module_job.h"
#include "port_list.h"
#include "serial_transport.h"
#include "status.h"
#include "system.h"
#include "text_format.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using vbprog::kApplicationStart;

vf::Console console;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The bar's label while a phase runs.
const char* phaseLabel(vbprog::Phase phase)
{
    switch (phase) {
    case vbprog::Phase::Connect: return "Connecting";
    case vbprog::Phase::IdentifierBackup: return "Saving identifiers";
    case vbprog::Phase::Erase: return "Erasing";
    case vbprog::Phase::Write: return "Writing";
    case vbprog::Phase::Verify: return "Verifying";
    case vbprog::Phase::Restore: return "Restoring identifiers";
    case vbprog::Phase::Read: return "Reading";
    }
    return vbprog::phaseName(phase);
}

std::string secondsText(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

void fail(const std::string& sentence)
{
    console.print("vorna-flash: " + sentence, stderr);
}

// Every port the system lists, and those named in VBF_EXTRA_PORTS, as `ports` shows them.
std::vector<std::string> listedPorts()
{
    return vbprog::listPorts();
}

// --- ports -------------------------------------------------------------------------

int runPorts(const vf::Options& o)
{
    const std::vector<vbprog::PortInfo> ports = vbprog::listPortDetails();
    if (o.json) {
        vf::Json list = vf::Json::array();
        for (const vbprog::PortInfo& p : ports)
            list.push_back(vf::portJson(p));
        std::printf("%s\n", vf::jsonText(list).c_str());
    } else {
        // Name, description and identity in columns; a port the system says nothing about is its name alone.
        for (const vbprog::PortInfo& p : ports) {
            const std::string identity = vf::identityText(p);
            std::string line = p.name;
            if (!p.description.empty() || !identity.empty())
                line += "\t" + p.description;
            if (!identity.empty())
                line += "\t" + identity;
            std::printf("%s\n", line.c_str());
        }
    }
    if (ports.empty())
        std::fprintf(stderr, "vorna-flash: No serial port found; plug in the module's USB-serial adapter and try again.\n");
    return vf::EXIT_OK;
}

// --- one module ----------------------------------------------------------------------

// The firmware, read and checked once before any port is opened; every module gets these bytes.
struct Firmware {
    std::string shownName;
    vbprog::FirmwareImage image;
    std::string sha256;
    int status = vbprog::kOk;
};

struct Job {
    size_t index = 0;
    std::string port;
    vbprog::ModuleOutcome outcome;
    bool logged = true;
};

struct Run {
    const vf::Options& options;
    const Firmware* firmware = nullptr;   // flash and verify
    vf::BenchLog log;
    std::mutex logMutex;                  // one row at a time, the header once
    vf::LineDb db;                        // with --db

    explicit Run(const vf::Options& o) : options(o) {}
};

// The database's row; a duplicate DevEUI is said at once, a row that cannot be written too.
void writeDbRow(Run& run, Job& job)
{
    if (!run.db.line)
        return;
    const linedb::Recorded r = run.db.line->record(vf::attemptRow(job.outcome, run.options, run.db));
    if (r.written && r.verdict.duplicate == "other-module")
        fail(job.port + ": DUPLICATE DevEUI " + job.outcome.devEUI + ": another module carries it; its row is flagged "
             "other-module.");
    if (!r.written && !r.error.empty()) {
        job.logged = false;
        fail("Cannot write the row of " + job.port + " to the database " + run.db.line->url().shown + " (" + r.error + ").");
    }
}

void writeLogRow(Run& run, Job& job)
{
    writeDbRow(run, job);
    if (!run.log.isOpen())
        return;
    const vf::Options& o = run.options;
    vf::RowContext context;
    if (o.command == vf::Command::Flash) {
        context.withFirmware = true;
        context.file = o.file;
        context.sha256 = run.firmware->sha256;
    }
    const vf::LogRow row = vf::logRow(job.outcome, context);
    std::string why;
    bool ok;
    {
        std::lock_guard<std::mutex> g(run.logMutex);
        ok = run.log.append(row, why);
    }
    if (!ok) {
        job.logged = false;
        fail("Cannot append to the log file " + o.logPath + " (" + why + "); the row of " + job.port + " is missing from it.");
    }
}

// A module whose flash holds the file.
std::string matchLine(const Run& run, const vbprog::ModuleOutcome& m)
{
    return "matches " + run.firmware->shownName + ": " + std::to_string(m.compare.compared) + " bytes compared in " +
           secondsText(m.seconds) + ".";
}

// The line a module leaves when several are handled; empty for one, whose result is printed at the end.
std::string endLine(const Run& run, const Job& job)
{
    const vf::Options& o = run.options;
    const vbprog::ModuleOutcome& m = job.outcome;
    if (!vf::manyModules(o) || o.json)
        return {};
    if (m.status != vbprog::kOk)
        return job.port + ": failed (" + vf::statusName(m.status) + ") after " + secondsText(m.seconds) + ".";
    if (o.command == vf::Command::Keys)
        return job.port + ": DevEUI " + m.devEUI + ", JoinEUI " + m.joinEUI + ", AppKey " + m.appKey;
    if (o.command == vf::Command::Verify)
        return job.port + ": " + matchLine(run, m);
    return job.port + ": Flashed " + std::to_string(run.firmware->image.byteCount()) + " bytes" +
           (o.verify ? " with verification" : " without verification") + " in " + secondsText(m.seconds) + ".";
}

void handleModule(Run& run, Job& job)
{
    const vf::Options& o = run.options;
    vbprog::SessionCallbacks callbacks;
    callbacks.message = [&job](int type, const std::string& text) { console.message(job.index, type, text); };
    callbacks.progress = [&job](const vbprog::ProgressEvent& e) {
        if (e.state == vbprog::ProgressEvent::Started)
            console.pass(job.index, phaseLabel(e.phase));
        else if (e.state == vbprog::ProgressEvent::Progress)
            console.progress(job.index, e.done, e.total);
    };
    vbprog::FlashSession session(callbacks);
    const bool withFile = run.firmware != nullptr;
    vbprog::ModuleJob moduleJob = vf::moduleJob(o, job.port, withFile ? &run.firmware->image : nullptr,
                                                withFile ? run.firmware->shownName : std::string());
    // Flashing reads the identifiers only for the log and the database; verify and read never do.
    moduleJob.readIdentifiers = o.command == vf::Command::Keys || run.log.isOpen() || run.db.line;
    job.outcome = vbprog::runModuleJob(session, moduleJob, callbacks);
    session.close();
    writeLogRow(run, job);
    const vbprog::ModuleOutcome& m = job.outcome;
    const char* verdict = m.status == vbprog::kOk ? "done" : "FAILED";
    console.ended(job.index, std::string(verdict) + " (" + vf::statusName(m.status) + ", " + secondsText(m.seconds) + ")",
                  endLine(run, job), stdout);
}

// --- lines -------------------------------------------------------------------------------

// Today's port for each --port, or the sentence why not.
bool resolveGivenPorts(const std::vector<std::string>& given, std::vector<std::string>& ports, int& status)
{
    const vf::PortsResolution r = vf::resolvePorts(given, vbprog::listPortDetails);
    if (r.status != vf::EXIT_OK) {
        fail(r.sentence);
        status = r.status;
        return false;
    }
    ports = r.ports;
    return true;
}

int runLines(const vf::Options& o)
{
    vbprog::SerialLink link;
    vbprog::PortSettings settings;
    std::vector<std::string> ports;
    int refused = vf::EXIT_OK;
    if (!resolveGivenPorts(o.ports, ports, refused))
        return refused;
    settings.name = ports.front();
    std::vector<std::string> notes;
    auto state = [](bool asserted) { return asserted ? "asserted (pin low on common adapters)" : "de-asserted (pin high)"; };
    try {
        link.open(settings, notes);
        link.setModemLines(vbprog::ModemLines{o.dtr, o.rts});
    } catch (const vbprog::TransportError& e) {
        fail(std::string("Cannot set the lines: ") + e.what() + ".");
        return vf::EXIT_NO_DEVICE;
    }
    std::printf("%s: DTR %s, RTS %s; holding for %u s.\n", settings.name.c_str(), state(o.dtr), state(o.rts),
                o.holdSeconds);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(o.holdSeconds));
    // Closing lowers both lines again on most systems.
    link.close();
    return vf::EXIT_OK;
}

// --- results -------------------------------------------------------------------------------

void printResults(const Run& run, const std::vector<Job>& jobs)
{
    const vf::Options& o = run.options;
    if (o.json) {
        std::vector<vbprog::ModuleOutcome> outcomes;
        for (const Job& job : jobs)
            outcomes.push_back(job.outcome);
        console.print(vf::jsonText(vf::resultsJson(o, outcomes)), stdout);
        return;
    }
    if (vf::manyModules(o))
        return;  // each module left its line
    const vbprog::ModuleOutcome& m = jobs.front().outcome;
    if (m.status != vbprog::kOk)
        return;
    if (o.command == vf::Command::Keys)
        console.print("DevEUI: " + m.devEUI + "\nJoinEUI: " + m.joinEUI + "\nAppKey: " + m.appKey, stdout);
    else if (o.command == vf::Command::Verify)
        console.print("The module " + matchLine(run, m), stdout);
    else
        console.print("Flashed " + std::to_string(run.firmware->image.byteCount()) + " bytes" +
                          (o.verify ? " with verification" : " without verification") + " in " +
                          secondsText(m.seconds) + ".",
                      stdout);
}

// Reads and checks the firmware file; on a refusal says why in the library's words.
Firmware loadFirmware(const vf::Options& o)
{
    Firmware f;
    // A name need not be UTF-8 to exist (POSIX names are bytes); only what is shown is made
    // readable.
    const std::filesystem::path path = vf::diskPath(o.file);
    f.shownName = vbprog::shownPath(path.filename());
    const auto refuse = [&f](const vbprog::SessionError& e) {
        f.status = e.status;
        console.message(0, vbprog::kError, e.what);
        return f;
    };
    const vbprog::Result<std::string> bytes = vbprog::readFirmwareBytes(path);
    if (!bytes)
        return refuse(bytes.error());
    // Also for a file refused below: its row names what was given (an empty file has none).
    if (!bytes->empty())
        f.sha256 = vf::Sha256::hexDigest(bytes->data(), bytes->size());
    vbprog::Result<vbprog::FirmwareRead> read = vbprog::parseFirmware(bytes.value(), f.shownName, o.address);
    if (!read)
        return refuse(read.error());
    if (o.addressGiven && read->format != vbprog::FileFormat::Binary)
        return refuse(vbprog::failure(vbprog::kFileInvalid, f.shownName + " is " + vbprog::formatName(read->format) +
                                                                " and carries its own addresses; --address places raw "
                                                                "binaries only"));
    f.image = std::move(read->image);
    const vbprog::Result<void> placed = vbprog::checkPlacement(f.image, kApplicationStart);
    if (!placed)
        return refuse(vbprog::failure(placed.error().status, f.shownName + ": " + placed.error().what));
    return f;
}

int runModules(const vf::Options& o)
{
    const auto started = std::chrono::steady_clock::now();
    Run run(o);
    console.start({}, o.verbose, false);
    // The log is opened before any module is touched, so that a log that cannot be
    // written stops the run instead of losing the row of a flashed module.
    if (!o.logPath.empty()) {
        std::string why;
        if (!run.log.open(o.logPath, why)) {
            fail(run.log.refusal(o.logPath, why));
            return vf::EXIT_USAGE;
        }
        if (!run.log.mendedNotice(o.logPath).empty())
            fail(run.log.mendedNotice(o.logPath));
    }
    std::vector<std::string> ports = o.allPorts ? listedPorts() : o.ports;
    if (ports.empty()) {
        fail("No serial port found; plug in the modules' USB-serial adapters and try again.");
        return vf::EXIT_NO_DEVICE;
    }
    int refused = vf::EXIT_OK;
    if (!o.allPorts && !resolveGivenPorts(o.ports, ports, refused))
        return refused;

    Firmware firmware;
    if (o.command == vf::Command::Flash || o.command == vf::Command::Verify) {
        firmware = loadFirmware(o);
        run.firmware = &firmware;
    }
    // The database before any port: a server away, or a file that is not the release, stops here.
    if (!o.db.empty()) {
        const bool checked = o.command == vf::Command::Flash && firmware.status == vbprog::kOk;
        const int refused = vf::openLineDb(o, vf::newRunId(), o.command == vf::Command::Flash ? "flash" : "keys",
                                           checked ? &firmware.image : nullptr, run.db);
        if (refused != vf::EXIT_OK)
            return refused;
    }

    std::vector<Job> jobs(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        jobs[i].index = i;
        jobs[i].port = ports[i];
    }
    console.start(ports, o.verbose,
                  o.command != vf::Command::Keys && firmware.status == vbprog::kOk && vf::standardErrorIsTerminal());
    if (firmware.status != vbprog::kOk) {
        // A bad file is the file's fault on every port; no port is opened.
        for (Job& job : jobs) {
            vbprog::ModuleOutcome& m = job.outcome;
            m.port = job.port;
            m.status = firmware.status;
            m.operation = vf::Step::Download;
            m.step = "download";
            m.error = {m.status, {}, vf::failureSentence(m.status, {m.operation, job.port, o.file, o.baud, true}), {}};
            writeLogRow(run, job);
        }
    } else {
        std::vector<std::thread> threads;
        threads.reserve(jobs.size());
        for (Job& job : jobs)
            threads.emplace_back([&run, &job] { handleModule(run, job); });
        for (auto& t : threads)
            t.join();
    }
    console.finish();
    printResults(run, jobs);
    if (run.db.line) {
        run.db.line->finish(linedb::utcNowText());
        const linedb::Backlog b = run.db.line->backlog();
        if (b.waiting)
            fail(vf::backlogLine(b) + ": the spool keeps them; the next run with --db " + o.db + ", or vorna-flash db "
                 "sync --db " + o.db + ", writes them (the server said: " + b.reason + ").");
    }

    std::vector<vbprog::ModuleOutcome> outcomes;
    bool logged = true;
    for (const Job& job : jobs) {
        logged = logged && job.logged;
        outcomes.push_back(job.outcome);
    }
    const int status = vf::combinedExitStatus(outcomes);
    if (!vf::manyModules(o)) {
        if (status != vf::EXIT_OK)
            fail(outcomes.front().error.hint);
    } else if (status != vf::EXIT_OK) {
        fail(vf::failureSummary(outcomes));
    } else if (!o.json) {
        console.print("All " + std::to_string(jobs.size()) + " modules done in " + secondsText(secondsSince(started)) + ".",
                      stdout);
    }
    if (status != vf::EXIT_OK)
        return status;
    return logged ? vf::EXIT_OK : vf::EXIT_USAGE;
}

// --- read ----------------------------------------------------------------------------------

// One module's memory into a file; the file is put in place only once all of it was read.
int runRead(const vf::Options& o)
{
    console.start({}, o.verbose, false);
    // The identifier block holds the AppKey: a file with it is its owner's alone, as the log is.
    const bool secret =
        o.readFrom < vbprog::kIdentifierEnd && uint64_t(o.readFrom) + o.readSize > vbprog::kIdentifierStart;
    std::string why;
    // Checked before the port is opened, made only once the bytes are here: a read killed
    // meanwhile leaves no temporary file behind.
    if (!vf::OutputFile().begin(o.outFile, secret, why)) {
        fail("Cannot write the file " + o.outFile + " (" + why + "); give a writable path.");
        return vf::EXIT_USAGE;
    }
    Run run(o);
    std::vector<Job> jobs(1);
    jobs[0].port = o.ports.front();
    console.start({jobs[0].port}, o.verbose, vf::standardErrorIsTerminal());
    handleModule(run, jobs[0]);
    console.finish();
    const vbprog::ModuleOutcome& m = jobs[0].outcome;
    if (m.status != vbprog::kOk) {
        fail(m.error.hint);
        return vf::exitStatusFor(m.status);
    }
    const bool hex = vbprog::fileFormatOf(o.outFile) == vbprog::FileFormat::IntelHex;
    const std::string bytes = hex ? vbprog::intelHexText(o.readFrom, m.memory.data(), m.memory.size())
                                  : std::string(m.memory.begin(), m.memory.end());
    vf::OutputFile out;
    if (!out.begin(o.outFile, secret, why) || !out.commit(bytes, why)) {
        fail("Cannot write the file " + o.outFile + " (" + why + "); it was left as it was.");
        return vf::EXIT_USAGE;
    }
    console.print("Read " + std::to_string(m.memory.size()) + " bytes from " + vbprog::hex8(o.readFrom) + " into " +
                      o.outFile + (hex ? " (Intel HEX)" : "") + " in " + secondsText(m.seconds) + ".",
                  stdout);
    return vf::EXIT_OK;
}

// The station: the file checked once, then a loop per port until Ctrl-C or --count.
int runStationCommand(const vf::Options& o)
{
    console.start({}, o.verbose, false);
    const std::vector<std::string> ports = o.allPorts ? listedPorts() : o.ports;
    if (ports.empty()) {
        fail("No serial port found; plug in the modules' USB-serial adapters and try again.");
        return vf::EXIT_NO_DEVICE;
    }
    // A stable name whose adapter is not plugged in yet is waited for; one that matches
    // several ports can never be told apart.
    if (std::any_of(ports.begin(), ports.end(), vf::isStableName)) {
        const std::vector<vbprog::PortInfo> present = vbprog::listPortDetails();
        for (const std::string& name : ports) {
            const vf::Resolution r = vf::resolvePort(name, present);
            if (r.ambiguous) {
                fail(r.sentence);
                return vf::EXIT_USAGE;
            }
        }
    }
    const Firmware firmware = loadFirmware(o);
    if (firmware.status != vbprog::kOk) {
        fail(vf::failureSentence(firmware.status, {vf::Step::Download, ports.front(), o.file, o.baud}));
        return vf::exitStatusFor(firmware.status);
    }
    vf::LineDb db;
    if (!o.db.empty()) {
        const int refused = vf::openLineDb(o, vf::newRunId(), "station", &firmware.image, db);
        if (refused != vf::EXIT_OK)
            return refused;
    }
    return vf::runStation(o, ports, {firmware.shownName, firmware.sha256, &firmware.image}, vbprog::listPortDetails,
                          o.db.empty() ? nullptr : &db);
}

}  // namespace

int main(int argc, char** argv)
{
    const vf::Utf8CommandLine args(argc, argv);
    const vf::ParsedCommandLine cl = vf::parseCommandLine(args.argc(), args.argv());
    if (!cl.ok) {
        std::fprintf(stderr, "vorna-flash: %s\n", cl.error.c_str());
        return vf::EXIT_USAGE;
    }
    const vf::Options& o = cl.options;
#if !defined(_WIN32)
    // A closed terminal or a reader gone (| head) must not cut off a write to a module:
    // a failed write costs that output only. The station catches SIGHUP itself.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
#endif
    switch (o.command) {
    case vf::Command::Help:
        std::fputs(vf::usageText(), stdout);
        return vf::EXIT_OK;
    case vf::Command::Version:
        std::fputs(vf::versionText(), stdout);
        return vf::EXIT_OK;
    case vf::Command::Ports:
        return runPorts(o);
    case vf::Command::Lines:
        return runLines(o);
    case vf::Command::Keys:
    case vf::Command::Flash:
    case vf::Command::Verify:
        return runModules(o);
    case vf::Command::Read:
        return runRead(o);
    case vf::Command::Station:
        return runStationCommand(o);
    case vf::Command::Release:
    case vf::Command::History:
    case vf::Command::Report:
    case vf::Command::Export:
    case vf::Command::DbSync:
        return vf::runDatabaseCommand(o);
    }
    return vf::EXIT_OK;
}
