#pragma once
// The envelope every exchange of the notification-delivery protocol travels in:
// requests that never leave one HTTPS origin, and answers judged in a fixed
// order (size, status, JSON object, error code, "Cache-Control: no-store", the
// three members, success, the schema name) before their "data" object is
// handed back.
//
// One per worker, which owns it; the protocol's exchanges take it. It keeps
// only what construction gave it, and its session belongs to one run at a time.
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/Json.h"
#include "platform/Url.h"

namespace tamsel::platform {
class HTTPSession;
class HTTPSessionFactory;
}  // namespace tamsel::platform

namespace TamselNotificationService {

class NotificationDeliveryEnvelope {
  public:
    // The largest answer read, in bytes; one byte more is refused.
    static constexpr std::size_t kMaxAnswerBytes = 1'048'576;

    // Throws NotificationDeliveryFailure::response() for a refused origin: not
    // "https", no host, or a user, password, query or fragment; then, without
    // a session factory, std::invalid_argument. Makes the one session it uses.
    NotificationDeliveryEnvelope(const std::string& origin,
                                 const std::shared_ptr<tamsel::platform::HTTPSessionFactory>& sessions);

    // One exchange; returns the answer's "data" object. A path that resolves
    // outside the origin is refused before anything is sent. Errors of the
    // session, the JSON writer and the JSON reader pass through unchanged; a
    // refused answer is NotificationDeliveryFailure (expiredCursor() for an
    // "invalid_cursor" error, transport(status) for any other status but 200,
    // response() for the rest).
    tamsel::platform::Json request(const std::string& path, const std::string& method,
                                   const std::map<std::string, std::string>& headers,
                                   const std::optional<tamsel::platform::Json>& body,
                                   const std::string& schema);

  private:
    // Parsed once: every request is resolved against it and checked.
    std::optional<tamsel::platform::ReferenceBase> origin_;
    std::shared_ptr<tamsel::platform::HTTPSession> session_;
};

}  // namespace TamselNotificationService
