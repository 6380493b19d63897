#include "connector/RegistrationStore.h"

#include <filesystem>
#include <system_error>

#include "host/HostDesktop.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/file/FileKeychain.h"

namespace tamsel::connector {
namespace {

using platform::Json;

std::string statusText(platform::KeychainStatus status) {
    return "keychain status " + std::to_string(status);
}

std::shared_ptr<platform::Keychain> openKeychain(const host::HostOptions& options) {
    try {
        if (auto desktop = host::openDesktopKeychain(options)) return desktop;
    } catch (const std::runtime_error& e) {
        throw RegistrationStoreError(e.what());
    }
    return std::make_shared<platform::FileKeychain>(options.platformRoot);
}

}  // namespace

std::string toStoredJson(const Registration& registration) {
    Json value = {{"token", registration.token},
                  {"keys", registration.keys.toJson()},
                  {"distributor", registration.distributor},
                  {"endpoint", registration.endpoint}};
    return value.dump();
}

std::optional<Registration> fromStoredJson(const std::string& value) {
    Json json = Json::parse(value, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    auto text = [&](const char* key) -> const std::string* {
        auto it = json.find(key);
        return it != json.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
    };
    auto keysMember = json.find("keys");
    if (!text("token") || text("token")->empty() || !text("distributor") || !text("endpoint") ||
        keysMember == json.end())
        return std::nullopt;
    auto keys = webpush::ReceiverKeys::fromJson(*keysMember);
    if (!keys) return std::nullopt;
    return Registration{*text("token"), std::move(*keys), *text("distributor"), *text("endpoint")};
}

RegistrationStore::RegistrationStore(const host::HostOptions& options, std::string appId)
    : options_(options), appId_(std::move(appId)), group_(appId_) {
    try {
        platform::PlistBundle bundle(options.bundle);
        auto setting = bundle.object("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP");
        const std::string* value = setting ? setting->string() : nullptr;
        if (value && !value->empty() && value->find("$(") == std::string::npos) group_ = *value;
    } catch (const platform::BundleError& e) {
        throw RegistrationStoreError(std::string("cannot read the bundle: ") + e.what());
    }
}

std::optional<Registration> RegistrationStore::load() {
    platform::KeychainQuery query = {
        {platform::kSecClass, platform::kSecClassGenericPassword},
        {platform::kSecUseDataProtectionKeychain, true},
        {platform::kSecUseAuthenticationUI, platform::kSecUseAuthenticationUIFail},
        {platform::kSecAttrAccessGroup, group_},
        {platform::kSecAttrService, std::string(kRegistrationService)},
        {platform::kSecAttrAccount, appId_},
        {platform::kSecReturnData, true},
        {platform::kSecMatchLimit, platform::kSecMatchLimitOne},
    };
    auto result = openKeychain(options_)->copyMatching(query);
    if (result.status == platform::kErrSecItemNotFound) return std::nullopt;
    if (result.status != platform::kErrSecSuccess || !result.data)
        throw RegistrationStoreError("cannot read the registration (" + statusText(result.status) + ")");
    std::string value(result.data->begin(), result.data->end());
    if (value == "{}") return std::nullopt;  // forgotten
    auto registration = fromStoredJson(value);
    if (!registration)
        throw RegistrationStoreError("the stored registration is unreadable; 'unregister' forgets it");
    return registration;
}

void RegistrationStore::save(const Registration& registration) { write(toStoredJson(registration)); }

void RegistrationStore::write(const std::string& value) {
    platform::KeychainData data(value.begin(), value.end());
    auto desktopStatus = host::storeInDesktopKeychain(options_, group_, kRegistrationService, appId_, data);
    platform::KeychainStatus status =
        desktopStatus
            ? *desktopStatus
            : platform::FileKeychain(options_.platformRoot).store(group_, kRegistrationService, appId_, data);
    if (status != platform::kErrSecSuccess)
        throw RegistrationStoreError("cannot store the registration (" + statusText(status) + ")");
}

void RegistrationStore::forget() {
    if (options_.keychain == host::HostOptions::Keychain::file) {
        platform::FileKeychain keychain(options_.platformRoot);
        if (!platform::isSafeKeychainAttribute(group_) || !platform::isSafeKeychainAttribute(appId_))
            throw RegistrationStoreError("cannot forget the registration (" +
                                         statusText(platform::kErrSecParam) + ")");
        std::error_code error;
        std::filesystem::remove(keychain.directory() / group_ / kRegistrationService / appId_, error);
        if (error) throw RegistrationStoreError("cannot forget the registration: " + error.message());
        return;
    }
    // The Secret Service adapter has no delete: an empty object stands for no registration.
    write("{}");
}

}  // namespace tamsel::connector
