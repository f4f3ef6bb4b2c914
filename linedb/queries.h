// Looking back at the line: one module's attempts, the yield report, the export of passed
// modules' keys for the network server.
#pragma once

#include "connection.h"

#include <string>
#include <vector>

namespace linedb {

struct HistoryRow {
    std::string timeUtc, host, runId, port, result, status, failingStep, devEui, uniqueId, file, sha256, duplicate,
        firmwareCheck;
    unsigned attempt = 1;
    bool late = false;
    double seconds = 0;
};

// Every attempt whose DevEUI or unique ID is `key` (lower-case hex), oldest first.
std::vector<HistoryRow> history(Connection& c, const std::string& key);

struct Report {
    struct Yield {
        std::string host, port;
        unsigned passed = 0, failed = 0;
    };
    struct StepFailures {
        std::string step, status;
        unsigned count = 0;
    };
    struct Duplicate {
        std::string timeUtc, host, port, devEui, uniqueId, holder;
        bool late = false;
    };
    struct Hour {
        std::string hourUtc;   // 2024-05-01T12
        unsigned passed = 0, failed = 0;
    };
    std::string since;
    std::vector<Yield> yields;          // by station, then port
    std::vector<StepFailures> failures; // most first
    std::vector<Duplicate> duplicates;  // oldest first
    std::vector<Hour> hours;            // oldest first
    unsigned passed = 0, failed = 0;
};

// From `since` (UTC ISO 8601, or empty for everything).
Report report(Connection& c, const std::string& since);

struct Keys {
    std::string devEui, joinEui, appKey, uniqueId, timeUtc;
};

// Each DevEUI passed since `since`, with the keys of its latest pass by the module that
// claimed it first; a module flagged for another's DevEUI is left out.
std::vector<Keys> passedKeys(Connection& c, const std::string& since);

}  // namespace linedb
