// One module as the command line describes it: the library's job, and the log row of what
// it came to.
#pragma once

#include "benchlog.h"
#include "options.h"

#include "module_job.h"

#include <string>

namespace vf {

// The library's job for `port` as the options describe it; `image` null for keys.
vbprog::ModuleJob moduleJob(const Options& o, const std::string& port, const vbprog::FirmwareImage* image,
                            const std::string& shownName);

// What a row holds besides the outcome.
struct RowContext {
    bool withFirmware = false;     // the file and its SHA-256 (flash and station)
    std::string file, sha256;
    // The station's columns.
    std::string runId, toolVersion;
    unsigned attempt = 0;
    std::string duplicate;
};

LogRow logRow(const vbprog::ModuleOutcome& m, const RowContext& c);

}  // namespace vf
