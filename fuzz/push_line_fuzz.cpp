// Arbitrary bytes as one push line, through the parser the host reads its
// input with. Besides crashes and sanitizer reports it traps on a refusal of
// another kind than the parser's two, and on a content that would not go back
// out exactly as it came in: the host writes a handed-back content with
// contentToJson, and a push's own content is handed back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Json.h"
#include "platform/NotificationContent.h"

namespace {

using tamsel::platform::ContentFormatError;
using tamsel::platform::Json;
using tamsel::platform::NotificationRequest;

void require(bool condition) {
    if (!condition) std::abort();
}

// A request taken from `source` (the JSON it was read from) keeps every member.
void checkRequest(const NotificationRequest& request, const Json& source) {
    require(request.content != nullptr);
    const Json content = tamsel::platform::contentToJson(*request.content);
    require(request.identifier == source.at("identifier").get<std::string>());
    require(content == source.at("content"));
    // What the host writes back reads again as the same request.
    const std::string line =
        tamsel::platform::writeJson(Json{{"identifier", request.identifier}, {"content", content}});
    NotificationRequest again = tamsel::platform::parsePushLine(line);
    require(again.identifier == request.identifier);
    require(tamsel::platform::contentToJson(*again.content) == content);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    NotificationRequest request;
    try {
        request = tamsel::platform::parsePushLine(line);
    } catch (const nlohmann::json::exception&) {
        // What the host turns into "not valid JSON".
        return 0;
    } catch (const ContentFormatError&) {
        // The document parses; the request is what is refused. Its elements,
        // when it is an array, are offered as requests on their own.
        Json document = tamsel::platform::parseJson(line);
        if (document.is_array()) {
            for (const Json& element : document) {
                try {
                    checkRequest(tamsel::platform::requestFromPushJson(element), element);
                } catch (const ContentFormatError&) {
                }
            }
        }
        return 0;
    }
    checkRequest(request, tamsel::platform::parseJson(line));
    return 0;
}
