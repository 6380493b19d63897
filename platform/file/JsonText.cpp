#include "platform/file/JsonText.h"

namespace tamsel::platform {

std::string quotedJson(std::string_view text) { return writeJson(Json(text)); }

}  // namespace tamsel::platform
