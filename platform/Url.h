#pragma once
#include <string_view>

namespace tamsel::platform {

// True when text is a valid URI reference (RFC 3986): an absolute URI or a
// relative reference, made only of allowed characters with well-formed
// percent-encodings. The empty string is refused.
bool isURIReference(std::string_view text);

}  // namespace tamsel::platform
