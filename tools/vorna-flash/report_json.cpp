#include "report_json.h"

#include "exit_status.h"

#include "status.h"
#include "text_format.h"

#include <cmath>

namespace vf {

Json outcomeJson(const vbprog::ModuleOutcome& m, const JsonContext& c)
{
    const bool pass = m.status == vbprog::kOk;
    Json j;
    if (c.shape == JsonShape::Station) {
        j["run"] = c.runId;
        j["port"] = m.port;
        j["result"] = pass ? "PASS" : "FAIL";
        j["code"] = exitStatusFor(m.status);
        j["status"] = statusName(m.status);
        j["step"] = m.step;
        j["cause"] = m.error.hint;
        j["productId"] = m.pid ? vbprog::productIdText(m.pid) : std::string();
        j["devEUI"] = m.devEUI;
        j["uniqueId"] = m.uniqueId;
        j["attempt"] = c.attempt;
        j["duplicate"] = c.duplicate;
        j["bytes"] = m.bytes;
        j["seconds"] = m.seconds;
        return j;
    }
    if (c.shape == JsonShape::Keys) {
        j["port"] = m.port;
        if (!pass) {
            j["result"] = statusName(m.status);
            j["status"] = statusName(m.status);
            j["code"] = exitStatusFor(m.status);
            return j;
        }
        j["device"] = {{"name", m.deviceName}, {"pid", vbprog::productIdText(m.pid)}};
        j["devEUI"] = m.devEUI;
        j["joinEUI"] = m.joinEUI;
        j["appKey"] = m.appKey;
        return j;
    }
    if (c.withPort)
        j["port"] = m.port;
    j["result"] = statusName(m.status);
    j["status"] = statusName(m.status);
    j["code"] = exitStatusFor(m.status);
    j["bytes"] = m.bytes;
    // Milliseconds are all a bench's clock is good for.
    j["seconds"] = std::round(m.seconds * 1000.0) / 1000.0;
    return j;
}

Json resultsJson(const Options& options, const std::vector<vbprog::ModuleOutcome>& outcomes)
{
    JsonContext c;
    c.shape = options.command == Command::Keys ? JsonShape::Keys : JsonShape::Flash;
    if (!manyModules(options) && outcomes.size() == 1) {
        c.withPort = c.shape == JsonShape::Keys;
        return outcomeJson(outcomes.front(), c);
    }
    Json all = Json::array();
    for (const vbprog::ModuleOutcome& m : outcomes)
        all.push_back(outcomeJson(m, c));
    return all;
}

std::string jsonText(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vf
