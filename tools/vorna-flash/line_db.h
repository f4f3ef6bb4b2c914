// vorna-flash and the line's database: --db opened before any port, each module's row,
// the release check, and the commands that only read or keep the database (release,
// history, report, export, db sync).
#pragma once

#include "options.h"

#include "firmware_image.h"
#include "line.h"
#include "module_job.h"

#include <memory>
#include <string>

namespace vf {

// SHA-256 of the image as it is flashed: from its first byte to its last, the gaps between
// segments as erased flash (0xFF). For a .bin this is the file's own SHA-256.
std::string imageSha256(const vbprog::FirmwareImage& image);

// The database of a keys, flash or station run, open and checked.
struct LineDb {
    std::unique_ptr<linedb::Line> line;
    std::string runId;
    std::string imageSha;        // flash and station
    std::string firmwareCheck;   // "release", "any-firmware", or empty for keys
};

// Opens --db before any port is opened: connects, migrates, writes what an earlier run
// left in the spool, and for flash and station checks the file against the current
// release. Prints the refusal and returns its exit status; EXIT_OK with `db` ready.
int openLineDb(const Options& o, const std::string& runId, const std::string& command,
               const vbprog::FirmwareImage* image, LineDb& db);

// The database's row of a module.
linedb::Attempt attemptRow(const vbprog::ModuleOutcome& m, const Options& o, const LineDb& db);

// "database unreachable since 10:42, 7 results waiting"; empty when nothing waits.
std::string backlogLine(const linedb::Backlog& b);

// What a row written late from the spool tells the operator; empty when it found nothing.
std::string lateLine(const linedb::Attempt& a, const linedb::Verdict& v);

// A new run's ID: its UTC start and four random hex digits.
std::string newRunId();

// release, history, report, export and db sync.
int runDatabaseCommand(const Options& o);

}  // namespace vf
