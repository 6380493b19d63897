#pragma once
// The keychain kept by the desktop's Secret Service (org.freedesktop.secrets:
// GNOME Keyring, KWallet and the like), through libsecret.
//
// Items belong to a schema of this application's own,
// "com.brindaxel.tamsel.KeychainItem", and are found by three attributes:
// "access-group", "service" and "account". A lookup never prompts and never
// unlocks anything: it must not wait for a person.
//   found, unlocked                  0 and the item's bytes
//   no such item                     kErrSecItemNotFound (-25300)
//   only in a locked collection, or
//   the service refused              kErrSecInteractionNotAllowed (-25308)
//   no bus, no service, no answer
//   within the time limit, or a
//   reply that makes no sense        kServiceUnavailable (-25291)
//   a query no store here answers    what itemKeyOf() says (kErrSecParam, …)
// It talks to the Secret Service on the user's session bus (the process's
// shared connection, as libsecret has it); every call opens its own client
// and finishes within the time limit. Safe from any thread.
#include <chrono>
#include <string>

#include "platform/Keychain.h"

namespace tamsel::platform {

class SecretServiceKeychain final : public Keychain {
  public:
    // No keychain is available (the platform's errSecNotAvailable).
    static constexpr KeychainStatus kServiceUnavailable = -25291;
    static constexpr const char* kSchemaName = "com.brindaxel.tamsel.KeychainItem";

    struct Settings {
        std::chrono::milliseconds timeLimit{5000};
    };

    SecretServiceKeychain() : SecretServiceKeychain(Settings{}) {}
    explicit SecretServiceKeychain(Settings settings);

    KeychainResult copyMatching(const KeychainQuery& query) override;

    // Adds or replaces the item in the default collection (the login keyring).
    // Statuses as above; a locked default collection, or none at all, is
    // kErrSecInteractionNotAllowed rather than a prompt. Empty attributes are
    // kErrSecParam.
    KeychainStatus store(const std::string& accessGroup, const std::string& service,
                         const std::string& account, const KeychainData& data);

  private:
    Settings settings_;
};

}  // namespace tamsel::platform
