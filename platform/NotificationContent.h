#pragma once
// Notification contents and requests as the notification framework knows them,
// in the host's JSON form:
//   {"title", "subtitle", "body", "sound", "badge", "threadIdentifier",
//    "categoryIdentifier", "userInfo", "communication"}
// Every member is optional and is written back only when present, so a content
// read from a push goes out exactly as it came in.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Json.h"

namespace tamsel::platform {

enum class NotificationSound { none, defaultSound };

struct NotificationContent {
    std::optional<std::string> title;
    std::optional<std::string> subtitle;
    std::optional<std::string> body;
    NotificationSound sound = NotificationSound::none;
    std::optional<std::int64_t> badge;
    std::optional<std::string> threadIdentifier;
    std::optional<std::string> categoryIdentifier;
    // A JSON object when present: the user info dictionary.
    std::optional<Json> userInfo;
    // Set only on a content updated from a communication intent:
    // {"senderIdentifier", "senderDisplayName", "conversationIdentifier", "serviceName"}.
    std::optional<Json> communication;
};

using SharedContent = std::shared_ptr<const NotificationContent>;

// A content's JSON form is not what the host accepts (wrong member type, a sound
// other than "default", user info that is not an object, an unknown member).
class ContentFormatError : public std::exception {
  public:
    explicit ContentFormatError(const char* what) : what_(what) {}
    const char* what() const noexcept override { return what_; }

  private:
    const char* what_;
};

Json contentToJson(const NotificationContent& content);
NotificationContent contentFromJson(const Json& json);

// A request without a trigger: shown at once.
struct NotificationRequest {
    std::string identifier;
    SharedContent content;
};

// A request in the host's JSON form, as a push line carries it:
//   {"identifier": "...", "content": {...}}
// with no other member. Throws ContentFormatError.
NotificationRequest requestFromPushJson(const Json& json);

// One line of text holding such a request: throws JsonParseError (through
// parseJson, so with its limits) or ContentFormatError.
NotificationRequest parsePushLine(std::string_view line);

}  // namespace tamsel::platform
