#include "tools/delivery-service/Scenario.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tamsel::delivery {

Json seedScenario(DeliveryServer& server, const std::filesystem::path& file) {
    auto refuse = [&](const std::string& what) {
        return std::runtime_error("scenario " + file.string() + ": " + what);
    };
    std::ifstream in(file, std::ios::binary);
    if (!in) throw refuse("cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    Json scenario;
    try {
        scenario = tamsel::platform::parseJson(text.str());
    } catch (const std::exception&) {
        throw refuse("is not a JSON document");
    }
    if (!scenario.is_object()) throw refuse("is not a JSON object");
    for (const auto& [key, value] : scenario.items()) {
        if (key != "receivers" && key != "stall") throw refuse("unknown member \"" + key + "\"");
    }

    Json credentials = Json::array();
    const Json receivers = scenario.value("receivers", Json::array());
    if (!receivers.is_array()) throw refuse("\"receivers\" is not an array");
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const Json& entry = receivers[i];
        const std::string where = "receivers[" + std::to_string(i) + "]";
        if (!entry.is_object()) throw refuse(where + " is not an object");
        Json registration = Json::object();
        for (const auto& [key, value] : entry.items()) {
            if (key == "changes" || key == "generate" || key == "badge") continue;
            registration[key] = value;
        }
        try {
            Json credential = server.state().registerReceiver(registration);
            const std::string id = credential["receiverID"];
            if (entry.contains("changes")) {
                if (!entry["changes"].is_array()) throw AdminError(400, "\"changes\" is not an array");
                server.state().queueChanges(id, entry["changes"]);
            }
            if (entry.contains("generate")) server.state().generateChanges(id, entry["generate"]);
            if (entry.contains("badge")) server.state().setBadge(id, entry["badge"]);
            credentials.push_back(std::move(credential));
        } catch (const AdminError& error) {
            throw refuse(where + ": " + error.code());
        }
    }

    if (scenario.contains("stall")) {
        const Json& stall = scenario["stall"];
        if (!stall.is_object() || !stall.contains("milliseconds") ||
            !stall["milliseconds"].is_number_integer() || stall["milliseconds"].get<long>() < 0 ||
            (stall.contains("route") && !stall["route"].is_string()))
            throw refuse("\"stall\" needs an integer \"milliseconds\" and an optional string \"route\"");
        server.setStall(stall["milliseconds"].get<long>(), stall.value("route", std::string()));
    }
    return credentials;
}

}  // namespace tamsel::delivery
