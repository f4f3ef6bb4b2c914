#include "line_db.h"

#include "line_report.h"
#include "output_file.h"
#include "platform.h"
#include "report_json.h"
#include "sha256.h"
#include "exit_status.h"

#include "download_plan.h"
#include "flash_session.h"
#include "status.h"
#include "queries.h"
#include "releases.h"
#include "schema.h"
#include "system.h"
#include "text_format.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

namespace vf {

namespace {

void say(const std::string& sentence)
{
    std::fprintf(stderr, "vorna-flash: %s\n", sentence.c_str());
}

// The engine's reason as the end of a sentence.
std::string ended(const std::string& reason)
{
    return !reason.empty() && std::string(".?!").find(reason.back()) != std::string::npos ? reason : reason + ".";
}

// The refusal of a database that cannot be used, before anything is done.
int refuseDatabase(const linedb::DbUrl& url, const linedb::Error& e)
{
    if (e.lost)
        say("The database server of " + url.shown + " cannot be reached: " + ended(e.what()) +
            " No port was opened; start the server or check --db, then try again.");
    else
        say("The database " + url.shown + " cannot be used: " + ended(e.what()) + " No port was opened.");
    return EXIT_USAGE;
}

bool parseUrl(const Options& o, linedb::DbUrl& url)
{
    std::string why;
    if (!linedb::parseDbUrl(o.db, url, why)) {
        say(why);
        return false;
    }
    return true;
}

std::string shortSha(const std::string& sha)
{
    return sha.substr(0, 16);
}

}  // namespace

std::string imageSha256(const vbprog::FirmwareImage& image)
{
    Sha256 h;
    uint64_t at = image.empty() ? 0 : image.lowestAddress();
    const std::vector<uint8_t> erased(4096, 0xFF);
    for (const auto& [address, bytes] : image.segments()) {
        for (uint64_t gap = address - at; gap > 0;) {
            const size_t n = size_t(std::min<uint64_t>(gap, erased.size()));
            h.update(erased.data(), n);
            gap -= n;
        }
        h.update(bytes.data(), bytes.size());
        at = address + bytes.size();
    }
    const auto digest = h.finish();
    return vbprog::toHex(digest.data(), digest.size());
}

std::string newRunId()
{
    const std::tm tm = utcNow();
    char when[32];
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &tm);
    std::random_device rd;
    char tail[8];
    std::snprintf(tail, sizeof tail, "%04x", unsigned(rd() & 0xFFFF));
    return std::string(when) + "-" + tail;
}

int openLineDb(const Options& o, const std::string& runId, const std::string& command,
               const vbprog::FirmwareImage* image, LineDb& db)
{
    linedb::DbUrl url;
    if (!parseUrl(o, url))
        return EXIT_USAGE;
    db.runId = runId;
    db.line = std::make_unique<linedb::Line>();
    const linedb::RunInfo run{runId, linedb::hostName(), VBF_VERSION, command, linedb::utcNowText()};
    try {
        db.line->open(url, run, o.failOnDuplicate ? linedb::OnDuplicate::Fail : linedb::OnDuplicate::Flag);
    } catch (const linedb::Error& e) {
        return refuseDatabase(url, e);
    }
    if (db.line->writtenAtOpen())
        say(std::to_string(db.line->writtenAtOpen()) + " results that an earlier run left in the spool are now in the "
            "database.");
    for (const auto& [a, v] : db.line->lateAtOpen()) {
        const std::string text = lateLine(a, v);
        if (!text.empty())
            say(text);
    }
    if (!image)
        return EXIT_OK;
    db.imageSha = imageSha256(*image);
    try {
        std::optional<linedb::Release> current = linedb::currentRelease(db.line->connection());
        if (current && current->sha256 == db.imageSha) {
            db.firmwareCheck = "release";
            return EXIT_OK;
        }
        if (o.anyFirmware) {
            db.firmwareCheck = "any-firmware";
            say(o.file + " is not the current release" +
                (current ? " (" + current->name + ")" : std::string()) +
                "; flashed all the same (--any-firmware), and each row says so.");
            return EXIT_OK;
        }
        if (!current) {
            say("The database " + url.shown + " has no current release, so " + o.file +
                " is refused; record it with vorna-flash release add " + o.file +
                " --db URL, or give --any-firmware. No port was opened.");
            return EXIT_BAD_FILE;
        }
        const std::optional<linedb::Release> known = linedb::findRelease(db.line->connection(), db.imageSha);
        say(o.file + " is not the current release: its image has SHA-256 " + db.imageSha + (known ? " (the earlier release \"" + known->name + "\")" : std::string()) +
            ", the current release \"" + current->name + "\" has " + current->sha256 +
            ". Flash the current release, record this file with vorna-flash release add, or give --any-firmware. "
            "No port was opened.");
        return EXIT_BAD_FILE;
    } catch (const linedb::Error& e) {
        return refuseDatabase(url, e);
    }
}

linedb::Attempt attemptRow(const vbprog::ModuleOutcome& m, const Options& o, const LineDb& db)
{
    linedb::Attempt a;
    a.uuid = linedb::newUuid();
    a.runId = db.runId;
    a.timeUtc = linedb::utcNowText();
    a.port = m.port;
    a.productId = m.pid ? vbprog::productIdText(m.pid) : std::string();
    a.uniqueId = m.uniqueId;
    a.devEui = m.devEUI;
    a.joinEui = m.joinEUI;
    a.appKey = m.appKey;
    if (o.command != Command::Keys) {
        a.file = o.file;
        a.sha256 = db.imageSha;
        a.firmwareCheck = db.firmwareCheck;
    }
    const bool pass = m.status == vbprog::kOk;
    a.result = pass ? "PASS" : "FAIL";
    a.code = exitStatusFor(m.status);
    a.status = statusName(m.status);
    a.failingStep = m.step;
    a.seconds = m.seconds;
    return a;
}

std::string backlogLine(const linedb::Backlog& b)
{
    if (!b.waiting)
        return {};
    return "database unreachable since " + linedb::localTimeText(b.since, true) + ", " + std::to_string(b.waiting) +
           (b.waiting == 1 ? " result waiting" : " results waiting");
}

std::string lateLine(const linedb::Attempt& a, const linedb::Verdict& v)
{
    if (v.duplicate != "other-module")
        return {};
    return a.port + ": found late, as its row reached the database: DUPLICATE DevEUI " + a.devEui +
           ": another module carries it (the module with unique ID " + a.uniqueId + ", " +
           linedb::localTimeText(a.timeUtc) + ", shown as " + a.result + ").";
}

// --- the commands on the database alone -----------------------------------------------

namespace {

// --since as UTC ISO 8601: 24h and 7d count back from now; a date or date and time is UTC.
bool sinceUtc(const std::string& text, std::string& iso)
{
    if (text.empty()) {
        iso.clear();
        return true;
    }
    const char unit = text.back();
    if ((unit == 'h' || unit == 'd') && text.size() > 1 &&
        text.find_first_not_of("0123456789") == text.size() - 1 && text.size() < 8) {
        const long n = std::stol(text.substr(0, text.size() - 1));
        const std::time_t t = std::time(nullptr) - n * (unit == 'h' ? 3600 : 86400);
        std::tm tm{};
#if defined(_WIN32)
        gmtime_s(&tm, &t);
#else
        gmtime_r(&t, &tm);
#endif
        char buf[40];
        std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
        iso = buf;
        return true;
    }
    int y, mo, d, h = 0, mi = 0;
    char tail = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%c", &y, &mo, &d, &h, &mi, &tail);
    if ((n == 3 && text.size() == 10) || (n == 5 && text.size() == 16) || (n == 6 && tail == 'Z' && text.size() == 17)) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:00.000Z", y, mo, d, h, mi);
        iso = buf;
        return mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60;
    }
    return false;
}

int runRelease(const Options& o, linedb::Connection& c)
{
    if (!o.releaseAdd) {
        const auto all = linedb::listReleases(c);
        for (const linedb::Release& r : all)
            std::printf("%s\t%s\t%llu bytes\t%s%s\n", r.sha256.c_str(), r.name.c_str(),
                        static_cast<unsigned long long>(r.bytes), linedb::localTimeText(r.added).c_str(),
                        r.current ? "\tcurrent" : "");
        if (all.empty())
            say("No release recorded yet; vorna-flash release add FILE --db URL records one.");
        return EXIT_OK;
    }
    const std::filesystem::path path = diskPath(o.file);
    const vbprog::Result<vbprog::FirmwareFile> f = vbprog::loadFirmwareFile(path, vbprog::kApplicationStart);
    if (!f) {
        say(f.error().what);
        return exitStatusFor(f.error().status);
    }
    const vbprog::Result<void> placed = vbprog::checkPlacement(f->image, vbprog::kApplicationStart);
    if (!placed) {
        say(o.file + ": " + placed.error().what);
        return exitStatusFor(placed.error().status);
    }
    linedb::Release r;
    r.sha256 = imageSha256(f->image);
    r.name = o.releaseName.empty() ? path.filename().u8string() : o.releaseName;
    r.bytes = f->image.byteCount();
    r.added = linedb::utcNowText();
    linedb::addRelease(c, r);
    std::printf("Release \"%s\" (%llu bytes, SHA-256 %s) is now the current release.\n", r.name.c_str(),
                static_cast<unsigned long long>(r.bytes), r.sha256.c_str());
    return EXIT_OK;
}

int runHistory(const Options& o, linedb::Connection& c)
{
    const auto rows = linedb::history(c, o.key);
    if (rows.empty()) {
        say("The database has no attempt of a module with DevEUI or unique ID " + o.key + ".");
        return EXIT_OK;
    }
    std::printf("time\tstation\tport\tresult\tstatus\tstep\tdev_eui\tunique_id\tattempt\tduplicate\tfile\tsha256\tfirmware\n");
    for (const linedb::HistoryRow& h : rows)
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%u\t%s%s\t%s\t%s\t%s\n", linedb::localTimeText(h.timeUtc).c_str(),
                    h.host.c_str(), h.port.c_str(), h.result.c_str(), h.status.c_str(),
                    h.failingStep.empty() ? "-" : h.failingStep.c_str(), h.devEui.c_str(),
                    h.uniqueId.empty() ? "-" : h.uniqueId.c_str(), h.attempt,
                    h.duplicate.empty() ? "-" : h.duplicate.c_str(), h.late ? " (late)" : "", h.file.c_str(),
                    h.sha256.empty() ? "-" : shortSha(h.sha256).c_str(),
                    h.firmwareCheck.empty() ? "-" : h.firmwareCheck.c_str());
    return EXIT_OK;
}

int runExport(const Options& o, linedb::Connection& c, const std::string& since)
{
    const auto keys = linedb::passedKeys(c, since);
    std::ostringstream out;
    if (o.format == "tts-csv") {
        // The Things Stack's bulk import: semicolons, a header row, the device ID its default.
        out << "id;dev_eui;join_eui;app_key\n";
        for (const linedb::Keys& k : keys)
            out << "eui-" << k.devEui << ";" << k.devEui << ";" << k.joinEui << ";" << k.appKey << "\n";
    } else {
        for (const linedb::Keys& k : keys) {
            Json j;
            j["ids"] = {{"device_id", "eui-" + k.devEui}, {"dev_eui", k.devEui}, {"join_eui", k.joinEui}};
            j["supports_join"] = true;
            j["root_keys"] = {{"app_key", {{"key", k.appKey}}}};
            out << jsonText(j) << "\n";
        }
    }
    if (o.output.empty()) {
        std::fputs(out.str().c_str(), stdout);
        return EXIT_OK;
    }
    // It holds AppKeys: readable by its owner alone, created so before a byte is in it.
    // Put in place whole, never over a device or a pipe.
    std::string why;
    OutputFile file;
    if (!file.begin(o.output, true, why) || !file.commit(out.str(), why)) {
        say("Cannot write " + o.output + ": " + why + ".");
        return EXIT_USAGE;
    }
    say(std::to_string(keys.size()) + (keys.size() == 1 ? " module" : " modules") + " written to " + o.output + ".");
    return EXIT_OK;
}

}  // namespace

int runDatabaseCommand(const Options& o)
{
    linedb::DbUrl url;
    if (!parseUrl(o, url))
        return EXIT_USAGE;
    std::string since;
    if (!sinceUtc(o.since, since)) {
        say("The option --since takes 24h, 7d, 2024-05-01 or 2024-05-01T08:00 (UTC); \"" + o.since + "\" is none of these.");
        return EXIT_USAGE;
    }
    try {
        if (o.command == Command::DbSync) {
            LineDb db;
            const int status = openLineDb(o, newRunId(), "db sync", nullptr, db);
            if (status != EXIT_OK)
                return status;
            std::printf("%zu results written from the spool; none waits.\n", db.line->writtenAtOpen());
            db.line->finish(linedb::utcNowText());
            return EXIT_OK;
        }
        std::unique_ptr<linedb::Connection> c = linedb::openConnection(url);
        linedb::migrate(*c);
        switch (o.command) {
        case Command::Release: return runRelease(o, *c);
        case Command::History: return runHistory(o, *c);
        case Command::Report: return runReport(o, *c, since);
        case Command::Export: return runExport(o, *c, since);
        default: return EXIT_USAGE;
        }
    } catch (const linedb::Error& e) {
        return refuseDatabase(url, e);
    }
}

}  // namespace vf
