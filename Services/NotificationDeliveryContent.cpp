#include "Services/NotificationDeliveryContent.h"

#include <charconv>
#include <string_view>

#include "platform/Regex.h"

namespace TamselNotificationService::NotificationDeliveryContent {

using tamsel::platform::Json;
using tamsel::platform::NotificationContent;
using tamsel::platform::NotificationSound;

namespace {
constexpr const char* kInteractionPrefix = "tamsel.notification-delivery.";
// A bare sender handle, which says nothing to the user and is not shown as a title.
constexpr std::string_view kSenderHandlePattern = "^(?:tamsel_)?sender_[A-Za-z0-9_-]{16,}$";
}  // namespace

std::string ledgerKey(const std::string& receiver, const NotificationDeliveryChange& change) {
    return receiver + ":" + change.notificationID;
}

std::string requestIdentifier(const std::string& receiver, const NotificationDeliveryChange& change) {
    return "tamsel:v2:" + receiver + ":" + change.groupKey;
}

std::string threadIdentifier(const std::string& receiver, const NotificationDeliveryChange& change) {
    return receiver + ":" + change.groupKey;
}

std::string interactionIdentifier(const std::string& receiver, const NotificationDeliveryChange& change) {
    return kInteractionPrefix + receiver + ":" + change.notificationID;
}

std::string interactionGroupIdentifier(const std::string& receiver) { return kInteractionPrefix + receiver; }

std::string safeNotificationTitle(const std::string& title) {
    static const tamsel::platform::Regex senderHandle(kSenderHandlePattern);
    return senderHandle.search(title) ? "Tamsel" : title;
}

std::string title(const NotificationDeliveryChange& change) {
    if (change.sender)
        if (auto name = NotificationDeliveryRecords::safeSenderName(change.sender->displayName)) return *name;
    return safeNotificationTitle(change.title);
}

std::optional<std::int64_t> badgeCount(const NotificationRevisionLedger::Entry* badgeEntry,
                                       const std::string& receiver) {
    if (!badgeEntry) return std::nullopt;
    auto owner = badgeEntry->find("receiver");
    auto count = badgeEntry->find("count");
    if (owner == badgeEntry->end() || owner->second != receiver || count == badgeEntry->end())
        return std::nullopt;
    std::string_view text = count->second;
    bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    // Parsed with its sign so that the most negative value fits.
    // Built by appending: g++ 12 at -O3 warns (-Wrestrict) about "…" + string&&.
    std::string digits = negative ? "-" : "";
    digits += text;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

NotificationContent build(const std::string& receiver, const NotificationDeliveryChange& change,
                          const NotificationRevisionLedger::Entry* badgeEntry, bool repeatedHandOff) {
    NotificationContent content;
    content.title = title(change);
    content.body = change.body;
    content.sound =
        change.audible && !repeatedHandOff ? NotificationSound::defaultSound : NotificationSound::none;
    content.threadIdentifier = threadIdentifier(receiver, change);
    Json target = Json::object();
    for (const auto& [key, value] : change.target) target[key] = value;
    content.userInfo = Json{{"tamselReceiverId", receiver},
                            {"tamselNotificationId", change.notificationID},
                            {"tamselNotificationRevision", change.revision},
                            {"tamselGroupKey", change.groupKey},
                            {"tamselTarget", std::move(target)}};
    content.badge = badgeCount(badgeEntry, receiver);
    return content;
}

tamsel::platform::NotificationRequest request(const std::string& receiver,
                                              const NotificationDeliveryChange& change,
                                              tamsel::platform::SharedContent content) {
    return {requestIdentifier(receiver, change), std::move(content)};
}

bool belongsToChange(const std::optional<Json>& userInfo, const std::string& receiver,
                     const NotificationDeliveryChange& change) {
    if (!userInfo || !userInfo->is_object()) return false;
    auto stringMember = [&](const char* key) -> const std::string* {
        auto it = userInfo->find(key);
        return it != userInfo->end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    };
    const std::string* owner = stringMember("tamselReceiverId");
    if (!owner || *owner != receiver) return false;
    const std::string* notification = stringMember("tamselNotificationId");
    if (!notification || *notification != change.notificationID) return false;
    const std::string* stored = stringMember("tamselNotificationRevision");
    return !NotificationDeliveryRecords::newer(stored ? *stored : "0", change.revision);
}

}  // namespace TamselNotificationService::NotificationDeliveryContent
