#pragma once
// How one change becomes a notification: the identifiers shared with the main
// application, the title rule, the content with its five user-info keys, the
// request, and which notifications the system holds belong to a change. Pure
// functions of the receiver, the change and the ledger.
#include <cstdint>
#include <optional>
#include <string>

#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationRevisionLedger.h"
#include "platform/Json.h"
#include "platform/NotificationContent.h"

namespace TamselNotificationService::NotificationDeliveryContent {

// receiver + ":" + notificationID
std::string ledgerKey(const std::string& receiver, const NotificationDeliveryChange& change);
// "tamsel:v2:" + receiver + ":" + groupKey: one request per conversation group.
std::string requestIdentifier(const std::string& receiver, const NotificationDeliveryChange& change);
// receiver + ":" + groupKey; also the intent's conversation identifier.
std::string threadIdentifier(const std::string& receiver, const NotificationDeliveryChange& change);
// "tamsel.notification-delivery." + receiver + ":" + notificationID
std::string interactionIdentifier(const std::string& receiver, const NotificationDeliveryChange& change);
// "tamsel.notification-delivery." + receiver
std::string interactionGroupIdentifier(const std::string& receiver);

// "Tamsel" for a title that is only an internal sender handle, else the title.
std::string safeNotificationTitle(const std::string& title);
// The sender's safe display name, else the change's title made safe.
std::string title(const NotificationDeliveryChange& change);

// The count of the ledger's badge entry when it names this receiver and its
// "count" is a decimal integer (optional sign) within 64 bits.
std::optional<std::int64_t> badgeCount(const NotificationRevisionLedger::Entry* badgeEntry,
                                       const std::string& receiver);

// A fresh content for the change. A repeated hand-off carries no sound.
tamsel::platform::NotificationContent build(const std::string& receiver,
                                            const NotificationDeliveryChange& change,
                                            const NotificationRevisionLedger::Entry* badgeEntry,
                                            bool repeatedHandOff);
tamsel::platform::NotificationRequest request(const std::string& receiver,
                                              const NotificationDeliveryChange& change,
                                              tamsel::platform::SharedContent content);

// True when a notification with this user info is the change's notification at
// the change's revision or an older one (a missing revision counts as "0").
bool belongsToChange(const std::optional<tamsel::platform::Json>& userInfo, const std::string& receiver,
                     const NotificationDeliveryChange& change);

}  // namespace TamselNotificationService::NotificationDeliveryContent
