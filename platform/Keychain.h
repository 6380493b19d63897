#pragma once
// The keychain's item lookup: a query is a dictionary of attributes, the answer a
// status and, on success, the item's bytes.
//
// Stores here hold generic-password items of the data-protection keychain, keyed
// by access group, service and account; a lookup must name all three and ask for
// at most one match. Statuses are the platform's: kErrSecSuccess (0),
// kErrSecItemNotFound, kErrSecInteractionNotAllowed, kErrSecParam for a query
// this store cannot answer, kErrSecIO for a store that failed to read.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Bundle.h"

namespace tamsel::platform {

using KeychainStatus = std::int32_t;
inline constexpr KeychainStatus kErrSecSuccess = 0;
inline constexpr KeychainStatus kErrSecItemNotFound = -25300;
inline constexpr KeychainStatus kErrSecInteractionNotAllowed = -25308;
inline constexpr KeychainStatus kErrSecParam = -50;
inline constexpr KeychainStatus kErrSecIO = -36;

using KeychainValue = std::variant<bool, std::string>;
using KeychainQuery = std::map<std::string, KeychainValue>;

// Attribute names and the values that go with them.
inline const std::string kSecClass = "class";
inline const std::string kSecClassGenericPassword = "generic-password";
inline const std::string kSecUseDataProtectionKeychain = "use-data-protection-keychain";  // bool
inline const std::string kSecUseAuthenticationUI = "use-authentication-ui";
inline const std::string kSecUseAuthenticationUIFail = "fail";  // never prompt
inline const std::string kSecAttrAccessGroup = "access-group";
inline const std::string kSecAttrService = "service";
inline const std::string kSecAttrAccount = "account";
inline const std::string kSecReturnData = "return-data";  // bool
inline const std::string kSecMatchLimit = "match-limit";
inline const std::string kSecMatchLimitOne = "one";

using KeychainData = std::vector<std::uint8_t>;

// The one item the extension reads: the worker credential the main application
// stores, as a generic password in the access group the bundle names.
inline const std::string kCredentialService = "Tamsel.notification-delivery.v2";
inline const std::string kCredentialAccount = "receiver";
inline const std::string kCredentialAccessGroupSetting = "TAMSEL_NOTIFICATION_KEYCHAIN_GROUP";

// The credential's access group as the bundle's setting names it; nothing when
// the setting is missing, not a string, empty, or a build-setting reference
// ("$(") that was never expanded.
std::optional<std::string> credentialAccessGroup(const Bundle& bundle);

struct KeychainResult {
    KeychainStatus status = kErrSecSuccess;
    // The item's bytes; only on success and only when the query asked for data.
    std::optional<KeychainData> data;
};

class Keychain {
  public:
    virtual ~Keychain() = default;
    // Blocks for the lookup; safe from any thread.
    virtual KeychainResult copyMatching(const KeychainQuery& query) = 0;
};

// The item a lookup names, once the query has been checked.
struct KeychainItemKey {
    std::string accessGroup;
    std::string service;
    std::string account;
    bool returnData = false;
    bool interactionAllowed = true;
    auto operator<=>(const KeychainItemKey&) const = default;
};

// Checks a lookup query against what the stores here answer: a generic password
// of the data-protection keychain, named by access group, service and account,
// at most one match, no attribute it does not know. kErrSecParam otherwise.
// A query for the legacy keychain finds nothing (kErrSecItemNotFound).
std::variant<KeychainItemKey, KeychainStatus> itemKeyOf(const KeychainQuery& query);

}  // namespace tamsel::platform
