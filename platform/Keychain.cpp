#include "platform/Keychain.h"

#include <set>

namespace tamsel::platform {

std::optional<std::string> credentialAccessGroup(const Bundle& bundle) {
    std::optional<PropertyValue> setting = bundle.object(kCredentialAccessGroupSetting);
    const std::string* group = setting ? setting->string() : nullptr;
    if (!group || group->empty() || group->find("$(") != std::string::npos) return std::nullopt;
    return *group;
}

std::variant<KeychainItemKey, KeychainStatus> itemKeyOf(const KeychainQuery& query) {
    static const std::set<std::string> known = {kSecClass,
                                                kSecUseDataProtectionKeychain,
                                                kSecUseAuthenticationUI,
                                                kSecAttrAccessGroup,
                                                kSecAttrService,
                                                kSecAttrAccount,
                                                kSecReturnData,
                                                kSecMatchLimit};
    for (const auto& [name, value] : query)
        if (!known.contains(name)) return kErrSecParam;

    auto text = [&](const std::string& name) -> const std::string* {
        auto it = query.find(name);
        return it == query.end() ? nullptr : std::get_if<std::string>(&it->second);
    };
    // Absent means false; present must be a bool.
    auto flag = [&](const std::string& name) -> std::optional<bool> {
        auto it = query.find(name);
        if (it == query.end()) return false;
        if (const bool* value = std::get_if<bool>(&it->second)) return *value;
        return std::nullopt;
    };

    const std::string* itemClass = text(kSecClass);
    if (!itemClass || *itemClass != kSecClassGenericPassword) return kErrSecParam;
    auto dataProtection = flag(kSecUseDataProtectionKeychain);
    auto returnData = flag(kSecReturnData);
    if (!dataProtection || !returnData) return kErrSecParam;
    if (query.contains(kSecMatchLimit)) {
        const std::string* limit = text(kSecMatchLimit);
        if (!limit || *limit != kSecMatchLimitOne) return kErrSecParam;
    }
    bool interactionAllowed = true;
    if (query.contains(kSecUseAuthenticationUI)) {
        const std::string* ui = text(kSecUseAuthenticationUI);
        if (!ui || *ui != kSecUseAuthenticationUIFail) return kErrSecParam;
        interactionAllowed = false;
    }
    const std::string* group = text(kSecAttrAccessGroup);
    const std::string* service = text(kSecAttrService);
    const std::string* account = text(kSecAttrAccount);
    if (!group || !service || !account) return kErrSecParam;
    if (!*dataProtection) return kErrSecItemNotFound;
    return KeychainItemKey{*group, *service, *account, *returnData, interactionAllowed};
}

}  // namespace tamsel::platform
