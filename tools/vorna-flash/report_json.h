// vorna-flash's results as JSON: an object per module, for --json at the end of a run and
// for the station's line each time a module ends.
#pragma once

#include "options.h"

#include "module_job.h"
#include "port_list.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vf {

// Keys stay in the order they are written.
using Json = nlohmann::ordered_json;

// Which of the JSON objects: keys, flash and verify as at the end of a run, a station's line.
enum class JsonShape { Keys, Flash, Station, Verify };

struct JsonContext {
    JsonShape shape = JsonShape::Flash;
    bool withPort = true;          // keys and flash name the port when several modules run
    // The station's fields.
    std::string runId;
    unsigned attempt = 0;
    std::string duplicate;
};

// "code" is the exit status that the outcome alone would give, "status" its name (as the
// log's result column), everywhere.
Json outcomeJson(const vbprog::ModuleOutcome& m, const JsonContext& c);

// The --json output of keys, flash and verify: one object for one module, an array of them for several.
Json resultsJson(const Options& options, const std::vector<vbprog::ModuleOutcome>& outcomes);

// One port of `ports --json`: every key always there, null where the system says nothing;
// vid and pid as four lower-case hex digits, as lsusb and udev write them.
Json portJson(const vbprog::PortInfo& port);

// The text on one line. Bytes that are not UTF-8 (a port name on Linux may hold any) come
// out as U+FFFD, so that the text stays JSON.
std::string jsonText(const Json& value);

}  // namespace vf
