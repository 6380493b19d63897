#pragma once
// Reads the worker credential that the main application stored in the shared
// keychain group. Stateless: every load() reads the bundle setting and the
// keychain anew.
#include <string>

#include "platform/Clock.h"
#include "platform/Platform.h"

namespace TamselNotificationService {

struct NotificationWorkerCredential {
    std::string receiverID;
    std::string refreshProof;
    std::string authorizationRevision;
    tamsel::platform::TimePoint expiresAt;

    bool operator==(const NotificationWorkerCredential&) const = default;
};

namespace NotificationSharedAuthority {
// Throws NotificationDeliveryFailure::credential() for a bad configuration or a
// failed lookup, and the JSON library's own error for an undecodable item.
NotificationWorkerCredential load(const tamsel::platform::Platform& platform);
}  // namespace NotificationSharedAuthority

}  // namespace TamselNotificationService
