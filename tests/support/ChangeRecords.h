#pragma once
// The one builder of change records as the delivery service sends them, for
// every suite (and the benchmarks): each field defaults to a value the record
// validators accept, so a test names only what it is about.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Json.h"

namespace tamsel::testing {

inline std::string repeat(std::string_view unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

// 64 lower-case hexadecimal digits.
inline const std::string kGroupKey = repeat("0123456789abcdef", 4);
inline const std::string kCanonicalID = "tamsel_sender_" + repeat("fedcba9876543210", 4);

// The fields of an available change record; each defaults to a known-good value.
struct ChangeFields {
    std::string notificationId = "ntf_0123456789abcdef";
    std::string revision = "17";
    std::string title = "Ada Lovelace";
    std::string body = "See you at noon";
    std::string groupKey = kGroupKey;
    bool audible = true;
    tamsel::platform::Json target = {{"kind", "communication"},
                                     {"communicationId", "comm_0123456789abcd"},
                                     {"channelThreadId", "thread_0123456789ab"}};
    // The presentation's "sender" member; absent when nothing.
    std::optional<tamsel::platform::Json> sender;
};

inline tamsel::platform::Json changeRecord(const ChangeFields& fields = {}) {
    tamsel::platform::Json presentation = {{"title", fields.title},
                                           {"body", fields.body},
                                           {"target", fields.target},
                                           {"attention",
                                            {{"policyVersion", "notification-attention.v1"},
                                             {"groupKey", fields.groupKey},
                                             {"audible", fields.audible}}}};
    if (fields.sender) presentation["sender"] = *fields.sender;
    return {{"notificationId", fields.notificationId},
            {"notificationRevision", fields.revision},
            {"state", "available"},
            {"presentation", std::move(presentation)}};
}

// A withdrawn change record: the smallest valid one.
inline tamsel::platform::Json withdrawnRecord(const std::string& notificationId,
                                              const std::string& revision = "1") {
    return {{"notificationId", notificationId},
            {"notificationRevision", revision},
            {"state", "withdrawn"},
            {"presentation", nullptr}};
}

// The presentation's "sender" member.
inline tamsel::platform::Json senderRecord(tamsel::platform::Json displayName = "Ada",
                                           const std::string& canonicalId = kCanonicalID) {
    return {{"schema", "notification_sender.v1"}, {"canonicalId", canonicalId}, {"displayName", displayName}};
}

// The content of a wake-up push for the conversation of `groupKey`.
inline tamsel::platform::Json wakeUpContent(const std::string& groupKey, const std::string& title = "Tamsel",
                                            const std::string& body = "New activity") {
    return {{"title", title},
            {"body", body},
            {"userInfo", {{"tamsel", {{"version", "notification-wakeup.v2"}, {"groupKey", groupKey}}}}}};
}
// A push as the host reads it, one line of its input: the request's identifier and its content.
inline tamsel::platform::Json wakeUpPush(const std::string& identifier, const std::string& groupKey) {
    return {{"identifier", identifier}, {"content", wakeUpContent(groupKey)}};
}

}  // namespace tamsel::testing
