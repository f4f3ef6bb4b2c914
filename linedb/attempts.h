// The rows the line keeps: a station run, and one attempt per module, written with its
// duplicate flag in one transaction.
#pragma once

#include "connection.h"

#include <string>
#include <vector>

namespace linedb {

struct RunInfo {
    std::string runId, host, toolVersion, command, started;
};

struct Attempt {
    std::string uuid;                 // random, so that a row sent twice is written once
    std::string runId, timeUtc, port, productId, uniqueId, devEui, joinEui, appKey, file, sha256;
    std::string result;               // PASS or FAIL
    int code = 0;                     // the exit status the outcome alone would give
    std::string status;               // its name: ok, no-answer, write-verify, ..., duplicate
    std::string failingStep;          // empty on success
    double seconds = 0;
    // "release" (checked against the current release), "any-firmware" (--any-firmware), or
    // empty (no firmware, or keys).
    std::string firmwareCheck;
};

// What the database made of an attempt when it was written.
struct Verdict {
    std::string duplicate;   // "", "same-module" or "other-module", as the station's log has it
    unsigned attempt = 1;    // 1 + the earlier rows of this module (by unique ID, else DevEUI)
    bool failed = false;     // made a FAIL as a duplicate (--on-duplicate fail)
    bool late = false;       // written from a spool, after the station showed its result
};

enum class OnDuplicate { Flag, Fail };

// The status, code and step of a module failed for its DevEUI.
constexpr const char* kDuplicateStatus = "duplicate";
constexpr int kDuplicateCode = 5;
constexpr const char* kDuplicateStep = "identity";

void writeRun(Connection& c, const RunInfo& run);
void endRun(Connection& c, const std::string& runId, const std::string& ended);

// Writes the attempt (and its run, when not there yet) in one transaction: claims the
// DevEUI for this unique ID unless another holds it, then compares. A row whose UUID is
// there already is not written again; its verdict is the stored one. With OnDuplicate::Fail
// a passed module whose DevEUI another module carries is written as a FAIL; a late row is
// written as the station showed it.
Verdict writeAttempt(Connection& c, const RunInfo& run, const Attempt& a, OnDuplicate policy, bool late);

// Column names of the attempt's fields, in the order fields() gives them.
const std::vector<std::string>& attemptColumns();
std::vector<std::string> fields(const Attempt& a);
Attempt attemptFrom(const std::vector<std::string>& fields);

}  // namespace linedb
