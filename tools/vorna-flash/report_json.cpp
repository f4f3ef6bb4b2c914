#include "report_json.h"

#include "status.h"

#include "programmer_api.h"

#include <cmath>

namespace vf {

Json moduleJson(Command command, const ModuleResult& r, bool manyModules)
{
    Json j;
    if (command == Command::Keys) {
        j["port"] = r.port;
        if (r.status != PROG_OK) {
            j["result"] = statusName(r.status);
            j["code"] = r.status;
            return j;
        }
        j["device"] = {{"name", r.deviceName}, {"pid", r.productId}};
        j["devEUI"] = r.devEUI;
        j["joinEUI"] = r.joinEUI;
        j["appKey"] = r.appKey;
        return j;
    }
    if (manyModules)
        j["port"] = r.port;
    j["result"] = statusName(r.status);
    j["code"] = r.status;
    j["bytes"] = r.bytes;
    // Milliseconds are all a bench's clock is good for.
    j["seconds"] = std::round(r.seconds * 1000.0) / 1000.0;
    return j;
}

Json resultsJson(const Options& options, const std::vector<ModuleResult>& results)
{
    if (!manyModules(options) && results.size() == 1)
        return moduleJson(options.command, results.front(), false);
    Json all = Json::array();
    for (const ModuleResult& r : results)
        all.push_back(moduleJson(options.command, r, true));
    return all;
}

std::string jsonText(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vf
