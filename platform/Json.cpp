#include "platform/Json.h"

namespace tamsel::platform {

Json parseJson(std::string_view bytes) {
    // The callback sees every object and array as it opens, before its members
    // are read: a document nested too deep is refused with at most kMaxJsonDepth
    // levels built, however deep it goes.
    auto limitDepth = [](int depth, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
            depth >= kMaxJsonDepth)
            throw JsonParseError::create(
                101, 0, "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels", nullptr);
        return true;
    };
    Json value = Json::parse(bytes.begin(), bytes.end(), limitDepth);
    if (!value.is_object() && !value.is_array())
        throw JsonParseError::create(101, 0, "top level is neither an object nor an array", nullptr);
    return value;
}

std::string writeJson(const Json& value) { return value.dump(); }

}  // namespace tamsel::platform
