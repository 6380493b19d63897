#include "platform/NotificationContent.h"

#include <cstdint>

namespace tamsel::platform {
namespace {

std::optional<std::string> optionalString(const Json& json, const char* key) {
    auto it = json.find(key);
    if (it == json.end()) return std::nullopt;
    if (!it->is_string()) throw ContentFormatError("content member is not a string");
    return it->get<std::string>();
}

}  // namespace

Json contentToJson(const NotificationContent& content) {
    Json json = Json::object();
    if (content.title) json["title"] = *content.title;
    if (content.subtitle) json["subtitle"] = *content.subtitle;
    if (content.body) json["body"] = *content.body;
    if (content.sound == NotificationSound::defaultSound) json["sound"] = "default";
    if (content.badge) json["badge"] = *content.badge;
    if (content.threadIdentifier) json["threadIdentifier"] = *content.threadIdentifier;
    if (content.categoryIdentifier) json["categoryIdentifier"] = *content.categoryIdentifier;
    if (content.userInfo) json["userInfo"] = *content.userInfo;
    if (content.communication) json["communication"] = *content.communication;
    return json;
}

NotificationContent contentFromJson(const Json& json) {
    if (!json.is_object()) throw ContentFormatError("content is not an object");
    static const char* const kKnown[] = {
        "title",    "subtitle",     "body", "sound", "badge", "threadIdentifier", "categoryIdentifier",
        "userInfo", "communication"};
    for (const auto& [key, value] : json.items()) {
        bool known = false;
        for (const char* name : kKnown) known = known || key == name;
        if (!known) throw ContentFormatError("content has an unknown member");
    }
    NotificationContent content;
    content.title = optionalString(json, "title");
    content.subtitle = optionalString(json, "subtitle");
    content.body = optionalString(json, "body");
    content.threadIdentifier = optionalString(json, "threadIdentifier");
    content.categoryIdentifier = optionalString(json, "categoryIdentifier");
    if (auto sound = optionalString(json, "sound")) {
        if (*sound != "default") throw ContentFormatError("sound is neither absent nor \"default\"");
        content.sound = NotificationSound::defaultSound;
    }
    if (auto it = json.find("badge"); it != json.end()) {
        if (!it->is_number_integer() || (it->is_number_unsigned() && it->get<std::uint64_t>() > INT64_MAX))
            throw ContentFormatError("badge is not a 64-bit integer");
        content.badge = it->get<std::int64_t>();
    }
    if (auto it = json.find("userInfo"); it != json.end()) {
        if (!it->is_object()) throw ContentFormatError("userInfo is not an object");
        content.userInfo = *it;
    }
    if (auto it = json.find("communication"); it != json.end()) {
        if (!it->is_object()) throw ContentFormatError("communication is not an object");
        content.communication = *it;
    }
    return content;
}

NotificationRequest requestFromPushJson(const Json& json) {
    if (!json.is_object()) throw ContentFormatError("not a JSON object");
    auto identifier = json.find("identifier");
    auto content = json.find("content");
    if (identifier == json.end() || !identifier->is_string())
        throw ContentFormatError("\"identifier\" is missing or not a string");
    if (content == json.end()) throw ContentFormatError("\"content\" is missing");
    if (json.size() != 2) throw ContentFormatError("unknown member");
    return {identifier->get<std::string>(),
            std::make_shared<const NotificationContent>(contentFromJson(*content))};
}

NotificationRequest parsePushLine(std::string_view line) { return requestFromPushJson(parseJson(line)); }

}  // namespace tamsel::platform
