#pragma once
// Reads the worker credential that the main application stored in the shared
// keychain group. Every load() reads the bundle setting and the keychain anew;
// only the decoding of bytes already decoded once is skipped.
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Platform.h"

namespace TamselNotificationService {

struct NotificationWorkerCredential {
    std::string receiverID;
    std::string refreshProof;
    std::string authorizationRevision;
    tamsel::platform::TimePoint expiresAt;

    bool operator==(const NotificationWorkerCredential&) const = default;

    // The stored form shared with the main application: a JSON object with the
    // string members "receiverID", "refreshProof", "authorizationRevision" and the
    // number "expiresAt" (seconds since 2001-01-01T00:00:00Z); other members are
    // ignored. A decoding failure throws the JSON library's own error.
    static NotificationWorkerCredential decode(std::string_view bytes);
    std::string encode() const;
};

namespace NotificationSharedAuthority {
// Throws NotificationDeliveryFailure::credential() for a bad configuration or a
// failed lookup, and the JSON library's own error for an undecodable item.
NotificationWorkerCredential load(const tamsel::platform::Platform& platform);
}  // namespace NotificationSharedAuthority

}  // namespace TamselNotificationService
