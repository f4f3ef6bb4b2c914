// vorna-flash's results as JSON: an object per module, for --json at the end of a run and
// for a line of JSON each time a module ends.
#pragma once

#include "options.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vf {

// Keys stay in the order they are written.
using Json = nlohmann::ordered_json;

// What one module came to.
struct ModuleResult {
    std::string port;
    int status = 0;  // PROG_*
    // keys, when status is PROG_OK
    std::string deviceName;
    std::string productId;  // "0x497"
    std::string devEUI, joinEUI, appKey;
    // flash: on success the bytes the file carries, on failure those the module took
    uint64_t bytes = 0;
    double seconds = 0;
};

// keys:  {"port", "device": {"name", "pid"}, "devEUI", "joinEUI", "appKey"},
//        or on failure {"port", "result", "code"};
// flash: {"port", "result", "code", "bytes", "seconds"}, "port" only when several modules run.
Json moduleJson(Command command, const ModuleResult& result, bool manyModules);

// The --json output: one object for one module, an array of them for several.
Json resultsJson(const Options& options, const std::vector<ModuleResult>& results);

// The text on one line. Bytes that are not UTF-8 (a port name on Linux may hold any) come
// out as U+FFFD, so that the text stays JSON.
std::string jsonText(const Json& value);

}  // namespace vf
