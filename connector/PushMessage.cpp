#include "connector/PushMessage.h"

#include "platform/Clock.h"

namespace tamsel::connector {
namespace {

using platform::Json;

struct TooDeep {};

// Parses one JSON document, refusing nesting beyond kMaxJsonDepth.
std::optional<Json> parseBounded(std::string_view text, const char*& refusal) {
    try {
        Json::parser_callback_t limit = [](int depth, Json::parse_event_t, Json&) {
            if (depth > kMaxJsonDepth) throw TooDeep{};
            return true;
        };
        return Json::parse(text.begin(), text.end(), limit);
    } catch (const TooDeep&) {
        refusal = "plaintext nests too deeply";
    } catch (const Json::exception&) {
        refusal = "plaintext is not JSON";
    }
    return std::nullopt;
}

}  // namespace

OpenedMessage openMessage(const webpush::ReceiverKeys& keys, std::span<const std::uint8_t> body,
                          std::string_view messageId) {
    auto decrypted = webpush::decrypt(keys, body);
    if (!decrypted) return {std::nullopt, std::string(webpush::describe(*decrypted.error))};

    const auto& bytes = decrypted.plaintext;
    const char* refusal = nullptr;
    auto json =
        parseBounded(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), refusal);
    if (!json) return {std::nullopt, refusal};
    if (!json->is_object()) return {std::nullopt, "plaintext is not a JSON object"};

    PushRequest request;
    try {
        request.fallback =
            std::make_shared<const platform::NotificationContent>(platform::contentFromJson(*json));
    } catch (const platform::ContentFormatError& e) {
        return {std::nullopt, std::string("plaintext is not a push content: ") + e.what()};
    } catch (const Json::exception&) {
        return {std::nullopt, "plaintext is not a push content"};
    }
    request.content = std::move(*json);
    bool usableId = !messageId.empty() && messageId.size() <= kMaxMessageIdBytes;
    request.identifier = usableId ? std::string(messageId) : platform::randomUUID();
    return {std::move(request), {}};
}

std::string pushLine(const PushRequest& request) {
    return Json{{"identifier", request.identifier}, {"content", request.content}}.dump() + "\n";
}

std::optional<platform::SharedContent> handedBackContent(std::string_view output,
                                                         const std::string& identifier) {
    while (!output.empty()) {
        auto end = output.find('\n');
        std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        const char* refusal = nullptr;
        auto json = parseBounded(line, refusal);
        if (!json || !json->is_object()) continue;
        auto request = json->find("request");
        auto content = json->find("content");
        if (request == json->end() || content == json->end() || *request != identifier ||
            !content->is_object())
            continue;
        try {
            return std::make_shared<const platform::NotificationContent>(platform::contentFromJson(*content));
        } catch (const platform::ContentFormatError&) {
        } catch (const Json::exception&) {
        }
    }
    return std::nullopt;
}

}  // namespace tamsel::connector
