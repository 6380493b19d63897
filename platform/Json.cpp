#include "platform/Json.h"

namespace tamsel::platform {

Json parseJson(std::string_view bytes) {
    Json value = Json::parse(bytes.begin(), bytes.end());
    if (!value.is_object() && !value.is_array())
        throw JsonParseError::create(101, 0, "top level is neither an object nor an array", nullptr);
    return value;
}

std::string writeJson(const Json& value) { return value.dump(); }

}  // namespace tamsel::platform
