#include "Services/NotificationDeliveryEnvelope.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/HTTPSession.h"

namespace TamselNotificationService {

using tamsel::platform::Json;

namespace {

bool sameOrigin(const tamsel::platform::URLComponents& a, const tamsel::platform::URLComponents& b) {
    // Absent equals absent only; present values compare as exact strings.
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

bool containsNoStore(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return value.find("no-store") != std::string::npos;
}

}  // namespace

NotificationDeliveryEnvelope::NotificationDeliveryEnvelope(
    const std::string& origin, const std::shared_ptr<tamsel::platform::HTTPSessionFactory>& sessions)
    : origin_(tamsel::platform::ReferenceBase::parse(origin)) {
    // The scheme as written, so "HTTPS://" is refused like any other scheme.
    const auto* parts = origin_ ? &origin_->components() : nullptr;
    if (!origin.starts_with("https:") || !parts || parts->scheme != "https" || !parts->host || parts->user ||
        parts->password || parts->query || parts->fragment)
        throw NotificationDeliveryFailure::response();
    if (!sessions) throw std::invalid_argument("the platform has no HTTPS session factory");
    session_ = sessions->makeSession();
}

Json NotificationDeliveryEnvelope::request(const std::string& path, const std::string& method,
                                           const std::map<std::string, std::string>& headers,
                                           const std::optional<Json>& body, const std::string& schema) {
    // Construction: the request can never leave the configured origin.
    auto resolved = origin_->resolve(path);
    if (!resolved || !sameOrigin(origin_->components(), *resolved))
        throw NotificationDeliveryFailure::response();

    tamsel::platform::HTTPRequest request;
    request.url = resolved->url;
    request.method = method;
    tamsel::platform::setHeader(request.headers, "Accept", "application/json");
    for (const auto& [name, value] : headers) tamsel::platform::setHeader(request.headers, name, value);
    if (body) {
        request.body = tamsel::platform::writeJson(*body);  // its error passes through
        tamsel::platform::setHeader(request.headers, "Content-Type", "application/json");
    }

    const tamsel::platform::HTTPResponse response = session_->perform(request);

    // Validation: the first failing step decides.
    if (response.bodyExceededLimit || response.body.size() > kMaxAnswerBytes)
        throw NotificationDeliveryFailure::response();
    if (!response.status) throw NotificationDeliveryFailure::response();
    const Json answer = tamsel::platform::parseJson(response.body);  // its error passes through
    if (!answer.is_object()) throw NotificationDeliveryFailure::response();

    if (*response.status != 200) {
        auto error = answer.find("error");
        if (error != answer.end() && error->is_object()) {
            auto code = error->find("code");
            if (code != error->end() && code->is_string() &&
                code->get_ref<const std::string&>() == "invalid_cursor")
                throw NotificationDeliveryFailure::expiredCursor();
        }
        throw NotificationDeliveryFailure::transport(*response.status);
    }

    auto cacheControl = response.header("Cache-Control");
    if (!cacheControl || !containsNoStore(*cacheControl)) throw NotificationDeliveryFailure::response();

    if (answer.size() != 3 || !answer.contains("success") || !answer.contains("data") ||
        !answer.contains("meta"))
        throw NotificationDeliveryFailure::response();
    const Json& success = answer.at("success");
    if (!success.is_boolean() || !success.get<bool>()) throw NotificationDeliveryFailure::response();
    const Json& meta = answer.at("meta");
    if (!meta.is_object()) throw NotificationDeliveryFailure::response();
    auto schemaName = meta.find("schema");
    if (schemaName == meta.end() || !schemaName->is_string() ||
        schemaName->get_ref<const std::string&>() != schema)
        throw NotificationDeliveryFailure::response();
    const Json& data = answer.at("data");
    if (!data.is_object()) throw NotificationDeliveryFailure::response();
    return data;
}

}  // namespace TamselNotificationService
